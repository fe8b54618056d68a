#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "main/command_line.h"

namespace zelto {
namespace {

using Args = std::vector<std::string>;

struct SplitCase {
    const char* line;
    Args expected;
};

TEST(SplitCommandLine, FollowsTheQuotingRules) {
    const SplitCase cases[] = {
        {"", {""}},
        {"prog", {"prog"}},
        {"prog install", {"prog", "install"}},
        {"prog   install \t extra", {"prog", "install", "extra"}},
        {"prog install ", {"prog", "install"}},
        // The program name: quotes group, backslashes are plain, no escapes.
        {"\"C:\\Program Files\\Zelto\\z.exe\" status",
         {"C:\\Program Files\\Zelto\\z.exe", "status"}},
        {"C:\\a\\\"b c\" d", {"C:\\a\\b c", "d"}},
        {"\"a\"b\tc", {"ab", "c"}},
        {" leading", {"", "leading"}},
        // Quoted spans group blanks and may sit inside a word.
        {"p \"a b\" c", {"p", "a b", "c"}},
        {"p a\"b c\"d", {"p", "ab cd"}},
        {"p \"unterminated span", {"p", "unterminated span"}},
        // Empty quoted arguments count.
        {"p \"\"", {"p", ""}},
        {"p \"\" install", {"p", "", "install"}},
        {"p \"\"\"\"", {"p", "\""}},
        // A doubled quote inside a quoted span is one literal quote and the span goes on.
        {"p \"a\"\"b c\"", {"p", "a\"b c"}},
        {"p \"\"\"a b\"\"\"", {"p", "\"a b\""}},
        {"p \"a\"\"", {"p", "a\""}},
        // Outside a span, two quotes open and close an empty one.
        {"p a\"\"b", {"p", "ab"}},
        // Backslashes are literal unless a quote follows.
        {"p a\\b\\\\c\\", {"p", "a\\b\\\\c\\"}},
        {"p \\\\server\\share", {"p", "\\\\server\\share"}},
        // 2n+1 backslashes and a quote: n backslashes and a literal quote.
        {"p \\\"", {"p", "\""}},
        {"p \\\"a b", {"p", "\"a", "b"}},
        {"p a\\\\\\\"b", {"p", "a\\\"b"}},
        // 2n backslashes and a quote: n backslashes, and the quote toggles.
        {"p \"a\\\\\" b", {"p", "a\\", "b"}},
        {"p a\\\\\"b c\"", {"p", "a\\b c"}},
        // Only space and tab separate.
        {"p a\nb a\vb", {"p", "a\nb", "a\vb"}},
        // Multi-byte UTF-8 passes through untouched.
        {"p \xC3\xA9t\xC3\xA9 \"\xE2\x82\xAC \xF0\x9F\x98\x80\"",
         {"p", "\xC3\xA9t\xC3\xA9", "\xE2\x82\xAC \xF0\x9F\x98\x80"}},
    };
    for (const SplitCase& c : cases) {
        EXPECT_EQ(split_command_line(c.line), c.expected) << "command line: [" << c.line << "]";
    }
}

struct ActionCase {
    Args arguments;
    Action expected;
};

TEST(ChooseAction, LooksOnlyAtArgumentOneExactly) {
    const ActionCase cases[] = {
        {{"prog"}, Action::RunAsService},
        {{"prog", ""}, Action::RunAsService},
        {{"prog", "run"}, Action::RunAsService},
        {{"prog", "install"}, Action::Install},
        {{"prog", "install", "--force", "status"}, Action::Install},
        {{"prog", "uninstall"}, Action::Uninstall},
        {{"prog", "status"}, Action::Status},
        {{"prog", "", "install"}, Action::RunAsService},
        {{"install"}, Action::RunAsService},
        {{"prog", "Install"}, Action::Usage},
        {{"prog", "STATUS"}, Action::Usage},
        {{"prog", "install "}, Action::Usage},
        {{"prog", " run"}, Action::Usage},
        {{"prog", "--help"}, Action::Usage},
        {{"prog", "/?"}, Action::Usage},
        {{"prog", "-h"}, Action::Usage},
        {{"prog", "\xEF\xBF\xBD"}, Action::Usage},
    };
    for (const ActionCase& c : cases) {
        std::string shown;
        for (const std::string& a : c.arguments) {
            shown += "[" + a + "]";
        }
        EXPECT_EQ(choose_action(c.arguments), c.expected) << shown;
    }
}

TEST(ChooseAction, SplitLineWithQuotedVerb) {
    EXPECT_EQ(choose_action(split_command_line("\"C:\\x y\\z.exe\" \"status\"")), Action::Status);
    EXPECT_EQ(choose_action(split_command_line("z.exe \"\" uninstall")), Action::RunAsService);
    EXPECT_EQ(choose_action(split_command_line("z.exe \"install \"")), Action::Usage);
}

}  // namespace
}  // namespace zelto
