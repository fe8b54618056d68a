#include "log/log_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <tuple>
#include <vector>

#include "log/log_appender.h"
#include "log/log_queue.h"

namespace zelto {
namespace {

constexpr std::uint64_t AT_1970 = UNIX_EPOCH_FILETIME;

TEST(LogLine, SecondsAreTruncatedAndNeverNegative) {
    struct Case {
        std::uint64_t filetime;
        std::uint64_t seconds;
    };
    const Case cases[] = {
        {AT_1970, 0},
        {AT_1970 + 127000000, 12},  // 12.7 s
        {AT_1970 + 9999999, 0},
        {AT_1970 + 10000000, 1},
        {AT_1970 - 1, 0},
        {0, 0},
        {AT_1970 + 17653536000000000ULL, 1765353600},
        {UINT64_MAX, (UINT64_MAX - AT_1970) / 10000000},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(seconds_since_1970(c.filetime), c.seconds) << c.filetime;
    }
}

TEST(LogLine, FormatPerTag) {
    const std::uint64_t clock = AT_1970 + 1765353600ULL * 10000000 + 5;
    struct Case {
        std::string_view tag;
        std::string_view message;
        std::string expected;
    };
    const Case cases[] = {
        {LOG_TAG_NONE, "Service starting", "[1765353600] Service starting\n"},
        {LOG_TAG_IPC, "", "[1765353600] [IPC] \n"},
        {LOG_TAG_CORE, "a\nb", "[1765353600] [CORE] a\nb\n"},
        {LOG_TAG_CORE, "gr\xC3\xBC\xC3\x9F \xE2\x82\xAC",
         "[1765353600] [CORE] gr\xC3\xBC\xC3\x9F \xE2\x82\xAC\n"},
        {LOG_TAG_NONE, "  padded\r", "[1765353600]   padded\r\n"},
        {LOG_TAG_IPC, std::string_view("nul\0inside", 10),
         std::string("[1765353600] [IPC] nul\0inside\n", 30)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(format_log_line(clock, c.tag, c.message), c.expected);
    }
}

TEST(LogLine, PreEpochClockWritesZero) {
    EXPECT_EQ(format_log_line(AT_1970 - 10000000, LOG_TAG_IPC, "x"), "[0] [IPC] x\n");
}

TEST(LogLine, ClientTextIsEscapedToOneLine) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"STATUS\n[1] [IPC] Sending response: OK|forged",
         "STATUS\\n[1] [IPC] Sending response: OK|forged"},
        {"a\r\nb\tc", "a\\r\\nb\tc"},
        {std::string_view("\0\x01\x1f\x20\x7f", 5), "\\x00\\x01\\x1F \x7f"},
        {"C:\\proxy\\gr\xC3\xBC\xC3\x9F.yaml", "C:\\proxy\\gr\xC3\xBC\xC3\x9F.yaml"},
    };
    for (const auto& [text, escaped] : cases) {
        EXPECT_EQ(escape_log_text(text), escaped);
    }
}

// A log queue whose file side keeps what it is given (and the count of lines dropped before it)
// and, while held, does not return, as a write into a file another process has locked; each
// write takes `delay` at least, as one a slow reader's lock holds up.
struct HeldQueue {
    HeldQueue(std::size_t capacity, std::chrono::milliseconds wait_limit,
              std::chrono::milliseconds write_delay = {})
        : delay(write_delay), queue(capacity, wait_limit), writer([this] {
              queue.run_writer([this](std::string_view lines, std::size_t, std::uint64_t dropped) {
                  std::this_thread::sleep_for(delay);
                  write(dropped > 0
                            ? "[dropped " + std::to_string(dropped) + "]\n" + std::string(lines)
                            : std::string(lines));
              });
          }) {}
    ~HeldQueue() {
        hold(false);
        queue.close();
        writer.join();
    }
    void write(std::string_view lines) {
        std::unique_lock<std::mutex> guard(lock);
        ++writes;
        changed.notify_all();
        changed.wait(guard, [this] { return !held; });
        text += lines;
    }
    void hold(bool on) {
        const std::lock_guard<std::mutex> guard(lock);
        held = on;
        changed.notify_all();
    }
    void wait_for_writes(int count) {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [&] { return writes >= count; });
    }
    std::string written() {
        const std::lock_guard<std::mutex> guard(lock);
        return text;
    }

    const std::chrono::milliseconds delay;
    std::mutex lock;
    std::condition_variable changed;
    bool held = false;
    int writes = 0;
    std::string text;
    LogQueue queue;
    std::thread writer;
};

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

milliseconds since(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

TEST(LogQueue, LinesOfManyThreadsArriveWholeInEachThreadsOrder) {
    // A queue smaller than what the threads hand over: a healthy writer makes them wait for room
    // and never drops.
    HeldQueue log(1024, milliseconds(5000));
    constexpr int THREADS = 8;
    constexpr int LINES = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            for (int n = 0; n < LINES; ++n) {
                log.queue.submit(std::to_string(t) + " " + std::to_string(n) + " " +
                                     std::string(60, static_cast<char>('a' + t)) + "\n",
                                 1);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::vector<int> next(THREADS, 0);
    const std::string text = log.written();
    for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        int t = -1;
        int n = -1;
        ASSERT_EQ(std::sscanf(text.c_str() + at, "%d %d", &t, &n), 2) << text.substr(at, end - at);
        ASSERT_TRUE(t >= 0 && t < THREADS && n == next[t] &&
                    text.substr(at, end - at).ends_with(std::string(60, 'a' + t)))
            << text.substr(at, end - at);
        ++next[t];
    }
    EXPECT_EQ(next, std::vector<int>(THREADS, LINES));
}

TEST(LogQueue, StuckWriterStallsNobodyAndCountsWhatItDrops) {
    constexpr milliseconds LIMIT(400);
    HeldQueue log(9, LIMIT);  // three of the 3-byte lines below
    log.hold(true);
    std::atomic<bool> returned{false};
    std::thread first([&] {
        log.queue.submit("in\n", 1);
        returned = true;
    });
    log.wait_for_writes(1);
    // A write that is slow but not yet stuck is waited for.
    std::this_thread::sleep_for(LIMIT / 2);
    EXPECT_FALSE(returned);

    // Only a call made before the writer counts as stuck waits, and not beyond the limit.
    Clock::time_point start = Clock::now();
    log.queue.submit("q1\n", 1);
    EXPECT_LE(since(start), LIMIT + milliseconds(300));
    start = Clock::now();
    for (const char* line : {"q2\n", "q3\n", "d1\n", "d2\n"}) {
        log.queue.submit(line, 1);
    }
    log.queue.submit("d3\nd4\n", 2);
    EXPECT_LE(since(start), LIMIT / 2) << "calls waited for a stuck writer";

    // The stop's wait ends at its limit, not when the writer comes back.
    start = Clock::now();
    EXPECT_FALSE(log.queue.drain(LIMIT));
    EXPECT_LE(since(start), LIMIT + milliseconds(300));

    log.hold(false);
    first.join();
    EXPECT_TRUE(log.queue.drain(milliseconds(5000)));
    // Once written, a call returns with its line in the file.
    log.queue.submit("after\n", 1);
    EXPECT_EQ(log.written(), "in\n[dropped 4]\nq1\nq2\nq3\nafter\n");
}

TEST(LogQueue, SlowWritesHoldTheLinesOfOneRequestAtMostTheLimitInAll) {
    HeldQueue log(LOG_QUEUE_CAPACITY, LOG_WAIT_LIMIT, milliseconds(900));
    milliseconds waited{0};
    // The request's work between its lines spreads them over several writes.
    for (const char* line : {"a\n", "b\n", "c\n", "d\n"}) {
        const Clock::time_point start = Clock::now();
        log.queue.submit(line, 1);
        waited += since(start);
        std::this_thread::sleep_for(milliseconds(400));
    }
    EXPECT_LE(waited, LOG_WAIT_LIMIT + milliseconds(100));
    EXPECT_TRUE(log.queue.drain(milliseconds(5000)));
    EXPECT_EQ(log.written(), "a\nb\nc\nd\n");
}

// A request's lines are queued without waiting and waited for once, before its answer: then they
// are all in the file, in order, or, when the writer is stuck, the wait ends at the limit and
// they follow later, in order, with the line queued after the answer, which nobody waits for.
TEST(LogQueue, ARequestsLinesAreWaitedForOnceBeforeItsAnswer) {
    constexpr milliseconds LIMIT(300);
    const struct {
        const char* name;
        bool stuck;
    } cases[] = {{"healthy writer", false}, {"stuck writer", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Each write takes 100 ms: a queueing call that waited for one would show.
        HeldQueue log(LOG_QUEUE_CAPACITY, c.stuck ? LIMIT : milliseconds(5000), milliseconds(100));
        log.hold(c.stuck);
        const Clock::time_point start = Clock::now();
        for (const char* line : {"connected\n", "received\n", "sending\n"}) {
            log.queue.post(line, 1);
        }
        EXPECT_LT(since(start), milliseconds(80)) << "a queued line waited for the writer";
        EXPECT_EQ(log.queue.flush(), !c.stuck);
        if (c.stuck) {
            EXPECT_LE(since(start), LIMIT + milliseconds(300));
        } else {
            EXPECT_EQ(log.written(), "connected\nreceived\nsending\n");
        }
        // A line nobody waits for is written all the same, soon.
        log.queue.post("disconnected\n", 1);
        log.hold(false);
        const std::string all = "connected\nreceived\nsending\ndisconnected\n";
        for (const Clock::time_point posted = Clock::now();
             log.written() != all && since(posted) < milliseconds(5000);) {
            std::this_thread::sleep_for(milliseconds(5));
        }
        EXPECT_EQ(log.written(), all);
    }
}

// The log's file system as the writer's tests set it: a file, its rotated copy, the volume's
// free bytes, and the errors each step is to meet.
struct FakeFiles final : LogFiles {
    Opened open() override {
        held = !linked && open_error.empty();
        return linked ? Opened{"a link", 0, true} : Opened{open_error, file.size()};
    }
    Written append(std::string_view bytes) override {
        if (!write_error.empty()) {
            file += bytes.substr(0, fits);
            return {write_error, std::min(fits, bytes.size())};
        }
        file += bytes;
        free -= std::min<std::uint64_t>(free, bytes.size());
        return {{}, bytes.size()};
    }
    std::string rotate() override {
        if (rotate_error.empty()) {
            rotated = std::exchange(file, "");
        }
        return rotate_error;
    }
    std::string move_aside() override {
        if (linked && aside_error.empty()) {
            aside = std::exchange(file, "");
            linked = false;
        }
        return aside_error;
    }
    void close() override { held = false; }
    std::optional<Volume> volume() override { return Volume{free, 100 * GIB}; }

    std::string file, rotated, aside, open_error, write_error, rotate_error, aside_error;
    std::size_t fits = 0;  // written before write_error
    bool linked = false, held = false;
    std::uint64_t free = 20000 + 2 * MIB;
};

std::string dropped(std::string_view causes, int count) {
    return "[0] " + dropped_lines_message(count, causes) + "\n";
}

TEST(LogAppender, RotatesAtTheLimitKeepsTheFloorAndCountsEveryLostLine) {
    FakeFiles files;
    LogAppender log(
        files, [] { return AT_1970; }, LogLimits{40, 19000}, milliseconds(0));
    const std::string first = "0123456789\n0123456789\n", at_limit = first + "abcdefghijklmnopq\n";
    log.append(first, 2, 0);
    log.append("abcdefghijklmnopq\n", 1, 0);  // exactly the limit: no rotation
    EXPECT_EQ(files.file, at_limit);

    // A failed rotation costs no line: said once, then appended past the limit until a try,
    // at most once per MiB written (or 10 s), succeeds.
    files.rotate_error = "held";
    log.append("x\n", 1, 0);
    files.open_error = "sharing violation";
    log.append("y\n", 1, 1);
    files.open_error.clear();
    files.rotate_error.clear();
    const std::string failed =
        "[0] Log rotation failed (held): appending past the limit of 40 bytes until it succeeds\n";
    const std::string lost = dropped("writes stuck; open or write failed: sharing violation", 2);
    // Written since the failure, its own line included: a MiB less one byte, then the MiB.
    const std::string mib(MIB - 4 - failed.size() - lost.size(), 'm');
    log.append(mib + "\n", 1, 0);
    log.append("\n", 1, 0);
    const std::string past_limit = at_limit + failed + "x\n" + lost + mib + "\n\n";
    EXPECT_EQ(files.file, past_limit);
    log.append("z\n", 1, 0);
    EXPECT_EQ(files.rotated, past_limit);
    const std::string fresh =
        "[0] Log reached its limit of 40 bytes: earlier lines are in velmora-service.log.1\nz\n";
    EXPECT_EQ(files.file, fresh);

    // A link at the log's path is moved aside, not refused for ever; one that cannot be is
    // counted.
    files.linked = true;
    files.aside_error = "held";
    log.append("l1\n", 1, 0);
    files.aside_error.clear();
    log.append("l2\n", 1, 0);
    EXPECT_EQ(files.aside, fresh);
    EXPECT_EQ(files.file,
              "[0] The log was a link or a reparse point: renamed it to velmora-service.log.link "
              "and started a new log\n" +
                  dropped("open or write failed: a link; moving it aside failed: held", 1) +
                  "l2\n");

    // 1000 bytes above the floor, less what was written: a batch that fits exactly goes in.
    files.file.clear();
    const std::size_t room = files.free - 19000;
    log.append(std::string(room - 1, 'r') + "\n", 1, 0);
    EXPECT_EQ(files.free, 19000u);
    files.file.clear();
    log.append("over\n", 1, 0);
    log.append("over\n", 1, 0);
    const std::string at_floor =
        "[0] Free space on the log's volume has reached its floor of 19000 bytes (19000 bytes "
        "free): lines are dropped and counted until there is room\n";
    EXPECT_EQ(files.file, at_floor);
    files.free = 19005;
    files.write_error = "disk full";
    log.append("lost\nlost2\n", 2, 0);
    files.file.clear();
    const std::string both_lost =
        dropped("free space below the floor; open or write failed: disk full", 4);
    files.fits = both_lost.size();  // the count gets out, the line after it does not
    log.append("back\n", 1, 0);
    EXPECT_EQ(files.file, both_lost);
    files.write_error.clear();
    files.file.clear();
    log.append("back\n", 1, 0);
    EXPECT_EQ(files.file, dropped("open or write failed: disk full", 1) + "back\n");
    // Room again ended the episode: reaching the floor once more is said once more.
    files.file.clear();
    files.free = 19000;
    log.append("over\n", 1, 0);
    EXPECT_EQ(files.file, at_floor);
    EXPECT_FALSE(files.held);
    files.file.clear();
    files.free = 19005;
    log.append("ab\ncd\n", 2, 0);
    const std::string part = dropped("free space below the floor", 1) + "ab\n";
    EXPECT_EQ(files.file, part);
    files.free = 19000;
    log.append("\n", 1, 0);  // no byte above the floor; the same episode: not said again
    EXPECT_EQ(files.file, part);
    // After a rotation that worked, the next failure is said again.
    files.free = 20000;
    files.rotate_error = "held";
    log.append("x\n", 1, 0);
    EXPECT_EQ(files.file, part + failed + dropped("free space below the floor", 2) + "x\n");
    EXPECT_FALSE(files.held);

    // No limit never rotates. The volume is asked again after the interval or a MiB written,
    // so space another program takes shows late.
    FakeFiles other;
    LogAppender unlimited(
        other, [] { return AT_1970; }, LogLimits{0, 19000}, std::chrono::hours(1));
    unlimited.append("a\n", 1, 0);
    other.free = 19000;
    unlimited.append(std::string(MIB - 3, 'm') + "\n", 1, 0);
    unlimited.append("b\n", 1, 0);
    EXPECT_EQ(other.file,
              "a\n" + std::string(MIB - 3, 'm') +
                  "\n[0] Free space on the log's volume has reached its floor of 19000 bytes (0 "
                  "bytes free): lines are dropped and counted until there is room\n");
    EXPECT_EQ(other.rotated, "");
}

TEST(LogAppender, SettingsAndTheirDefaults) {
    auto value = [](std::uint32_t type, std::vector<std::uint8_t> data) {
        return std::optional<SettingValue>(SettingValue{type, std::move(data)});
    };
    const std::string IGNORED =
        "Log setting LogMaxBytes in HKLM\\SOFTWARE\\Zelto\\Service ignored: ";
    struct Case {
        Result<std::optional<SettingValue>> max_bytes;
        std::uint64_t limit;
        std::string complaint;
    };
    const Case cases[] = {
        {std::optional<SettingValue>(), GIB, ""},
        {value(SETTING_TYPE_DWORD, {0, 0, 0, 0}), 0, ""},
        {value(SETTING_TYPE_DWORD, {0, 0, 0x40, 0}), 4 * MIB, ""},
        {value(SETTING_TYPE_QWORD, {0, 0, 0, 0, 1, 0, 0, 0}), 4 * GIB, ""},
        {value(SETTING_TYPE_DWORD, {0xFF, 0xFF, 0x0F, 0}), GIB,
         IGNORED + "out of range: 0 for no limit, or at least 1048576"},
        {value(1, {'4', 0}), GIB, IGNORED + "must be REG_DWORD or REG_QWORD"},
        {value(SETTING_TYPE_QWORD, {1, 0, 0, 0}), GIB, IGNORED + "must be REG_DWORD or REG_QWORD"},
        {Result<std::optional<SettingValue>>::failure("Access is denied. (os error 5)"), GIB,
         IGNORED + "Access is denied. (os error 5)"},
    };
    for (const Case& c : cases) {
        const LogSettings settings = log_settings([&](std::string_view name) {
            return name == "LogMaxBytes" ? c.max_bytes : std::optional<SettingValue>();
        });
        EXPECT_EQ(settings.limits.max_bytes, c.limit) << c.complaint;
        EXPECT_EQ(settings.max_bytes_default, c.limit == GIB) << c.complaint;
        EXPECT_EQ(settings.complaints,
                  c.complaint.empty() ? std::vector<std::string>{} : std::vector{c.complaint});
        EXPECT_EQ(settings.limits.keep_free, std::nullopt);
    }
    // The least limit is taken as it is; a floor is any number.
    const LogSettings least = log_settings([&](std::string_view) {
        return value(SETTING_TYPE_DWORD, {0, 0, 0x10, 0});
    });
    EXPECT_EQ(least.limits.max_bytes, MIB);
    EXPECT_EQ(least.limits.keep_free, MIB);
    EXPECT_EQ(least.complaints, std::vector<std::string>{});
    // The default floor: 1 GiB, or a tenth of a volume smaller than 10 GiB.
    EXPECT_EQ(log_floor({}, 64 * MIB), 64 * MIB / 10);
    EXPECT_EQ(log_floor({}, 100 * GIB), GIB);
    EXPECT_EQ(log_floor({GIB, 0}, 100 * GIB), 0u);

    // What the start line says took effect, defaults included.
    const std::string DEFAULT_FLOOR =
        "LogKeepFreeBytes default (1073741824 or a tenth of the volume)";
    const std::tuple<LogSettings, std::optional<std::uint64_t>, std::string> said[] = {
        {{}, 64 * MIB, "LogMaxBytes 1073741824 (default), " + DEFAULT_FLOOR + ": floor 6710886"},
        {{},
         std::nullopt,
         "LogMaxBytes 1073741824 (default), " + DEFAULT_FLOOR +
             ": floor unknown, the log's volume cannot be asked"},
        {{{GIB, 5 * GIB}, false, {}},
         std::nullopt,
         "LogMaxBytes 1073741824, LogKeepFreeBytes 5368709120: floor 5368709120"},
        {{{0, 0}, false, {}}, GIB, "LogMaxBytes 0 (no limit), LogKeepFreeBytes 0: floor 0"},
    };
    for (const auto& [settings, volume, text] : said) {
        EXPECT_EQ(describe_log_settings(settings, volume),
                  "Log settings: " + text +
                      (text.ends_with("asked") ? "" : " bytes free on the log's volume"));
    }
}

}  // namespace
}  // namespace zelto
