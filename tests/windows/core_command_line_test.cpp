#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <random>

#include "common/unique_handle.h"
#include "common/win_text.h"
#include "core/command_line.h"

namespace zelto {
namespace {

// The system's own splitter must give back exactly what went in.
std::vector<std::wstring> split(const std::wstring& command_line) {
    int count = 0;
    wchar_t** arguments = ::CommandLineToArgvW(command_line.c_str(), &count);
    const LocalMemory owner(arguments);
    return std::vector<std::wstring>(arguments, arguments + count);
}

TEST(CoreCommandLine, SplitsBackIntoTheSameArguments) {
    const std::string core = "C:\\Program Files\\core\\mihomo.exe";
    const std::string pieces[] = {"a", "b", " ", "\t", "\"", "\\", "\\\\", "\xC3\xA9", "C:", "."};
    std::mt19937 random(20261207);
    std::uniform_int_distribution<int> length(0, 10);
    std::uniform_int_distribution<std::size_t> piece(0, std::size(pieces) - 1);
    const auto generate = [&] {
        std::string argument;
        for (int n = length(random); n > 0; --n) {
            argument += pieces[piece(random)];
        }
        return argument;
    };
    for (int round = 0; round < 300; ++round) {
        const std::string dir = generate();
        const std::string path = generate();
        const std::wstring line = to_wide(build_core_command_line(core, dir, path));
        const std::vector<std::wstring> expected{to_wide(core), L"-d", to_wide(dir), L"-f",
                                                 to_wide(path)};
        ASSERT_EQ(split(line), expected) << to_utf8(line);
    }
}

}  // namespace
}  // namespace zelto
