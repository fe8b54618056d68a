#include "zelto_client.h"

#include <windows.h>

#include <algorithm>

#include "common/identity.h"
#include "common/unique_handle.h"
#include "common/win_text.h"
#include "ipc/base64.h"
#include "ipc/pipe_name.h"

namespace zelto::client {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int YIELDS_BEFORE_SLEEPING = 200;

DWORD ms_left(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
}

// Completion of one overlapped read or write: bytes moved, or the error that ended it.
struct IoEnd {
    DWORD error = ERROR_SUCCESS;
    DWORD bytes = 0;
};

// Finishes an overlapped call before the deadline, or cancels it.
IoEnd finish_io(HANDLE pipe, OVERLAPPED& io, BOOL started, Clock::time_point deadline) {
    if (!started && ::GetLastError() != ERROR_IO_PENDING) {
        return {::GetLastError(), 0};
    }
    IoEnd end;
    if (::WaitForSingleObject(io.hEvent, ms_left(deadline)) != WAIT_OBJECT_0) {
        ::CancelIoEx(pipe, &io);
        end.error = ERROR_TIMEOUT;
    }
    if (!::GetOverlappedResult(pipe, &io, &end.bytes, TRUE) && end.error == ERROR_SUCCESS) {
        end.error = ::GetLastError();
    }
    return end;
}

Result<KernelHandle> open_pipe(Clock::time_point deadline) {
    for (int attempt = 0;; ++attempt) {
        // The server may learn who the client is, never act as the client.
        KernelHandle pipe(::CreateFileW(
            PIPE_NAME.data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
            FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
        if (pipe) {
            return pipe;
        }
        const DWORD error = ::GetLastError();
        const DWORD left = ms_left(deadline);
        if (left == 0 || (error != ERROR_PIPE_BUSY && error != ERROR_FILE_NOT_FOUND)) {
            return Result<KernelHandle>::failure("cannot open the service's pipe: " +
                                                 system_error_text(error));
        }
        if (error == ERROR_PIPE_BUSY) {
            // Another client is being served, or the service is between two clients; wait for
            // the instance to come free.
            ::WaitNamedPipeW(PIPE_NAME.data(), left);
        } else {
            // No instance: the service is starting, re-creating a failed instance, or not
            // running. The first two end within a fraction of a millisecond, far less than the
            // shortest sleep: yield for a while before sleeping.
            ::Sleep(attempt < YIELDS_BEFORE_SLEEPING ? 0 : 1);
        }
    }
}

// The process id the service control manager reports for the running service.
Result<DWORD> service_process_id() {
    const std::string service_name(SERVICE_NAME);
    const ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    // Status queries only: any local user may make them.
    const ServiceHandle service(
        manager ? ::OpenServiceW(manager.get(), to_wide(service_name).c_str(), SERVICE_QUERY_STATUS)
                : nullptr);
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!service ||
        !::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                reinterpret_cast<BYTE*>(&status), sizeof status, &needed)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
            return Result<DWORD>::failure("the " + service_name + " service is not installed");
        }
        return Result<DWORD>::failure("the service control manager cannot be asked about the " +
                                      service_name + " service: " + system_error_text(error));
    }
    if (status.dwProcessId == 0) {
        return Result<DWORD>::failure("the " + service_name + " service is not running");
    }
    return status.dwProcessId;
}

}  // namespace

ErrorText check_pipe_server(HANDLE pipe, std::optional<DWORD> expected_server) {
    const std::string pipe_name = to_utf8(PIPE_NAME);
    DWORD server = 0;
    if (!::GetNamedPipeServerProcessId(pipe, &server)) {
        return "cannot tell which process serves " + pipe_name + ": " +
               system_error_text(::GetLastError());
    }
    const std::string served_by = pipe_name + " is served by process " + std::to_string(server);
    if (expected_server) {
        if (server == *expected_server) {
            return std::nullopt;
        }
        return served_by + ", not by process " + std::to_string(*expected_server);
    }
    const Result<DWORD> service = service_process_id();
    if (!service) {
        return served_by + ", but " + service.error();
    }
    if (server == service.value()) {
        return std::nullopt;
    }
    return served_by + ", not by the " + std::string(SERVICE_NAME) + " service (process " +
           std::to_string(service.value()) + ")";
}

Result<std::string> send_request(std::string_view request, std::chrono::milliseconds timeout,
                                 std::optional<DWORD> expected_server) {
    using R = Result<std::string>;
    if (request.size() > MAX_REQUEST_BYTES) {
        return R::failure("the request is " + std::to_string(request.size()) +
                          " bytes long; the service reads at most " +
                          std::to_string(MAX_REQUEST_BYTES) + ", so it was not sent");
    }
    const auto deadline = Clock::now() + timeout;
    Result<KernelHandle> pipe = open_pipe(deadline);
    if (!pipe) {
        return R::failure(pipe.error());
    }
    const HANDLE handle = pipe.value().get();
    if (ErrorText wrong_server = check_pipe_server(handle, expected_server)) {
        return R::failure(*wrong_server);
    }
    const KernelHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) {
        return R::failure("cannot create an event: " + system_error_text(::GetLastError()));
    }

    OVERLAPPED io{};
    io.hEvent = event.get();
    const BOOL wrote =
        ::WriteFile(handle, request.data(), static_cast<DWORD>(request.size()), nullptr, &io);
    const IoEnd write = finish_io(handle, io, wrote, deadline);
    if (write.error != ERROR_SUCCESS) {
        return R::failure("cannot send the request: " + system_error_text(write.error));
    }

    // The response has no terminator: it ends where the service disconnects.
    std::string response;
    char buffer[4096];
    for (;;) {
        io = OVERLAPPED{};
        io.hEvent = event.get();
        const BOOL read = ::ReadFile(handle, buffer, sizeof buffer, nullptr, &io);
        const IoEnd end = finish_io(handle, io, read, deadline);
        if (end.error == ERROR_BROKEN_PIPE || end.error == ERROR_PIPE_NOT_CONNECTED) {
            return response;
        }
        if (end.error != ERROR_SUCCESS && end.error != ERROR_MORE_DATA) {
            return R::failure("cannot read the response: " + system_error_text(end.error));
        }
        response.append(buffer, end.bytes);
    }
}

std::string start_request(std::string_view config_path, std::string_view core_path) {
    return "START|" + encode_base64(config_path) + "|" + encode_base64(core_path);
}

}  // namespace zelto::client
