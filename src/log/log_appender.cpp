#include "log/log_appender.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "log/log_line.h"

namespace zelto {

namespace {

constexpr std::string_view MAX_BYTES_NAME = "LogMaxBytes";
constexpr std::string_view KEEP_FREE_NAME = "LogKeepFreeBytes";

// The value of `name` as a number, or none with a complaint when it is there but cannot be used.
std::optional<std::uint64_t> number_setting(const ReadSetting& read, std::string_view name,
                                            std::vector<std::string>& complaints) {
    auto complain = [&](const std::string& reason) {
        complaints.push_back("Log setting " + std::string(name) + " in " +
                             std::string(SETTINGS_KEY_NAME) + " ignored: " + reason);
        return std::nullopt;
    };
    const Result<std::optional<SettingValue>> value = read(name);
    if (!value) {
        return complain(value.error());
    }
    if (!value.value()) {
        return std::nullopt;
    }
    const Result<std::uint64_t> number = setting_number(*value.value());
    if (!number) {
        return complain(number.error());
    }
    if (name == MAX_BYTES_NAME && number.value() != 0 && number.value() < LOG_MAX_BYTES_LEAST) {
        return complain("out of range: 0 for no limit, or at least " +
                        std::to_string(LOG_MAX_BYTES_LEAST));
    }
    return number.value();
}

// What LogMaxBytes's number means beyond itself, for the settings line.
std::string max_bytes_note(const LogSettings& settings) {
    if (settings.limits.max_bytes == 0) {
        return " (no limit)";
    }
    return settings.max_bytes_default ? " (default)" : "";
}

std::size_t line_ends_in(std::string_view bytes) {
    return static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n'));
}

}  // namespace

LogSettings log_settings(const ReadSetting& read) {
    LogSettings settings;
    if (const auto max_bytes = number_setting(read, MAX_BYTES_NAME, settings.complaints)) {
        settings.limits.max_bytes = *max_bytes;
        settings.max_bytes_default = false;
    }
    settings.limits.keep_free = number_setting(read, KEEP_FREE_NAME, settings.complaints);
    return settings;
}

std::uint64_t log_floor(const LogLimits& limits, std::uint64_t total_bytes) {
    return limits.keep_free.value_or(std::min(LOG_KEEP_FREE_DEFAULT, total_bytes / 10));
}

std::string describe_log_settings(const LogSettings& settings,
                                  std::optional<std::uint64_t> total_bytes) {
    const LogLimits& limits = settings.limits;
    std::string text = "Log settings: " + std::string(MAX_BYTES_NAME) + " " +
                       std::to_string(limits.max_bytes) + max_bytes_note(settings) + ", " +
                       std::string(KEEP_FREE_NAME) + " ";
    text += limits.keep_free ? std::to_string(*limits.keep_free)
                             : "default (" + std::to_string(LOG_KEEP_FREE_DEFAULT) +
                                   " or a tenth of the volume)";
    if (!limits.keep_free && !total_bytes) {
        return text + ": floor unknown, the log's volume cannot be asked";
    }
    return text + ": floor " + std::to_string(log_floor(limits, total_bytes.value_or(0))) +
           " bytes free on the log's volume";
}

LogAppender::LogAppender(LogFiles& files, Clock clock, LogLimits limits,
                         std::chrono::milliseconds space_interval)
    : files_(files), clock_(std::move(clock)), limits_(limits), space_interval_(space_interval) {}

void LogAppender::append(std::string_view lines, std::size_t count, std::uint64_t stuck_dropped) {
    if (stuck_dropped > 0) {
        lose(stuck_dropped, STUCK);
    }
    const std::string_view kept = within_floor(lines);
    const std::size_t unkept = line_ends_in(lines.substr(kept.size()));
    if (kept.empty() && !lines.empty()) {
        say_floor_reached();
        lose(count, NO_ROOM);
        return;
    }
    if (unkept == 0) {
        floor_said_ = false;
    }

    std::string own;
    LogFiles::Opened opened = open_unlinked(own);
    if (opened.error.empty()) {
        opened = keep_within_limit(opened, kept.size(), own);
    }
    if (!opened.error.empty()) {
        lose(count, FILE, opened.error);
        return;
    }
    if (dropped_ > 0) {
        own += own_line(dropped_message());
    }
    // The batch is copied only in the rare case that the writer has lines of its own.
    const std::string joined = own.empty() ? std::string() : own + std::string(kept);
    const std::string_view bytes = own.empty() ? kept : std::string_view(joined);
    const LogFiles::Written written = files_.append(bytes);
    files_.close();
    written_since_asked_ += written.bytes;
    written_since_rotation_failed_ += written.bytes;
    if (written.bytes >= own.size()) {
        dropped_ = 0;
        causes_ = 0;
    }
    if (!written.error.empty()) {
        // At written.bytes == own.size() both sides count the kept lines.
        const std::size_t unwritten = written.bytes <= own.size()
                                          ? count - unkept
                                          : line_ends_in(bytes.substr(written.bytes));
        lose(unwritten, FILE, written.error);
    }
    if (unkept > 0) {
        lose(unkept, NO_ROOM);
    }
}

// As many whole lines as the floor leaves room for; the rest is dropped and counted.
std::string_view LogAppender::within_floor(std::string_view lines) {
    const std::uint64_t room = room_on_volume();
    // A batch ends in a line end, so at room == size the search below would keep it all too.
    if (room >= lines.size()) {
        return lines;
    }
    const std::size_t last_end = room == 0 ? std::string_view::npos : lines.rfind('\n', room - 1);
    return lines.substr(0, last_end == std::string_view::npos ? 0 : last_end + 1);
}

// A link at the log's path (planted by a user, since the folder is everyone's) would be refused
// at every batch; it is renamed aside, never written through, and a new log started.
LogFiles::Opened LogAppender::open_unlinked(std::string& own) {
    const LogFiles::Opened opened = files_.open();
    if (!opened.linked) {
        return opened;
    }
    if (std::string error = files_.move_aside(); !error.empty()) {
        return {opened.error + "; moving it aside failed: " + error};
    }
    own += own_line("The log was a link or a reparse point: renamed it to " +
                    std::string(LOG_LINK_ASIDE_NAME) + " and started a new log");
    return files_.open();
}

// Rotates the open file when `adding` bytes would take it past the limit. A rotation that fails
// costs no line: the writer says so once and appends past the limit until a later try succeeds.
LogFiles::Opened LogAppender::keep_within_limit(LogFiles::Opened opened, std::size_t adding,
                                                std::string& own) {
    if (limits_.max_bytes == 0 || opened.size == 0 || opened.size + adding <= limits_.max_bytes ||
        !rotation_due()) {
        return opened;
    }
    if (std::string error = files_.rotate(); !error.empty()) {
        if (!rotation_failed_) {
            own += own_line("Log rotation failed (" + error + "): appending past the limit of " +
                            std::to_string(limits_.max_bytes) + " bytes until it succeeds");
        }
        rotation_failed_ = true;
        rotation_failed_at_ = std::chrono::steady_clock::now();
        written_since_rotation_failed_ = 0;
        return opened;
    }
    rotation_failed_ = false;
    own += own_line("Log reached its limit of " + std::to_string(limits_.max_bytes) +
                    " bytes: earlier lines are in " + std::string(LOG_ROTATED_NAME));
    return files_.open();
}

bool LogAppender::rotation_due() const {
    return !rotation_failed_ ||
           std::chrono::steady_clock::now() - rotation_failed_at_ >= LOG_ROTATION_RETRY_INTERVAL ||
           written_since_rotation_failed_ >= LOG_ROTATION_RETRY_BYTES;
}

void LogAppender::say_floor_reached() {
    if (floor_said_) {
        return;
    }
    // Said once, and allowed to cross the floor: an administrator must learn why the log went
    // quiet.
    floor_said_ = true;
    const std::string line = own_line(
        "Free space on the log's volume has reached its floor of " +
        std::to_string(log_floor(limits_, volume_->total_bytes)) + " bytes (" +
        std::to_string(volume_->free_bytes - std::min(volume_->free_bytes, written_since_asked_)) +
        " bytes free): lines are dropped and counted until there is room");
    if (files_.open().error.empty()) {
        written_since_asked_ += files_.append(line).bytes;
        files_.close();
    }
}

std::uint64_t LogAppender::room_on_volume() {
    const auto now = std::chrono::steady_clock::now();
    if (!volume_ || now - asked_at_ >= space_interval_ || written_since_asked_ >= LOG_SPACE_BYTES) {
        volume_ = files_.volume();
        asked_at_ = now;
        written_since_asked_ = 0;
    }
    if (!volume_) {
        return std::numeric_limits<std::uint64_t>::max();  // a volume that cannot be asked does not
                                                           // silence the log
    }
    const std::uint64_t floor = log_floor(limits_, volume_->total_bytes);
    const std::uint64_t free_now =
        volume_->free_bytes - std::min(volume_->free_bytes, written_since_asked_);
    return free_now > floor ? free_now - floor : 0;  // at free_now == floor either side is 0
}

void LogAppender::lose(std::uint64_t count, Cause cause, std::string error) {
    dropped_ += count;
    causes_ |= cause;
    if (cause == FILE) {
        file_error_ = std::move(error);
    }
}

std::string LogAppender::own_line(std::string_view message) const {
    return format_log_line(clock_(), LOG_TAG_NONE, message);
}

std::string LogAppender::dropped_message() const {
    std::string causes;
    auto add = [&causes](std::string_view cause) {
        causes += causes.empty() ? "" : "; ";
        causes += cause;
    };
    if ((causes_ & STUCK) != 0) {
        add("writes stuck");
    }
    if ((causes_ & NO_ROOM) != 0) {
        add("free space below the floor");
    }
    if ((causes_ & FILE) != 0) {
        add("open or write failed: " + file_error_);
    }
    return dropped_lines_message(dropped_, causes);
}

}  // namespace zelto
