#pragma once

#include <string>
#include <string_view>

namespace zelto {

// The service command line for one path: the path itself when it needs no quoting, otherwise
// the path in double quotes, with backslashes doubled only where they precede a quote.
std::string escape_argument(std::string_view path);

}  // namespace zelto
