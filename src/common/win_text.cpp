#include "common/win_text.h"

#include "common/unique_handle.h"

namespace zelto {

std::wstring to_wide(std::string_view utf8) {
    if (utf8.empty()) {
        return {};
    }
    const int size = static_cast<int>(utf8.size());
    const int needed = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(needed), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), needed);
    return wide;
}

std::string to_utf8(std::wstring_view wide) {
    if (wide.empty()) {
        return {};
    }
    const int size = static_cast<int>(wide.size());
    const int needed =
        ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(needed), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, utf8.data(), needed, nullptr, nullptr);
    return utf8;
}

namespace {

// The system's message for `code`, inserts left as they are, trailing white space removed.
std::wstring system_message(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    const LocalMemory owner(buffer);
    std::wstring_view text(buffer != nullptr ? buffer : L"", length);
    while (!text.empty() && (text.back() == L' ' || text.back() == L'\t' || text.back() == L'\r' ||
                             text.back() == L'\n')) {
        text.remove_suffix(1);
    }
    return std::wstring(text);
}

std::string with_code(std::wstring_view message, DWORD code) {
    return to_utf8(message) + " (os error " + std::to_string(code) + ")";
}

}  // namespace

std::string system_error_text(DWORD code) {
    return with_code(system_message(code), code);
}

std::string system_error_text(DWORD code, std::string_view insert) {
    // Filled as text rather than by FormatMessageW's arguments, which would read past an array
    // too short for a message with more inserts.
    std::wstring message = system_message(code);
    const std::wstring filler = to_wide(insert);
    for (std::size_t at = message.find(L"%1"); at != std::wstring::npos;
         at = message.find(L"%1", at + filler.size())) {
        message.replace(at, 2, filler);
    }
    return with_code(message, code);
}

}  // namespace zelto
