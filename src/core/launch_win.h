#pragma once
// The pieces of a core launch: the existence test, the output pipes and the process itself.

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "common/result.h"
#include "common/unique_handle.h"

namespace zelto {

class CoreExit;

// CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT.
inline constexpr DWORD CORE_CREATION_FLAGS = 0x08000400;
inline constexpr DWORD CORE_PIPE_BUFFER_SIZE = 65536;
inline constexpr UINT CORE_TERMINATE_EXIT_CODE = 1;
// Names drawn for one output pipe before a name held by someone else fails the launch.
inline constexpr int CORE_PIPE_NAME_DRAWS = 4;
// How long end_core waits, from the terminate on, for the core and every other process of its job
// to end.
inline constexpr DWORD CORE_JOB_EMPTY_LIMIT_MS = 5000;

// Test seam: every open of a START's files (the existence checks and the launch) first takes one
// count of the semaphore `opens`, waiting as long as it takes, as an open that breaks a user's
// oplock waits for an acknowledgement that may never come.
void gate_start_opens_for_testing(HANDLE opens);

// A metadata query on the path, links followed, succeeds: a file or a directory.
bool path_exists(const std::string& path);
// The same query succeeds and the path names no directory.
bool file_exists(const std::string& path);

// One way, byte mode, under a name with 128 random bits, open only to the service's own account:
// the read end is for overlapped reads and stays in this process; the write end is synchronous
// and inheritable, for the core.
struct OutputPipe {
    KernelHandle read_end;
    KernelHandle write_end;
};
Result<OutputPipe> create_output_pipe();

// A launched core. Its job is kill-on-close and only the service holds a handle to it, so the
// core and every process it starts end when the record is released, whichever way that happens,
// or when the service process dies.
struct CoreProcess {
    KernelHandle process;
    KernelHandle thread;  // never used; kept so it closes with the record
    KernelHandle job;
    std::weak_ptr<CoreExit> exit{};  // its exit line, while that is still to be written
};

struct LaunchedCore {
    CoreProcess core;
    KernelHandle stdout_read;
    KernelHandle stderr_read;
};

// The core's environment: the service's own, or that with PATH holding only the system's folders
// (System32, the Windows folder, System32\Wbem).
enum class CoreEnvironment : std::uint8_t { INHERITED, SYSTEM_PATH };

// Starts the core with "-d {config dir} -f {config path}" and its output on two pipes, in its
// job before it runs any code; a core that cannot join is ended. The error is the reason text
// only.
Result<LaunchedCore> launch_core(const std::string& core_path, const std::string& config_dir,
                                 const std::string& config_path, CoreEnvironment environment);

// Ends the core's job, so the core and whatever it started, with exit code 1, and waits until each
// of its processes has ended, the core included, at most CORE_JOB_EMPTY_LIMIT_MS in all (processes
// still running then are logged); outcomes are of no interest, since the processes may well have
// ended already.
void end_core(const CoreProcess& core);

}  // namespace zelto
