#include "service/stop_channel.h"

namespace zelto {

void StopChannel::send() {
    {
        const std::lock_guard<std::mutex> guard(lock_);
        ++count_;
    }
    queued_.notify_one();
}

void StopChannel::receive() {
    std::unique_lock<std::mutex> guard(lock_);
    queued_.wait(guard, [this] { return count_ > 0; });
    --count_;
}

bool StopChannel::try_receive() {
    const std::lock_guard<std::mutex> guard(lock_);
    if (count_ == 0) {
        return false;
    }
    --count_;
    return true;
}

ControlAnswer answer_control(std::uint32_t control) {
    switch (control) {
        case CONTROL_STOP:
        case CONTROL_SHUTDOWN:
            return {CONTROL_ANSWER_OK, true};
        case CONTROL_INTERROGATE:
            return {CONTROL_ANSWER_OK, false};
        default:
            return {CONTROL_ANSWER_NOT_IMPLEMENTED, false};
    }
}

}  // namespace zelto
