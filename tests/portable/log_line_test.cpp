#include "log/log_line.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

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

// A log queue whose file side keeps what it is given and, while held, does not return, as a
// write into a file another process has locked.
struct HeldQueue {
    HeldQueue(std::size_t capacity, std::chrono::milliseconds stall_limit)
        : queue([] { return AT_1970; }, capacity, stall_limit),
          writer([this] { queue.run_writer([this](std::string_view lines) { write(lines); }); }) {}
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
    EXPECT_EQ(log.written(), "in\n[0] Log writes were stuck: 4 lines dropped\nq1\nq2\nq3\nafter\n");
}

}  // namespace
}  // namespace zelto
