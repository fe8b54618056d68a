// escape_argument's result is read back by the entry's splitter. As an argument it gives back
// exactly the one path, whatever its bytes, and does not leak into the argument after it. As the
// whole registered command line it is read with the program-name rule (quotes group, no escapes):
// for any path a file can have (no double quote, no trailing backslash) that gives back exactly
// the path and no argument 1, so the service control manager always starts the service mode.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "install/escape_argument.h"
#include "main/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view path(reinterpret_cast<const char*>(data), size);
    using Arguments = std::vector<std::string>;

    if (zelto::split_command_line("p " + zelto::escape_argument(path)) !=
        Arguments{"p", std::string(path)}) {
        std::abort();
    }
    const std::string_view first = path.substr(0, size / 2);
    const std::string_view second = path.substr(size / 2);
    if (zelto::split_command_line("p " + zelto::escape_argument(first) + " " +
                                  zelto::escape_argument(second)) !=
        Arguments{"p", std::string(first), std::string(second)}) {
        std::abort();
    }

    if (path.find('"') == std::string_view::npos) {
        const Arguments registered = zelto::split_command_line(zelto::escape_argument(path));
        if (registered.size() != 1) {
            std::abort();
        }
        if (!path.ends_with('\\') && registered[0] != path) {
            std::abort();
        }
    }
    return 0;
}
