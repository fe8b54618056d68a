#include "core/command_line.h"

#include <cstddef>

#include "common/argv_quoting.h"

namespace zelto {

namespace {

bool is_separator(char c, bool verbatim) {
    return c == '\\' || (!verbatim && c == '/');
}

bool is_drive_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool separator_at(std::string_view path, std::size_t pos, bool verbatim) {
    return pos < path.size() && is_separator(path[pos], verbatim);
}

// End of the component that starts at `pos`: the next separator or the end of the path (`pos`
// itself when it lies past the end).
std::size_t component_end(std::string_view path, std::size_t pos, bool verbatim) {
    while (pos < path.size() && !is_separator(path[pos], verbatim)) {
        ++pos;
    }
    return pos;
}

struct Prefix {
    std::size_t length;
    bool verbatim;  // after \\?\ only "\" separates
};

// "C:", \\server\share, \\.\device, \\?\UNC\server\share, \\?\anything (\\?\C: included).
Prefix parse_prefix(std::string_view path) {
    if (path.substr(0, 4) == "\\\\?\\") {
        if (path.substr(4, 4) == "UNC\\") {
            // An empty share leaves the server alone as the prefix; the separator is the root.
            const std::size_t server_end = component_end(path, 8, true);
            const std::size_t share_end = component_end(path, server_end + 1, true);
            return {share_end > server_end + 1 ? share_end : server_end, true};
        }
        return {component_end(path, 4, true), true};
    }
    if (separator_at(path, 0, false) && separator_at(path, 1, false)) {
        if (path.substr(2, 1) == "." && separator_at(path, 3, false)) {
            return {component_end(path, 4, false), false};
        }
        // Without a server and a share the leading separators are a root and empty components.
        const std::size_t server_end = component_end(path, 2, false);
        const std::size_t share_end = component_end(path, server_end + 1, false);
        return {server_end > 2 && share_end > server_end + 1 ? share_end : 0, false};
    }
    if (path.size() >= 2 && is_drive_letter(path[0]) && path[1] == ':') {
        return {2, false};
    }
    return {0, false};
}

}  // namespace

std::string config_dir_of(std::string_view config_path) {
    const Prefix prefix = parse_prefix(config_path);
    std::size_t body = prefix.length;
    if (separator_at(config_path, body, prefix.verbatim)) {
        ++body;  // the root
    }

    // The dir ends where the component before the last one ends; in front of the first
    // component, that is after the prefix and root.
    std::size_t last_end = body;
    std::size_t dir_end = body;
    for (std::size_t pos = body; pos < config_path.size();) {
        const std::size_t end = component_end(config_path, pos, prefix.verbatim);
        const std::string_view component = config_path.substr(pos, end - pos);
        // A "." is a component only at the very start, that is without prefix and root.
        const bool ignored = component.empty() || (component == "." && pos != 0);
        if (!ignored) {
            dir_end = last_end;
            last_end = end;
        }
        pos = end + 1;
    }
    if (last_end == body) {  // none kept: a kept component is not empty
        return std::string(FALLBACK_CONFIG_DIR);
    }
    return std::string(config_path.substr(0, dir_end));
}

std::string encode_argument(std::string_view argument) {
    const bool enclose =
        argument.empty() || argument.find_first_of(" \t") != std::string_view::npos;
    return quote_argument(argument, enclose);
}

std::string build_core_command_line(std::string_view core_path, std::string_view config_dir,
                                    std::string_view config_path) {
    std::string line = "\"";
    line += core_path;
    line += '"';
    for (const std::string_view argument :
         {std::string_view("-d"), config_dir, std::string_view("-f"), config_path}) {
        line += ' ';
        line += encode_argument(argument);
    }
    return line;
}

}  // namespace zelto
