#pragma once
// The service as the service control manager sees it: its status, and its removal whatever state
// it was left in. Shared by the tests and the benchmarks.

#include <windows.h>

#include <optional>

#include "common/unique_handle.h"
#include "windows/test_support.h"

namespace zelto::test {

inline constexpr wchar_t SERVICE[] = L"Zelto_service";

// The service's status, or nothing when it is not installed.
inline std::optional<SERVICE_STATUS_PROCESS> service_status() {
    const ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const ServiceHandle service(::OpenServiceW(manager.get(), SERVICE, SERVICE_QUERY_STATUS));
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!service ||
        !::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                reinterpret_cast<BYTE*>(&status), sizeof status, &needed)) {
        return std::nullopt;
    }
    return status;
}

// The service's current state, or 0 when it is not installed.
inline DWORD service_state() {
    const auto status = service_status();
    return status ? status->dwCurrentState : 0;
}

// The service process's id, or 0 when it does not run.
inline DWORD service_pid() {
    const auto status = service_status();
    return status ? status->dwProcessId : 0;
}

// Stops and deletes the service whatever state a failed test left it in.
inline void remove_service() {
    {
        const ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        const ServiceHandle service(
            ::OpenServiceW(manager.get(), SERVICE, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
        if (!service) {
            return;
        }
        SERVICE_STATUS status{};
        ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
        wait_until([] { return service_state() == SERVICE_STOPPED; });
        ::DeleteService(service.get());
    }
    // The deletion completes once the last handle to the service is closed.
    wait_until([] { return service_state() == 0; });
}

}  // namespace zelto::test
