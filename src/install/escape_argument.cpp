#include "install/escape_argument.h"

namespace zelto {

std::string escape_argument(std::string_view path) {
    if (!path.empty() && path.find_first_of("\" \t\n\v") == std::string_view::npos) {
        return std::string(path);
    }
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (const char c : path) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            // Each backslash doubled, plus one to escape the quote itself.
            quoted.append(2 * backslashes + 1, '\\');
        } else {
            quoted.append(backslashes, '\\');
        }
        backslashes = 0;
        quoted.push_back(c);
    }
    // Doubled, so that the closing quote stays a quote.
    quoted.append(2 * backslashes, '\\');
    quoted.push_back('"');
    return quoted;
}

}  // namespace zelto
