#pragma once
// What every benchmark needs: the clock, the results table, the installed service, a client that
// measures the server rather than its own back-off, and the floor's log append.

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "windows/service_control.h"

namespace zelto::bench {

using Clock = std::chrono::steady_clock;

double ms_between(Clock::time_point from, Clock::time_point to);
double median(std::vector<double> values);
std::string fixed(double value, int decimals);

// One row of the printed table: the figure of the service, the baselines of the same run, the
// ratio to the baseline the target is about, and the target's verdict.
struct Row {
    std::string benchmark;
    std::string measured;
    std::string baseline;
    std::string ratio;
    std::string target;
    std::string met;
};

// Collects the rows; prints each as it comes (so a long run shows progress) and all at the end.
class Table {
  public:
    void add(Row row);
    void print() const;

  private:
    std::vector<Row> rows_;
};

// "yes" or "NO".
std::string verdict(bool met);

// Where the benchmarks install the service; its name holds a blank like a real install path.
inline constexpr wchar_t INSTALL_DIR[] = L"C:\\Zelto Bench";
using test::SERVICE;

std::wstring bench_dir_file(std::wstring_view name);

// Copies Zelto-service.exe from beside this program, installs and starts it, and waits until
// it answers VERSION.
ErrorText install_service();
using test::remove_service;
// Starts the installed, stopped service and waits until it answers.
ErrorText start_service();
using test::service_pid;
using test::service_state;
// Polls every millisecond; true when `state` was reached within `limit`.
bool wait_for_state(DWORD state, std::chrono::milliseconds limit);

// One request on one connection, as every client makes it, but retrying at once while there is
// no pipe instance: the client library's back-off would otherwise be measured instead of the
// server. No check of the pipe's server. Fails after 10 s without a pipe.
Result<std::string> ask(std::wstring_view pipe_name, std::string_view request);
Result<std::string> ask(std::string_view request);  // the service's pipe

// The baselines' log, beside the service's.
inline constexpr wchar_t FLOOR_LOG[] = L"C:\\Users\\Public\\zelto-bench-floor.log";

// Now on the system clock, as the log stamps its lines.
std::uint64_t log_clock();

// The floor of one log append: open for appending, one write of `lines`, close. No link check
// and no lock.
void floor_append_lines(const std::wstring& path, std::string_view lines);
// floor_append_lines of one line stamped now.
void floor_append(const std::wstring& path, std::string_view tag, std::string_view message);

// The log file's size, 0 when it does not exist.
unsigned long long file_size(const std::wstring& path);

}  // namespace zelto::bench
