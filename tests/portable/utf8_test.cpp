#include "common/utf8.h"

#include <gtest/gtest.h>

namespace zelto {
namespace {

constexpr std::string_view FFFD = "\xEF\xBF\xBD";

std::string replaced(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += FFFD;
    }
    return text;
}

TEST(Utf8, PassesWellFormedTextUnchanged) {
    using namespace std::string_literals;
    const std::string well_formed[] = {
        ""s,
        "a\0b"s,
        "\x7F",
        "\xC2\x80",
        "\xDF\xBF",
        "\xE0\xA0\x80",
        "\xED\x9F\xBF",
        "\xEE\x80\x80",
        "\xEF\xBF\xBF",
        "\xF0\x90\x80\x80",
        "\xF4\x8F\xBF\xBF",
        "C:\\Users\\\xC3\x89lodie\\\xF0\x9F\x98\x80.yaml",
    };
    for (const std::string& text : well_formed) {
        EXPECT_EQ(decode_utf8_lossy(text), text);
        EXPECT_EQ(validate_utf8(text), std::nullopt) << text;
    }
}

TEST(Utf8, ReplacesEachMaximalSubpartOnce) {
    const std::pair<std::string, std::string> cases[] = {
        {"\x66\x80\x67", "f" + replaced(1) + "g"},
        {"\xE2\x82\x41", replaced(1) + "A"},
        // The Unicode Standard's examples: overlongs, surrogates, other, truncated.
        {"\xC0\xAF\xE0\x80\xBF\xF0\x81\x82\x41", replaced(8) + "A"},
        {"\xED\xA0\x80\xED\xBF\xBF\xED\xAF\x41", replaced(8) + "A"},
        {"\xF4\x91\x92\x93\xFF\x41\x80\xBF\x42", replaced(5) + "A" + replaced(2) + "B"},
        {"\xE1\x80\xE2\xF0\x91\x92\xF1\xBF\x41", replaced(4) + "A"},
        {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
         "a" + replaced(3) + "b" + replaced(1) + "c" + replaced(2) + "d"},
        {"\xED\xA0\x80", replaced(3)},
        {"\xC0\x80", replaced(2)},
        {"\xE0\x80\x80", replaced(3)},
        {"\xF4\x90\x80\x80", replaced(4)},
        {"\xF8\x88\x80\x80\x80", replaced(5)},
        {"a\xE2\x82", "a" + replaced(1)},
        {"a\xF0\x9F\x98", "a" + replaced(1)},
        {"a\xC3", "a" + replaced(1)},
        // Lead bytes just outside the ranges, second bytes just below them, and bytes that
        // cannot continue a sequence in second and third place.
        {"\xC1\x81", replaced(2)},
        {"\xF5\x80\x80\x80", replaced(4)},
        {"\xE0\x9F\x80", replaced(3)},
        {"\xF0\x8F\x80\x80", replaced(4)},
        {"\xC3\x7F", replaced(1) + "\x7F"},
        {"\xE2\x82\x7F", replaced(1) + "\x7F"},
        {"\xC3\xC0", replaced(2)},
        {"\xE2\x82\xC0", replaced(2)},
    };
    for (const auto& [bytes, text] : cases) {
        EXPECT_EQ(decode_utf8_lossy(bytes), text) << testing::PrintToString(bytes);
    }
}

TEST(Utf8, ValidationNamesTheFirstOffendingByte) {
    const std::pair<std::string, std::string> cases[] = {
        {"\xFF", "invalid utf-8 sequence of 1 bytes from index 0"},
        {"ab\xED\xA0\x80", "invalid utf-8 sequence of 1 bytes from index 2"},
        {"a\xE2\x82\x41", "invalid utf-8 sequence of 2 bytes from index 1"},
        {"\xF0\x9F\x98\x41", "invalid utf-8 sequence of 3 bytes from index 0"},
        {"\xC3\xA9\xC0\x80", "invalid utf-8 sequence of 1 bytes from index 2"},
        // At the end, only a proper beginning of a sequence is incomplete.
        {"\xF0\x9F\x98", "incomplete utf-8 byte sequence from index 0"},
        {"xy\xC3", "incomplete utf-8 byte sequence from index 2"},
        {"a\x80", "invalid utf-8 sequence of 1 bytes from index 1"},
        {"a\xC0", "invalid utf-8 sequence of 1 bytes from index 1"},
        {"\xF4\x90", "invalid utf-8 sequence of 1 bytes from index 0"},
        {"\xE0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
        {"\xC1\x81", "invalid utf-8 sequence of 1 bytes from index 0"},
        {"\xF5\x80\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
        {"\xF0\x8F\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
        {"\xE2\x82\x7F", "invalid utf-8 sequence of 2 bytes from index 0"},
        {"\xE2\x82\xC0", "invalid utf-8 sequence of 2 bytes from index 0"},
    };
    for (const auto& [bytes, error] : cases) {
        EXPECT_EQ(validate_utf8(bytes), error) << testing::PrintToString(bytes);
    }
}

TEST(Utf8, TrimsExactlyTheWhiteSpaceSet) {
    // Every White_Space character, U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680,
    // U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
    const std::string all =
        "\t\n\v\f\r \xC2\x85\xC2\xA0\xE1\x9A\x80\xE2\x80\x80\xE2\x80\x81\xE2\x80\x82\xE2\x80\x83"
        "\xE2\x80\x84\xE2\x80\x85\xE2\x80\x86\xE2\x80\x87\xE2\x80\x88\xE2\x80\x89\xE2\x80\x8A"
        "\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80";
    using namespace std::string_literals;
    const std::pair<std::string, std::string> cases[] = {
        {all + "a \t b" + all, "a \t b"},
        {all, ""},
        {"STATUS\r\n", "STATUS"},
        // Look-alikes outside the set: NUL, U+001C, U+180E, U+200B, U+2060, U+FEFF, U+FFFD.
        {"\0x\0"s, "\0x\0"s},
        {"\x1Cx\x1C", "\x1Cx\x1C"},
        {"\xE1\xA0\x8Ex\xE2\x80\x8B", "\xE1\xA0\x8Ex\xE2\x80\x8B"},
        {"\xE2\x81\xA0x\xEF\xBB\xBF", "\xE2\x81\xA0x\xEF\xBB\xBF"},
        {" \xEF\xBF\xBD ", "\xEF\xBF\xBD"},
        // Next to the set: U+0008, U+000E, U+1FFF, U+00C5 (C3 85 beside U+0085's C2 85).
        {"\x08x\x0E", "\x08x\x0E"},
        {"\xE1\xBF\xBFx\xC3\x85", "\xE1\xBF\xBFx\xC3\x85"},
        // Ill-formed bytes are never white space, not even a lone 85 or A0.
        {" \xFF ", "\xFF"},
        {"\x85x\xA0", "\x85x\xA0"},
        {" \xE2\x80 \xC2\x85", "\xE2\x80"},
    };
    for (const auto& [text, trimmed] : cases) {
        EXPECT_EQ(trim_white_space(text), trimmed) << testing::PrintToString(text);
    }
}

}  // namespace
}  // namespace zelto
