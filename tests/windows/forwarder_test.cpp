#include <gtest/gtest.h>

#include <thread>

#include "core/forwarder_win.h"
#include "core/launch_win.h"
#include "forwarding_cases.h"
#include "windows/core_fixture.h"

namespace zelto {
namespace {

using Lines = std::vector<std::string>;

// The bytes go through a real core output pipe, written on a thread of their own since they may
// not fit its buffer; forward_output reads them on this thread until the writer has closed its
// end, so every line is in the log when it returns.
Lines forward_through_pipe(const std::string& bytes, std::string_view prefix) {
    Result<OutputPipe> pipe = create_output_pipe();
    EXPECT_TRUE(pipe.ok());
    if (!pipe.ok()) {
        return {};
    }
    std::thread writer([&bytes, write_end = std::move(pipe.value().write_end)] {
        DWORD written = 0;
        EXPECT_TRUE(::WriteFile(write_end.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                &written, nullptr));
    });
    const test::LogTail tail;
    forward_output(std::move(pipe.value().read_end), std::string(prefix));
    writer.join();
    return tail.new_lines();
}

TEST(Forwarder, ForwardingTableThroughAPipe) {
    for (const std::string_view prefix : {STDOUT_PREFIX, STDERR_PREFIX}) {
        for (const test::ForwardingCase& c : test::forwarding_cases()) {
            Lines expected;
            for (const std::string& line : c.lines) {
                expected.push_back("[CORE] " + std::string(prefix) + line);
            }
            EXPECT_EQ(forward_through_pipe(c.output, prefix), expected)
                << prefix << testing::PrintToString(c.output.substr(0, 20));
        }
    }
}

TEST(Forwarder, ThreadForwardsUntilTheEnd) {
    Result<OutputPipe> pipe = create_output_pipe();
    ASSERT_TRUE(pipe.ok()) << pipe.error();
    const test::LogTail tail;
    const std::string marker = to_utf8(test::fresh_dir(L"forward"));
    ASSERT_FALSE(start_output_forwarder(std::move(pipe.value().read_end), "[mihomo stdout] "));
    const std::string bytes = marker + " one\n" + marker + " two";
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(pipe.value().write_end.get(), bytes.data(),
                            static_cast<DWORD>(bytes.size()), &written, nullptr));
    const Lines expected{"[CORE] [mihomo stdout] " + marker + " one",
                         "[CORE] [mihomo stdout] " + marker + " two"};
    // The first line arrives while the stream is open; the unfinished one only at its end.
    EXPECT_TRUE(test::wait_until([&] { return tail.new_lines().size() == 1; }));
    pipe.value().write_end.reset();
    EXPECT_TRUE(test::wait_until([&] { return tail.new_lines() == expected; }))
        << testing::PrintToString(tail.new_lines());
}

TEST(Forwarder, ThreadThatCannotBeCreatedClosesTheReadEnd) {
    Result<OutputPipe> pipe = create_output_pipe();
    ASSERT_TRUE(pipe.ok()) << pipe.error();
    fail_forwarder_thread_after(0, ERROR_NOT_ENOUGH_MEMORY);
    const ErrorText error = start_output_forwarder(std::move(pipe.value().read_end), "p ");
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->ends_with(" (os error 8)")) << *error;

    DWORD written = 0;
    EXPECT_FALSE(::WriteFile(pipe.value().write_end.get(), "x", 1, &written, nullptr));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NO_DATA));
}

}  // namespace
}  // namespace zelto
