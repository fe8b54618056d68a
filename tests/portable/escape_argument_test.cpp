#include <gtest/gtest.h>

#include <string>

#include "install/escape_argument.h"
#include "install/service_state.h"

namespace zelto {
namespace {

struct EscapeCase {
    const char* path;
    const char* expected;
};

TEST(EscapeArgument, QuotesOnlyWhenNeeded) {
    const EscapeCase cases[] = {
        {"C:\\Zelto\\Zelto-service.exe", "C:\\Zelto\\Zelto-service.exe"},
        {"\\\\server\\share\\z.exe", "\\\\server\\share\\z.exe"},
        {"C:\\dir\\", "C:\\dir\\"},
        {"", "\"\""},
        {"C:\\Program Files\\Zelto\\Zelto-service.exe",
         "\"C:\\Program Files\\Zelto\\Zelto-service.exe\""},
        {"a\tb", "\"a\tb\""},
        {"a\nb", "\"a\nb\""},
        {"a\vb", "\"a\vb\""},
        {"a\"b", "\"a\\\"b\""},
        // n backslashes before a quote become 2n+1.
        {"a\\\"b", "\"a\\\\\\\"b\""},
        {"a\\\\\"b", "\"a\\\\\\\\\\\"b\""},
        // Before any other character they stay as they are.
        {"a b\\c\\\\d", "\"a b\\c\\\\d\""},
        // At the end they are doubled, so the closing quote stays a quote.
        {"C:\\a b\\", "\"C:\\a b\\\\\""},
        {"C:\\a b\\\\", "\"C:\\a b\\\\\\\\\""},
        {"\xC3\xA9 \xE2\x82\xAC", "\"\xC3\xA9 \xE2\x82\xAC\""},
        {"\xC3\xA9\xE2\x82\xAC", "\xC3\xA9\xE2\x82\xAC"},
    };
    for (const EscapeCase& c : cases) {
        EXPECT_EQ(escape_argument(c.path), c.expected) << "path: [" << c.path << "]";
    }
}

TEST(StateWord, NamesOnlyTheSevenStates) {
    const char* words[] = {"Stopped",  "Starting", "Stopping", "Running",
                           "Resuming", "Pausing",  "Paused"};
    for (std::uint32_t state = 1; state <= 7; ++state) {
        EXPECT_EQ(state_word(state), words[state - 1]);
    }
    for (const std::uint32_t state : {0u, 8u, 0xFFFFFFFFu}) {
        EXPECT_FALSE(state_word(state).has_value()) << state;
    }
}

}  // namespace
}  // namespace zelto
