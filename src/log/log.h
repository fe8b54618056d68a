#pragma once
// The service's one log file. One writer thread owns it: each call hands its whole line, stamped
// with the call's time, to that writer and returns once the line is written (the writer opens the
// file, appends what is waiting, closes it), waiting at most LOG_WAIT_LIMIT. A writer whose write
// has taken that long holds nobody up: calls then queue their line without waiting, or drop and
// count it when the queue is full. The writer keeps the file within its size limit and the volume
// above its floor (log_appender.h), and its first line that gets through after any loss says how
// many lines were dropped and why. No call reports a failure.

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace zelto {

inline constexpr std::wstring_view LOG_FILE_PATH = L"C:\\Users\\Public\\velmora-service.log";

void log_message(std::string_view message);  // "[{seconds}] {message}"
void log_ipc(std::string_view message);      // "[{seconds}] [IPC] {message}"
void log_core(std::string_view message);     // "[{seconds}] [CORE] {message}"

// "[LOG] Log settings: ...": the limits the writer applies, as it read them at its start (see
// describe_log_settings); nothing when it could not start. Said once, as the service starts.
void log_settings_in_force();

// Several "[CORE]" lines with one time stamp, handed over together and waited for once.
void log_core_lines(const std::vector<std::string>& messages);

// A request's lines: queue_log_ipc hands its line over without waiting for the write, and
// wait_for_log, just before the request's answer, waits until every line handed over so far is
// written, at most LOG_WAIT_LIMIT and not at all while the writer is slow; false if they were
// not, and they are written later, in order.
void queue_log_ipc(std::string_view message);  // "[{seconds}] [IPC] {message}"
bool wait_for_log();

// Waits up to `limit` until the lines already handed over are written; false if they were not.
bool drain_log(std::chrono::milliseconds limit);

}  // namespace zelto
