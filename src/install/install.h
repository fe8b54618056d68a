#pragma once
// The installer verbs. Each writes its own lines to standard output and returns success or the
// one-line error text; every handle it opened is closed before it returns.

#include <string>
#include <string_view>

#include "common/result.h"

namespace zelto {

// The DACL install gives the service it creates: the system's default for a service created
// without one (LocalSystem; Administrators full control; Interactive users and service logons
// the read rights and user-defined controls), with the read rights also for Authenticated Users,
// so that a client in any logon (SSH, remoting, a scheduled task) may ask the service control
// manager for the service's process id before it trusts the pipe.
inline constexpr std::wstring_view SERVICE_SDDL =
    L"D:(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)"
    L"(A;;CCLCSWLOCRRC;;;IU)(A;;CCLCSWLOCRRC;;;SU)(A;;CCLCSWLORC;;;AU)";

// The full path of the running executable, however long: the program install registers.
Result<std::wstring> current_exe_path();

// Creates the service with SERVICE_SDDL, describes and starts it; starts it when it exists and is
// stopped, leaving its descriptor as it is. A service marked for deletion is waited for until it
// has gone, at most 15 s, and then created anew; one still there fails the install.
ErrorText install_service();
// Starts the existing service; used by install_service.
ErrorText start_service();
// Stops the service when it is not stopped, waits for it to report STOPPED (at most 20 s), then
// deletes it.
ErrorText uninstall_service();
// Prints the service's state in one word, or "NotInstalled".
ErrorText query_service_status();

}  // namespace zelto
