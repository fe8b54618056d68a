#pragma once
// The core's command line and the config dir it is given, worked out on the text alone.

#include <string>
#include <string_view>

namespace zelto {

// Used when the config path has no component to remove.
inline constexpr std::string_view FALLBACK_CONFIG_DIR = ".";

// The config path without its last component (prefix and root kept, trailing separators and "."
// components dropped), or "." when there is no component.
std::string config_dir_of(std::string_view config_path);

// One argument as CommandLineToArgvW splits it back: quoted when empty or holding a space or tab,
// quotes escaped, backslash runs doubled in front of a quote and before a closing quote.
std::string encode_argument(std::string_view argument);

// "\"{core path}\" -d {dir} -f {config path}", the three arguments after the path encoded.
std::string build_core_command_line(std::string_view core_path, std::string_view config_dir,
                                    std::string_view config_path);

}  // namespace zelto
