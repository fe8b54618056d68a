#pragma once
// One writer owns the log file; every other thread hands it complete lines through one bounded
// queue. A caller waits until its lines are handed to the system, as a direct append would, but
// never past a short limit: a write that does not return (a user's lock on the world-readable
// file) must not hold up the threads that serve the pipe, the stop and the core's output.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace zelto {

// What the queue may hold beyond the batch the writer is writing.
inline constexpr std::size_t LOG_QUEUE_CAPACITY = 4u << 20;
// How long a writer may make no progress before callers stop waiting for it.
inline constexpr std::chrono::milliseconds LOG_STALL_LIMIT{1000};

// Writes complete lines to the file, all or nothing is reported: a failure loses them.
using LogWrite = std::function<void(std::string_view lines)>;
// The system clock, in 100-ns intervals since 1601-01-01 UTC, for the dropped-lines line.
using LogClock = std::function<std::uint64_t()>;

class LogQueue {
  public:
    LogQueue(LogClock clock, std::size_t capacity = LOG_QUEUE_CAPACITY,
             std::chrono::milliseconds stall_limit = LOG_STALL_LIMIT);

    // Queues `lines` (`count` complete lines, formatted and stamped by the caller) and waits
    // until the writer has written them, at most the stall limit. When there is no room, it
    // waits for room as long; lines that still find none are dropped and counted. Once the
    // writer has been stuck in one write for the limit, nothing waits at all.
    void submit(std::string lines, std::size_t count);

    // Waits up to `limit` until everything queued is written; false if it was not.
    bool drain(std::chrono::milliseconds limit);

    // The writer's loop: takes everything queued and writes it with one call, preceded, after
    // lines were dropped, by one line that counts them. Returns once closed and written.
    void run_writer(const LogWrite& write);

    // Ends run_writer. The service never closes its queue: its writer ends with the process.
    void close();

  private:
    using Clock = std::chrono::steady_clock;

    bool stalled(Clock::time_point now) const;

    const LogClock clock_;
    const std::size_t capacity_;
    const std::chrono::milliseconds stall_limit_;

    std::mutex lock_;
    std::condition_variable queued_;    // the writer waits for lines
    std::condition_variable progress_;  // callers wait for their lines, or for room
    std::string pending_;
    std::uint64_t submitted_ = 0;  // batches queued, numbered from 1
    std::uint64_t taken_ = 0;      // the last batch the writer took
    std::uint64_t written_ = 0;    // the last batch the writer finished with
    std::uint64_t dropped_ = 0;    // lines since the last count line
    bool writing_ = false;
    Clock::time_point write_started_;
    bool closed_ = false;
};

}  // namespace zelto
