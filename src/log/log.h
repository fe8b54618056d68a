#pragma once
// The service's one log file. Each call opens the file, appends one whole line, closes it, and
// never reports a failure: a line that cannot be written is lost.

#include <string_view>

namespace zelto {

inline constexpr std::wstring_view LOG_FILE_PATH = L"C:\\Users\\Public\\velmora-service.log";

void log_message(std::string_view message);  // "[{seconds}] {message}"
void log_ipc(std::string_view message);      // "[{seconds}] [IPC] {message}"
void log_core(std::string_view message);     // "[{seconds}] [CORE] {message}"

}  // namespace zelto
