#pragma once
// The process entry: one action chosen by argument 1, its error on standard error, the exit code.

#include <string_view>

#include "common/result.h"

namespace zelto {

// Runs the action the command line asks for; returns the exit code, 0 or 1.
int run_entry(std::wstring_view command_line);

// Hands the process to the service control manager's dispatcher until the service has stopped.
ErrorText run_as_service();

}  // namespace zelto
