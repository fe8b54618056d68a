#pragma once
// Reads the administrator's settings (see settings.h) from the registry.

#include <optional>
#include <string_view>

#include "common/result.h"
#include "common/settings.h"

namespace zelto {

// The value `name` of the settings key; none when the key or the value does not exist.
Result<std::optional<SettingValue>> read_setting(std::wstring_view name);

}  // namespace zelto
