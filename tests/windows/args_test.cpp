// The command line as the system splits it: CommandLineToArgvW agrees with the entry's splitter,
// and every service command line built by escape_argument splits back into its one path.

#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

#include <random>
#include <string>
#include <vector>

#include "common/unique_handle.h"
#include "common/win_text.h"
#include "install/escape_argument.h"
#include "main/command_line.h"

namespace zelto {
namespace {

std::vector<std::string> system_split(const std::string& command_line) {
    int count = 0;
    LPWSTR* raw = ::CommandLineToArgvW(to_wide(command_line).c_str(), &count);
    const LocalMemory owner(raw);
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i) {
        arguments.push_back(to_utf8(raw[i]));
    }
    return arguments;
}

std::string random_text(std::mt19937& random, const std::vector<std::string>& alphabet,
                        std::size_t max_length) {
    std::string text;
    const std::size_t length = random() % (max_length + 1);
    for (std::size_t i = 0; i < length; ++i) {
        text += alphabet[random() % alphabet.size()];
    }
    return text;
}

TEST(CommandLineToArgvW, SplitsEachEscapedPathBackIntoThatPath) {
    const std::vector<std::string> alphabet = {
        "a", "Z", ".", ":", " ", "\t", "\n", "\v", "\\", "\\", "\"", "\xC3\xA9", "\xE2\x82\xAC"};
    std::mt19937 random(20261207);
    for (int round = 0; round < 3000; ++round) {
        const std::string first = random_text(random, alphabet, 12);
        const std::string second = random_text(random, alphabet, 12);
        const std::string line =
            "Zelto-service.exe " + escape_argument(first) + " " + escape_argument(second);
        const std::vector<std::string> expected = {"Zelto-service.exe", first, second};
        ASSERT_EQ(system_split(line), expected) << "command line: [" << line << "]";
        ASSERT_EQ(split_command_line(line), expected) << "command line: [" << line << "]";
    }
}

TEST(CommandLineToArgvW, AgreesWithTheEntrysSplitter) {
    // The two differ only where a quoted span holds a doubled quote (the system ends the span
    // there, the entry goes on), so generated lines never put two quotes side by side.
    const std::vector<std::string> alphabet = {"a", "b", " ", "\t", "\\", "\\", "\"", "\xC3\xA9"};
    const std::vector<std::string> programs = {"prog", "C:\\z\\prog.exe",
                                               "\"C:\\Program Files\\z.exe\""};
    std::mt19937 random(7);
    int compared = 0;
    while (compared < 3000) {
        const std::string rest = random_text(random, alphabet, 16);
        const std::string line = programs[compared % programs.size()] + " " + rest;
        if (line.find("\"\"") != std::string::npos) {
            continue;
        }
        ++compared;
        ASSERT_EQ(split_command_line(line), system_split(line)) << "command line: [" << line << "]";
    }
}

}  // namespace
}  // namespace zelto
