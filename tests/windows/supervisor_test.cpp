#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "core/forwarder_win.h"
#include "core/launch_win.h"
#include "core/supervisor.h"
#include "core/supervisor_win.h"
#include "windows/core_fixture.h"

namespace zelto {
namespace {

using Lines = std::vector<std::string>;
using test::LogTail;
using test::wait_until;

constexpr std::string_view OUT_LINE = "[CORE] [mihomo stdout] ";
constexpr std::string_view ERR_LINE = "[CORE] [mihomo stderr] ";
constexpr std::string_view LOCK_ERROR = "Lock error: poisoned lock: another task failed inside";

// A config file holding a stand-in core script, in a fresh folder whose name has a blank.
struct Config {
    explicit Config(std::string_view script, std::wstring_view label = L"core cfg")
        : dir(to_utf8(test::fresh_dir(label))), path(dir + "\\config.yaml") {
        test::write_file(to_wide(path), script);
    }
    std::string dir;
    std::string path;
};

std::string expected_cmdline(const std::string& core, const Config& config) {
    return "cmdline: \"" + core + "\" -d \"" + config.dir + "\" -f \"" + config.path + "\"";
}

bool has_line(const LogTail& tail, const std::string& line) {
    const Lines lines = tail.new_lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// A handle of our own on a process, so its end can be seen after the slot let go of it.
struct Watched {
    explicit Watched(DWORD pid)
        : process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE | PROCESS_TERMINATE,
                                FALSE, pid)) {}
    bool ended() const { return ::WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0; }
    DWORD exit_code() const {
        DWORD code = 0;
        ::GetExitCodeProcess(process.get(), &code);
        return code;
    }
    KernelHandle process;
};

class Supervisor : public testing::Test {
  protected:
    void TearDown() override {
        fail_forwarder_thread_after(-1, 0);
        stop_core();
    }

    // Starts a core that keeps running and waits until its output shows.
    std::uint32_t start_running_core(const Config& config) {
        const LogTail tail;
        EXPECT_EQ(start_core(config.path, core_), std::nullopt);
        EXPECT_TRUE(wait_until([&] {
            return has_line(tail, std::string(OUT_LINE) + expected_cmdline(core_, config));
        }));
        return running_core_pid().value_or(0);
    }

    const std::string core_ = test::stand_in_core();
};

TEST_F(Supervisor, StartsTheCoreWithItsExactCommandLine) {
    const Config config("hang\n", L"My Configs");
    const LogTail tail;
    ASSERT_EQ(start_core(config.path, core_), std::nullopt);
    const std::optional<std::uint32_t> pid = running_core_pid();
    ASSERT_TRUE(pid);

    const std::string cmdline = std::string(OUT_LINE) + expected_cmdline(core_, config);
    ASSERT_TRUE(wait_until([&] { return has_line(tail, cmdline); }));
    Lines supervisor_lines = tail.new_lines();
    std::erase(supervisor_lines, cmdline);
    EXPECT_EQ(supervisor_lines,
              (Lines{"[CORE] start_core called: config=" + config.path + ", core=" + core_,
                     "[CORE] Config dir: " + config.dir,
                     "[CORE] Core process spawned with PID: " + std::to_string(*pid),
                     "[CORE] Core process started successfully"}));
}

TEST_F(Supervisor, BareConfigNameGetsAnEmptyConfigDir) {
    const Config config("hang\n");
    wchar_t previous[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(::SetCurrentDirectoryW(to_wide(config.dir).c_str()));
    const LogTail tail;
    const ErrorText result = start_core("config.yaml", core_);
    ::SetCurrentDirectoryW(previous);
    ASSERT_EQ(result, std::nullopt);
    EXPECT_TRUE(wait_until([&] {
        return has_line(
            tail, std::string(OUT_LINE) + "cmdline: \"" + core_ + "\" -d \"\" -f config.yaml");
    }));
    EXPECT_TRUE(has_line(tail, "[CORE] Config dir: "));
}

TEST_F(Supervisor, ForwardsBothStreamsEndToEnd) {
    const std::string long_line(20000, 'y');
    const Config config(
        "out 61 0d 0a 62 0a\n"
        "err 61 0d 0d 0a\n"
        "outrep 20000 79\n"
        "out 0a ff fe 0a 6f 6b 0a 00 0a\n"
        "err 0a 61 62 63 0d\n"
        "exit 7\n");
    const LogTail tail;
    ASSERT_EQ(start_core(config.path, core_), std::nullopt);
    const Lines out_expected{
        expected_cmdline(core_, config), "a", "b", long_line, "ok", std::string(1, '\0')};
    const Lines err_expected{"a\r", "", "abc\r"};
    EXPECT_TRUE(wait_until([&] {
        const Lines lines = tail.new_lines();
        return test::lines_after(lines, OUT_LINE) == out_expected &&
               test::lines_after(lines, ERR_LINE) == err_expected;
    })) << testing::PrintToString(test::lines_after(tail.new_lines(), ERR_LINE));
    // A core that ended by itself stays held, but is not reported as running.
    EXPECT_TRUE(wait_until([] { return !running_core_pid(); }));
}

TEST_F(Supervisor, SecondStartReplacesTheFirst) {
    const Config first("hang\n");
    const Config second("hang\n");
    const std::uint32_t first_pid = start_running_core(first);
    ASSERT_NE(first_pid, 0u);
    const Watched old_core(first_pid);

    const LogTail tail;
    ASSERT_EQ(start_core(second.path, core_), std::nullopt);
    EXPECT_TRUE(old_core.ended());
    EXPECT_EQ(old_core.exit_code(), 1u);
    const std::optional<std::uint32_t> second_pid = running_core_pid();
    ASSERT_TRUE(second_pid);
    EXPECT_NE(*second_pid, first_pid);

    // The old core ended before the new one was created.
    const Watched new_core(*second_pid);
    FILETIME created{}, exited{}, unused{};
    ASSERT_TRUE(::GetProcessTimes(old_core.process.get(), &unused, &exited, &unused, &unused));
    ASSERT_TRUE(::GetProcessTimes(new_core.process.get(), &created, &unused, &unused, &unused));
    EXPECT_LE(::CompareFileTime(&exited, &created), 0);

    ASSERT_TRUE(wait_until(
        [&] { return has_line(tail, std::string(OUT_LINE) + expected_cmdline(core_, second)); }));
    // The old core's exit line comes once its streams have ended, among these.
    const std::string exit_line =
        "Core process " + std::to_string(first_pid) + " exited with code 1, ended by the service";
    ASSERT_TRUE(wait_until([&] { return has_line(tail, "[CORE] " + exit_line); }));
    Lines lines = test::lines_after(tail.new_lines(), "[CORE] ");
    std::erase(lines, exit_line);
    EXPECT_EQ(lines, (Lines{"start_core called: config=" + second.path + ", core=" + core_,
                            "Stopping existing core process...", "Config dir: " + second.dir,
                            "Core process spawned with PID: " + std::to_string(*second_pid),
                            "Core process started successfully",
                            std::string("[mihomo stdout] ") + expected_cmdline(core_, second)}));
}

TEST_F(Supervisor, MissingPathsLeaveAHeldCoreRunning) {
    const Config config("hang\n");
    const std::uint32_t pid = start_running_core(config);
    ASSERT_NE(pid, 0u);
    const std::string missing = config.dir + "\\missing.yaml";
    const std::string missing_core = config.dir + "\\missing.exe";
    struct Case {
        std::string config_path;
        std::string core_path;
        std::string message;
        std::string logged_config = {};  // as the log shows it, when it differs
    };
    const Case cases[] = {
        {missing, core_, "Config file not found: " + missing},
        {config.path, missing_core, "Core binary not found: " + missing_core},
        // A folder is no core: refused before the held core is stopped. Named with a trailing
        // separator, it names no program, as the launch would say.
        {config.path, config.dir, "Core binary not found: " + config.dir},
        {config.path, config.dir + "\\",
         "Failed to spawn core process: program path has no file name"},
        {config.path, config.dir + "/",
         "Failed to spawn core process: program path has no file name"},
        {config.path, missing_core + "\\", "Core binary not found: " + missing_core + "\\"},
        {missing, missing_core, "Config file not found: " + missing},
        {"", core_, "Config file not found: "},
        {config.path + std::string(1, '\0'), core_,
         "Config file not found: " + config.path + std::string(1, '\0'), config.path + "\\x00"},
    };
    for (const Case& c : cases) {
        const LogTail tail;
        EXPECT_EQ(start_core(c.config_path, c.core_path), c.message);
        const std::string logged = c.logged_config.empty() ? c.config_path : c.logged_config;
        const std::string message =
            c.logged_config.empty() ? c.message : "Config file not found: " + logged;
        EXPECT_EQ(tail.new_lines(),
                  (Lines{"[CORE] start_core called: config=" + logged + ", core=" + c.core_path,
                         "[CORE] " + message}));
        EXPECT_EQ(running_core_pid(), pid);
    }
}

TEST_F(Supervisor, ExistenceTest) {
    const Config config("");
    EXPECT_TRUE(path_exists(config.path));
    EXPECT_TRUE(path_exists(config.dir));
    EXPECT_TRUE(path_exists(config.dir + "\\"));
    EXPECT_TRUE(path_exists("C:\\"));
    EXPECT_FALSE(path_exists(config.dir + "\\nothing"));
    EXPECT_FALSE(path_exists(""));
    EXPECT_FALSE(path_exists(config.path + std::string(1, '\0')));
    EXPECT_FALSE(path_exists(config.dir + "\\bad<name>"));
    EXPECT_TRUE(file_exists(config.path));
    EXPECT_FALSE(file_exists(config.dir));
    EXPECT_FALSE(file_exists("C:\\"));
    EXPECT_FALSE(file_exists(config.dir + "\\nothing"));
    EXPECT_FALSE(file_exists(config.path + "\\"));
}

TEST_F(Supervisor, StopCoreEmptiesTheSlot) {
    const Config config("hang\n");
    const std::uint32_t pid = start_running_core(config);
    ASSERT_NE(pid, 0u);
    const Watched core(pid);
    const LogTail tail;
    stop_core();
    EXPECT_TRUE(core.ended());
    EXPECT_EQ(core.exit_code(), 1u);
    EXPECT_EQ(running_core_pid(), std::nullopt);
    stop_core();
    // The next start has no old core to stop.
    ASSERT_EQ(start_core(config.path, core_), std::nullopt);
    EXPECT_TRUE(test::lines_after(tail.new_lines(), "[CORE] Stopping").empty());
}

// Windows counts a process in its job until every handle to it is closed, so a stop that waited
// for the job's count would wait its full limit while anyone holds the core. Wine drops the count
// at the process's end and cannot show the difference.
TEST_F(Supervisor, StopWaitsForTheProcessesNotForHandlesOnThem) {
    if (test::running_under_wine()) {
        GTEST_SKIP() << "needs Windows: Wine drops a job's count at process exit";
    }
    const Config config("hang\n");
    const std::uint32_t pid = start_running_core(config);
    ASSERT_NE(pid, 0u);
    const Watched held(pid);  // one more reference on the core, as a process monitor keeps
    const LogTail tail;
    const ULONGLONG started = ::GetTickCount64();
    stop_core();
    const ULONGLONG took = ::GetTickCount64() - started;
    EXPECT_TRUE(held.ended());
    EXPECT_LT(took, 500u);
    EXPECT_TRUE(test::lines_after(tail.new_lines(), "[CORE] Processes of the stopped").empty());
}

TEST_F(Supervisor, LaunchFailureKeepsTheStoppedOldRecord) {
    const Config config("hang\n");
    const std::uint32_t pid = start_running_core(config);
    ASSERT_NE(pid, 0u);
    const Watched old_core(pid);
    struct Case {
        std::string core_path;
        std::string reason_end;
    };
    const Case cases[] = {
        {config.path, " (os error 193)"},  // not an executable
    };
    for (const Case& c : cases) {
        const LogTail tail;
        const ErrorText error = start_core(config.path, c.core_path);
        ASSERT_TRUE(error);
        EXPECT_TRUE(error->starts_with("Failed to spawn core process: ")) << *error;
        EXPECT_TRUE(error->ends_with(c.reason_end)) << *error;
        // The system's message names the file ("%1 is not a valid Win32 application").
        EXPECT_NE(error->find(c.core_path), std::string::npos) << *error;
        EXPECT_EQ(error->find("%1"), std::string::npos) << *error;
        EXPECT_TRUE(has_line(tail, "[CORE] " + *error));
        EXPECT_TRUE(old_core.ended());
        // Still held: the next start stops it again.
        EXPECT_TRUE(has_line(tail, "[CORE] Stopping existing core process..."));
    }
}

TEST_F(Supervisor, ForwarderThatCannotStartEndsTheNewCore) {
    const Config config("hang\n");
    for (const int successes : {0, 1}) {
        const std::uint32_t held = start_running_core(config);
        ASSERT_NE(held, 0u);
        const LogTail tail;
        fail_forwarder_thread_after(successes, ERROR_NOT_ENOUGH_MEMORY);
        const ErrorText error = start_core(config.path, core_);
        ASSERT_TRUE(error);
        EXPECT_TRUE(error->starts_with("Failed to spawn core process: ")) << *error;
        EXPECT_TRUE(error->ends_with(" (os error 8)")) << *error;

        const Lines spawned =
            test::lines_after(tail.new_lines(), "[CORE] Core process spawned with PID: ");
        ASSERT_EQ(spawned.size(), 1u);
        const Watched abandoned(static_cast<DWORD>(std::stoul(spawned[0])));
        EXPECT_TRUE(!abandoned.process || abandoned.ended());
        EXPECT_TRUE(has_line(tail, "[CORE] " + *error));
        EXPECT_FALSE(has_line(tail, "[CORE] Core process started successfully"));

        // The slot still holds the first core's (stopped) record.
        EXPECT_EQ(running_core_pid(), std::nullopt);
        const LogTail next;
        ASSERT_EQ(start_core(config.path, core_), std::nullopt);
        EXPECT_TRUE(has_line(next, "[CORE] Stopping existing core process..."));
        stop_core();
    }
}

// Poisoning lasts for the rest of the process, so it happens in a child run of this executable
// (run it alone with --gtest_also_run_disabled_tests to see its output).
TEST(SupervisorPoisoned, DISABLED_InAChildProcess) {
    const Config config("hang\n");
    const std::string core = test::stand_in_core();
    const LogTail started;
    ASSERT_EQ(start_core(config.path, core), std::nullopt);
    ASSERT_TRUE(running_core_pid());
    ASSERT_TRUE(wait_until(
        [&] { return has_line(started, std::string(OUT_LINE) + expected_cmdline(core, config)); }));
    const Watched held(*running_core_pid());
    struct EndAtExit {
        ~EndAtExit() { ::TerminateProcess(process, 0); }
        HANDLE process;
    } end_at_exit{held.process.get()};

    EXPECT_EQ(run_in_core_slot_for_testing([] { throw std::runtime_error("inside"); }), LOCK_ERROR);
    const LogTail tail;
    EXPECT_EQ(start_core(config.path, core), LOCK_ERROR);
    // Only the call itself is logged, not the lock error.
    EXPECT_EQ(tail.new_lines().size(), 1u);
    stop_core();
    EXPECT_FALSE(held.ended());
    EXPECT_EQ(running_core_pid(), std::nullopt);
}

// An exception after the launch poisons the slot as it leaves, but the launched core, which no
// record holds any more, does not outlive it.
TEST(SupervisorPoisoned, DISABLED_ByAnExceptionAfterTheLaunch) {
    const Config config("hang\n");
    const LogTail tail;
    fail_forwarder_thread_after(1, FAIL_BY_EXCEPTION);
    EXPECT_EQ(start_core(config.path, test::stand_in_core()), LOCK_ERROR);
    const Lines spawned =
        test::lines_after(tail.new_lines(), "[CORE] Core process spawned with PID: ");
    ASSERT_EQ(spawned.size(), 1u);
    const Watched launched(static_cast<DWORD>(std::stoul(spawned[0])));
    EXPECT_TRUE(
        wait_until([&] { return !launched.process || launched.ended(); }, std::chrono::seconds(2)));
}

TEST(SupervisorPoisoned, InChildProcesses) {
    struct Case {
        const wchar_t* test;
        std::size_t starts;  // logged by the child, so it did run the test
    };
    for (const Case& c :
         {Case{L"DISABLED_InAChildProcess", 2}, Case{L"DISABLED_ByAnExceptionAfterTheLaunch", 1}}) {
        const std::wstring exe = test::exe_dir() + L"\\zelto_windows_tests.exe";
        std::wstring command_line = L"\"" + exe +
                                    L"\" --gtest_also_run_disabled_tests "
                                    L"--gtest_filter=SupervisorPoisoned." +
                                    c.test;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION child{};
        const LogTail tail;
        ASSERT_TRUE(::CreateProcessW(exe.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                                     CREATE_NO_WINDOW, nullptr, nullptr, &startup, &child));
        const KernelHandle process(child.hProcess);
        const KernelHandle thread(child.hThread);
        ASSERT_EQ(::WaitForSingleObject(process.get(), 60000), WAIT_OBJECT_0);
        DWORD exit_code = 99;
        ::GetExitCodeProcess(process.get(), &exit_code);
        EXPECT_EQ(exit_code, 0u) << to_utf8(c.test);
        EXPECT_EQ(test::lines_after(tail.new_lines(), "[CORE] start_core called: ").size(),
                  c.starts);
    }
}

}  // namespace
}  // namespace zelto
