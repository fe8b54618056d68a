#include "log/log_line.h"

namespace zelto {

std::uint64_t seconds_since_1970(std::uint64_t filetime) {
    if (filetime < UNIX_EPOCH_FILETIME) {
        return 0;
    }
    return (filetime - UNIX_EPOCH_FILETIME) / FILETIME_TICKS_PER_SECOND;
}

std::string dropped_lines_message(std::uint64_t count) {
    return "Log writes were stuck: " + std::to_string(count) + " lines dropped";
}

std::string format_log_line(std::uint64_t filetime, std::string_view tag,
                            std::string_view message) {
    const std::string seconds = std::to_string(seconds_since_1970(filetime));
    std::string line;
    line.reserve(1 + seconds.size() + 2 + tag.size() + message.size() + 1);
    line += '[';
    line += seconds;
    line += "] ";
    line += tag;
    line += message;
    line += '\n';
    return line;
}

}  // namespace zelto
