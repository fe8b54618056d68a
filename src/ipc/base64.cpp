#include "ipc/base64.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace zelto {

namespace {

constexpr std::string_view ALPHABET =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char PAD = '=';
constexpr int NOT_A_SYMBOL = -1;

constexpr std::array<int, 256> make_symbol_values() {
    std::array<int, 256> values{};
    values.fill(NOT_A_SYMBOL);
    for (std::size_t i = 0; i < ALPHABET.size(); ++i) {
        values[static_cast<unsigned char>(ALPHABET[i])] = static_cast<int>(i);
    }
    return values;
}

constexpr std::array<int, 256> SYMBOL_VALUES = make_symbol_values();

int symbol_value(char byte) {
    return SYMBOL_VALUES[static_cast<unsigned char>(byte)];
}

// "{what} {value}, offset {offset}." with the byte's value in decimal.
Result<std::string> symbol_error(std::string_view what, char byte, std::size_t offset) {
    return Result<std::string>::failure(std::string(what) + " " +
                                        std::to_string(static_cast<unsigned char>(byte)) +
                                        ", offset " + std::to_string(offset) + ".");
}

// Appends the bytes carried by 2 to 4 symbol values.
void append_group(const int* values, std::size_t symbols, std::string& out) {
    std::uint32_t bits = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        bits = (bits << 6) | static_cast<std::uint32_t>(i < symbols ? values[i] : 0);
    }
    for (std::size_t i = 0; i + 1 < symbols; ++i) {
        out.push_back(static_cast<char>((bits >> (16 - 8 * i)) & 0xFF));
    }
}

}  // namespace

std::string encode_base64(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t pos = 0; pos < bytes.size(); pos += 3) {
        const std::size_t count = bytes.size() - pos < 3 ? bytes.size() - pos : 3;
        std::uint32_t bits = 0;
        for (std::size_t i = 0; i < 3; ++i) {
            const auto byte = i < count ? static_cast<unsigned char>(bytes[pos + i]) : 0u;
            bits = (bits << 8) | byte;
        }
        for (std::size_t i = 0; i < 4; ++i) {
            out.push_back(i <= count ? ALPHABET[(bits >> (18 - 6 * i)) & 0x3F] : PAD);
        }
    }
    return out;
}

Result<std::string> decode_base64(std::string_view field) {
    const std::size_t length = field.size();
    if (length == 0) {
        return std::string();
    }
    // The final group is the last 1 to 4 bytes; every group before it is complete.
    const std::size_t final_start = length % 4 == 0 ? length - 4 : length - length % 4;

    // A lone trailing byte is judged first, before anything ahead of it.
    if (length % 4 == 1 && field.back() != PAD && symbol_value(field.back()) == NOT_A_SYMBOL) {
        return symbol_error("Invalid symbol", field.back(), length - 1);
    }
    for (std::size_t i = 0; i < final_start; ++i) {
        if (symbol_value(field[i]) == NOT_A_SYMBOL) {
            return symbol_error("Invalid symbol", field[i], i);
        }
    }

    int values[4] = {};
    std::size_t symbols = 0;
    std::size_t pads = 0;
    std::size_t first_pad = 0;
    for (std::size_t i = final_start; i < length; ++i) {
        const std::size_t position = i - final_start;
        if (field[i] == PAD) {
            if (position < 2) {
                return symbol_error("Invalid symbol", PAD, i);
            }
            first_pad = pads == 0 ? i : first_pad;
            ++pads;
            continue;
        }
        const int value = symbol_value(field[i]);
        if (value == NOT_A_SYMBOL) {
            return symbol_error("Invalid symbol", field[i], i);
        }
        if (pads > 0) {
            return symbol_error("Invalid symbol", PAD, first_pad);
        }
        values[symbols++] = value;
    }
    if (symbols < 2) {
        return Result<std::string>::failure("Invalid input length: " +
                                            std::to_string(final_start + symbols));
    }
    if ((symbols + pads) % 4 != 0) {
        return Result<std::string>::failure("Invalid padding");
    }
    // Two symbols carry one byte and leave 4 bits, three carry two bytes and leave 2 bits.
    const int leftover_mask = symbols == 2 ? 0x0F : symbols == 3 ? 0x03 : 0;
    if ((values[symbols - 1] & leftover_mask) != 0) {
        const std::size_t offset = final_start + symbols - 1;
        return symbol_error("Invalid last symbol", field[offset], offset);
    }

    std::string out;
    out.reserve(length / 4 * 3 + 3);
    for (std::size_t pos = 0; pos < final_start; pos += 4) {
        const int group[4] = {symbol_value(field[pos]), symbol_value(field[pos + 1]),
                              symbol_value(field[pos + 2]), symbol_value(field[pos + 3])};
        append_group(group, 4, out);
    }
    append_group(values, symbols, out);
    return out;
}

}  // namespace zelto
