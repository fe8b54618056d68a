#include "common/settings_win.h"

#include <windows.h>

#include <string>

#include "common/win_text.h"

namespace zelto {

Result<std::optional<SettingValue>> read_setting(std::wstring_view name) {
    using Read = Result<std::optional<SettingValue>>;
    const std::wstring key = to_wide(SETTINGS_KEY);
    const std::wstring value_name(name);
    constexpr DWORD FLAGS = RRF_RT_ANY;
    // The value may change between the size query and the read; a second round covers that.
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD type = 0;
        DWORD size = 0;
        LSTATUS status = ::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), value_name.c_str(), FLAGS,
                                        &type, nullptr, &size);
        if (status == ERROR_FILE_NOT_FOUND) {
            return Read(std::nullopt);
        }
        if (status != ERROR_SUCCESS) {
            return Read::failure(system_error_text(static_cast<DWORD>(status)));
        }
        SettingValue value;
        value.type = type;
        value.data.resize(size);
        status = ::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), value_name.c_str(), FLAGS, &type,
                                value.data.empty() ? nullptr : value.data.data(), &size);
        if (status == ERROR_MORE_DATA) {
            continue;
        }
        if (status != ERROR_SUCCESS) {
            return Read::failure(system_error_text(static_cast<DWORD>(status)));
        }
        value.type = type;
        value.data.resize(size);
        return Read(std::move(value));
    }
    return Read::failure(system_error_text(ERROR_MORE_DATA));
}

}  // namespace zelto
