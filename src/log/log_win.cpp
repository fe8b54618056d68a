#include <windows.h>

#include <algorithm>
#include <string>

#include "common/unique_handle.h"
#include "log/log.h"
#include "log/log_file.h"
#include "log/log_line.h"

namespace zelto {

namespace {

// FILE_APPEND_DATA | FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA | READ_CONTROL | SYNCHRONIZE: without
// FILE_WRITE_DATA the system places every write at the current end of the file.
constexpr DWORD LOG_ACCESS = 0x00120114;
constexpr DWORD LOG_SHARE = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Appends through separate handles are not atomic everywhere (Wine mixes concurrent ones), so the
// write of a line is serialised within the process. Only the write is held under it.
SRWLOCK write_lock = SRWLOCK_INIT;

class WriteLockGuard {
  public:
    WriteLockGuard() { ::AcquireSRWLockExclusive(&write_lock); }
    ~WriteLockGuard() { ::ReleaseSRWLockExclusive(&write_lock); }
    WriteLockGuard(const WriteLockGuard&) = delete;
    WriteLockGuard& operator=(const WriteLockGuard&) = delete;
};

// A planted symbolic link (opened as itself, see FILE_FLAG_OPEN_REPARSE_POINT) or hard link.
// The two narrow queries cost a fraction of GetFileInformationByHandle, which is paid per line.
bool is_planted_link(HANDLE file) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    FILE_STANDARD_INFO standard{};
    if (!::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag) ||
        !::GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard)) {
        return true;
    }
    return (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || standard.NumberOfLinks > 1;
}

void write_all(HANDLE file, std::string_view bytes) {
    const WriteLockGuard guard;
    while (!bytes.empty()) {
        // One call for any real line; the cap only keeps the size within a DWORD.
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
        DWORD written = 0;
        if (!::WriteFile(file, bytes.data(), chunk, &written, nullptr)) {
            return;
        }
        bytes.remove_prefix(written);
    }
}

}  // namespace

void append_log_line(std::wstring_view path, std::string_view tag, std::string_view message) {
    try {
        const std::wstring name(path);
        const KernelHandle file(::CreateFileW(name.c_str(), LOG_ACCESS, LOG_SHARE, nullptr,
                                              OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!file || is_planted_link(file.get())) {
            return;
        }
        FILETIME now{};
        ::GetSystemTimePreciseAsFileTime(&now);
        const std::uint64_t clock =
            (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
        write_all(file.get(), format_log_line(clock, tag, message));
    } catch (...) {
        // Out of memory for the line: it is lost like any line that cannot be written.
    }
}

void log_message(std::string_view message) {
    append_log_line(LOG_FILE_PATH, LOG_TAG_NONE, message);
}

void log_ipc(std::string_view message) {
    append_log_line(LOG_FILE_PATH, LOG_TAG_IPC, message);
}

void log_core(std::string_view message) {
    append_log_line(LOG_FILE_PATH, LOG_TAG_CORE, message);
}

}  // namespace zelto
