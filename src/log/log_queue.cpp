#include "log/log_queue.h"

#include <algorithm>
#include <utility>

#include "log/log_line.h"

namespace zelto {

LogQueue::LogQueue(LogClock clock, std::size_t capacity, std::chrono::milliseconds stall_limit)
    : clock_(std::move(clock)), capacity_(capacity), stall_limit_(stall_limit) {}

bool LogQueue::stalled(Clock::time_point now) const {
    return writing_ && now - write_started_ >= stall_limit_;
}

void LogQueue::submit(std::string lines, std::size_t count) {
    std::unique_lock<std::mutex> guard(lock_);
    // Even a healthy writer is not waited for beyond the limit, so no caller ever is.
    const Clock::time_point deadline = Clock::now() + stall_limit_;
    // Lines larger than the whole queue still go when it is empty.
    auto has_room = [&] { return pending_.empty() || pending_.size() + lines.size() <= capacity_; };
    auto give_up = [&] {
        const Clock::time_point now = Clock::now();
        return now >= deadline || stalled(now);
    };
    while (!has_room() && !give_up()) {
        progress_.wait_until(guard, deadline);
    }
    if (!has_room()) {
        dropped_ += count;
        return;
    }
    pending_ += lines;
    const std::uint64_t batch = ++submitted_;
    queued_.notify_one();
    while (written_ < batch && !give_up()) {
        // A write that starts later is found stuck at the latest by the deadline.
        progress_.wait_until(guard, writing_ ? std::min(deadline, write_started_ + stall_limit_)
                                             : deadline);
    }
}

bool LogQueue::drain(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> guard(lock_);
    return progress_.wait_for(guard, limit, [this] { return written_ == submitted_; });
}

void LogQueue::run_writer(const LogWrite& write) {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        queued_.wait(guard, [this] { return closed_ || !pending_.empty() || dropped_ > 0; });
        if (pending_.empty() && dropped_ == 0) {
            return;
        }
        std::string batch;
        batch.swap(pending_);
        if (dropped_ > 0) {
            try {
                batch.insert(0, format_log_line(clock_(), LOG_TAG_NONE,
                                                dropped_lines_message(dropped_)));
            } catch (...) {
                // Out of memory for the count line: the count is lost, the lines are not.
            }
            dropped_ = 0;
        }
        taken_ = submitted_;
        writing_ = true;
        write_started_ = Clock::now();
        guard.unlock();
        // Room for new lines opens now, not when this write returns.
        progress_.notify_all();
        try {
            write(batch);
        } catch (...) {
            // Out of memory in the write: these lines are lost like any that cannot be written.
        }
        batch = std::string();
        guard.lock();
        writing_ = false;
        written_ = taken_;
        progress_.notify_all();
    }
}

void LogQueue::close() {
    {
        const std::lock_guard<std::mutex> guard(lock_);
        closed_ = true;
    }
    queued_.notify_one();
}

}  // namespace zelto
