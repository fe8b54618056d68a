#pragma once
// The installer verbs. Each writes its own lines to standard output and returns success or the
// one-line error text; every handle it opened is closed before it returns.

#include "common/result.h"

namespace zelto {

// Creates, describes and starts the service; starts it when it exists and is stopped.
ErrorText install_service();
// Starts the existing service; used by install_service.
ErrorText start_service();
// Stops the service when it is not stopped, then deletes it.
ErrorText uninstall_service();
// Prints the service's state in one word, or "NotInstalled".
ErrorText query_service_status();

}  // namespace zelto
