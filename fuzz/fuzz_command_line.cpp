// The entry's splitter agrees with an independent splitter written the way the C runtime's
// argument parser reads a command line; and the arguments it returns, written back in canonical
// form (program name in quotes, each argument through escape_argument), split to the same list.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "install/escape_argument.h"
#include "main/command_line.h"

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// One pass per argument: count a backslash run, then decide what the character after it is.
std::vector<std::string> reference_split(std::string_view line) {
    std::vector<std::string> arguments;
    std::size_t p = 0;
    const std::size_t n = line.size();

    std::string program;
    bool quoted = false;
    for (; p < n && (quoted || !is_blank(line[p])); ++p) {
        if (line[p] == '"') {
            quoted = !quoted;
        } else {
            program += line[p];
        }
    }
    arguments.push_back(program);

    quoted = false;
    for (;;) {
        while (p < n && is_blank(line[p])) {
            ++p;
        }
        if (p == n) {
            break;
        }
        std::string argument;
        for (;;) {
            bool copy = true;
            std::size_t slashes = 0;
            while (p < n && line[p] == '\\') {
                ++p;
                ++slashes;
            }
            if (p < n && line[p] == '"') {
                if (slashes % 2 == 0) {
                    if (quoted && p + 1 < n && line[p + 1] == '"') {
                        ++p;
                    } else {
                        copy = false;
                        quoted = !quoted;
                    }
                }
                slashes /= 2;
            }
            argument.append(slashes, '\\');
            if (p == n || (!quoted && is_blank(line[p]))) {
                break;
            }
            if (copy) {
                argument += line[p];
            }
            ++p;
        }
        arguments.push_back(argument);
    }
    return arguments;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> arguments = zelto::split_command_line(line);
    if (arguments.empty() || arguments != reference_split(line)) {
        std::abort();
    }

    // The program name never holds a quote (quotes there only group), so quoting it whole is
    // always enough.
    std::string canonical = "\"" + arguments[0] + "\"";
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        canonical += ' ';
        canonical += zelto::escape_argument(arguments[i]);
    }
    if (zelto::split_command_line(canonical) != arguments) {
        std::abort();
    }
    return 0;
}
