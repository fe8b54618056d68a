#include "core/launch_win.h"

#include <atomic>

#include "common/win_text.h"
#include "core/command_line.h"

namespace zelto {

bool path_exists(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        return false;
    }
    const std::wstring wide = to_wide(path);
    const KernelHandle file(
        ::CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (file) {
        // The narrow query: GetFileInformationByHandle also looks up the volume, for nothing here.
        FILE_BASIC_INFO info{};
        return ::GetFileInformationByHandleEx(file.get(), FileBasicInfo, &info, sizeof info) != 0;
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) {
        return false;
    }
    // Files the system holds exclusively (the page file) still show in their folder's listing.
    WIN32_FIND_DATAW found{};
    const FindHandle search(::FindFirstFileExW(wide.c_str(), FindExInfoBasic, &found,
                                               FindExSearchNameMatch, nullptr, 0));
    return search.valid();
}

Result<OutputPipe> create_output_pipe() {
    // Anonymous pipes cannot be read overlapped, so each pipe gets a name of its own; the first
    // instance flag makes a squatted name fail instead of joining someone else's pipe.
    static std::atomic<unsigned> counter{0};
    const std::wstring name = L"\\\\.\\pipe\\Zelto_core_out_" +
                              std::to_wstring(::GetCurrentProcessId()) + L"_" +
                              std::to_wstring(++counter);
    KernelHandle read_end(::CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
        CORE_PIPE_BUFFER_SIZE, CORE_PIPE_BUFFER_SIZE, 0, nullptr));
    if (!read_end) {
        return Result<OutputPipe>::failure(system_error_text(::GetLastError()));
    }
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    KernelHandle write_end(
        ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, &inheritable, OPEN_EXISTING, 0, nullptr));
    if (!write_end) {
        return Result<OutputPipe>::failure(system_error_text(::GetLastError()));
    }
    return OutputPipe{std::move(read_end), std::move(write_end)};
}

Result<LaunchedCore> launch_core(const std::string& core_path, const std::string& config_dir,
                                 const std::string& config_path) {
    if (!core_path.empty() && (core_path.back() == '\\' || core_path.back() == '/')) {
        return Result<LaunchedCore>::failure("program path has no file name");
    }
    Result<OutputPipe> out = create_output_pipe();
    if (!out) {
        return Result<LaunchedCore>::failure(out.error());
    }
    Result<OutputPipe> err = create_output_pipe();
    if (!err) {
        return Result<LaunchedCore>::failure(err.error());
    }

    // Under the service control manager there is no standard input; the core then gets none.
    KernelHandle input;
    const HANDLE own_input = ::GetStdHandle(STD_INPUT_HANDLE);
    if (own_input != nullptr && own_input != INVALID_HANDLE_VALUE) {
        HANDLE copy = nullptr;
        if (!::DuplicateHandle(::GetCurrentProcess(), own_input, ::GetCurrentProcess(), &copy, 0,
                               TRUE, DUPLICATE_SAME_ACCESS)) {
            return Result<LaunchedCore>::failure(system_error_text(::GetLastError()));
        }
        input.reset(copy);
    }

    const std::wstring application = to_wide(core_path);
    std::wstring command_line =
        to_wide(build_core_command_line(core_path, config_dir, config_path));
    STARTUPINFOW startup{};
    startup.cb = sizeof(STARTUPINFOW);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.get();
    startup.hStdOutput = out.value().write_end.get();
    startup.hStdError = err.value().write_end.get();
    PROCESS_INFORMATION created{};
    const BOOL ok =
        ::CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                         CORE_CREATION_FLAGS, nullptr, nullptr, &startup, &created);
    const DWORD error = ::GetLastError();

    // Only the core may hold the write ends, or the read ends never see the end of the stream.
    out.value().write_end.reset();
    err.value().write_end.reset();
    input.reset();
    if (!ok) {
        return Result<LaunchedCore>::failure(system_error_text(error));
    }
    return LaunchedCore{CoreProcess{KernelHandle(created.hProcess), KernelHandle(created.hThread)},
                        std::move(out.value().read_end), std::move(err.value().read_end)};
}

void end_process(HANDLE process) {
    ::TerminateProcess(process, CORE_TERMINATE_EXIT_CODE);
    ::WaitForSingleObject(process, INFINITE);
    DWORD exit_code = 0;
    ::GetExitCodeProcess(process, &exit_code);
}

}  // namespace zelto
