#pragma once
// One writer owns the log file; every other thread hands it complete lines through one bounded
// queue. A caller waits until its lines are handed to the system, as a direct append would, or
// queues several and waits once for them all (a request's lines, before its answer), but never
// past a short limit: a write that is slow or does not return (a user's lock on the
// world-readable file) must not hold up the threads that serve the pipe, the stop and the core's
// output.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

namespace zelto {

// What the queue may hold beyond the batch the writer is writing.
inline constexpr std::size_t LOG_QUEUE_CAPACITY = 4u << 20;
// How long a caller waits for its lines at most. A write that has taken this long makes the
// writer slow: no call waits for it until a write returns within the limit again, so the lines
// of one request hold its answer this long in all, however slowly each write returns.
inline constexpr std::chrono::milliseconds LOG_WAIT_LIMIT{250};
// How long lines queued without a wait gather before the writer takes them on its own. A
// request's lines are taken together by the one wait before its answer, and the line after the
// answer goes with the next request's, or this much later when none follows: one write per
// request, where a writer woken by each line would write a request's lines in two.
inline constexpr std::chrono::milliseconds LOG_GATHER_TIME{20};

// Writes `count` complete lines to the file, after counting `dropped` lines that never reached
// it because the queue was full while the writer was slow.
using LogWrite =
    std::function<void(std::string_view lines, std::size_t count, std::uint64_t dropped)>;

// Mutex and Condition are the standard ones but for the service's own queue: there the
// system's slim locks, since every log line passes two waits and Wine serves the standard ones
// through its server at several times their cost. Condition needs wait(lock),
// wait_until(lock, steady time), notify_one() and notify_all().
template <typename Mutex = std::mutex, typename Condition = std::condition_variable>
class BasicLogQueue {
  public:
    explicit BasicLogQueue(std::size_t capacity = LOG_QUEUE_CAPACITY,
                           std::chrono::milliseconds wait_limit = LOG_WAIT_LIMIT)
        : capacity_(capacity), wait_limit_(wait_limit) {}

    // Queues `lines` (`count` complete lines, formatted and stamped by the caller) and waits
    // until the writer has written them, at most the wait limit. When there is no room, it
    // waits for room as long; lines that still find none are dropped and counted. While the
    // writer is slow, nothing waits at all.
    void submit(std::string lines, std::size_t count) {
        std::unique_lock<Mutex> guard(lock_);
        // Even a healthy writer is not waited for beyond the limit, so no caller ever is.
        const Clock::time_point deadline = Clock::now() + wait_limit_;
        if (const std::uint64_t batch = add(guard, std::move(lines), count, deadline)) {
            wake_writer();
            wait_written(guard, batch, deadline);
        }
    }

    // Queues `lines` as submit does, but returns without waiting for the writer: for the lines
    // of one request, which flush waits for together. The writer takes them with the next
    // waited-for lines, or after the gather time.
    void post(std::string lines, std::size_t count) {
        std::unique_lock<Mutex> guard(lock_);
        add(guard, std::move(lines), count, Clock::now() + wait_limit_);
    }

    // Waits until every line queued so far is written, by the same rule as submit's wait: at
    // most the wait limit, and not at all while the writer is slow. False if they were not
    // written; they stay queued, in order, and are written later.
    bool flush() {
        std::unique_lock<Mutex> guard(lock_);
        wake_writer();
        return wait_written(guard, submitted_, Clock::now() + wait_limit_);
    }

    // Waits up to `limit` until everything queued is written; false if it was not.
    bool drain(std::chrono::milliseconds limit) {
        std::unique_lock<Mutex> guard(lock_);
        wake_writer();
        const Clock::time_point deadline = Clock::now() + limit;
        while (written_ != submitted_ && Clock::now() < deadline) {
            written_changed_.wait_until(guard, deadline);
        }
        return written_ == submitted_;
    }

    // The writer's loop: takes everything queued and writes it with one call, with the count of
    // the lines dropped since the last call. Returns once closed and written.
    void run_writer(const LogWrite& write) {
        std::unique_lock<Mutex> guard(lock_);
        for (;;) {
            while (!closed_ && !batch_due()) {
                if (!pending_.empty()) {
                    queued_.wait_until(guard, first_queued_ + LOG_GATHER_TIME);
                } else if (Clock::now() < last_written_ + LOG_GATHER_TIME) {
                    // Lingers after a write: the line after a request's answer then costs no
                    // wake-up when the next request follows at once.
                    queued_.wait_until(guard, last_written_ + LOG_GATHER_TIME);
                } else {
                    idle_ = true;
                    queued_.wait(guard);
                    idle_ = false;
                }
            }
            if (pending_.empty() && dropped_ == 0) {
                return;
            }
            wanted_ = false;
            std::string batch;
            batch.swap(pending_);
            const std::size_t count = std::exchange(pending_count_, 0);
            const std::uint64_t dropped = std::exchange(dropped_, 0);
            const std::uint64_t taken = submitted_;
            writing_ = true;
            write_started_ = Clock::now();
            guard.unlock();
            // Room for new lines opens now, not when this write returns.
            room_.notify_all();
            try {
                write(batch, count, dropped);
            } catch (...) {
                // Out of memory in the write: these lines are lost like any that cannot be written.
            }
            batch = std::string();
            guard.lock();
            writing_ = false;
            last_written_ = Clock::now();
            slow_ = last_written_ - write_started_ >= wait_limit_;
            written_ = taken;
            written_changed_.notify_all();
        }
    }

    // Ends run_writer. The service never closes its queue: its writer ends with the process.
    void close() {
        {
            const std::lock_guard<Mutex> guard(lock_);
            closed_ = true;
        }
        queued_.notify_one();
    }

  private:
    using Clock = std::chrono::steady_clock;

    // Appends `lines` to the queue once there is room, waiting for it until `deadline` or the
    // writer turns slow; lines that find none are dropped and counted. The batch's number, or 0
    // when dropped. Wakes an idle writer only to let it time the gathering of the lines.
    std::uint64_t add(std::unique_lock<Mutex>& guard, std::string lines, std::size_t count,
                      Clock::time_point deadline) {
        // Lines larger than the whole queue still go when it is empty.
        auto has_room = [&] {
            return pending_.empty() || pending_.size() + lines.size() <= capacity_;
        };
        while (!has_room() && !give_up(deadline)) {
            wake_writer();
            room_.wait_until(guard, wake_time(deadline));
        }
        if (!has_room()) {
            dropped_ += count;
            wake_writer();  // to count them
            return 0;
        }
        if (pending_.empty()) {
            pending_ = std::move(lines);
            first_queued_ = Clock::now();
            if (idle_) {
                queued_.notify_one();  // to time the gathering
            }
        } else {
            pending_ += lines;
        }
        pending_count_ += count;
        return ++submitted_;
    }

    // Someone waits for the lines queued so far: the writer takes them without gathering more.
    void wake_writer() {
        wanted_ = true;
        queued_.notify_one();
    }

    // The writer's rule: lines are taken once someone waits for them or they have gathered long
    // enough; a count of dropped lines at once.
    bool batch_due() const {
        return dropped_ > 0 ||
               (!pending_.empty() && (wanted_ || Clock::now() >= first_queued_ + LOG_GATHER_TIME));
    }

    // Waits until the writer has finished with `batch` (and so with every batch before it),
    // until `deadline` or the writer turns slow. True if it has.
    bool wait_written(std::unique_lock<Mutex>& guard, std::uint64_t batch,
                      Clock::time_point deadline) {
        while (written_ < batch && !give_up(deadline)) {
            written_changed_.wait_until(guard, wake_time(deadline));
        }
        return written_ >= batch;
    }

    bool give_up(Clock::time_point deadline) const {
        const Clock::time_point now = Clock::now();
        return now >= deadline || slow(now);
    }

    // The last write took the limit or more, or the one under way has.
    bool slow(Clock::time_point now) const {
        return slow_ || (writing_ && now - write_started_ >= wait_limit_);
    }

    // A write under way turns slow at its start plus the limit; one that starts later is found
    // slow at the latest by the caller's own deadline.
    Clock::time_point wake_time(Clock::time_point deadline) const {
        return writing_ ? std::min(deadline, write_started_ + wait_limit_) : deadline;
    }

    const std::size_t capacity_;
    const std::chrono::milliseconds wait_limit_;

    Mutex lock_;
    Condition queued_;           // the writer waits for lines
    Condition room_;             // callers wait for room
    Condition written_changed_;  // callers wait for their lines; the stop for all
    std::string pending_;
    std::size_t pending_count_ = 0;   // lines in pending_
    std::uint64_t submitted_ = 0;     // batches queued, numbered from 1
    std::uint64_t written_ = 0;       // the last batch the writer finished with
    std::uint64_t dropped_ = 0;       // lines since the last count line
    Clock::time_point first_queued_;  // when pending_ last turned non-empty
    bool wanted_ = false;             // someone waits for what is pending
    bool idle_ = false;               // the writer waits without a time-out
    Clock::time_point last_written_;  // when the writer's last write returned
    bool writing_ = false;
    bool slow_ = false;
    Clock::time_point write_started_;
    bool closed_ = false;
};

using LogQueue = BasicLogQueue<>;

}  // namespace zelto
