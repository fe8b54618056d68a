#include "install/install.h"

#include <windows.h>
#include <sddl.h>

#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "common/unique_handle.h"
#include "common/win_text.h"
#include "install/escape_argument.h"
#include "install/service_state.h"
#include "common/console.h"
#include "common/identity.h"

namespace zelto {

namespace {

// How long install waits for a service marked for deletion to go: the manager deletes it once it
// has stopped and the last handle on it is closed. uninstall waits for the stop itself, so what
// remains is mostly another program's handle (the Services console, a monitoring agent, a
// client's lookup), which a person has to close.
constexpr ULONGLONG MARKED_FOR_DELETE_WAIT_MS = 15000;
// How long uninstall waits for the service to report STOPPED before it deletes it: a stop may
// wait 5 s for the core's processes to end, 2 s for a stuck log, and a request under way first.
constexpr ULONGLONG UNINSTALL_STOP_WAIT_MS = 20000;
constexpr DWORD SERVICE_POLL_MS = 100;

constexpr std::string_view MARKED_AND_HELD =
    "Service is marked for deletion and another program holds it open (the Services console, "
    "for example): close it and run install again";

// Handles are declared manager first, service second, so that leaving a scope closes the
// service handle before its manager handle.

std::string failed(std::string_view step, std::string_view cause) {
    return std::string(step) + ": " + std::string(cause);
}

ServiceHandle open_manager(DWORD access) {
    return ServiceHandle(::OpenSCManagerW(nullptr, nullptr, access));
}

ServiceHandle open_service(SC_HANDLE manager, DWORD access) {
    return ServiceHandle(::OpenServiceW(manager, to_wide(SERVICE_NAME).c_str(), access));
}

// The service's current state, checked to lie within 1 to 7.
Result<DWORD> query_state(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof status, &needed)) {
        return Result<DWORD>::failure(std::string(WINAPI_CALL_FAILED));
    }
    if (!state_word(status.dwCurrentState)) {
        return Result<DWORD>::failure(std::string(INVALID_SERVICE_STATUS));
    }
    return status.dwCurrentState;
}

// The created service, or the error that refused it.
std::pair<ServiceHandle, DWORD> create_service(SC_HANDLE manager,
                                               const std::wstring& command_line) {
    ServiceHandle service(::CreateServiceW(
        manager, to_wide(SERVICE_NAME).c_str(), to_wide(SERVICE_DISPLAY_NAME).c_str(),
        SERVICE_CHANGE_CONFIG | SERVICE_START | WRITE_DAC | DELETE, SERVICE_WIN32_OWN_PROCESS,
        SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command_line.c_str(), nullptr, nullptr, nullptr,
        nullptr, nullptr));
    const DWORD error = service ? ERROR_SUCCESS : ::GetLastError();
    return {std::move(service), error};
}

ErrorText apply_service_descriptor(SC_HANDLE service) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            SERVICE_SDDL.data(), SDDL_REVISION_1, &descriptor, nullptr)) {
        return system_error_text(::GetLastError());
    }
    const LocalMemory owner(descriptor);
    if (!::SetServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, descriptor)) {
        return std::string(WINAPI_CALL_FAILED);
    }
    return std::nullopt;
}

// A service that DeleteService marked stays until it has stopped and every handle on it is closed;
// meanwhile it can be opened, and on Windows no longer started (Wine still starts it), but a
// configuration change is refused with ERROR_SERVICE_MARKED_FOR_DELETE, on both.
bool marked_for_deletion(SC_HANDLE service) {
    return !::ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                   nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) &&
           ::GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
}

// Polls until the service no longer exists, at most MARKED_FOR_DELETE_WAIT_MS. Each look closes
// its handle again: one held here would keep the service as well.
bool wait_for_service_to_go(SC_HANDLE manager) {
    const ULONGLONG deadline = ::GetTickCount64() + MARKED_FOR_DELETE_WAIT_MS;
    for (;;) {
        if (!open_service(manager, SERVICE_QUERY_STATUS) &&
            ::GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) {
            return true;
        }
        if (::GetTickCount64() >= deadline) {
            return false;
        }
        ::Sleep(SERVICE_POLL_MS);
    }
}

// Polls until the service reports STOPPED, at most UNINSTALL_STOP_WAIT_MS; false if it has not.
bool wait_for_stopped(SC_HANDLE service) {
    const ULONGLONG deadline = ::GetTickCount64() + UNINSTALL_STOP_WAIT_MS;
    for (;;) {
        const Result<DWORD> state = query_state(service);
        if (state && state.value() == SERVICE_STOPPED) {
            return true;
        }
        if (::GetTickCount64() >= deadline) {
            return false;
        }
        ::Sleep(SERVICE_POLL_MS);
    }
}

}  // namespace

Result<std::wstring> current_exe_path() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return Result<std::wstring>::failure(system_error_text(::GetLastError()));
        }
        // A path that filled the buffer may have been cut short.
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

ErrorText install_service() {
    const ServiceHandle manager = open_manager(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    if (!manager) {
        return failed("Failed to connect to service manager", WINAPI_CALL_FAILED);
    }
    // An existing service is recognised only by this probe and its state; any failure here
    // leaves the decision to CreateServiceW. A service marked for deletion is never started: on
    // Windows it cannot be, and under Wine it would vanish at its next stop.
    bool marked = false;
    {
        const ServiceHandle probe =
            open_service(manager.get(), SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG);
        if (probe) {
            marked = marked_for_deletion(probe.get());
            const Result<DWORD> state = query_state(probe.get());
            if (!marked && state && state.value() == SERVICE_RUNNING) {
                return "Service is already running";
            }
            if (!marked && state && state.value() == SERVICE_STOPPED) {
                write_stdout("Service already exists, starting...\n");
                return start_service();
            }
        }
    }

    const Result<std::wstring> exe = current_exe_path();
    if (!exe) {
        return failed("Failed to get current exe path", exe.error());
    }
    const std::wstring command_line = to_wide(escape_argument(to_utf8(exe.value())));
    ServiceHandle service;
    if (!marked) {
        DWORD create_error = ERROR_SUCCESS;
        std::tie(service, create_error) = create_service(manager.get(), command_line);
        marked = create_error == ERROR_SERVICE_MARKED_FOR_DELETE;
    }
    if (marked) {
        write_stdout("Service is marked for deletion, waiting for it to go...\n");
        if (!wait_for_service_to_go(manager.get())) {
            return std::string(MARKED_AND_HELD);
        }
        service = create_service(manager.get(), command_line).first;
    }
    if (!service) {
        return failed("Failed to create service", WINAPI_CALL_FAILED);
    }

    // Before the start, so no client ever meets the service with the default descriptor. A
    // service left without it would be started as it is by the next install, so it is removed.
    if (ErrorText error = apply_service_descriptor(service.get())) {
        ::DeleteService(service.get());
        return failed("Failed to set service security", *error);
    }

    std::wstring description_text = to_wide(SERVICE_DESCRIPTION);
    SERVICE_DESCRIPTIONW description{description_text.data()};
    if (!::ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description)) {
        return failed("Failed to set service description", WINAPI_CALL_FAILED);
    }
    if (!::StartServiceW(service.get(), 0, nullptr)) {
        return failed("Failed to start service", WINAPI_CALL_FAILED);
    }
    write_stdout("Service installed and started successfully\n");
    return std::nullopt;
}

ErrorText start_service() {
    const ServiceHandle manager = open_manager(SC_MANAGER_CONNECT);
    if (!manager) {
        return failed("Failed to connect to service manager", WINAPI_CALL_FAILED);
    }
    const ServiceHandle service = open_service(manager.get(), SERVICE_QUERY_STATUS | SERVICE_START);
    if (!service) {
        return failed("Failed to open service", WINAPI_CALL_FAILED);
    }
    const Result<DWORD> state = query_state(service.get());
    if (!state) {
        return failed("Failed to query service status", state.error());
    }
    if (state.value() == SERVICE_RUNNING) {
        write_stdout("Service is already running\n");
        return std::nullopt;
    }
    if (!::StartServiceW(service.get(), 0, nullptr)) {
        return failed("Failed to start service", WINAPI_CALL_FAILED);
    }
    write_stdout("Service started successfully\n");
    return std::nullopt;
}

ErrorText uninstall_service() {
    const ServiceHandle manager = open_manager(SC_MANAGER_CONNECT);
    if (!manager) {
        return failed("Failed to connect to service manager", WINAPI_CALL_FAILED);
    }
    const ServiceHandle service =
        open_service(manager.get(), DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (!service) {
        return failed("Failed to open service", WINAPI_CALL_FAILED);
    }
    const Result<DWORD> state = query_state(service.get());
    if (!state) {
        return failed("Failed to query service status", state.error());
    }
    // A service already stopping takes no stop control; it is only waited for.
    if (state.value() != SERVICE_STOPPED && state.value() != SERVICE_STOP_PENDING) {
        SERVICE_STATUS reported{};
        if (!::ControlService(service.get(), SERVICE_CONTROL_STOP, &reported)) {
            return failed("Failed to stop service", WINAPI_CALL_FAILED);
        }
        if (!state_word(reported.dwCurrentState)) {
            return failed("Failed to stop service", INVALID_SERVICE_STATUS);
        }
    }
    if (state.value() != SERVICE_STOPPED) {
        // Deleted before it has stopped, the service would only be marked for deletion, and an
        // install right after (an MSI upgrade) would find it still there.
        if (!wait_for_stopped(service.get())) {
            write_stdout("Service did not stop within " +
                         std::to_string(UNINSTALL_STOP_WAIT_MS / 1000) +
                         " s; it is deleted once it has stopped\n");
        }
    }
    if (!::DeleteService(service.get())) {
        return failed("Failed to delete service", WINAPI_CALL_FAILED);
    }
    write_stdout("Service uninstalled successfully\n");
    return std::nullopt;
}

ErrorText query_service_status() {
    std::string_view word = "NotInstalled";
    {
        const ServiceHandle manager = open_manager(SC_MANAGER_CONNECT);
        if (!manager) {
            return failed("Failed to connect to service manager", WINAPI_CALL_FAILED);
        }
        // A service that cannot be opened, for whatever reason, counts as not installed.
        const ServiceHandle service = open_service(manager.get(), SERVICE_QUERY_STATUS);
        if (service) {
            const Result<DWORD> state = query_state(service.get());
            if (!state) {
                return failed("Failed to query service status", state.error());
            }
            word = *state_word(state.value());
        }
    }
    write_stdout(std::string(word) + "\n");
    return std::nullopt;
}

}  // namespace zelto
