#pragma once
// The pieces of a core launch: the existence test, the output pipes and the process itself.

#include <windows.h>

#include <string>

#include "common/result.h"
#include "common/unique_handle.h"

namespace zelto {

// CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT.
inline constexpr DWORD CORE_CREATION_FLAGS = 0x08000400;
inline constexpr DWORD CORE_PIPE_BUFFER_SIZE = 65536;
inline constexpr UINT CORE_TERMINATE_EXIT_CODE = 1;

// A metadata query on the path, links followed, succeeds: a file or a directory.
bool path_exists(const std::string& path);

// One way, byte mode: the read end is for overlapped reads and stays in this process; the write
// end is synchronous and inheritable, for the core.
struct OutputPipe {
    KernelHandle read_end;
    KernelHandle write_end;
};
Result<OutputPipe> create_output_pipe();

struct CoreProcess {
    KernelHandle process;
    KernelHandle thread;  // never used; kept so it closes with the record
};

struct LaunchedCore {
    CoreProcess core;
    KernelHandle stdout_read;
    KernelHandle stderr_read;
};

// Starts the core with "-d {config dir} -f {config path}" and its output on two pipes. The error
// is the reason text only.
Result<LaunchedCore> launch_core(const std::string& core_path, const std::string& config_dir,
                                 const std::string& config_path);

// Terminates with exit code 1 and waits for the end; outcomes are of no interest, since the
// process may well have ended already.
void end_process(HANDLE process);

}  // namespace zelto
