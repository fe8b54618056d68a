#include "log/log_line.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace zelto
