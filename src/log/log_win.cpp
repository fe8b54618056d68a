#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/settings_win.h"
#include "common/unique_handle.h"
#include "common/win_text.h"
#include "log/log.h"
#include "log/log_appender.h"
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

// The file's size, or none when it cannot be asked. `linked` when it is a planted symbolic link
// (opened as itself, see FILE_FLAG_OPEN_REPARSE_POINT) or hard link. The two narrow queries cost
// a fraction of GetFileInformationByHandle, which is paid per batch.
std::optional<std::uint64_t> file_size(HANDLE file, bool& linked) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    FILE_STANDARD_INFO standard{};
    if (!::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag) ||
        !::GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard)) {
        return std::nullopt;
    }
    linked = (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || standard.NumberOfLinks > 1;
    return static_cast<std::uint64_t>(standard.EndOfFile.QuadPart);
}

bool same_file(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION first{};
    BY_HANDLE_FILE_INFORMATION second{};
    return ::GetFileInformationByHandle(a, &first) && ::GetFileInformationByHandle(b, &second) &&
           first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
}

std::uint64_t system_filetime() {
    FILETIME now{};
    ::GetSystemTimePreciseAsFileTime(&now);
    return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

std::string last_error_text() {
    return system_error_text(::GetLastError());
}

// The log file at `path`, opened afresh for each batch.
class WinLogFiles final : public LogFiles {
  public:
    explicit WinLogFiles(std::wstring path)
        : path_(std::move(path)), folder_(path_.substr(0, path_.find_last_of(L'\\') + 1)) {}

    Opened open() override {
        KernelHandle opened(::CreateFileW(path_.c_str(), LOG_ACCESS, LOG_SHARE, nullptr,
                                          OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        const DWORD error = ::GetLastError();
        file_ = std::move(opened);
        if (!file_) {
            return {system_error_text(error), 0};
        }
        bool linked = false;
        const std::optional<std::uint64_t> size = file_size(file_.get(), linked);
        if (!size || linked) {
            // A link is kept open, never to append through, only so move_aside moves this one.
            if (!linked) {
                file_.reset();
            }
            return {"the log's path is a link", 0, linked};
        }
        return {{}, *size};
    }

    Written append(std::string_view bytes) override {
        const WriteLockGuard guard;
        const std::size_t total = bytes.size();
        while (!bytes.empty()) {
            // One call for any real batch; the cap only keeps the size within a DWORD.
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
            DWORD written = 0;
            if (!::WriteFile(file_.get(), bytes.data(), chunk, &written, nullptr)) {
                return {last_error_text(), total - bytes.size()};
            }
            bytes.remove_prefix(written);
        }
        return {{}, total};
    }

    std::string rotate() override { return rename_open_file(LOG_ROTATED_NAME); }

    std::string move_aside() override { return rename_open_file(LOG_LINK_ASIDE_NAME); }

    void close() override { file_.reset(); }

    std::optional<Volume> volume() override {
        ULARGE_INTEGER available{};
        ULARGE_INTEGER total{};
        ULARGE_INTEGER free{};
        if (!::GetDiskFreeSpaceExW(folder_.c_str(), &available, &total, &free)) {
            return std::nullopt;
        }
        return Volume{free.QuadPart, total.QuadPart};
    }

  private:
    // The rename goes through a handle of its own with DELETE, checked to be the file this writer
    // opened, so the appending handle keeps its append-only access and nothing swapped in at the
    // path since is moved. Opened as itself, a link is renamed, never what it points to. Renaming
    // replaces a file or link at `name` without writing through it; a folder or a file held there
    // without delete sharing makes it fail, as does a reader holding the log without it.
    std::string rename_open_file(std::string_view name) {
        const KernelHandle mover(::CreateFileW(path_.c_str(), DELETE | SYNCHRONIZE, LOG_SHARE,
                                               nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                               nullptr));
        if (!mover) {
            return last_error_text();
        }
        if (!same_file(mover.get(), file_.get())) {
            return "the log was replaced while it was moved";
        }
        const std::wstring target = folder_ + to_wide(name);
        std::vector<std::byte> buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
        auto* const rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
        rename->ReplaceIfExists = TRUE;
        rename->RootDirectory = nullptr;
        rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
        std::copy(target.begin(), target.end(), rename->FileName);
        if (!::SetFileInformationByHandle(mover.get(), FileRenameInfo, rename,
                                          static_cast<DWORD>(buffer.size()))) {
            return last_error_text();
        }
        file_.reset();
        return {};
    }

    const std::wstring path_;
    const std::wstring folder_;
    KernelHandle file_;
};

}  // namespace

void append_log_lines(std::wstring_view path, std::string_view lines) {
    try {
        WinLogFiles files{std::wstring(path)};
        if (files.open().error.empty()) {
            static_cast<void>(files.append(lines));
        }
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

// The settings line of the limits start_log_writer read: written by it alone, read after it.
std::string settings_in_force;

LogSettings read_log_settings() {
    return log_settings([](std::string_view name) { return read_setting(to_wide(name)); });
}

// Never destroyed: its writer may be stuck in a write when the process ends, and ending the
// process is what ends that thread. Null when the writer could not start; every call then
// appends its own line. The administrator's limits are read once, by the process's first line,
// and said in the log before it.
ServiceLogQueue* start_log_writer() noexcept {
    try {
        auto queue = std::make_unique<ServiceLogQueue>();
        const LogSettings settings = read_log_settings();
        auto files = std::make_unique<WinLogFiles>(std::wstring(LOG_FILE_PATH));
        const std::optional<LogFiles::Volume> volume = files->volume();
        auto appender = std::make_unique<LogAppender>(*files, system_filetime, settings.limits);
        std::thread([writer = queue.get(), files = std::move(files),
                     appender = std::move(appender)] {
            writer->run_writer(
                [&](std::string_view lines, std::size_t count, std::uint64_t dropped) {
                    appender->append(lines, count, dropped);
                });
        }).detach();
        for (const std::string& complaint : settings.complaints) {
            queue->submit(format_log_line(system_filetime(), LOG_TAG_LOG, complaint), 1);
        }
        settings_in_force = describe_log_settings(
            settings, volume ? std::optional(volume->total_bytes) : std::nullopt);
        return queue.release();
    } catch (...) {
        return nullptr;
    }
}

ServiceLogQueue* service_log() {
    static ServiceLogQueue* const queue = start_log_writer();
    return queue;
}

// Whether a call returns once its lines are written or as soon as they are queued.
enum class Handover { WAIT, QUEUE };

void log_lines(std::string lines, std::size_t count, Handover handover = Handover::WAIT) {
    ServiceLogQueue* const queue = service_log();
    if (queue == nullptr) {
        append_log_lines(LOG_FILE_PATH, lines);
    } else if (handover == Handover::QUEUE) {
        queue->post(std::move(lines), count);
    } else {
        queue->submit(std::move(lines), count);
    }
}

void log_line(std::string_view tag, std::string_view message, Handover handover = Handover::WAIT) {
    try {
        log_lines(format_log_line(system_filetime(), tag, message), 1, handover);
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

void log_settings_in_force() {
    if (service_log() != nullptr && !settings_in_force.empty()) {
        log_line(LOG_TAG_LOG, settings_in_force);
    }
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

void queue_log_ipc(std::string_view message) {
    log_line(LOG_TAG_IPC, message, Handover::QUEUE);
}

bool wait_for_log() {
    ServiceLogQueue* const queue = service_log();
    return queue == nullptr || queue->flush();
}

bool drain_log(std::chrono::milliseconds limit) {
    ServiceLogQueue* const queue = service_log();
    return queue == nullptr || queue->drain(limit);
}

}  // namespace zelto
