#include <windows.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "common/unique_handle.h"
#include "log/log.h"
#include "log/log_file.h"
#include "log/log_line.h"
#include "log/log_queue.h"

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

std::uint64_t system_filetime() {
    FILETIME now{};
    ::GetSystemTimePreciseAsFileTime(&now);
    return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

}  // namespace

void append_log_lines(std::wstring_view path, std::string_view lines) {
    try {
        const std::wstring name(path);
        const KernelHandle file(::CreateFileW(name.c_str(), LOG_ACCESS, LOG_SHARE, nullptr,
                                              OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!file || is_planted_link(file.get())) {
            return;
        }
        write_all(file.get(), lines);
    } catch (...) {
        // Out of memory for the path: the lines are lost like any that cannot be written.
    }
}

namespace {

// The system's slim lock and condition variable for the service's queue (see log_queue.h).
class SlimLock {
  public:
    void lock() { ::AcquireSRWLockExclusive(&lock_); }
    void unlock() { ::ReleaseSRWLockExclusive(&lock_); }
    SRWLOCK* get() { return &lock_; }

  private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

class SlimCondition {
  public:
    void wait(std::unique_lock<SlimLock>& guard) { sleep(guard, INFINITE); }
    void wait_until(std::unique_lock<SlimLock>& guard,
                    std::chrono::steady_clock::time_point until) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() > 0) {
            sleep(guard, static_cast<DWORD>(std::min<long long>(left.count(), INFINITE - 1)));
        }
    }
    void notify_one() { ::WakeConditionVariable(&condition_); }
    void notify_all() { ::WakeAllConditionVariable(&condition_); }

  private:
    void sleep(std::unique_lock<SlimLock>& guard, DWORD ms) {
        ::SleepConditionVariableSRW(&condition_, guard.mutex()->get(), ms, 0);
    }
    CONDITION_VARIABLE condition_ = CONDITION_VARIABLE_INIT;
};

using ServiceLogQueue = BasicLogQueue<SlimLock, SlimCondition>;

// Never destroyed: its writer may be stuck in a write when the process ends, and ending the
// process is what ends that thread. Null when the writer could not start; every call then
// appends its own line.
ServiceLogQueue* start_log_writer() noexcept {
    try {
        auto queue = std::make_unique<ServiceLogQueue>(system_filetime);
        std::thread([writer = queue.get()] {
            writer->run_writer(
                [](std::string_view lines) { append_log_lines(LOG_FILE_PATH, lines); });
        }).detach();
        return queue.release();
    } catch (...) {
        return nullptr;
    }
}

ServiceLogQueue* service_log() {
    static ServiceLogQueue* const queue = start_log_writer();
    return queue;
}

void log_lines(std::string lines, std::size_t count) {
    if (ServiceLogQueue* const queue = service_log()) {
        queue->submit(std::move(lines), count);
    } else {
        append_log_lines(LOG_FILE_PATH, lines);
    }
}

void log_line(std::string_view tag, std::string_view message) {
    try {
        log_lines(format_log_line(system_filetime(), tag, message), 1);
    } catch (...) {
        // Out of memory for the line: it is lost like any line that cannot be written.
    }
}

}  // namespace

void append_log_line(std::wstring_view path, std::string_view tag, std::string_view message) {
    try {
        append_log_lines(path, format_log_line(system_filetime(), tag, message));
    } catch (...) {
        // Out of memory for the line: it is lost like any line that cannot be written.
    }
}

void log_message(std::string_view message) {
    log_line(LOG_TAG_NONE, message);
}

void log_ipc(std::string_view message) {
    log_line(LOG_TAG_IPC, message);
}

void log_core(std::string_view message) {
    log_line(LOG_TAG_CORE, message);
}

void log_core_lines(const std::vector<std::string>& messages) {
    if (messages.empty()) {
        return;
    }
    try {
        const std::uint64_t clock = system_filetime();
        std::string lines;
        for (const std::string& message : messages) {
            lines += format_log_line(clock, LOG_TAG_CORE, message);
        }
        log_lines(std::move(lines), messages.size());
    } catch (...) {
        // Out of memory for the lines: they are lost like lines that cannot be written.
    }
}

bool drain_log(std::chrono::milliseconds limit) {
    ServiceLogQueue* const queue = service_log();
    return queue == nullptr || queue->drain(limit);
}

}  // namespace zelto
