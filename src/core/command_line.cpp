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

// End of the component that starts at `pos`: the next separator or the end of the path.
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

// "C:", \\server\share, \\.\device, \\?\C:, \\?\UNC\server\share, \\?\anything.
Prefix parse_prefix(std::string_view path) {
    if (path.size() >= 2 && is_separator(path[0], false) && is_separator(path[1], false)) {
        if (path.substr(0, 4) == "\\\\?\\") {
            if (path.substr(4, 4) == "UNC\\") {
                const std::size_t server_end = component_end(path, 8, true);
                if (server_end == path.size()) {
                    return {server_end, true};
                }
                const std::size_t share_end = component_end(path, server_end + 1, true);
                return {share_end > server_end + 1 ? share_end : server_end, true};
            }
            if (path.size() >= 6 && is_drive_letter(path[4]) && path[5] == ':' &&
                (path.size() == 6 || path[6] == '\\')) {
                return {6, true};
            }
            return {component_end(path, 4, true), true};
        }
        if (path.size() >= 4 && path[2] == '.' && is_separator(path[3], false)) {
            return {component_end(path, 4, false), false};
        }
        const std::size_t server_end = component_end(path, 2, false);
        if (server_end > 2 && server_end < path.size()) {
            const std::size_t share_end = component_end(path, server_end + 1, false);
            if (share_end > server_end + 1) {
                return {share_end, false};
            }
        }
        return {0, false};
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
    const bool has_root =
        body < config_path.size() && is_separator(config_path[body], prefix.verbatim);
    if (has_root) {
        ++body;
    }
    // A leading "." of a plain relative path is kept as a component; any other is ignored.
    const bool plain_relative = prefix.length == 0 && !has_root;

    std::size_t count = 0;
    std::size_t last_end = 0;
    std::size_t before_last_end = 0;
    for (std::size_t pos = body; pos < config_path.size();) {
        const std::size_t end = component_end(config_path, pos, prefix.verbatim);
        const std::string_view component = config_path.substr(pos, end - pos);
        const bool ignored =
            component.empty() || (component == "." && !(plain_relative && pos == 0));
        if (!ignored) {
            before_last_end = last_end;
            last_end = end;
            ++count;
        }
        pos = end + 1;
    }
    if (count == 0) {
        return std::string(FALLBACK_CONFIG_DIR);
    }
    return std::string(config_path.substr(0, count == 1 ? body : before_last_end));
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
