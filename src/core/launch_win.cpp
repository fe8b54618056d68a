#include "core/launch_win.h"

#include <bcrypt.h>
#include <sddl.h>
#include <winternl.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

#include "common/win_text.h"
#include "core/command_line.h"
#include "log/log.h"

namespace zelto {

namespace {

std::atomic<HANDLE> start_open_gate{nullptr};

void pass_start_open_gate() {
    if (const HANDLE gate = start_open_gate.load()) {
        ::WaitForSingleObject(gate, INFINITE);
    }
}

// The attributes of what the path names, links followed; nothing when the metadata query fails.
std::optional<DWORD> path_attributes(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    pass_start_open_gate();
    const std::wstring wide = to_wide(path);
    const KernelHandle file(
        ::CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (file) {
        // The narrow query: GetFileInformationByHandle also looks up the volume, for nothing here.
        FILE_BASIC_INFO info{};
        if (!::GetFileInformationByHandleEx(file.get(), FileBasicInfo, &info, sizeof info)) {
            return std::nullopt;
        }
        return info.FileAttributes;
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) {
        return std::nullopt;
    }
    // Files the system holds exclusively (the page file) still show in their folder's listing.
    WIN32_FIND_DATAW found{};
    const FindHandle search(::FindFirstFileExW(wide.c_str(), FindExInfoBasic, &found,
                                               FindExSearchNameMatch, nullptr, 0));
    if (!search) {
        return std::nullopt;
    }
    return found.dwFileAttributes;
}

}  // namespace

void gate_start_opens_for_testing(HANDLE opens) {
    start_open_gate.store(opens);
}

bool path_exists(const std::string& path) {
    return path_attributes(path).has_value();
}

bool file_exists(const std::string& path) {
    const std::optional<DWORD> attributes = path_attributes(path);
    return attributes && (*attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

namespace {

Result<KernelHandle> create_core_job() {
    KernelHandle job(::CreateJobObjectW(nullptr, nullptr));
    if (!job) {
        return Result<KernelHandle>::failure(system_error_text(::GetLastError()));
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                   sizeof limits)) {
        return Result<KernelHandle>::failure(system_error_text(::GetLastError()));
    }
    return job;
}

// "\\.\pipe\Zelto_core_out_" and 128 bits of the system's preferred random generator: no other
// process can know the name beforehand and take it first.
Result<std::wstring> random_pipe_name() {
    unsigned char bits[16] = {};
    const NTSTATUS status =
        ::BCryptGenRandom(nullptr, bits, sizeof bits, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (!BCRYPT_SUCCESS(status)) {
        return Result<std::wstring>::failure(system_error_text(::RtlNtStatusToDosError(status)));
    }
    static constexpr wchar_t DIGITS[] = L"0123456789abcdef";
    std::wstring name = L"\\\\.\\pipe\\Zelto_core_out_";
    for (const unsigned char byte : bits) {
        name += DIGITS[byte >> 4];
        name += DIGITS[byte & 0x0F];
    }
    return name;
}

// A descriptor that admits the account the service runs as and nobody else; the core gets its
// end by inheritance, which asks for no access.
Result<LocalMemory> own_account_only_descriptor() {
    HANDLE raw_token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw_token)) {
        return Result<LocalMemory>::failure(system_error_text(::GetLastError()));
    }
    const KernelHandle token(raw_token);
    alignas(TOKEN_USER) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    DWORD size = 0;
    wchar_t* sid = nullptr;
    if (!::GetTokenInformation(token.get(), TokenUser, user, sizeof user, &size) ||
        !::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sid)) {
        return Result<LocalMemory>::failure(system_error_text(::GetLastError()));
    }
    const LocalMemory sid_text(sid);
    const std::wstring sddl = L"O:" + std::wstring(sid) + L"D:P(A;;GA;;;" + sid + L")";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                &descriptor, nullptr)) {
        return Result<LocalMemory>::failure(system_error_text(::GetLastError()));
    }
    return LocalMemory(descriptor);
}

// The service's environment block with PATH replaced in its place by the system's folders alone,
// so that a core loading a DLL by bare name searches no folder that nobody checked.
Result<std::wstring> system_path_environment() {
    wchar_t system[MAX_PATH + 1] = {};
    wchar_t windows[MAX_PATH + 1] = {};
    const UINT system_length = ::GetSystemDirectoryW(system, MAX_PATH + 1);
    const UINT windows_length = ::GetSystemWindowsDirectoryW(windows, MAX_PATH + 1);
    if (system_length == 0 || system_length > MAX_PATH || windows_length == 0 ||
        windows_length > MAX_PATH) {
        return Result<std::wstring>::failure(system_error_text(::GetLastError()));
    }
    const std::wstring path =
        std::wstring(L"Path=") + system + L";" + windows + L";" + system + L"\\Wbem";
    wchar_t* strings = ::GetEnvironmentStringsW();
    if (strings == nullptr) {
        return Result<std::wstring>::failure(system_error_text(::GetLastError()));
    }
    std::wstring block;
    bool replaced = false;
    for (const wchar_t* entry = strings; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
        // Names start after the first character, so "=C:=C:\..." has the name "=C:".
        const std::wstring_view text(entry);
        const std::wstring_view name = text.substr(0, text.find(L'=', 1));
        if (::CompareStringOrdinal(name.data(), static_cast<int>(name.size()), L"PATH", 4, TRUE) ==
            CSTR_EQUAL) {
            block += replaced ? L"" : path + L'\0';
            replaced = true;
            continue;
        }
        block.append(text) += L'\0';
    }
    ::FreeEnvironmentStringsW(strings);
    if (!replaced) {
        block += path + L'\0';
    }
    return block + L'\0';
}

}  // namespace

Result<OutputPipe> create_output_pipe() {
    // Anonymous pipes cannot be read overlapped, so each pipe gets a name of its own.
    Result<LocalMemory> descriptor = own_account_only_descriptor();
    if (!descriptor) {
        return Result<OutputPipe>::failure(descriptor.error());
    }
    SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), descriptor.value().get(), FALSE};
    KernelHandle read_end;
    std::wstring name;
    for (int draw = 1;; ++draw) {
        Result<std::wstring> drawn = random_pipe_name();
        if (!drawn) {
            return Result<OutputPipe>::failure(drawn.error());
        }
        name = std::move(drawn.value());
        // The first instance flag makes a name that someone holds fail instead of joining their
        // pipe (Windows answers access denied; a full instance count answers pipe busy).
        read_end.reset(::CreateNamedPipeW(
            name.c_str(),
            PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
            CORE_PIPE_BUFFER_SIZE, CORE_PIPE_BUFFER_SIZE, 0, &security));
        if (read_end) {
            break;
        }
        const DWORD error = ::GetLastError();
        const bool name_taken = error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY;
        if (!name_taken || draw == CORE_PIPE_NAME_DRAWS) {
            return Result<OutputPipe>::failure(system_error_text(error));
        }
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
                                 const std::string& config_path, CoreEnvironment environment) {
    std::wstring environment_block;
    if (environment == CoreEnvironment::SYSTEM_PATH) {
        Result<std::wstring> block = system_path_environment();
        if (!block) {
            return Result<LaunchedCore>::failure(block.error());
        }
        environment_block = std::move(block.value());
    }
    Result<OutputPipe> out = create_output_pipe();
    if (!out) {
        return Result<LaunchedCore>::failure(out.error());
    }
    Result<OutputPipe> err = create_output_pipe();
    if (!err) {
        return Result<LaunchedCore>::failure(err.error());
    }
    Result<KernelHandle> job = create_core_job();
    if (!job) {
        return Result<LaunchedCore>::failure(job.error());
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
    pass_start_open_gate();
    // Suspended until it is in its job, so it runs no code outside. (Wine ignores a job list
    // attribute when the program is a batch file.)
    const BOOL ok = ::CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr,
                                     TRUE, CORE_CREATION_FLAGS | CREATE_SUSPENDED,
                                     environment_block.empty() ? nullptr : environment_block.data(),
                                     nullptr, &startup, &created);
    const DWORD error = ::GetLastError();

    // Only the core may hold the write ends, or the read ends never see the end of the stream.
    out.value().write_end.reset();
    err.value().write_end.reset();
    input.reset();
    if (!ok) {
        return Result<LaunchedCore>::failure(system_error_text(error, core_path));
    }
    CoreProcess core{KernelHandle(created.hProcess), KernelHandle(created.hThread), KernelHandle()};
    if (!::AssignProcessToJobObject(job.value().get(), core.process.get())) {
        const DWORD join_error = ::GetLastError();
        ::TerminateProcess(core.process.get(), CORE_TERMINATE_EXIT_CODE);
        ::WaitForSingleObject(core.process.get(), INFINITE);
        return Result<LaunchedCore>::failure(system_error_text(join_error));
    }
    // From here the record owns the core: releasing it on any path ends the job.
    core.job = std::move(job.value());
    if (::ResumeThread(core.thread.get()) == static_cast<DWORD>(-1)) {
        return Result<LaunchedCore>::failure(system_error_text(::GetLastError()));
    }
    return LaunchedCore{std::move(core), std::move(out.value().read_end),
                        std::move(err.value().read_end)};
}

namespace {

// The ids of the processes the job holds; nothing when the job cannot be queried.
std::optional<std::vector<DWORD>> job_process_ids(HANDLE job) {
    constexpr std::size_t HEADER = offsetof(JOBOBJECT_BASIC_PROCESS_ID_LIST, ProcessIdList);
    std::size_t room = 16;
    for (;;) {
        std::vector<unsigned char> buffer(HEADER + room * sizeof(ULONG_PTR));
        if (!::QueryInformationJobObject(job, JobObjectBasicProcessIdList, buffer.data(),
                                         static_cast<DWORD>(buffer.size()), nullptr)) {
            if (::GetLastError() != ERROR_MORE_DATA) {
                return std::nullopt;
            }
            room *= 2;  // more processes than room: ask again with more
            continue;
        }
        JOBOBJECT_BASIC_PROCESS_ID_LIST list{};
        std::memcpy(&list, buffer.data(), HEADER);
        std::vector<DWORD> ids(list.NumberOfProcessIdsInList);
        for (std::size_t i = 0; i < ids.size(); ++i) {
            ULONG_PTR id = 0;
            std::memcpy(&id, buffer.data() + HEADER + i * sizeof id, sizeof id);
            ids[i] = static_cast<DWORD>(id);
        }
        return ids;
    }
}

// Handles on the job's processes that still run. A listed id is taken only while it still names
// a process of the job, so an id passed on meanwhile to another process is never waited for.
std::vector<KernelHandle> running_processes(HANDLE job, const std::vector<DWORD>& ids) {
    std::vector<KernelHandle> running;
    for (const DWORD id : ids) {
        KernelHandle process(
            ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
        BOOL in_job = FALSE;
        if (process && ::IsProcessInJob(process.get(), job, &in_job) && in_job &&
            ::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT) {
            running.push_back(std::move(process));
        }
    }
    return running;
}

}  // namespace

void end_core(const CoreProcess& core) {
    const ULONGLONG deadline = ::GetTickCount64() + CORE_JOB_EMPTY_LIMIT_MS;
    ::TerminateJobObject(core.job.get(), CORE_TERMINATE_EXIT_CODE);
    // The job's processes end asynchronously, and until they have, they may still hold the TUN
    // adapter or the ports the next core needs. The job's own count of active processes is no
    // help: Windows lowers it only once every reference to a process is released, this record's
    // handles and any other program's. So the processes themselves are waited for, and the list
    // read again after each round, since one may have started another before it ended. A job that
    // cannot be listed leaves the core alone to wait for.
    const std::vector<DWORD> core_only{::GetProcessId(core.process.get())};
    for (;;) {
        const std::vector<KernelHandle> running =
            running_processes(core.job.get(), job_process_ids(core.job.get()).value_or(core_only));
        if (running.empty()) {
            return;
        }
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline) {
            log_core("Processes of the stopped core still running after " +
                     std::to_string(CORE_JOB_EMPTY_LIMIT_MS) +
                     " ms: " + std::to_string(running.size()));
            return;
        }
        for (const KernelHandle& process : running) {
            const ULONGLONG at = ::GetTickCount64();
            ::WaitForSingleObject(process.get(),
                                  at < deadline ? static_cast<DWORD>(deadline - at) : 0);
        }
    }
}

}  // namespace zelto
