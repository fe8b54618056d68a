#pragma once
// The service's life under the service control manager: service_main and its control handler.

#include <windows.h>

#include <memory>

#include "common/result.h"
#include "service/stop_channel.h"

namespace zelto {

class ProtocolHost;

// The control handler's one registered value; the handler may be called until the process
// ends, so it outlives service_main.
struct ControlContext {
    std::shared_ptr<StopChannel> stop;
};

// The service-specific exit code of a service that stopped itself because its pipe thread ended
// on an exception: nobody would serve the pipe any more.
inline constexpr DWORD PIPE_THREAD_FAILED_EXIT_CODE = 1;

// The dispatcher's entry for SERVICE_NAME. The start arguments are not used.
void WINAPI service_main(DWORD argument_count, LPWSTR* arguments);

// The body of service_main: registers the handler, reports the start, runs the pipe thread,
// serving `host`, until a stop request arrives or the thread fails, then stops. Fails only when
// the service did not start.
ErrorText run_service_inner(ProtocolHost& host);

// Answers the service control manager; STOP and SHUTDOWN send one message on the context's stop
// channel. The event type and data are not used.
DWORD WINAPI control_handler(DWORD control, DWORD event_type, LPVOID event_data, LPVOID context);

}  // namespace zelto
