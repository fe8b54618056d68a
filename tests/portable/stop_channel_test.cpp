#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "service/stop_channel.h"

namespace zelto {
namespace {

TEST(StopChannel, KeepsEveryMessageUntilReceived) {
    StopChannel channel;
    EXPECT_FALSE(channel.try_receive());
    channel.send();
    channel.send();
    channel.receive();
    EXPECT_TRUE(channel.try_receive());
    EXPECT_FALSE(channel.try_receive());
}

TEST(StopChannel, ReceiveWaitsForASendFromAnotherThread) {
    StopChannel channel;
    std::atomic<bool> sent{false};
    std::thread sender([&channel, &sent] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        sent = true;
        channel.send();
    });
    channel.receive();
    EXPECT_TRUE(sent);
    sender.join();
    EXPECT_FALSE(channel.try_receive());
}

TEST(AnswerControl, StopsOnlyOnStopAndShutdown) {
    struct Case {
        std::uint32_t control;
        std::uint32_t result;
        bool stop;
    };
    const Case cases[] = {
        {1, 0, true},      // STOP
        {5, 0, true},      // SHUTDOWN
        {4, 0, false},     // INTERROGATE
        {2, 120, false},   // PAUSE
        {3, 120, false},   // CONTINUE
        {15, 120, false},  // PRESHUTDOWN
        {0, 120, false},   {6, 120, false},   {128, 120, false},        {200, 120, false},
        {255, 120, false}, {256, 120, false}, {0xFFFFFFFF, 120, false},
    };
    for (const Case& c : cases) {
        const ControlAnswer answer = answer_control(c.control);
        EXPECT_EQ(answer.result, c.result) << c.control;
        EXPECT_EQ(answer.stop, c.stop) << c.control;
    }
}

}  // namespace
}  // namespace zelto
