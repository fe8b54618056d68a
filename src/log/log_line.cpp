#include "log/log_line.h"

namespace zelto {

std::uint64_t seconds_since_1970(std::uint64_t filetime) {
    if (filetime < UNIX_EPOCH_FILETIME) {
        return 0;
    }
    return (filetime - UNIX_EPOCH_FILETIME) / FILETIME_TICKS_PER_SECOND;
}

std::string dropped_lines_message(std::uint64_t count, std::string_view causes) {
    return "Log lines could not be written (" + std::string(causes) +
           "): " + std::to_string(count) + " lines dropped";
}

std::string escape_log_text(std::string_view text) {
    static constexpr char DIGITS[] = "0123456789ABCDEF";
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 || c == '\t') {
            escaped += c;
        } else if (c == '\r') {
            escaped += "\\r";
        } else if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += "\\x";
            escaped += DIGITS[byte >> 4];
            escaped += DIGITS[byte & 0x0F];
        }
    }
    return escaped;
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
