#pragma once
// The administrator's settings for the service: values under one registry key that only
// administrators can write, read when the service starts. install, uninstall and the MSI's
// removal never touch the key: it belongs to the administrator.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace zelto {

// HKEY_LOCAL_MACHINE\{SETTINGS_KEY}, as the log lines name it.
inline constexpr std::string_view SETTINGS_KEY = "SOFTWARE\\Zelto\\Service";
inline constexpr std::string_view SETTINGS_KEY_NAME = "HKLM\\SOFTWARE\\Zelto\\Service";

// The registry's type numbers for the types the settings use.
inline constexpr std::uint32_t SETTING_TYPE_DWORD = 4;
inline constexpr std::uint32_t SETTING_TYPE_MULTI_SZ = 7;
inline constexpr std::uint32_t SETTING_TYPE_QWORD = 11;

// A value as the registry holds it.
struct SettingValue {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
};

// A REG_DWORD or REG_QWORD as a number; "must be REG_DWORD or REG_QWORD" for another type or a
// size that does not fit the type.
Result<std::uint64_t> setting_number(const SettingValue& value);

// A REG_MULTI_SZ as its UTF-8 strings, empty ones left out; "must be REG_MULTI_SZ" otherwise.
Result<std::vector<std::string>> setting_strings(const SettingValue& value);

}  // namespace zelto
