#pragma once
// The bytes of one log line, from the clock value and the caller's text.

#include <cstdint>
#include <string>
#include <string_view>

namespace zelto {

// 1970-01-01 00:00:00 UTC on the system clock (100-ns intervals since 1601-01-01 UTC).
inline constexpr std::uint64_t UNIX_EPOCH_FILETIME = 116444736000000000ULL;
inline constexpr std::uint64_t FILETIME_TICKS_PER_SECOND = 10000000ULL;

// What follows "[{seconds}] " on each kind of line.
inline constexpr std::string_view LOG_TAG_NONE = "";
inline constexpr std::string_view LOG_TAG_IPC = "[IPC] ";
inline constexpr std::string_view LOG_TAG_CORE = "[CORE] ";
// The log's own settings, as the service reads them at its start.
inline constexpr std::string_view LOG_TAG_LOG = "[LOG] ";

// The log's line for the lines it could not write since its last line that got through, and
// why ("writes stuck; free space below the floor", say).
std::string dropped_lines_message(std::uint64_t count, std::string_view causes);

// Text that comes from a client or a path, for a log line: CR, LF and the other C0 controls but
// TAB as visible escapes (\r, \n, \xHH), so that one call writes one line and no caller can
// write a line that looks like the service's own.
std::string escape_log_text(std::string_view text);

// Whole seconds since 1970, truncated; a clock before 1970 gives 0.
std::uint64_t seconds_since_1970(std::uint64_t filetime);

// "[{seconds}] {tag}{message}\n", the message byte for byte.
std::string format_log_line(std::uint64_t filetime, std::string_view tag, std::string_view message);

}  // namespace zelto
