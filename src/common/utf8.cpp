#include "common/utf8.h"

#include <cstddef>

namespace zelto {

namespace {

constexpr std::string_view REPLACEMENT_CHARACTER = "\xEF\xBF\xBD";

enum class Form { WELL_FORMED, ILL_FORMED, TRUNCATED };

struct Sequence {
    std::size_t length;  // of the well-formed sequence, or else of the maximal subpart
    Form form;           // TRUNCATED: a proper beginning of a sequence that the input cuts off
};

// The sequence that starts at `pos` (< size), by the table of well-formed byte sequences: the
// second byte's range depends on the lead byte, later bytes are always 80..BF.
Sequence sequence_at(std::string_view bytes, std::size_t pos) {
    const auto lead = static_cast<unsigned char>(bytes[pos]);
    if (lead < 0x80) {
        return {1, Form::WELL_FORMED};
    }
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) {
            low = 0xA0;  // overlong below U+0800
        } else if (lead == 0xED) {
            high = 0x9F;  // surrogates
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) {
            low = 0x90;  // overlong below U+10000
        } else if (lead == 0xF4) {
            high = 0x8F;  // above U+10FFFF
        }
    } else {
        return {1, Form::ILL_FORMED};
    }
    for (std::size_t k = 1; k < length; ++k) {
        if (pos + k == bytes.size()) {
            return {k, Form::TRUNCATED};
        }
        const auto byte = static_cast<unsigned char>(bytes[pos + k]);
        if (byte < low || byte > high) {
            return {k, Form::ILL_FORMED};
        }
        low = 0x80;
        high = 0xBF;
    }
    return {length, Form::WELL_FORMED};
}

// The code point of a well-formed sequence.
char32_t code_point_of(std::string_view sequence) {
    static constexpr unsigned char LEAD_MASK[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    auto value =
        static_cast<char32_t>(static_cast<unsigned char>(sequence[0]) & LEAD_MASK[sequence.size()]);
    for (std::size_t k = 1; k < sequence.size(); ++k) {
        value = (value << 6) | (static_cast<unsigned char>(sequence[k]) & 0x3F);
    }
    return value;
}

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

bool is_continuation(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

}  // namespace

std::string decode_utf8_lossy(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const Sequence sequence = sequence_at(bytes, pos);
        if (sequence.form == Form::WELL_FORMED) {
            text.append(bytes.substr(pos, sequence.length));
        } else {
            text.append(REPLACEMENT_CHARACTER);
        }
        pos += sequence.length;
    }
    return text;
}

ErrorText validate_utf8(std::string_view bytes) {
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const Sequence sequence = sequence_at(bytes, pos);
        if (sequence.form == Form::TRUNCATED) {
            return "incomplete utf-8 byte sequence from index " + std::to_string(pos);
        }
        if (sequence.form == Form::ILL_FORMED) {
            return "invalid utf-8 sequence of " + std::to_string(sequence.length) +
                   " bytes from index " + std::to_string(pos);
        }
        pos += sequence.length;
    }
    return std::nullopt;
}

std::string_view trim_white_space(std::string_view text) {
    while (!text.empty()) {
        const Sequence first = sequence_at(text, 0);
        if (first.form != Form::WELL_FORMED ||
            !is_white_space(code_point_of(text.substr(0, first.length)))) {
            break;
        }
        text.remove_prefix(first.length);
    }
    while (!text.empty()) {
        // A sequence is at most 4 bytes: its lead byte is the last non-continuation byte.
        std::size_t start = text.size() - 1;
        while (start > 0 && text.size() - start < 4 && is_continuation(text[start])) {
            --start;
        }
        const Sequence last = sequence_at(text, start);
        if (last.form != Form::WELL_FORMED || start + last.length != text.size() ||
            !is_white_space(code_point_of(text.substr(start)))) {
            break;
        }
        text.remove_suffix(last.length);
    }
    return text;
}

}  // namespace zelto
