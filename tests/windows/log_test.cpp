#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <set>
#include <thread>

#include "log/log.h"
#include "log/log_file.h"
#include "log/log_line.h"
#include "windows/core_fixture.h"

namespace zelto {
namespace {

using test::fresh_dir;
using test::read_file;
using test::write_file;

std::uint64_t now_seconds() {
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    return seconds_since_1970((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) |
                              now.dwLowDateTime);
}

TEST(LogFile, FirstCallCreatesTheFileWithItsLine) {
    const std::wstring path = fresh_dir(L"log") + L"\\service.log";
    const std::uint64_t before = now_seconds();
    append_log_line(path, LOG_TAG_CORE, "first");
    append_log_line(path, LOG_TAG_NONE, "");
    append_log_line(path, LOG_TAG_IPC, "two\nlines \xC3\xA9\xE2\x82\xAC");
    const std::uint64_t after = now_seconds();

    const std::string text = read_file(path);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(
        text, match,
        std::regex("\\[(\\d+)\\] \\[CORE\\] first\n\\[\\d+\\] \n\\[\\d+\\] \\[IPC\\] two\nlines "
                   "\xC3\xA9\xE2\x82\xAC\n")))
        << text;
    const std::uint64_t stamp = std::stoull(match[1]);
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
}

TEST(LogFile, TheThreeFunctionsWriteTheSharedFile) {
    const test::LogTail tail;
    const std::string marker = to_utf8(fresh_dir(L"marker"));
    log_message(marker);
    log_ipc(marker);
    log_core(marker);
    EXPECT_EQ(tail.new_lines(),
              (std::vector<std::string>{marker, "[IPC] " + marker, "[CORE] " + marker}));
}

TEST(LogFile, ConcurrentLinesStayWhole) {
    const std::wstring path = fresh_dir(L"log") + L"\\busy.log";
    constexpr int THREADS = 8;
    constexpr int LINES = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&path, t] {
            const std::string filler(100, static_cast<char>('a' + t));
            for (int n = 0; n < LINES; ++n) {
                append_log_line(path, LOG_TAG_CORE,
                                "t" + std::to_string(t) + " n" + std::to_string(n) + " " + filler);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }

    const std::string text = read_file(path);
    std::set<std::pair<int, int>> seen;
    std::size_t pos = 0;
    int lines = 0;
    while (pos < text.size()) {
        const std::size_t end = text.find('\n', pos);
        ASSERT_NE(end, std::string::npos) << "last line without its line feed";
        const std::string line = text.substr(pos, end - pos);
        // "[{seconds}] [CORE] t{t} n{n} " and 100 times the thread's letter.
        int t = -1;
        int n = -1;
        int filler_at = 0;
        const bool parsed =
            std::sscanf(line.c_str(), "[%*u] [CORE] t%d n%d %n", &t, &n, &filler_at) == 2 &&
            filler_at > 0 && t >= 0 && t < THREADS;
        ASSERT_TRUE(parsed && line.substr(static_cast<std::size_t>(filler_at)) ==
                                  std::string(100, static_cast<char>('a' + t)))
            << "line " << lines << ": " << line;
        seen.emplace(t, n);
        ++lines;
        pos = end + 1;
    }
    EXPECT_EQ(lines, THREADS * LINES);
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(THREADS * LINES));
}

TEST(LogFile, UnwritableLocationsAreSilent) {
    const std::wstring dir = fresh_dir(L"log");
    append_log_line(dir + L"\\missing folder\\service.log", LOG_TAG_NONE, "lost");
    EXPECT_EQ(::GetFileAttributesW((dir + L"\\missing folder").c_str()), INVALID_FILE_ATTRIBUTES);

    const std::wstring read_only = dir + L"\\read-only.log";
    write_file(read_only, "kept\n");
    ASSERT_TRUE(::SetFileAttributesW(read_only.c_str(), FILE_ATTRIBUTE_READONLY));
    append_log_line(read_only, LOG_TAG_IPC, "appended at most");
    // Wine run as root may still append to it; it must never truncate it.
    EXPECT_TRUE(read_file(read_only).starts_with("kept\n"));
    ::SetFileAttributesW(read_only.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(LogFile, HardLinkedFileIsNotWritten) {
    const std::wstring dir = fresh_dir(L"log");
    const std::wstring target = dir + L"\\elsewhere.txt";
    const std::wstring planted = dir + L"\\service.log";
    write_file(target, "precious\n");
    ASSERT_TRUE(::CreateHardLinkW(planted.c_str(), target.c_str(), nullptr)) << ::GetLastError();

    append_log_line(planted, LOG_TAG_CORE, "through the link");
    append_log_line(target, LOG_TAG_CORE, "to a file with two links");
    EXPECT_EQ(read_file(target), "precious\n");

    // Once the link is gone the file is an ordinary one again.
    ASSERT_TRUE(::DeleteFileW(planted.c_str()));
    append_log_line(target, LOG_TAG_CORE, "now");
    EXPECT_NE(read_file(target).find("] [CORE] now\n"), std::string::npos);
}

TEST(LogFile, SymbolicLinkIsNotFollowed) {
    const std::wstring dir = fresh_dir(L"log");
    const std::wstring target = dir + L"\\elsewhere.txt";
    const std::wstring planted = dir + L"\\service.log";
    write_file(target, "precious\n");
    // Wine reports success without making a link.
    const bool made = ::CreateSymbolicLinkW(planted.c_str(), target.c_str(), 0);
    const DWORD attributes = ::GetFileAttributesW(planted.c_str());
    if (!made || attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        GTEST_SKIP() << "no symbolic links here";
    }
    append_log_line(planted, LOG_TAG_CORE, "through the link");
    EXPECT_EQ(read_file(target), "precious\n");
}

}  // namespace
}  // namespace zelto
