#include "install/install.h"

#include <windows.h>
#include <sddl.h>

#include <string>
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

// How long install waits for a service that uninstall marked for deletion while it was still
// stopping: the manager deletes it only once it has stopped, and a stop may wait 5 s for the
// core's processes to end and 2 s more for a stuck log. Twice that leaves room for a loaded
// machine; an MSI upgrade runs install right after the older product's uninstall.
constexpr ULONGLONG MARKED_FOR_DELETE_WAIT_MS = 15000;
constexpr DWORD MARKED_FOR_DELETE_POLL_MS = 100;

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

// The full path of the running executable, however long.
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

}  // namespace

ErrorText install_service() {
    const ServiceHandle manager = open_manager(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    if (!manager) {
        return failed("Failed to connect to service manager", WINAPI_CALL_FAILED);
    }
    {
        // An existing service is recognised only by this probe and its state; any failure here
        // leaves the decision to CreateServiceW.
        const ServiceHandle probe = open_service(manager.get(), SERVICE_QUERY_STATUS);
        if (probe) {
            const Result<DWORD> state = query_state(probe.get());
            if (state && state.value() == SERVICE_RUNNING) {
                return "Service is already running";
            }
            if (state && state.value() == SERVICE_STOPPED) {
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
    auto [service, error] = create_service(manager.get(), command_line);
    if (error == ERROR_SERVICE_MARKED_FOR_DELETE) {
        // An uninstall just before left the old service stopping; it goes once it has stopped.
        write_stdout("Service is marked for deletion, waiting for it to go...\n");
        const ULONGLONG deadline = ::GetTickCount64() + MARKED_FOR_DELETE_WAIT_MS;
        while (error == ERROR_SERVICE_MARKED_FOR_DELETE && ::GetTickCount64() < deadline) {
            ::Sleep(MARKED_FOR_DELETE_POLL_MS);
            std::tie(service, error) = create_service(manager.get(), command_line);
        }
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
    if (state.value() != SERVICE_STOPPED) {
        SERVICE_STATUS reported{};
        if (!::ControlService(service.get(), SERVICE_CONTROL_STOP, &reported)) {
            return failed("Failed to stop service", WINAPI_CALL_FAILED);
        }
        if (!state_word(reported.dwCurrentState)) {
            return failed("Failed to stop service", INVALID_SERVICE_STATUS);
        }
        // One pause, no polling: deletion follows whether or not the service has stopped; the
        // manager marks a still-running service for deletion.
        ::Sleep(1000);
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
