#pragma once
// Folders, files and the stand-in core for the tests of the log and the core supervisor.

#include <windows.h>

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "common/unique_handle.h"
#include "common/win_text.h"
#include "windows/test_support.h"

namespace zelto::test {

// A new, empty folder under the temp folder whose name starts with `label` (blanks allowed) and
// is unique to this process and call, so it also marks this test's lines in the shared log.
inline std::wstring fresh_dir(std::wstring_view label) {
    static std::atomic<unsigned> counter{0};
    wchar_t temp[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH + 1, temp);
    const std::wstring dir =
        std::wstring(temp) + std::wstring(label) + L" " + std::to_wstring(::GetCurrentProcessId()) +
        L"-" + std::to_wstring(::GetTickCount64()) + L"-" + std::to_wstring(++counter);
    ::CreateDirectoryW(dir.c_str(), nullptr);
    return dir;
}

inline void write_file(const std::wstring& path, std::string_view bytes) {
    const KernelHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                          CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

inline std::string stand_in_core() {
    return to_utf8(exe_dir() + L"\\stand_in_core.exe");
}

// The lines that start with `prefix`, without it.
inline std::vector<std::string> lines_after(const std::vector<std::string>& lines,
                                            std::string_view prefix) {
    std::vector<std::string> found;
    for (const std::string& line : lines) {
        if (line.rfind(prefix, 0) == 0) {
            found.push_back(line.substr(prefix.size()));
        }
    }
    return found;
}

}  // namespace zelto::test
