#pragma once
// Forwarding of one output stream of the core into the log, on a detached thread of its own.

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <string_view>

#include "common/result.h"
#include "common/unique_handle.h"

namespace zelto {

inline constexpr std::string_view STDOUT_PREFIX = "[mihomo stdout] ";
inline constexpr std::string_view STDERR_PREFIX = "[mihomo stderr] ";

// The one line that tells how a core ended, "Core process {pid} exited with code {code}", written
// once both its output streams have ended, so after its last line, and its process has ended.
// Shared by the core's two forwarders and the supervisor.
class CoreExit {
  public:
    explicit CoreExit(HANDLE process);
    CoreExit(const CoreExit&) = delete;
    CoreExit& operator=(const CoreExit&) = delete;

    // The service ends the core (a STOP, a replacing START, the service's stop): the line says so.
    void ended_by_service() { ended_by_service_ = true; }

    // One stream has ended, or will never be forwarded. The second waits up to `limit` ms for the
    // process to end and writes the line; a core that closes its output and runs on is waited
    // for by its forwarder, never by a thread that serves requests.
    void stream_ended(DWORD limit = INFINITE);

  private:
    KernelHandle process_;
    DWORD pid_;
    std::atomic<bool> ended_by_service_{false};
    std::atomic<int> streams_{2};
};

// Takes the read end (opened for overlapped reads) and starts a detached thread running
// forward_output, which tells `exit` when its stream has ended. Fails only when the thread
// cannot be created; the read end is closed then.
ErrorText start_output_forwarder(KernelHandle read_end, std::string prefix,
                                 std::shared_ptr<CoreExit> exit = {});

// Copies the stream into the log as "{prefix}{line}" with log_core until it ends, then closes the
// read end.
void forward_output(KernelHandle read_end, const std::string& prefix);

// With the seam below, the planned failure is an exception instead of an error value.
inline constexpr DWORD FAIL_BY_EXCEPTION = ERROR_SUCCESS;

// Test seam: after `successes` more thread creations succeed, the next one fails with `error`,
// or throws std::bad_alloc, as its allocation would when memory runs out, with FAIL_BY_EXCEPTION.
void fail_forwarder_thread_after(int successes, DWORD error);

}  // namespace zelto
