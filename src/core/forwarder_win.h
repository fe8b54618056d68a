#pragma once
// Forwarding of one output stream of the core into the log, on a detached thread of its own.

#include <windows.h>

#include <string>
#include <string_view>

#include "common/result.h"
#include "common/unique_handle.h"

namespace zelto {

inline constexpr std::string_view STDOUT_PREFIX = "[mihomo stdout] ";
inline constexpr std::string_view STDERR_PREFIX = "[mihomo stderr] ";

// Takes the read end (opened for overlapped reads) and starts a detached thread running
// forward_output. Fails only when the thread cannot be created; the read end is closed then.
ErrorText start_output_forwarder(KernelHandle read_end, std::string prefix);

// Copies the stream into the log as "{prefix}{line}" with log_core until it ends, then closes the
// read end.
void forward_output(KernelHandle read_end, const std::string& prefix);

// With the seam below, the planned failure is an exception instead of an error value.
inline constexpr DWORD FAIL_BY_EXCEPTION = ERROR_SUCCESS;

// Test seam: after `successes` more thread creations succeed, the next one fails with `error`,
// or throws std::bad_alloc, as its allocation would when memory runs out, with FAIL_BY_EXCEPTION.
void fail_forwarder_thread_after(int successes, DWORD error);

}  // namespace zelto
