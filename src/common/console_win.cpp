#include "common/console.h"

#include <windows.h>

namespace zelto {

namespace {

// The handle is fetched on every call so that a redirection made later is honoured. A failed
// write is dropped: there is nowhere left to report it.
void write_all(DWORD which, std::string_view text) {
    const HANDLE handle = ::GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return;
    }
    while (!text.empty()) {
        DWORD written = 0;
        const DWORD chunk = text.size() > 65536 ? 65536 : static_cast<DWORD>(text.size());
        if (!::WriteFile(handle, text.data(), chunk, &written, nullptr) || written == 0) {
            return;
        }
        text.remove_prefix(written);
    }
}

}  // namespace

void write_stdout(std::string_view text) {
    write_all(STD_OUTPUT_HANDLE, text);
}

void write_stderr(std::string_view text) {
    write_all(STD_ERROR_HANDLE, text);
}

}  // namespace zelto
