#pragma once
// Helpers shared by the Windows tests, under Wine and on Windows.

#include <windows.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "zelto_client.h"

namespace zelto::test {

// Whether this process runs under Wine rather than Windows (ntdll exports wine_get_version).
// Tests of what only Windows enforces skip under Wine with their reason.
bool running_under_wine();

// Folder of the running test executable; the service, the client, the stand-in core and the
// README are built beside it, and copied with it to run on Windows.
std::wstring exe_dir();

// Whole file as bytes; empty when it cannot be read.
std::string read_file(const std::wstring& path);

// Lines appended to the log file after construction, without the "[{seconds}] " stamp.
class LogTail {
  public:
    LogTail();
    std::vector<std::string> new_lines() const;

  private:
    std::size_t start_;
};

// The service's answer as it sent it, "ERR|..." included, or "no answer: " and why there is none.
inline std::string answer_text(const client::Reply& reply) {
    if (reply) {
        return reply.value();
    }
    return (reply.error().kind == client::ErrorKind::SERVICE_ERROR ? "ERR|" : "no answer: ") +
           reply.error().message;
}

// Polls `done` every 10 ms until it is true or `limit` has passed; returns its last value.
bool wait_until(const std::function<bool()>& done,
                std::chrono::milliseconds limit = std::chrono::seconds(10));

// What a finished child process left: its exit code and everything it wrote.
struct ProcessResult {
    DWORD exit_code = 0;
    std::string out;
    std::string err;
};

// Runs `command_line` with stdout and stderr captured and stdin empty; a child still running
// after `limit` is terminated and reported with exit code 0xDEAD.
ProcessResult run_process(const std::wstring& command_line,
                          std::chrono::milliseconds limit = std::chrono::seconds(60));

// The allow entries of a descriptor's DACL: each grantee's SID ("S-1-...") and the mask granted.
std::vector<std::pair<std::string, ACCESS_MASK>> allowed_aces(PSECURITY_DESCRIPTOR descriptor);

// Ids of the running processes whose executable file has the name `exe_name`
// ("stand_in_core.exe"), compared without regard to letter case.
std::vector<DWORD> processes_named(const std::wstring& exe_name);

// What a running process holds, read from outside.
struct ProcessCounts {
    DWORD handles = 0;
    DWORD threads = 0;
};

// Nothing when the process does not run or cannot be opened.
std::optional<ProcessCounts> process_counts(DWORD pid);

// The process's committed private memory, summed region by region (Wine reports no PrivateUsage);
// nothing when it cannot be opened.
std::optional<unsigned long long> committed_private_bytes(DWORD pid);

}  // namespace zelto::test
