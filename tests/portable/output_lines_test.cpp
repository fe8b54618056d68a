#include "core/output_lines.h"
#include "forwarding_cases.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

namespace zelto {
namespace {

using Lines = std::vector<std::string>;

// Replays a scripted sequence of reads; every read after the script is the end of the stream.
class ScriptedStream {
  public:
    struct Step {
        ReadOutcome::Kind kind;
        std::string bytes;
    };
    explicit ScriptedStream(std::vector<Step> steps) : steps_(steps.begin(), steps.end()) {}

    ReadOutcome operator()(char* buffer, std::size_t capacity) {
        ++reads;
        if (steps_.empty()) {
            return {ReadOutcome::Kind::END_OF_STREAM, 0};
        }
        Step& step = steps_.front();
        if (step.kind != ReadOutcome::Kind::DATA) {
            const ReadOutcome::Kind kind = step.kind;
            steps_.pop_front();
            return {kind, 0};
        }
        // Like a pipe: a read takes what fits and leaves the rest for the next.
        const std::size_t n = std::min(capacity, step.bytes.size());
        std::copy_n(step.bytes.data(), n, buffer);
        step.bytes.erase(0, n);
        if (step.bytes.empty()) {
            steps_.pop_front();
        }
        return {ReadOutcome::Kind::DATA, n};
    }

    int reads = 0;

  private:
    std::deque<Step> steps_;
};

ScriptedStream::Step data(std::string bytes) {
    return {ReadOutcome::Kind::DATA, std::move(bytes)};
}
ScriptedStream::Step failed() {
    return {ReadOutcome::Kind::READ_FAILED, {}};
}
ScriptedStream::Step ended() {
    return {ReadOutcome::Kind::END_OF_STREAM, {}};
}

Lines forward(ScriptedStream& stream) {
    Lines lines;
    forward_lines([&](char* b, std::size_t c) { return stream(b, c); },
                  [&](std::string_view line) { lines.emplace_back(line); });
    return lines;
}

Lines forward(std::vector<ScriptedStream::Step> steps) {
    ScriptedStream stream(std::move(steps));
    return forward(stream);
}

TEST(OutputLines, ForwardingTable) {
    for (const test::ForwardingCase& c : test::forwarding_cases()) {
        EXPECT_EQ(forward({data(c.output)}), c.lines) << testing::PrintToString(c.output);
    }
}

TEST(OutputLines, LinesAreWholeAcrossReadBoundaries) {
    // A multi-byte character and a CR LF split between reads, and the longest line kept whole
    // over several reads.
    const std::string big(MAX_LINE_PIECE - 1, 'q');
    EXPECT_EQ(forward({data("\xE2\x82"), data("\xAC\r"), data("\nb"), data(big.substr(0, 9000)),
                       data(big.substr(9000, 9000)), data(big.substr(18000)), data("\n")}),
              (Lines{"\xE2\x82\xAC", "b" + big}));
}

TEST(OutputLines, ZeroByteReadFinishesAPendingLineAndReadingGoesOn) {
    EXPECT_EQ(forward({data("part"), ended(), data("later\n")}), (Lines{"part", "later"}));
    // A read that succeeds with no bytes is the same as the end of the stream.
    EXPECT_EQ(forward({data("a\nhalf"), data(""), data("b\n")}), (Lines{"a", "half", "b"}));
    // With nothing pending it is the end: later output is not read.
    ScriptedStream stream({data("a\n"), ended(), data("lost\n")});
    EXPECT_EQ(forward(stream), (Lines{"a"}));
    EXPECT_EQ(stream.reads, 2);
    ScriptedStream empty_read({data("a\n"), data(""), data("lost\n")});
    EXPECT_EQ(forward(empty_read), (Lines{"a"}));
    EXPECT_EQ(empty_read.reads, 2);
}

TEST(OutputLines, ReadErrorDropsTheLineBeingCollected) {
    EXPECT_EQ(forward({data("ok\nhalf"), failed(), data("next\n")}), (Lines{"ok", "next"}));
    // An error between lines drops nothing, and an error before the first byte of a line only
    // drops that error.
    EXPECT_EQ(forward({data("a\n"), failed(), failed(), data("b\n")}), (Lines{"a", "b"}));
}

TEST(OutputLines, ThreeReadErrorsInARowEndTheStream) {
    ScriptedStream stream({data("a\n"), failed(), failed(), failed(), data("never\n")});
    EXPECT_EQ(forward(stream), (Lines{"a"}));
    EXPECT_EQ(stream.reads, 4);
    ScriptedStream at_once({failed(), failed(), failed(), data("never\n")});
    EXPECT_EQ(forward(at_once), Lines{});
    EXPECT_EQ(at_once.reads, 3);
    // A successful read in between starts the count afresh.
    EXPECT_EQ(forward({failed(), failed(), data("b\n"), failed(), failed(), data("c\n")}),
              (Lines{"b", "c"}));
}

}  // namespace
}  // namespace zelto
