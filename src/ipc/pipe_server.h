#pragma once
// The pipe server: one thread serving \\.\pipe\Zelto_service, one client and one request at a time.

#include <windows.h>

#include <atomic>
#include <memory>
#include <string_view>

#include "common/unique_handle.h"
#include "ipc/pipe_name.h"

namespace zelto {

inline constexpr std::wstring_view PIPE_SDDL = L"D:(A;;GA;;;WD)";

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
