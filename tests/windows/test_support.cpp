#include "windows/test_support.h"

#include <thread>

#include "common/unique_handle.h"
#include "log/log.h"

namespace zelto::test {

std::wstring exe_dir() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.find_last_of(L"\\/"));
}

std::string read_file(const std::wstring& path) {
    KernelHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    if (!file) {
        return {};
    }
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
        bytes.append(buffer, got);
    }
    return bytes;
}

LogTail::LogTail() : start_(read_file(std::wstring(LOG_FILE_PATH)).size()) {}

std::vector<std::string> LogTail::new_lines() const {
    const std::string all = read_file(std::wstring(LOG_FILE_PATH));
    std::vector<std::string> lines;
    std::size_t pos = start_ < all.size() ? start_ : all.size();
    while (pos < all.size()) {
        std::size_t end = all.find('\n', pos);
        if (end == std::string::npos) {
            end = all.size();
        }
        std::string line = all.substr(pos, end - pos);
        const std::size_t stamp_end = line.find("] ");
        if (!line.empty() && line[0] == '[' && stamp_end != std::string::npos) {
            line.erase(0, stamp_end + 2);
        }
        lines.push_back(std::move(line));
        pos = end + 1;
    }
    return lines;
}

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return done();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace zelto::test
