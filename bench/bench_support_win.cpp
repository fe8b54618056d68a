#include "bench_support_win.h"

#include <algorithm>
#include <cstdio>
#include <thread>

#include "common/unique_handle.h"
#include "common/win_text.h"
#include "ipc/pipe_name.h"
#include "log/log_line.h"
#include "windows/test_support.h"

namespace zelto::bench {

using namespace std::chrono_literals;

double ms_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

double median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string verdict(bool met) {
    return met ? "yes" : "NO";
}

void Table::add(Row row) {
    std::printf("  -> %s: %s | %s | %s | %s | %s\n", row.benchmark.c_str(), row.measured.c_str(),
                row.baseline.c_str(), row.ratio.c_str(), row.target.c_str(), row.met.c_str());
    std::fflush(stdout);
    rows_.push_back(std::move(row));
}

void Table::print() const {
    std::printf("\n| Benchmark | Zelto service | Baseline, same run | Ratio | Target | Met |\n");
    std::printf("|---|---|---|---|---|---|\n");
    for (const Row& row : rows_) {
        std::printf("| %s | %s | %s | %s | %s | %s |\n", row.benchmark.c_str(),
                    row.measured.c_str(), row.baseline.c_str(), row.ratio.c_str(),
                    row.target.c_str(), row.met.c_str());
    }
    std::fflush(stdout);
}

std::wstring bench_dir_file(std::wstring_view name) {
    return std::wstring(INSTALL_DIR) + L"\\" + std::wstring(name);
}

namespace {

std::wstring installed_exe() {
    return bench_dir_file(L"Zelto-service.exe");
}

bool answers() {
    const Result<std::string> version = ask("VERSION");
    return version.ok() && version.value() == "OK|0.1.0";
}

}  // namespace

bool wait_for_state(DWORD state, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (service_state() != state) {
        if (Clock::now() >= deadline) {
            return false;
        }
        ::Sleep(1);
    }
    return true;
}

ErrorText install_service() {
    remove_service();
    ::CreateDirectoryW(INSTALL_DIR, nullptr);
    if (!::CopyFileW((test::exe_dir() + L"\\Zelto-service.exe").c_str(), installed_exe().c_str(),
                     FALSE)) {
        return "cannot copy Zelto-service.exe: " + system_error_text(::GetLastError());
    }
    const test::ProcessResult installed =
        test::run_process(L"\"" + installed_exe() + L"\" install");
    if (installed.exit_code != 0) {
        return "install failed: " + installed.err;
    }
    if (!wait_for_state(SERVICE_RUNNING, 20s) || !test::wait_until(answers, 20s)) {
        return std::string("the installed service does not answer");
    }
    return std::nullopt;
}

ErrorText start_service() {
    {
        const ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        const ServiceHandle service(::OpenServiceW(manager.get(), SERVICE, SERVICE_START));
        if (!service || !::StartServiceW(service.get(), 0, nullptr)) {
            return "cannot start the service: " + system_error_text(::GetLastError());
        }
    }
    if (!wait_for_state(SERVICE_RUNNING, 20s) || !test::wait_until(answers, 20s)) {
        return std::string("the restarted service does not answer");
    }
    return std::nullopt;
}

Result<std::string> ask(std::wstring_view pipe_name, std::string_view request) {
    using R = Result<std::string>;
    const std::wstring name(pipe_name);
    const auto deadline = Clock::now() + 10s;
    KernelHandle pipe;
    for (;;) {
        pipe.reset(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
        if (pipe) {
            break;
        }
        const DWORD error = ::GetLastError();
        if (Clock::now() >= deadline ||
            (error != ERROR_PIPE_BUSY && error != ERROR_FILE_NOT_FOUND)) {
            return R::failure("cannot open the pipe: " + system_error_text(error));
        }
        if (error == ERROR_PIPE_BUSY) {
            ::WaitNamedPipeW(name.c_str(), 1000);
        } else {
            ::SwitchToThread();
        }
    }
    DWORD written = 0;
    if (!::WriteFile(pipe.get(), request.data(), static_cast<DWORD>(request.size()), &written,
                     nullptr)) {
        return R::failure("cannot send: " + system_error_text(::GetLastError()));
    }
    std::string response;
    char buffer[4096];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(pipe.get(), buffer, sizeof buffer, &got, nullptr)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED) {
                return response;
            }
            if (error != ERROR_MORE_DATA) {
                return R::failure("cannot read: " + system_error_text(error));
            }
        }
        response.append(buffer, got);
    }
}

Result<std::string> ask(std::string_view request) {
    return ask(PIPE_NAME, request);
}

std::uint64_t log_clock() {
    FILETIME now{};
    ::GetSystemTimePreciseAsFileTime(&now);
    return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

void floor_append_lines(const std::wstring& path, std::string_view lines) {
    const KernelHandle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    ::WriteFile(file.get(), lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr);
}

void floor_append(const std::wstring& path, std::string_view tag, std::string_view message) {
    floor_append_lines(path, format_log_line(log_clock(), tag, message));
}

unsigned long long file_size(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace zelto::bench
