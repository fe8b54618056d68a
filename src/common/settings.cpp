#include "common/settings.h"

#include <cstddef>
#include <utility>

namespace zelto {

Result<std::uint64_t> setting_number(const SettingValue& value) {
    std::size_t size = 0;
    if (value.type == SETTING_TYPE_DWORD) {
        size = 4;
    } else if (value.type == SETTING_TYPE_QWORD) {
        size = 8;
    }
    if (size == 0 || value.data.size() != size) {
        return Result<std::uint64_t>::failure("must be REG_DWORD or REG_QWORD");
    }
    // The registry stores numbers little-endian.
    std::uint64_t number = 0;
    for (std::size_t i = size; i-- > 0;) {
        number = (number << 8) | value.data[i];
    }
    return number;
}

Result<std::vector<std::string>> setting_strings(const SettingValue& value) {
    using Strings = std::vector<std::string>;
    if (value.type != SETTING_TYPE_MULTI_SZ || value.data.size() % 2 != 0) {
        return Result<Strings>::failure("must be REG_MULTI_SZ");
    }
    Strings strings;
    std::string current;
    auto put = [&current](std::uint32_t code_point) {
        if (code_point < 0x80) {
            current += static_cast<char>(code_point);
        } else if (code_point < 0x800) {
            current += static_cast<char>(0xC0 | (code_point >> 6));
            current += static_cast<char>(0x80 | (code_point & 0x3F));
        } else if (code_point < 0x10000) {
            current += static_cast<char>(0xE0 | (code_point >> 12));
            current += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
            current += static_cast<char>(0x80 | (code_point & 0x3F));
        } else {
            current += static_cast<char>(0xF0 | (code_point >> 18));
            current += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
            current += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
            current += static_cast<char>(0x80 | (code_point & 0x3F));
        }
    };
    const std::size_t units = value.data.size() / 2;
    auto unit_at = [&value](std::size_t i) -> std::uint32_t {
        return value.data[2 * i] | (static_cast<std::uint32_t>(value.data[2 * i + 1]) << 8);
    };
    for (std::size_t i = 0; i < units; ++i) {
        const std::uint32_t unit = unit_at(i);
        if (unit == 0) {
            if (!current.empty()) {
                strings.push_back(std::exchange(current, {}));
            }
        } else if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < units && unit_at(i + 1) >= 0xDC00 &&
                   unit_at(i + 1) < 0xE000) {
            put(0x10000 + ((unit - 0xD800) << 10) + (unit_at(i + 1) - 0xDC00));
            ++i;
        } else if (unit >= 0xD800 && unit < 0xE000) {
            put(0xFFFD);  // an unpaired surrogate
        } else {
            put(unit);
        }
    }
    if (!current.empty()) {
        strings.push_back(std::move(current));
    }
    return strings;
}

}  // namespace zelto
