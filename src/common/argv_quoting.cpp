#include "common/argv_quoting.h"

namespace zelto {

std::string quote_argument(std::string_view text, bool enclose) {
    std::string out;
    out.reserve(text.size() + 2);
    if (enclose) {
        out += '"';
    }
    std::size_t backslashes = 0;
    for (const char c : text) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Before a quote: each backslash doubled, plus one to escape the quote itself.
        out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(enclose ? 2 * backslashes : backslashes, '\\');
    if (enclose) {
        out += '"';
    }
    return out;
}

}  // namespace zelto
