#pragma once
// The stop channel: a first-in first-out queue of empty messages from the control handler to
// service_main. Sending never blocks and never fails; receiving blocks until a message is queued.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace zelto {

class StopChannel {
  public:
    void send();
    // Blocks, with no time limit, until a message is queued, and takes it.
    void receive();
    // Takes a message if one is queued; never blocks.
    bool try_receive();

  private:
    std::mutex lock_;
    std::condition_variable queued_;
    std::size_t count_ = 0;
};

// What the control handler does with one control code. The codes and the answers are the
// service control manager's own values.
struct ControlAnswer {
    std::uint32_t result;
    bool stop;  // log the stop line, then send one message on the stop channel
};

inline constexpr std::uint32_t CONTROL_STOP = 1;
inline constexpr std::uint32_t CONTROL_INTERROGATE = 4;
inline constexpr std::uint32_t CONTROL_SHUTDOWN = 5;
inline constexpr std::uint32_t CONTROL_ANSWER_OK = 0;
inline constexpr std::uint32_t CONTROL_ANSWER_NOT_IMPLEMENTED = 120;

ControlAnswer answer_control(std::uint32_t control);

}  // namespace zelto
