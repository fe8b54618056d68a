#pragma once
// The command line: splitting it into arguments, choosing the action, the usage text.

#include <string>
#include <string_view>
#include <vector>

namespace zelto {

// Splits a command line (UTF-8) into the program name and its arguments. The program name runs
// to the first blank outside double quotes, with no escapes; after it, blanks outside quotes
// separate arguments, backslashes escape only a following double quote, and inside a quoted span
// a doubled double quote is one literal double quote.
std::vector<std::string> split_command_line(std::string_view command_line);

enum class Action { Install, Uninstall, Status, RunAsService, Usage };

// Only argument 1 counts; later ones are ignored. Matching is exact and case-sensitive.
Action choose_action(const std::vector<std::string>& arguments);

// The seven lines printed for any argument 1 that is not a verb.
std::string usage_text();

}  // namespace zelto
