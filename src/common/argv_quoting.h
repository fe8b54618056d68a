#pragma once
// Writing one argument of a Windows command line so that CommandLineToArgvW (and the C runtime)
// split it back into exactly that argument.

#include <string>
#include <string_view>

namespace zelto {

// Backslashes before a double quote are doubled and the quote escaped; with `enclose`, the text
// is wrapped in double quotes and a final run of backslashes is doubled so the closing quote
// stays a quote. Other backslashes are copied as they are.
std::string quote_argument(std::string_view text, bool enclose);

}  // namespace zelto
