#pragma once
// A second, independent well-formedness check for the fuzz targets: decode by bit patterns, then
// refuse overlong forms, surrogates and values above U+10FFFF. It shares nothing with the
// service's table-driven decoder, so a fault there cannot hide behind itself.

#include <cstddef>
#include <string_view>

namespace zelto::fuzz {

inline bool is_well_formed_utf8(std::string_view text) {
    static constexpr char32_t SMALLEST[] = {0, 0, 0x80, 0x800, 0x10000};
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto lead = static_cast<unsigned char>(text[pos]);
        const std::size_t length = lead < 0x80           ? 1
                                   : (lead >> 5) == 0x06 ? 2
                                   : (lead >> 4) == 0x0E ? 3
                                   : (lead >> 3) == 0x1E ? 4
                                                         : 0;
        if (length == 0 || text.size() - pos < length) {
            return false;
        }
        char32_t value = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto byte = static_cast<unsigned char>(text[pos + k]);
            if ((byte & 0xC0) != 0x80) {
                return false;
            }
            value = (value << 6) | (byte & 0x3F);
        }
        if (value < SMALLEST[length] || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) {
            return false;
        }
        pos += length;
    }
    return true;
}

}  // namespace zelto::fuzz
