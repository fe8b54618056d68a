#pragma once
// The file side of the log functions, with the path as a parameter so tests can use their own.

#include <string_view>

namespace zelto {

// Opens `path` for appending (creating it), writes `lines` (complete lines) in one write, closes
// it. Writes nothing to a file that is a reparse point or has more than one link: the
// service runs as LocalSystem in a folder every user can write to, and must not be steered into
// appending to some other file. Never fails from the caller's view.
void append_log_lines(std::wstring_view path, std::string_view lines);

// append_log_lines of "[{seconds}] {tag}{message}\n", stamped now.
void append_log_line(std::wstring_view path, std::string_view tag, std::string_view message);

}  // namespace zelto
