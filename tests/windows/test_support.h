#pragma once
// Helpers shared by the tests that run under Wine.

#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace zelto::test {

// Folder of the running test executable; the service, the client and the stand-in core are
// built beside it.
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

}  // namespace zelto::test
