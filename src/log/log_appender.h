#pragma once
// What the log's writer does with each batch of lines: keeps the file within its size limit by
// one rotation, keeps a floor of free space on the volume, moves a link planted at the log's path
// aside, and counts every line it could not write, whatever the cause, until a line gets through
// to say so. The service appends as
// LocalSystem, beyond any user's disk quota, to a file any user can hold open: neither a flood
// of lines nor a held file may cost the machine its system drive or lose lines without a count.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/settings.h"

namespace zelto {

inline constexpr std::uint64_t MIB = 1ULL << 20;
inline constexpr std::uint64_t GIB = 1ULL << 30;

// The file is rotated before it would pass this size; 0 means no limit.
inline constexpr std::uint64_t LOG_MAX_BYTES_DEFAULT = GIB;
// A smaller limit would rotate away the lines an administrator came to read.
inline constexpr std::uint64_t LOG_MAX_BYTES_LEAST = MIB;
// The free space kept when no floor is set: this, or a tenth of the volume if that is less.
inline constexpr std::uint64_t LOG_KEEP_FREE_DEFAULT = GIB;
// How often the volume's free space is asked at most: once a second, or once per MiB written.
inline constexpr std::chrono::milliseconds LOG_SPACE_INTERVAL{1000};
inline constexpr std::uint64_t LOG_SPACE_BYTES = MIB;

// After a failed rotation the writer appends past the limit and tries again at most this often:
// once per 10 s, or once per MiB written. A reader holding the file without delete sharing makes
// every rotation fail until it lets go, and must not cost a line.
inline constexpr std::chrono::milliseconds LOG_ROTATION_RETRY_INTERVAL{10000};
inline constexpr std::uint64_t LOG_ROTATION_RETRY_BYTES = MIB;

// Where the rotated lines go, beside the log.
inline constexpr std::string_view LOG_ROTATED_NAME = "velmora-service.log.1";
// Where a link or reparse point found at the log's path is moved, beside the log.
inline constexpr std::string_view LOG_LINK_ASIDE_NAME = "velmora-service.log.link";

struct LogLimits {
    std::uint64_t max_bytes = LOG_MAX_BYTES_DEFAULT;
    std::optional<std::uint64_t> keep_free;  // none: the default floor
};

// The limits from the administrator's values (none when absent or unreadable, with the reason),
// and one line for each value that is ignored.
struct LogSettings {
    LogLimits limits;
    bool max_bytes_default = true;  // LogMaxBytes absent or ignored
    std::vector<std::string> complaints;
};
using ReadSetting = std::function<Result<std::optional<SettingValue>>(std::string_view name)>;
LogSettings log_settings(const ReadSetting& read);

// The floor for a volume of `total_bytes` under `limits`.
std::uint64_t log_floor(const LogLimits& limits, std::uint64_t total_bytes);

// The limits in force, defaults included, and the floor they give on the log's volume of
// `total_bytes` (none when the volume cannot be asked), so the log confirms what took effect.
std::string describe_log_settings(const LogSettings& settings,
                                  std::optional<std::uint64_t> total_bytes);

// The file system as the writer sees it; the service's is the real log file, a test's a fake.
// An empty error text is success.
class LogFiles {
  public:
    struct Opened {
        std::string error;
        std::uint64_t size = 0;
        // The path is a link or a reparse point, or the file has a second link: not opened for
        // appending (the error says so), only held for move_aside.
        bool linked = false;
    };
    struct Written {
        std::string error;
        std::size_t bytes = 0;
    };
    struct Volume {
        std::uint64_t free_bytes = 0;
        std::uint64_t total_bytes = 0;
    };

    virtual ~LogFiles() = default;
    // Opens the log for appending, creating it.
    virtual Opened open() = 0;
    // Appends to the open file: all the bytes, or those before the error.
    virtual Written append(std::string_view bytes) = 0;
    // Moves the open file to the rotated name, replacing what is there, and closes it. On failure
    // the file stays open.
    virtual std::string rotate() = 0;
    // Moves the link that open() found, itself and never what it points to, to the aside name,
    // replacing what is there, and closes it.
    virtual std::string move_aside() = 0;
    virtual void close() = 0;
    // The log volume's space; none when it cannot be asked.
    virtual std::optional<Volume> volume() = 0;
};

class LogAppender {
  public:
    using Clock = std::function<std::uint64_t()>;  // the system clock, as for every line

    LogAppender(LogFiles& files, Clock clock, LogLimits limits,
                std::chrono::milliseconds space_interval = LOG_SPACE_INTERVAL);

    // Writes `lines` (`count` whole lines) with one open, after the writer's own lines;
    // `stuck_dropped` lines never reached it because its writes were stuck.
    void append(std::string_view lines, std::size_t count, std::uint64_t stuck_dropped);

  private:
    enum Cause : unsigned { STUCK = 1, NO_ROOM = 2, FILE = 4 };

    std::string_view within_floor(std::string_view lines);
    LogFiles::Opened open_unlinked(std::string& own);
    LogFiles::Opened keep_within_limit(LogFiles::Opened opened, std::size_t adding,
                                       std::string& own);
    bool rotation_due() const;
    std::uint64_t room_on_volume();
    void say_floor_reached();
    void lose(std::uint64_t count, Cause cause, std::string error = {});
    std::string own_line(std::string_view message) const;
    std::string dropped_message() const;

    LogFiles& files_;
    const Clock clock_;
    const LogLimits limits_;
    const std::chrono::milliseconds space_interval_;

    std::uint64_t dropped_ = 0;  // since the last line that got through
    unsigned causes_ = 0;
    std::string file_error_;
    bool rotation_failed_ = false;  // since the last rotation that succeeded
    std::chrono::steady_clock::time_point rotation_failed_at_;
    std::uint64_t written_since_rotation_failed_ = 0;
    bool floor_said_ = false;
    std::optional<LogFiles::Volume> volume_;
    std::chrono::steady_clock::time_point asked_at_;
    std::uint64_t written_since_asked_ = 0;
};

}  // namespace zelto
