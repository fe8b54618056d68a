#include "log/log_line.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <set>
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

// The writer's file side as the tests drive it: it keeps what it is given and, while held, does not
// return, as a write into a file another process has locked.
class HeldFile {
  public:
    void hold() { set_held(true); }
    void release() { set_held(false); }
    void write(std::string_view lines) {
        std::unique_lock<std::mutex> guard(lock_);
        ++entered_;
        changed_.notify_all();
        changed_.wait(guard, [this] { return !held_; });
        text_ += lines;
        for (std::size_t end; (end = lines.find('\n')) != std::string_view::npos;) {
            lines_.emplace(lines.substr(0, end));
            lines.remove_prefix(end + 1);
        }
    }
    void wait_entered(int writes) {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait(guard, [&] { return entered_ >= writes; });
    }
    bool has(const std::string& line) {
        const std::lock_guard<std::mutex> guard(lock_);
        return lines_.contains(line);
    }
    std::string text() {
        const std::lock_guard<std::mutex> guard(lock_);
        return text_;
    }

  private:
    void set_held(bool held) {
        const std::lock_guard<std::mutex> guard(lock_);
        held_ = held;
        changed_.notify_all();
    }
    std::mutex lock_;
    std::condition_variable changed_;
    bool held_ = false;
    int entered_ = 0;
    std::string text_;
    std::set<std::string, std::less<>> lines_;
};

struct RunningQueue {
    RunningQueue(std::size_t capacity, std::chrono::milliseconds stall_limit)
        : queue([] { return AT_1970; }, capacity, stall_limit),
          writer([this] { queue.run_writer([this](std::string_view l) { file.write(l); }); }) {}
    ~RunningQueue() {
        file.release();
        queue.close();
        writer.join();
    }
    HeldFile file;
    LogQueue queue;
    std::thread writer;
};

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

milliseconds since(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

TEST(LogQueue, EachCallReturnsWithItsLineWrittenInItsThreadsOrder) {
    // A queue smaller than what the threads hand over: a healthy writer makes them wait for room
    // and never drops.
    RunningQueue log(1024, milliseconds(5000));
    constexpr int THREADS = 8;
    constexpr int LINES = 300;
    std::atomic<int> unwritten_on_return{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            for (int n = 0; n < LINES; ++n) {
                const std::string line = std::to_string(t) + " " + std::to_string(n) + " " +
                                         std::string(60, static_cast<char>('a' + t));
                log.queue.submit(line + "\n", 1);
                unwritten_on_return += log.file.has(line) ? 0 : 1;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(unwritten_on_return, 0);
    std::vector<int> next(THREADS, 0);
    const std::string text = log.file.text();
    for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        int t = -1;
        int n = -1;
        ASSERT_EQ(std::sscanf(text.c_str() + at, "%d %d", &t, &n), 2) << text.substr(at, end - at);
        ASSERT_TRUE(t >= 0 && t < THREADS && n == next[t]) << text.substr(at, end - at);
        ++next[t];
    }
    EXPECT_EQ(next, std::vector<int>(THREADS, LINES));
}

TEST(LogQueue, CallWaitsForAWriteThatIsSlowButNotStuck) {
    RunningQueue log(1024, milliseconds(5000));
    log.file.hold();
    std::atomic<bool> returned{false};
    std::thread caller([&] {
        log.queue.submit("slow\n", 1);
        returned = true;
    });
    log.file.wait_entered(1);
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_FALSE(returned);
    log.file.release();
    caller.join();
    EXPECT_EQ(log.file.text(), "slow\n");
}

TEST(LogQueue, StuckWriterStallsNobodyAndCountsWhatItDrops) {
    constexpr milliseconds LIMIT(400);
    RunningQueue log(9, LIMIT);  // three of the 3-byte lines below
    log.file.hold();
    std::thread first([&] { log.queue.submit("in\n", 1); });
    log.file.wait_entered(1);

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

    log.file.release();
    first.join();
    EXPECT_TRUE(log.queue.drain(milliseconds(5000)));
    log.queue.submit("after\n", 1);
    EXPECT_EQ(log.file.text(), "in\n[0] " + dropped_lines_message(4) + "\nq1\nq2\nq3\nafter\n");
    EXPECT_EQ(dropped_lines_message(4), "Log writes were stuck: 4 lines dropped");
}

}  // namespace
}  // namespace zelto
