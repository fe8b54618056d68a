#pragma once
// The pipe server: one thread serving \\.\pipe\Zelto_service, one client and one request at a time.

#include <windows.h>

#include <atomic>
#include <memory>
#include <string_view>

#include "common/unique_handle.h"
#include "ipc/pipe_name.h"

namespace zelto {

// Everyone may read and write data (FILE_GENERIC_READ | FILE_GENERIC_WRITE without
// FILE_CREATE_PIPE_INSTANCE) and nothing else: no WRITE_DAC, WRITE_OWNER or new instance, since
// all instances share one descriptor and the service keeps its instance for its whole run.
// LocalSystem and Administrators keep full control. A client asking GENERIC_READ | GENERIC_WRITE
// is still admitted: the pipe file system leaves the create-instance right out of a client's check.
inline constexpr std::wstring_view PIPE_SDDL = L"D:(A;;0x12019b;;;WD)(A;;GA;;;SY)(A;;GA;;;BA)";

class ProtocolHost;

class IpcServer {
  public:
    IpcServer();

    // Clears `running` and wakes the pipe thread from any wait, so it ends within a second
    // whatever a client is doing.
    void stop();

    std::atomic<bool> running{true};
    // Signalled by stop(); every wait of the pipe thread also waits on it.
    KernelHandle stop_event;
};

// The pipe thread's body; returns once it finds `running` cleared.
void run_pipe_server(std::shared_ptr<IpcServer> server, ProtocolHost& host);

}  // namespace zelto
