#pragma once
// The pipe server: two instances of \\.\pipe\Zelto_service, each served by a loop of its own, one
// client and one request at a time; a slow request on one leaves the other free.

#include <windows.h>

#include <atomic>
#include <memory>
#include <string_view>

#include "common/unique_handle.h"
#include "ipc/pipe_name.h"

namespace zelto {

// Everyone may read and write data (FILE_GENERIC_READ | FILE_GENERIC_WRITE without
// FILE_CREATE_PIPE_INSTANCE) and nothing else: no WRITE_DAC, WRITE_OWNER or new instance, since
// all instances share one descriptor and the service keeps its instances for its whole run.
// LocalSystem and Administrators keep full control. A client asking GENERIC_READ | GENERIC_WRITE
// is still admitted: the pipe file system leaves the create-instance right out of a client's check.
inline constexpr std::wstring_view PIPE_SDDL = L"D:(A;;0x12019b;;;WD)(A;;GA;;;SY)(A;;GA;;;BA)";

class ProtocolHost;

class IpcServer {
  public:
    IpcServer();

    // Clears `running` and wakes both serving loops from any wait, so they end within a second
    // whatever a client is doing.
    void stop();

    std::atomic<bool> running{true};
    // Signalled by stop(); every wait of the serving loops also waits on it.
    KernelHandle stop_event;
};

// The pipe thread's body, which runs the second loop on a thread of its own; returns once both
// loops have found `running` cleared.
void run_pipe_server(std::shared_ptr<IpcServer> server, ProtocolHost& host);

}  // namespace zelto
