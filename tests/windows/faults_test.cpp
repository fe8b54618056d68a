// The installed service against faults around it: a core that misbehaves, a log file it cannot
// write, a pipe name someone else holds, clients that break the protocol, a stop in the middle
// of a START. Through all of them every request must still be answered; a pipe thread that fails
// after all must stop the service and say so.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <regex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <windows.h>
#include <winioctl.h>

#include "common/unique_handle.h"
#include "common/win_text.h"
#include "core/launch_win.h"
#include "core/output_lines.h"
#include "core/supervisor.h"
#include "ipc/pipe_name.h"
#include "ipc/protocol.h"
#include "log/log.h"
#include "log/log_queue.h"
#include "service/service_host.h"
#include "service/service_main.h"
#include "windows/installed_service.h"
#include "windows/test_support.h"
#include "zelto_client.h"

namespace zelto {
namespace {

using namespace std::chrono_literals;
using namespace test;

constexpr std::string_view STDOUT_LINE = "[CORE] [mihomo stdout] ";
constexpr std::string_view STDERR_LINE = "[CORE] [mihomo stderr] ";
constexpr wchar_t STAND_IN_CORE[] = L"stand_in_core.exe";

// The bytes as the stand-in core's scripts write them: hex pairs.
std::string hex(std::string_view bytes) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        text += DIGITS[byte >> 4];
        text += DIGITS[byte & 0x0F];
    }
    return text;
}

// The lines the core wrote to one stream, as they reached the log, without the stand-in's own
// first line.
std::vector<std::string> core_lines(const std::vector<std::string>& lines,
                                    std::string_view stream) {
    std::vector<std::string> found;
    for (const std::string& line : lines) {
        if (line.starts_with(stream) && !line.substr(stream.size()).starts_with("cmdline: ")) {
            found.push_back(line.substr(stream.size()));
        }
    }
    return found;
}

bool has_line(const LogTail& log, std::string_view wanted) {
    for (const std::string& line : log.new_lines()) {
        if (line == wanted) {
            return true;
        }
    }
    return false;
}

void end_process_by_id(DWORD pid) {
    const KernelHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
    if (process) {
        ::TerminateProcess(process.get(), 1);
        ::WaitForSingleObject(process.get(), 5000);
    }
}

// The service's answer, or why there was none.
std::string ask(std::string_view request, std::chrono::milliseconds limit = 10s) {
    return answer_text(client::send_request(request, limit));
}

// Ends, on every way out of a test, the stand-in cores that started during it and still run.
class LeftoverCores {
  public:
    LeftoverCores() : before_(processes_named(STAND_IN_CORE)) {}
    ~LeftoverCores() {
        for (const DWORD pid : started()) {
            end_process_by_id(pid);
        }
    }
    LeftoverCores(const LeftoverCores&) = delete;
    LeftoverCores& operator=(const LeftoverCores&) = delete;

    // Those started since construction that still run.
    std::vector<DWORD> started() const {
        std::vector<DWORD> now = processes_named(STAND_IN_CORE);
        std::erase_if(now, [&](DWORD pid) {
            return std::find(before_.begin(), before_.end(), pid) != before_.end();
        });
        return now;
    }

  private:
    std::vector<DWORD> before_;
};

void expect_serving(const std::string& context) {
    EXPECT_EQ(ask("VERSION"), "OK|0.1.0") << context;
}

class ServiceFaults : public InstalledServiceTest {
  protected:
    // A config file whose lines the stand-in core runs as its script.
    std::string script(const std::wstring& name, const std::vector<std::string>& lines) {
        std::string text;
        for (const std::string& line : lines) {
            text += line + "\n";
        }
        return write_file(std::wstring(INSTALL_DIR) + L"\\" + name, text);
    }

    std::string start(const std::string& config) {
        return ask(client::start_request(config, core_));
    }
};

// ---- The core misbehaves ------------------------------------------------------------------------

struct CoreCase {
    const char* name;
    std::vector<std::string> script;
    std::vector<std::string> stdout_lines;
    std::vector<std::string> stderr_lines;
    std::string exit;  // how the exit line ends
};

TEST_F(ServiceFaults, CoreThatMisbehavesLeavesEveryGoodLine) {
    const CoreCase cases[] = {
        {"crashes in the middle of a line",
         {"out " + hex("before the crash\n"), "err " + hex("on stderr\n"),
          "out " + hex("half a li"), "crash"},
         {"before the crash", "half a li"},
         {"on stderr"},
         "3221225477 (0xC0000005)"},
        {"writes invalid UTF-8 between good lines",
         {"out " + hex("good 1\n\xFF\xFE\ngood 2\n"), "out " + hex("\xC0\xAF\ngood 3\n"),
          "out " + hex("\xED\xA0\x80\ngood 4\n\xF4\x90\x80\x80\ngood 5\n"),
          "out " + hex("bad \xE2\x82\ngood 6\n"), "err " + hex("\x80\nerr good\n"), "hang"},
         {"good 1", "good 2", "good 3", "good 4", "good 5", "good 6"},
         {"err good"},
         "1, ended by the service"},
        {"exits at once", {"exit 0"}, {}, {}, "0"},
        {"exits at once with a code and a last line",
         {"out " + hex("last words\n"), "exit 0xC0000005"},
         {"last words"},
         {},
         "3221225477 (0xC0000005)"},
        {"rejects its config", {"err " + hex("bad config\n"), "exit 3"}, {}, {"bad config"}, "3"},
    };
    install_and_wait_running();

    for (const CoreCase& c : cases) {
        SCOPED_TRACE(c.name);
        const LogTail log;
        const std::string config = script(L"misbehaving.yaml", c.script);
        EXPECT_EQ(start(config), "OK|Started");
        const std::string running = ask("STATUS");
        EXPECT_TRUE(running == "OK|Stopped" || running.starts_with("OK|Running|")) << running;

        // The stand-in's own first line, which comes before anything of the script, and then
        // exactly the good lines.
        auto own_lines = [](const std::vector<std::string>& lines) {
            return std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
                return line.starts_with(std::string(STDOUT_LINE) + "cmdline: ");
            });
        };
        EXPECT_TRUE(wait_until([&] {
            const auto lines = log.new_lines();
            return own_lines(lines) == 1 && core_lines(lines, STDOUT_LINE) == c.stdout_lines &&
                   core_lines(lines, STDERR_LINE) == c.stderr_lines;
        }));
        const auto lines = log.new_lines();
        EXPECT_EQ(own_lines(lines), 1);
        EXPECT_EQ(core_lines(lines, STDOUT_LINE), c.stdout_lines);
        EXPECT_EQ(core_lines(lines, STDERR_LINE), c.stderr_lines);

        expect_serving(c.name);
        EXPECT_EQ(ask("STOP"), "OK|Stopped");
        EXPECT_EQ(ask("STATUS"), "OK|Stopped");

        // One exit line with the core's id, after its last line.
        const std::string spawned = "[CORE] Core process spawned with PID: ";
        const auto pid = std::find_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.starts_with(spawned);
        });
        ASSERT_NE(pid, lines.end());
        const std::string exit_line =
            "[CORE] Core process " + pid->substr(spawned.size()) + " exited with code " + c.exit;
        EXPECT_TRUE(wait_until([&] { return has_line(log, exit_line); })) << exit_line;
        const auto after = log.new_lines();
        const auto exited = std::find(after.begin(), after.end(), exit_line);
        EXPECT_EQ(std::count(after.begin(), after.end(), exit_line), 1);
        EXPECT_TRUE(std::none_of(exited, after.end(), [](const std::string& line) {
            return line.starts_with("[CORE] [mihomo ");
        }));
    }
}

TEST_F(ServiceFaults, CoreWritingFiftyMegabytesKeepsEveryLine) {
    // 800 lines of 64 KiB (line end included), each in two writes, so every line spans many reads
    // of the forwarder; 50 MiB in all.
    constexpr int LINES = 800;
    constexpr std::size_t LINE_BYTES = 65535;
    std::vector<std::string> body = {"out " + hex("first\n")};
    for (int i = 0; i < LINES; ++i) {
        body.push_back("outrep " + std::to_string(LINE_BYTES) + " 61");
        body.push_back("out 0a");
    }
    body.push_back("out " + hex("last\n"));
    body.push_back("hang");
    const std::string config = script(L"flood.yaml", body);
    install_and_wait_running();
    const LogTail log;

    const auto started = Clock::now();
    EXPECT_EQ(start(config), "OK|Started");
    // Answered while the flood goes on.
    expect_serving("during the flood");
    EXPECT_TRUE(wait_until([&] { return has_line(log, std::string(STDOUT_LINE) + "last"); }, 60s));
    std::printf("50 MiB of core output in the log after %lld ms\n", in_ms(Clock::now() - started));

    const std::vector<std::string> lines = core_lines(log.new_lines(), STDOUT_LINE);
    ASSERT_EQ(lines.size(), LINES + 2u);
    EXPECT_EQ(lines.front(), "first");
    EXPECT_EQ(lines.back(), "last");
    const std::string full(LINE_BYTES, 'a');
    int whole = 0;
    for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
        whole += lines[i] == full ? 1 : 0;
    }
    EXPECT_EQ(whole, LINES);

    expect_serving("after the flood");
    EXPECT_EQ(ask("STOP"), "OK|Stopped");
    remove_service();
    // Keeps the tests after this one from reading 50 MiB at every look into the log.
    ::DeleteFileW(std::wstring(LOG_FILE_PATH).c_str());
}

TEST_F(ServiceFaults, CoreNeverEndingALineCannotExhaustTheService) {
    // 64 MiB without a line feed, then silence: all but the last piece can reach the log while
    // the core runs.
    constexpr std::size_t UNITS = 4u << 20;
    const std::string unit = "abcdefghijklm\xE2\x82\xAC";
    std::string written;
    for (std::size_t i = 0; i < UNITS; ++i) {
        written += unit;
    }
    const std::string config =
        script(L"endless.yaml", {"outrep " + std::to_string(UNITS) + " " + hex(unit), "hang"});
    install_and_wait_running();
    const std::optional<unsigned long long> before = committed_private_bytes(service_pid());
    ASSERT_TRUE(before);
    const LogTail log;
    auto forwarded = [&] {
        std::string joined;
        std::size_t longest = 0;
        for (const std::string& piece : core_lines(log.new_lines(), STDOUT_LINE)) {
            joined += piece;
            longest = std::max(longest, piece.size());
        }
        return std::pair{joined, longest};
    };

    EXPECT_EQ(start(config), "OK|Started");
    EXPECT_TRUE(wait_until(
        [&] { return forwarded().first.size() == written.size() - MAX_LINE_PIECE; }, 60s));
    const std::optional<unsigned long long> during = committed_private_bytes(service_pid());
    ASSERT_TRUE(during);
    std::printf("service committed %llu KiB before, %llu KiB with 64 MiB of one line forwarded\n",
                *before >> 10, *during >> 10);
    EXPECT_LT(*during, *before + (16u << 20));

    // The end of the stream brings the last piece.
    EXPECT_EQ(ask("STOP"), "OK|Stopped");
    EXPECT_TRUE(wait_until([&] { return forwarded().first.size() == written.size(); }));
    const auto [joined, longest] = forwarded();
    EXPECT_TRUE(joined == written) << joined.size() << " bytes";
    EXPECT_LE(longest, MAX_LINE_PIECE);
    remove_service();
    ::DeleteFileW(std::wstring(LOG_FILE_PATH).c_str());
}

// The core is a batch file: the process launched is the command interpreter, and the stand-in it
// starts holds the write ends of both output pipes. The core's job takes the child along, at STOP,
// at a START that replaces the core, and when the service process itself is killed. STOP and START
// answer only once the old child is gone: it might still hold the TUN adapter or the core's ports.
TEST_F(ServiceFaults, ChildOfTheCoreEndsWithTheCore) {
    const LeftoverCores cores;
    const std::string child_script = script(
        L"child.yaml", {"out " + hex("child line 1\n"), "sleep 1500",
                        "out " + hex("child line 2\n"), "err " + hex("child err\n"), "hang"});
    const std::wstring batch = std::wstring(INSTALL_DIR) + L"\\core.bat";
    write_file(batch, "@echo off\r\n\"" + to_utf8(exe_dir()) + "\\stand_in_core.exe\" -f \"" +
                          child_script + "\"\r\n");
    install_and_wait_running();
    // Asks `request` with handles held on the running children (a reused id cannot pass for one).
    auto ask_ending_children = [&](const std::string& request) {
        std::vector<KernelHandle> children;
        for (const DWORD pid : cores.started()) {
            children.emplace_back(::OpenProcess(SYNCHRONIZE, FALSE, pid));
        }
        const std::string answer = ask(request);
        for (const KernelHandle& child : children) {
            EXPECT_EQ(::WaitForSingleObject(child.get(), 0), WAIT_OBJECT_0) << "at " << answer;
        }
        return answer;
    };
    auto start_with_child = [&] {
        const LogTail log;
        EXPECT_EQ(ask_ending_children(client::start_request(config_, to_utf8(batch))),
                  "OK|Started");
        EXPECT_TRUE(
            wait_until([&] { return has_line(log, std::string(STDOUT_LINE) + "child line 1"); }));
        EXPECT_EQ(cores.started().size(), 1u);
    };

    start_with_child();
    const auto stopping = Clock::now();
    EXPECT_EQ(ask_ending_children("STOP"), "OK|Stopped");
    EXPECT_LT(Clock::now() - stopping, 3s);
    expect_serving("after the STOP");

    start_with_child();
    start_with_child();
    const std::string status = ask("STATUS");
    ASSERT_TRUE(status.starts_with("OK|Running|")) << status;
    const DWORD core_pid = std::stoul(status.substr(11));
    const KernelHandle service(::OpenProcess(PROCESS_TERMINATE, FALSE, service_pid()));
    ASSERT_TRUE(::TerminateProcess(service.get(), 1));
    const auto killed = Clock::now();
    EXPECT_TRUE(wait_until([&] { return !process_alive(core_pid) && cores.started().empty(); }, 2s))
        << "the core and its child should end with the service process";
    std::printf("core and child ended %lld ms after the service process was killed\n",
                in_ms(Clock::now() - killed));
    // Wine's service control manager goes on reporting RUNNING for the killed service, so its
    // removal after the test waits out its limit.
}

// ---- The log cannot be written ------------------------------------------------------------------

struct LogFault {
    const char* name;
    std::function<void()> apply;
    std::function<void()> undo;
    // Wine running as root writes to a read-only file all the same; on Windows the Public
    // folder may hold a file open elsewhere.
    bool may_not_hold_here;
};

TEST_F(ServiceFaults, RequestsAreAnsweredWhenTheLogCannotBeWritten) {
    const std::wstring log_path(LOG_FILE_PATH);
    const std::wstring folder = L"C:\\Users\\Public";
    const std::wstring moved_folder = L"C:\\Users\\Public.zelto-test";
    KernelHandle holder;
    const LogFault faults[] = {
        {"log folder missing",
         [&] {
             // On Windows the indexer or an antivirus may hold a file in it: the row is then
             // skipped, with the error, below.
             if (!::MoveFileW(folder.c_str(), moved_folder.c_str())) {
                 std::printf("C:\\Users\\Public cannot be moved aside (error %lu)\n",
                             ::GetLastError());
             }
         },
         [&] { ::MoveFileW(moved_folder.c_str(), folder.c_str()); }, !running_under_wine()},
        {"log file read-only",
         [&] { EXPECT_TRUE(::SetFileAttributesW(log_path.c_str(), FILE_ATTRIBUTE_READONLY)); },
         [&] { ::SetFileAttributesW(log_path.c_str(), FILE_ATTRIBUTE_NORMAL); }, true},
        {"log file open elsewhere without write sharing",
         [&] {
             // The service holds the file for a moment at each line.
             EXPECT_TRUE(wait_until([&] {
                 holder.reset(::CreateFileW(log_path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                            nullptr, OPEN_EXISTING, 0, nullptr));
                 return holder.valid();
             }));
         },
         [&] { holder.reset(); }, false},
    };
    // Whether the service's own way of opening the log fails now.
    auto log_refused = [&] {
        const KernelHandle file(
            ::CreateFileW(log_path.c_str(), FILE_APPEND_DATA,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_ALWAYS, 0, nullptr));
        return !file.valid();
    };
    auto log_size = [&]() -> long long {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (!::GetFileAttributesExW(log_path.c_str(), GetFileExInfoStandard, &data)) {
            return -1;
        }
        return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    };
    install_and_wait_running();
    const std::string config = script(L"talkative.yaml", {"out " + hex("core line\n"), "hang"});

    for (const LogFault& fault : faults) {
        SCOPED_TRACE(fault.name);
        // The service writes "Client disconnected" just after the client has its answer.
        ::Sleep(100);
        fault.apply();
        if (!log_refused()) {
            fault.undo();
            if (fault.may_not_hold_here) {
                std::printf("%s: not reproducible on this system, skipped\n", fault.name);
            } else {
                ADD_FAILURE() << "the fault did not keep the log from being opened";
            }
            continue;
        }
        const long long size_before = log_size();
        const std::vector<std::pair<std::string, std::string>> exchanges = {
            {"VERSION", "OK|0.1.0"},
            {client::start_request(config, core_), "OK|Started"},
            {"STOP", "OK|Stopped"},
            {"STATUS", "OK|Stopped"},
            {"nonsense", "ERR|Unknown command: nonsense"},
            {client::start_request(config_ + ".missing", core_),
             "ERR|Config file not found: " + config_ + ".missing"},
        };
        for (const auto& [request, response] : exchanges) {
            EXPECT_EQ(ask(request), response);
        }
        // No line got in meanwhile (and the service did not create the folder).
        const long long size_during = log_size();
        fault.undo();
        EXPECT_EQ(size_during, size_before);

        // Once the fault is gone, lines are written again, the first saying what was lost.
        const LogTail log;
        expect_serving("after the fault");
        EXPECT_TRUE(has_line(log, "[IPC] Received request: VERSION"));
        const std::vector<std::string> lines = log.new_lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_TRUE(lines.front().starts_with("Log lines could not be written (open or write "
                                              "failed: ") &&
                    lines.front().ends_with(" lines dropped"))
            << lines.front();
    }

    // A request cannot write a line that looks like the service's own.
    const LogTail log;
    EXPECT_EQ(ask("STATUS\n[1111111111] [IPC] Sending response: OK|forged"),
              "ERR|Unknown command: STATUS\n[1111111111] [IPC] Sending response: OK");
    EXPECT_TRUE(contains_in_order(
        log.new_lines(),
        {"[IPC] Received request: STATUS\\n[1111111111] [IPC] Sending response: OK|forged",
         "[IPC] Sending response: ERR|Unknown command: STATUS\\n[1111111111] [IPC] Sending "
         "response: OK"}));
    EXPECT_FALSE(has_line(log, "[IPC] Sending response: OK|forged"));
}

// Wine runs a Unix program handed to CreateProcessW but gives back no handle to it, so the
// script ends by creating a marker file, which is waited for. Empty when not under Wine.
std::string unix_path(const std::wstring& path) {
    using ToUnix = char*(__cdecl*)(const wchar_t*);
    const auto to_unix = reinterpret_cast<ToUnix>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* const name = to_unix != nullptr ? to_unix(path.c_str()) : nullptr;
    const std::string text = name != nullptr ? name : "";
    ::HeapFree(::GetProcessHeap(), 0, name);
    return text;
}

bool run_unix_shell(const std::string& commands) {
    const std::wstring script = std::wstring(INSTALL_DIR) + L"\\stall.sh";
    const std::wstring done = script + L".done";
    ::DeleteFileW(done.c_str());
    write_file(script, commands + "\ntouch '" + unix_path(done) + "'\n");
    std::wstring command_line = L"Z:\\bin\\sh \"" + to_wide(unix_path(script)) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    if (!::CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &created)) {
        return false;
    }
    const KernelHandle process(created.hProcess), thread(created.hThread);
    return wait_until([&] { return ::DeleteFileW(done.c_str()) != 0; });
}

// The log file as a FIFO that a process holds open without reading, its buffer full: every write
// of it blocks, as on Windows under a user's oplock that is never released. Undone at the latest
// when it leaves scope.
class StalledLog {
  public:
    StalledLog() = default;
    StalledLog(const StalledLog&) = delete;
    StalledLog& operator=(const StalledLog&) = delete;
    ~StalledLog() {
        if (!undo_.empty()) {
            run_unix_shell(undo_);
        }
    }

    bool stall() {
        const std::string log = unix_path(std::wstring(LOG_FILE_PATH));
        const std::string holder = unix_path(std::wstring(INSTALL_DIR)) + "/stall-holder.pid";
        undo_ = "kill $(cat '" + holder + "'); rm -f '" + log + "' '" + holder + "'";
        // The writer may create the file again in between: the line after an answer is written
        // a little later.
        return run_unix_shell("for try in 1 2 3 4 5; do rm -f '" + log + "'; mkfifo '" + log +
                              "' 2>/dev/null && break; done\n[ -p '" + log + "' ] || exit 1\n" +
                              "sleep 120 <> '" + log + "' &\necho $! > '" + holder + "'\n" +
                              "head -c 65536 /dev/zero > '" + log + "'");
    }

    bool undo() { return run_unix_shell(std::exchange(undo_, "")); }

  private:
    std::string undo_;
};

TEST_F(ServiceFaults, LogWhoseWritesNeverReturnHoldsUpNobody) {
    if (unix_path(std::wstring(LOG_FILE_PATH)).empty()) {
        GTEST_SKIP() << "needs Wine's Unix side";
    }
    const LeftoverCores cores;
    install_and_wait_running();
    StalledLog stalled;
    ASSERT_TRUE(stalled.stall());

    EXPECT_EQ(ask("STATUS", 5s), "OK|Stopped");
    // 2 MB of lines, more than the pipes hold: the core can only finish if they are read.
    const std::string config = script(
        L"two-megabytes.yaml", {"outrep 26000 " + hex(std::string(79, 'x') + "\n"), "exit 0"});
    EXPECT_EQ(start(config), "OK|Started");
    EXPECT_TRUE(wait_until([&] { return cores.started().empty(); }, 30s)) << "the core is stuck";
    expect_serving("while the log is stuck");

    const DWORD pid = service_pid();
    {
        const ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        const ServiceHandle service(::OpenServiceW(manager.get(), SERVICE, SERVICE_STOP));
        SERVICE_STATUS status{};
        EXPECT_TRUE(::ControlService(service.get(), SERVICE_CONTROL_STOP, &status))
            << ::GetLastError();
    }
    // The stop waits 2 s for the log. Every step of it raises the checkpoint and ends within the
    // wait hint it reported.
    struct Step {
        DWORD check_point;
        DWORD wait_hint;
        Clock::time_point seen;
    };
    std::vector<Step> steps;
    const auto stopping = Clock::now();
    for (auto status = service_status();
         status && status->dwCurrentState != SERVICE_STOPPED && Clock::now() - stopping < 5s;
         status = service_status()) {
        if (status->dwCurrentState == SERVICE_STOP_PENDING &&
            (steps.empty() || steps.back().check_point != status->dwCheckPoint)) {
            steps.push_back({status->dwCheckPoint, status->dwWaitHint, Clock::now()});
        }
        ::Sleep(5);
    }
    const auto stopped = Clock::now();
    EXPECT_EQ(service_state(), static_cast<DWORD>(SERVICE_STOPPED));
    std::printf("stopped after %lld ms, %zu steps seen\n", in_ms(stopped - stopping), steps.size());
    ASSERT_FALSE(steps.empty());
    for (std::size_t i = 0; i < steps.size(); ++i) {
        EXPECT_GT(steps[i].check_point, i == 0 ? 0 : steps[i - 1].check_point);
        const auto ended = i + 1 < steps.size() ? steps[i + 1].seen : stopped;
        EXPECT_LT(ended - steps[i].seen, std::chrono::milliseconds(steps[i].wait_hint));
    }
    EXPECT_TRUE(wait_until([&] { return !process_alive(pid); }, 5s)) << "the process lives on";

    ASSERT_TRUE(stalled.undo());
    const LogTail after;
    {
        const ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        const ServiceHandle service(::OpenServiceW(manager.get(), SERVICE, SERVICE_START));
        ASSERT_TRUE(::StartServiceW(service.get(), 0, nullptr)) << ::GetLastError();
    }
    wait_for_state(SERVICE_RUNNING);
    expect_serving("restarted");
    EXPECT_TRUE(has_line(after, "[IPC] Received request: VERSION"));
}

// The log's folder as a small volume of its own, the administrator's limits set with `reg add`
// before the service starts: a flooding core leaves the log within its size limit (rotated
// once) or the volume at its floor, and the service answers throughout.
TEST_F(ServiceFaults, FloodingCoreLeavesTheLogWithinItsLimitAndTheVolumeAtItsFloor) {
    const std::string folder = unix_path(L"C:\\Users\\Public");
    if (folder.empty()) {
        GTEST_SKIP() << "needs Wine's Unix side";
    }
    const std::wstring log(LOG_FILE_PATH);
    const std::wstring key = L"reg add HKLM\\SOFTWARE\\Zelto\\Service /f /t REG_DWORD /v ";
    struct Undo {
        std::string folder;
        ~Undo() {
            run_process(L"reg delete HKLM\\SOFTWARE\\Zelto\\Service /f");
            run_unix_shell("umount -l '" + folder + "'");
        }
    } undo{folder};
    ASSERT_TRUE(run_unix_shell("mount -t tmpfs -o size=24m tmpfs '" + folder + "'"));
    const LeftoverCores cores;
    // 12 MB of lines, then STATUS.
    auto flood = [&] {
        const std::string config =
            script(L"flood.yaml", {"outrep 150000 " + hex(std::string(79, 'x') + "\n"), "exit 0"});
        EXPECT_EQ(start(config), "OK|Started");
        EXPECT_TRUE(wait_until([&] { return cores.started().empty(); }, 60s));
        EXPECT_EQ(ask("STATUS"), "OK|Stopped");
    };
    auto file_size = [](const std::wstring& path) {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
        return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    };
    auto free_bytes = [] {
        ULARGE_INTEGER free{};
        ::GetDiskFreeSpaceExW(L"C:\\Users\\Public\\", nullptr, nullptr, &free);
        return free.QuadPart;
    };

    constexpr std::uint64_t LIMIT = 4 << 20;
    ASSERT_EQ(run_process(key + L"LogMaxBytes /d " + std::to_wstring(LIMIT)).exit_code, 0u);
    install_and_wait_running();
    flood();
    EXPECT_GT(file_size(log + L".1"), LIMIT / 2);
    for (const std::wstring& path : {log, log + L".1"}) {
        EXPECT_LE(file_size(path), LIMIT + LOG_QUEUE_CAPACITY);
    }
    const std::string newest = read_file(log);
    EXPECT_TRUE(newest.find("] Log reached its limit of 4194304 bytes: earlier lines are in "
                            "velmora-service.log.1\n") < 40)
        << newest.substr(0, 200);
    EXPECT_NE(newest.find("[IPC] Sending response: OK|Stopped\n"), std::string::npos);
    remove_service();

    const std::uint64_t floor = free_bytes() - (8 << 20);
    ASSERT_EQ(run_process(L"reg delete HKLM\\SOFTWARE\\Zelto\\Service /f").exit_code, 0u);
    ASSERT_EQ(run_process(key + L"LogKeepFreeBytes /d " + std::to_wstring(floor)).exit_code, 0u);
    install_and_wait_running();
    // What the service says it read, at its start.
    EXPECT_NE(read_file(log).find("] [LOG] Log settings: LogMaxBytes 1073741824 (default), "
                                  "LogKeepFreeBytes " +
                                  std::to_string(floor) + ": floor " + std::to_string(floor) +
                                  " bytes free on the log's volume\n"),
              std::string::npos);
    flood();
    EXPECT_GE(free_bytes() + 4096, floor);
    EXPECT_NE(read_file(log).find("] Free space on the log's volume has reached its floor of " +
                                  std::to_string(floor) + " bytes"),
              std::string::npos);
    // Room again: the first line counts what the floor cost.
    ASSERT_TRUE(::DeleteFileW(log.c_str()));
    ::Sleep(1100);
    expect_serving("after the log was deleted");
    const std::string after = read_file(log);
    EXPECT_TRUE(after.find("] Log lines could not be written (free space below the floor): ") <
                    20 &&
                after.find(" lines dropped\n") != std::string::npos)
        << after.substr(0, 200);
}

// A rotation that fails (a folder at the rotated name, a reader holding the log without delete
// sharing, as Go's os.Open and .NET's FileShare.ReadWrite do) costs no line: the writer appends
// past the limit of 1 MiB and says so once.
TEST_F(ServiceFaults, RotationThatFailsDropsNothing) {
    const std::wstring log(LOG_FILE_PATH);
    const std::wstring rotated = log + L".1";
    KernelHandle reader;
    const LogFault faults[] = {
        {"a folder at the rotated name",
         [&] { EXPECT_TRUE(::CreateDirectoryW(rotated.c_str(), nullptr)); },
         [&] { ::RemoveDirectoryW(rotated.c_str()); }, false},
        {"a reader without delete sharing",
         [&] {
             reader.reset(::CreateFileW(log.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0,
                                        nullptr));
             EXPECT_TRUE(reader.valid());
         },
         [&] { reader.reset(); }, false},
    };
    struct Undo {
        ~Undo() { run_process(L"reg delete HKLM\\SOFTWARE\\Zelto\\Service /f"); }
    } undo;
    ASSERT_EQ(run_process(L"reg add HKLM\\SOFTWARE\\Zelto\\Service /f /t REG_DWORD /v "
                          L"LogMaxBytes /d 1048576")
                  .exit_code,
              0u);
    const LeftoverCores cores;
    constexpr int LINES = 30000;
    const std::string config = script(
        L"flood.yaml", {"outrep " + std::to_string(LINES) + " " + hex("flood line\n"), "exit 0"});
    for (const LogFault& fault : faults) {
        SCOPED_TRACE(fault.name);
        ::DeleteFileW(log.c_str());
        ::DeleteFileW(rotated.c_str());
        install_and_wait_running();
        fault.apply();
        const LogTail tail;
        EXPECT_EQ(start(config), "OK|Started");
        EXPECT_TRUE(wait_until([&] { return cores.started().empty(); }, 60s));
        expect_serving("after the flood");
        const auto lines = tail.new_lines();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string(STDOUT_LINE) + "flood line"),
                  LINES);
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const std::string& line) {
                                    return line.starts_with("Log rotation failed (") &&
                                           line.ends_with(
                                               "): appending past the limit of 1048576 "
                                               "bytes until it succeeds");
                                }),
                  1);
        EXPECT_TRUE(has_line(tail, "[IPC] Received request: VERSION"));
        fault.undo();
        remove_service();
    }
    ::DeleteFileW(log.c_str());
}

// A stuck log holds the stop for 2 s. uninstall deletes the service only once it has stopped, so
// it is gone when uninstall returns and an install at once (as an MSI upgrade runs it) creates it
// anew; deleted while still stopping, it would only be marked for deletion.
TEST_F(ServiceFaults, UninstallWaitsForTheStopBeforeItDeletes) {
    if (unix_path(std::wstring(LOG_FILE_PATH)).empty()) {
        GTEST_SKIP() << "needs Wine's Unix side";
    }
    install_and_wait_running();
    StalledLog stalled;
    ASSERT_TRUE(stalled.stall());
    const auto started = Clock::now();
    const ProcessResult uninstalled = service_verb(L"uninstall");
    const auto took = Clock::now() - started;
    ASSERT_EQ(uninstalled.exit_code, 0u) << uninstalled.err;
    EXPECT_EQ(service_state(), 0u) << "only marked for deletion";
    EXPECT_GE(took, 1500ms) << "nothing was waited for";
    std::printf("uninstall with a stuck log took %lld ms\n", in_ms(took));

    const ProcessResult installed = service_verb(L"install");
    EXPECT_EQ(installed.exit_code, 0u) << installed.err;
    EXPECT_EQ(installed.out, "Service installed and started successfully\n");
    ASSERT_TRUE(stalled.undo());
    wait_for_state(SERVICE_RUNNING);
    expect_serving("installed again");
}

// A batch oplock on the log whose break is never acknowledged, as a user's program may hold one on
// the world-readable file: every open of the log by the service waits for as long as it is held.
// Granted only while no other handle is open on the file; the service holds the log only while
// it appends, so the request is repeated until it is granted. Closing the file releases it.
class BatchOplock {
  public:
    BatchOplock() : event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        io_.hEvent = event_.get();
        wait_until([&] {
            file_.reset(::CreateFileW(LOG_FILE_PATH.data(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
            held_ = file_ &&
                    !::DeviceIoControl(file_.get(), FSCTL_REQUEST_BATCH_OPLOCK, nullptr, 0, nullptr,
                                       0, nullptr, &io_) &&
                    ::GetLastError() == ERROR_IO_PENDING;
            return held_;
        });
    }
    BatchOplock(const BatchOplock&) = delete;
    BatchOplock& operator=(const BatchOplock&) = delete;

    bool held() const { return held_; }
    // Whether another open of the log is waiting on the break.
    bool broken() const { return ::WaitForSingleObject(event_.get(), 0) == WAIT_OBJECT_0; }

  private:
    // Declared before the file, which is closed first: the pending request ends with it.
    KernelHandle event_;
    OVERLAPPED io_{};
    KernelHandle file_;
    bool held_ = false;
};

TEST_F(ServiceFaults, LogUnderAnUnacknowledgedOplockHoldsUpNobody) {
    if (running_under_wine()) {
        GTEST_SKIP() << "needs Windows: Wine grants no oplocks (FSCTL_REQUEST_BATCH_OPLOCK fails "
                        "with 50)";
    }
    const LeftoverCores cores;
    // 80,000 lines, more than the log's queue holds while its writer waits: lines are dropped.
    const std::string config =
        script(L"flood.yaml", {"outrep 80000 " + hex(std::string(79, 'x') + "\n"), "exit 0"});
    install_and_wait_running();
    // Read before the oplock is taken: a read of the log would wait on it like the service.
    const LogTail log;
    {
        const BatchOplock oplock;
        ASSERT_TRUE(oplock.held()) << ::GetLastError();
        EXPECT_EQ(start(config), "OK|Started");
        EXPECT_TRUE(wait_until([&] { return oplock.broken(); }, 2s));
        EXPECT_TRUE(wait_until([&] { return cores.started().empty(); }, 30s))
            << "the core is stuck";
        const auto asked = Clock::now();
        EXPECT_EQ(ask("STATUS", 5s), "OK|Stopped");
        std::printf("STATUS answered in %lld ms under the oplock\n", in_ms(Clock::now() - asked));
        EXPECT_LT(Clock::now() - asked, 500ms);
    }
    // Released: the writer gets through and first says how many lines it dropped.
    const std::regex dropped(R"(: [1-9][0-9]* lines dropped$)");
    EXPECT_TRUE(wait_until([&] {
        const auto lines = log.new_lines();
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
            return std::regex_search(line, dropped);
        });
    }));

    {
        const BatchOplock oplock;
        ASSERT_TRUE(oplock.held()) << ::GetLastError();
        // The first line to wait on the oplock holds its caller for the log's wait limit.
        expect_serving("under the oplock again");
        const ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        const ServiceHandle service(::OpenServiceW(manager.get(), SERVICE, SERVICE_STOP));
        SERVICE_STATUS status{};
        EXPECT_TRUE(::ControlService(service.get(), SERVICE_CONTROL_STOP, &status))
            << ::GetLastError();
        const auto stopped_after = wait_for_state(SERVICE_STOPPED, 5s);
        std::printf("stopped after %lld ms under the oplock\n", in_ms(stopped_after));
        EXPECT_LT(stopped_after, 3s);
    }
    remove_service();
    // Keeps the tests after this one from reading megabytes at every look into the log.
    ::DeleteFileW(std::wstring(LOG_FILE_PATH).c_str());
}

// Another program holds the service open across an uninstall (the Services console, a monitoring
// agent): the manager then only marks it for deletion. install never starts the marked service,
// which Windows refuses and which under Wine would vanish at its next stop: it waits for the
// service to go, and says what to do when it does not.
TEST_F(ServiceFaults, ReinstallWhileAnotherProgramHoldsTheService) {
    install_and_wait_running();
    const ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ServiceHandle held(::OpenServiceW(manager.get(), SERVICE, SERVICE_QUERY_STATUS));
    ASSERT_TRUE(held);
    const ProcessResult uninstalled = service_verb(L"uninstall");
    ASSERT_EQ(uninstalled.exit_code, 0u) << uninstalled.err;
    ASSERT_EQ(service_state(), static_cast<DWORD>(SERVICE_STOPPED)) << "not held";

    const std::string waiting = "Service is marked for deletion, waiting for it to go...\n";
    const ProcessResult refused = service_verb(L"install");
    EXPECT_EQ(refused.exit_code, 1u);
    EXPECT_EQ(refused.out, waiting);
    EXPECT_EQ(refused.err,
              "Error: Service is marked for deletion and another program holds it open (the "
              "Services console, for example): close it and run install again\n");

    std::thread release([&] {
        ::Sleep(1000);
        held.reset();
    });
    const ProcessResult installed = service_verb(L"install");
    release.join();
    EXPECT_EQ(installed.exit_code, 0u) << installed.err;
    EXPECT_EQ(installed.out, waiting + "Service installed and started successfully\n");
    wait_for_state(SERVICE_RUNNING);
    run_process(L"sc stop Zelto_service");
    wait_for_state(SERVICE_STOPPED);
    ::Sleep(200);
    EXPECT_EQ(service_state(), static_cast<DWORD>(SERVICE_STOPPED)) << "the service went";
}

// ---- Someone else holds the pipe name -----------------------------------------------------------

// An impostor holds the name before the service starts and waits for a client: the held name is
// one line in the log, Zelto-ctl refuses the impostor without sending it a byte, a stop ends the
// retries at once, and the service takes the name once it is freed.
TEST_F(ServiceFaults, NameHeldAtStartIsLoggedOnceAndGetsNoRequest) {
    KernelHandle impostor(
        ::CreateNamedPipeW(PIPE_NAME.data(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                           PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr));
    ASSERT_TRUE(impostor.valid());
    const KernelHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    // Bytes moved by the impostor's call and the error that ended it, within a second.
    auto finish = [&](OVERLAPPED& io, BOOL started) {
        DWORD bytes = 0;
        DWORD error = started ? ERROR_SUCCESS : ::GetLastError();
        if (error == ERROR_IO_PENDING) {
            if (::WaitForSingleObject(io.hEvent, 1000) != WAIT_OBJECT_0) {
                ::CancelIoEx(impostor.get(), &io);
            }
            error = ::GetOverlappedResult(impostor.get(), &io, &bytes, TRUE) ? ERROR_SUCCESS
                                                                             : ::GetLastError();
        }
        return std::pair{error, bytes};
    };
    OVERLAPPED connect{};
    connect.hEvent = event.get();
    const BOOL connecting = ::ConnectNamedPipe(impostor.get(), &connect);
    ASSERT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

    const LogTail log;
    const auto installed = service_verb(L"install");
    ASSERT_EQ(installed.exit_code, 0u) << installed.err;
    wait_for_state(SERVICE_RUNNING);
    auto lines_starting = [&](std::string_view prefix) {
        std::vector<std::string> found;
        for (const std::string& line : log.new_lines()) {
            if (line.starts_with(prefix)) {
                found.push_back(line);
            }
        }
        return found;
    };
    const std::string_view failed = "[IPC] CreateNamedPipeW failed, error: ";
    ASSERT_TRUE(wait_until([&] { return !lines_starting(failed).empty(); }));
    // Ten tries a second, one line for all of them.
    ::Sleep(1500);
    const auto failures = lines_starting(failed);
    ASSERT_EQ(failures.size(), 1u);
    std::printf("name held: %s\n", failures.front().c_str());

    const ProcessResult ctl = run_process(L"\"" + exe_dir() + L"\\Zelto-ctl.exe\" version");
    EXPECT_EQ(ctl.exit_code, 2u);
    EXPECT_EQ(ctl.err, "Zelto-ctl: \\\\.\\pipe\\Zelto_service is served by process " +
                           std::to_string(::GetCurrentProcessId()) +
                           ", not by the Zelto_service service (process " +
                           std::to_string(service_pid()) + ")\n");
    EXPECT_EQ(finish(connect, connecting).first, static_cast<DWORD>(ERROR_SUCCESS))
        << "Zelto-ctl never reached the impostor";
    OVERLAPPED read{};
    read.hEvent = event.get();
    char buffer[64];
    const auto [read_error, bytes_read] =
        finish(read, ::ReadFile(impostor.get(), buffer, sizeof buffer, nullptr, &read));
    EXPECT_EQ(bytes_read, 0u);
    EXPECT_EQ(read_error, static_cast<DWORD>(ERROR_BROKEN_PIPE));

    // A stop ends the retries at once; started again, the service waits for the name anew.
    const auto stopping = Clock::now();
    run_process(L"sc stop Zelto_service");
    wait_for_state(SERVICE_STOPPED);
    std::printf("sc stop while the name is held: STOPPED after %lld ms\n",
                in_ms(Clock::now() - stopping));
    EXPECT_LT(Clock::now() - stopping, 3s);
    ASSERT_EQ(service_verb(L"install").exit_code, 0u);
    wait_for_state(SERVICE_RUNNING);
    ASSERT_TRUE(wait_until([&] { return lines_starting(failed).size() == 2; }));

    const auto freed = Clock::now();
    impostor.reset();
    EXPECT_EQ(ask("VERSION", 5s), "OK|0.1.0");
    const auto took = Clock::now() - freed;
    std::printf("served %lld ms after the name came free\n", in_ms(took));
    EXPECT_LT(took, 2s);
    EXPECT_EQ(lines_starting(failed).size(), 2u) << "one line for each run of the service";
    const auto created = lines_starting("[IPC] Pipe created ");
    ASSERT_EQ(created.size(), 1u);
    EXPECT_TRUE(created.front().ends_with(" failed attempts, waiting for client...")) << created[0];
}

// One client object between two requests: the service stops, an impostor takes the name, the
// service starts again under a new process. The client notices that the process it held has
// ended, asks the manager again and refuses the impostor without sending it a byte.
TEST_F(ServiceFaults, ImpostorBetweenTwoRequestsOfOneClientIsRefused) {
    install_and_wait_running();
    client::Client client;
    ASSERT_EQ(answer_text(client.send("VERSION")), "OK|0.1.0");
    run_process(L"sc stop Zelto_service");
    wait_for_state(SERVICE_STOPPED);
    const KernelHandle impostor(::CreateNamedPipeW(PIPE_NAME.data(), PIPE_ACCESS_DUPLEX,
                                                   PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0,
                                                   nullptr));
    ASSERT_TRUE(impostor.valid());
    ASSERT_EQ(service_verb(L"install").exit_code, 0u);
    wait_for_state(SERVICE_RUNNING);

    const client::Reply refused = client.send("VERSION");
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().kind, client::ErrorKind::IMPOSTOR) << refused.error().message;
    EXPECT_TRUE(refused.error().message.ends_with(" not by the Zelto_service service (process " +
                                                  std::to_string(service_pid()) + ")"))
        << refused.error().message;
    EXPECT_FALSE(refused.error().sent);
    char buffer[16];
    DWORD got = 0;
    EXPECT_FALSE(::ReadFile(impostor.get(), buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(got, 0u);
}

// Another process trying to take the name while clients are served never gets it: the service's
// instances live from their creation to the stop. (Wine ignores FILE_FLAG_FIRST_PIPE_INSTANCE and
// refuses a creation only while the first creator's instance count is full, whatever count the
// newcomer asks for: both counts are tried.)
// One failed service control manager call breaks no client: with its kept manager handle refused
// (as Wine's manager refuses one now and then when several threads ask at once), the client
// opens the manager again and is answered.
TEST_F(ServiceFaults, ClientWhoseManagerHandleFailsRecovers) {
    install_and_wait_running();
    client::Client client;
    ASSERT_EQ(answer_text(client.send("STATUS")), "OK|Stopped");
    ASSERT_TRUE(client.break_manager_for_testing());
    EXPECT_EQ(answer_text(client.send("STATUS")), "OK|Stopped");
    EXPECT_EQ(answer_text(client.send("VERSION")), "OK|0.1.0");
}

TEST_F(ServiceFaults, NameIsNeverFreeWhileClientsAreServed) {
    install_and_wait_running();
    std::atomic<bool> done{false};
    int served = 0;
    std::string wrong;
    std::thread clients([&] {
        while (!done) {
            const std::string answer = ask("VERSION");
            if (answer == "OK|0.1.0") {
                ++served;
            } else if (wrong.empty()) {
                wrong = answer;
            }
        }
    });
    int tries = 0;
    int taken = 0;
    std::vector<DWORD> errors;
    for (const auto until = Clock::now() + 10s; Clock::now() < until; ++tries) {
        const DWORD instances = tries % 2 ? PIPE_UNLIMITED_INSTANCES : 1;
        const KernelHandle squatter(::CreateNamedPipeW(PIPE_NAME.data(), PIPE_ACCESS_DUPLEX,
                                                       PIPE_TYPE_BYTE | PIPE_WAIT, instances, 4096,
                                                       4096, 0, nullptr));
        if (squatter) {
            ++taken;
        } else if (std::find(errors.begin(), errors.end(), ::GetLastError()) == errors.end()) {
            errors.push_back(::GetLastError());
        }
    }
    done = true;
    clients.join();
    std::printf(
        "%d creations of the name in 10 s, %d succeeded, first error %lu; %d requests "
        "served meanwhile\n",
        tries, taken, errors.empty() ? 0 : errors.front(), served);
    EXPECT_EQ(taken, 0);
    EXPECT_GT(served, 100);
    EXPECT_EQ(wrong, "");
}

TEST_F(ServiceFaults, CoreOutputPipeNamesCannotBeTakenFirst) {
    install_and_wait_running();
    // Every name the service would once have used next: its id and a counter.
    std::vector<KernelHandle> squatted;
    for (int n = 1; n <= 300; ++n) {
        const std::wstring name = L"\\\\.\\pipe\\Zelto_core_out_" + std::to_wstring(service_pid()) +
                                  L"_" + std::to_wstring(n);
        squatted.emplace_back(::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND,
                                                 PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0,
                                                 nullptr));
        ASSERT_TRUE(squatted.back().valid());
    }
    const LogTail log;
    EXPECT_EQ(start(config_), "OK|Started");
    EXPECT_TRUE(wait_until([&] {
        const auto lines = log.new_lines();
        return std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
            return line.starts_with(std::string(STDOUT_LINE) + "cmdline: ");
        });
    })) << "the core's output should reach the log";
    EXPECT_EQ(ask("STOP"), "OK|Stopped");
}

// ---- Clients that break the protocol ------------------------------------------------------------

// An overlapped client end of the service's pipe, opened as soon as the instance is free.
KernelHandle open_client_end() {
    KernelHandle pipe;
    wait_until([&] {
        pipe.reset(::CreateFileW(PIPE_NAME.data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
        return pipe.valid();
    });
    return pipe;
}

// One overlapped call on the client end and its event.
class PendingIo {
  public:
    PendingIo() : event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        io_.hEvent = event_.get();
    }
    OVERLAPPED* io() { return &io_; }
    // Waits for the end of the call: bytes moved, or the error that ended it (ERROR_TIMEOUT when
    // it was still pending after `limit`; it is then cancelled).
    std::pair<DWORD, DWORD> finish(HANDLE pipe, BOOL started, std::chrono::milliseconds limit) {
        if (!started && ::GetLastError() != ERROR_IO_PENDING) {
            return {::GetLastError(), 0};
        }
        DWORD error = ERROR_SUCCESS;
        if (::WaitForSingleObject(event_.get(), static_cast<DWORD>(limit.count())) !=
            WAIT_OBJECT_0) {
            ::CancelIoEx(pipe, &io_);
            error = ERROR_TIMEOUT;
        }
        DWORD bytes = 0;
        if (!::GetOverlappedResult(pipe, &io_, &bytes, TRUE) && error == ERROR_SUCCESS) {
            error = ::GetLastError();
        }
        return {error, bytes};
    }

  private:
    KernelHandle event_;
    OVERLAPPED io_{};
};

bool is_cut_off(DWORD error) {
    return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED ||
           error == ERROR_NO_DATA;
}

// Waits until the service has cut the client end off, without reading from it.
bool wait_cut_off(HANDLE pipe, std::chrono::milliseconds limit) {
    return wait_until(
        [&] {
            DWORD available = 0;
            return !::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) &&
                   is_cut_off(::GetLastError());
        },
        limit);
}

struct BadClient {
    const char* name;
    // Misbehaves on the connected end; returns once the service has cut it off.
    std::function<void(HANDLE)> misbehave;
    std::vector<std::string> log_lines;
    std::chrono::milliseconds cut_off_after_at_least;
};

TEST_F(ServiceFaults, BadClientsAreCutOffAndTheNextIsServed) {
    const std::string big(64 * 1024, 'A');
    const std::string first_read(4096, 'A');
    const BadClient clients[] = {
        {"connects and never writes",
         [](HANDLE pipe) { EXPECT_TRUE(wait_cut_off(pipe, 6s)); },
         {"[IPC] Client connected", "[IPC] Client sent no request within 2000 ms, disconnecting",
          "[IPC] Client disconnected"},
         1500ms},
        {"writes and never reads",
         [](HANDLE pipe) {
             PendingIo write;
             const BOOL started = ::WriteFile(pipe, "VERSION", 7, nullptr, write.io());
             EXPECT_EQ(write.finish(pipe, started, 2s).first, static_cast<DWORD>(ERROR_SUCCESS));
             EXPECT_TRUE(wait_cut_off(pipe, 6s));
         },
         {"[IPC] Client connected", "[IPC] Received request: VERSION",
          "[IPC] Sending response: OK|0.1.0",
          "[IPC] Client did not take its response within 2000 ms, disconnecting",
          "[IPC] Client disconnected"},
         1500ms},
        {"sends 64 KiB",
         [&](HANDLE pipe) {
             PendingIo write;
             const BOOL started =
                 ::WriteFile(pipe, big.data(), static_cast<DWORD>(big.size()), nullptr, write.io());
             std::string response;
             for (;;) {
                 PendingIo read;
                 char buffer[8192];
                 const BOOL reading = ::ReadFile(pipe, buffer, sizeof buffer, nullptr, read.io());
                 const auto [error, bytes] = read.finish(pipe, reading, 6s);
                 response.append(buffer, bytes);
                 if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA) {
                     EXPECT_TRUE(is_cut_off(error)) << error;
                     break;
                 }
             }
             // Only the first read's bytes were taken; the rest went with the connection.
             EXPECT_EQ(response, "ERR|Unknown command: " + first_read);
             const auto [write_error, written] = write.finish(pipe, started, 6s);
             EXPECT_TRUE(is_cut_off(write_error)) << write_error;
             EXPECT_LT(written, big.size());
         },
         {"[IPC] Client connected", "[IPC] Received request: " + first_read,
          "[IPC] Sending response: ERR|Unknown command: " + first_read,
          "[IPC] Client disconnected"},
         0ms},
    };
    install_and_wait_running();

    for (const BadClient& bad : clients) {
        SCOPED_TRACE(bad.name);
        const LogTail log;
        const KernelHandle pipe = open_client_end();
        ASSERT_TRUE(pipe.valid());
        const auto connected = Clock::now();

        // The next client comes at once; the other instance serves it.
        std::string next;
        Clock::duration next_after{};
        std::thread next_client([&] {
            next = ask("VERSION");
            next_after = Clock::now() - connected;
        });
        bad.misbehave(pipe.get());
        const auto cut_off = Clock::now() - connected;
        next_client.join();

        std::printf("%s: cut off after %lld ms, next client answered after %lld ms\n", bad.name,
                    in_ms(cut_off), in_ms(next_after));
        EXPECT_GE(cut_off, bad.cut_off_after_at_least);
        EXPECT_LT(cut_off, 4s);
        EXPECT_EQ(next, "OK|0.1.0");
        EXPECT_LT(next_after, 1s) << "the other instance should serve it at once";
        EXPECT_TRUE(wait_until([&] { return contains_in_order(log.new_lines(), bad.log_lines); }));
    }
}

// ---- The pipe thread fails ---------------------------------------------------------------------

// The service's own protocol host, except that START throws, as an allocation failing in it would.
class ThrowingHost final : public ProtocolHost {
  public:
    ErrorText start_core(const std::string&, const std::string&) override {
        throw std::runtime_error("planned failure in START");
    }
    void stop_core() override { service_protocol_host().stop_core(); }
    std::optional<std::uint32_t> running_core_pid() override {
        return service_protocol_host().running_core_pid();
    }
    void log_ipc(std::string_view message) override { service_protocol_host().log_ipc(message); }
};

void WINAPI service_main_with_throwing_host(DWORD, LPWSTR*) {
    static ThrowingHost host;
    static_cast<void>(run_service_inner(host));
}

// The service's own host, but every open of a START's files waits for a count of this semaphore.
constexpr wchar_t START_OPENS[] = L"Global\\zelto_test_start_opens";

void WINAPI service_main_with_gated_opens(DWORD, LPWSTR*) {
    static const KernelHandle opens(::CreateSemaphoreW(nullptr, 0, 100, START_OPENS));
    gate_start_opens_for_testing(opens.get());
    static_cast<void>(run_service_inner(service_protocol_host()));
}

// Run by the service control manager as the service (see the tests below), never on their own.
void run_as_the_service(LPSERVICE_MAIN_FUNCTIONW entry) {
    std::wstring name(SERVICE);
    const SERVICE_TABLE_ENTRYW table[] = {{name.data(), entry}, {nullptr, nullptr}};
    EXPECT_TRUE(::StartServiceCtrlDispatcherW(table));
}
TEST(ServiceFaultsAsTheService, DISABLED_Run) {
    run_as_the_service(service_main_with_throwing_host);
}
TEST(ServiceFaultsAsTheService, DISABLED_RunGated) {
    run_as_the_service(service_main_with_gated_opens);
}

// Installs and starts this test program as the service, running `test`.
void start_as_the_service(const std::wstring& test) {
    const std::wstring command = L"\"" + exe_dir() +
                                 L"\\zelto_windows_tests.exe\" --gtest_also_run_disabled_tests "
                                 L"--gtest_filter=ServiceFaultsAsTheService." +
                                 test;
    const ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    const ServiceHandle service(::CreateServiceW(manager.get(), SERVICE, SERVICE, SERVICE_START,
                                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                                 SERVICE_ERROR_NORMAL, command.c_str(), nullptr,
                                                 nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(service.valid()) << ::GetLastError();
    ASSERT_TRUE(::StartServiceW(service.get(), 0, nullptr)) << ::GetLastError();
}

TEST_F(ServiceFaults, PipeThreadThatFailsStopsTheServiceWithItsCode) {
    start_as_the_service(L"DISABLED_Run");
    wait_for_state(SERVICE_RUNNING);
    const LogTail log;
    expect_serving("before the failure");
    // The client is cut off without a response: sent, so the START may have run.
    const client::Reply cut_off = client::send_request(client::start_request(config_, core_));
    ASSERT_FALSE(cut_off.ok());
    EXPECT_EQ(cut_off.error().kind, client::ErrorKind::NO_REPLY) << cut_off.error().message;
    EXPECT_TRUE(cut_off.error().sent);
    wait_for_state(SERVICE_STOPPED);

    const auto status = service_status();
    ASSERT_TRUE(status);
    EXPECT_EQ(status->dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
    EXPECT_EQ(status->dwServiceSpecificExitCode, PIPE_THREAD_FAILED_EXIT_CODE);
    EXPECT_EQ(service_verb(L"status").out, "Stopped\n");
    const auto lines = log.new_lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "IPC server thread failed: planned failure in START"),
              1);

    // Zelto-ctl in the same place exits 3.
    run_process(L"sc start Zelto_service");
    wait_for_state(SERVICE_RUNNING);
    const ProcessResult ctl = run_process(L"\"" + exe_dir() + L"\\Zelto-ctl.exe\" start \"" +
                                          to_wide(config_) + L"\" \"" + to_wide(core_) + L"\"");
    EXPECT_EQ(ctl.exit_code, 3u);
    EXPECT_EQ(ctl.out, "");
    EXPECT_EQ(ctl.err,
              "Zelto-ctl: the service ended the connection without answering; the request may "
              "have run\n");
}

// A START whose files do not answer (an oplock never acknowledged, a server gone) holds up
// nobody: other clients are served, the START is refused after its limit, a core it launches
// later is ended, and the service stops within its bound.
TEST_F(ServiceFaults, StartWhoseFilesDoNotAnswerHoldsUpNobody) {
    const LeftoverCores cores;
    const KernelHandle opens(::CreateSemaphoreW(nullptr, 0, 100, START_OPENS));
    ASSERT_TRUE(opens.valid());
    start_as_the_service(L"DISABLED_RunGated");
    wait_for_state(SERVICE_RUNNING);
    const LogTail log;
    // The two checks pass; the launch waits.
    ASSERT_TRUE(::ReleaseSemaphore(opens.get(), 2, nullptr));
    std::string answer;
    Clock::duration took{};
    std::thread starter([&] {
        const auto sent = Clock::now();
        answer = ask(client::start_request(config_, core_), 20s);
        took = Clock::now() - sent;
    });
    ::Sleep(1000);
    const auto asked = Clock::now();
    EXPECT_EQ(ask("STATUS", 15s), "OK|Stopped");
    const auto status_took = Clock::now() - asked;
    std::printf("STATUS answered in %lld ms while a START waits\n", in_ms(status_took));
    EXPECT_LT(status_took, 2s);
    // A second START waits its turn briefly, then is refused with what the first waits on.
    const auto second_sent = Clock::now();
    EXPECT_EQ(ask(client::start_request(config_, core_), 15s),
              "ERR|Another START is still waiting for its core binary: " + core_);
    const auto second_took = Clock::now() - second_sent;
    EXPECT_TRUE(second_took > 900ms && second_took < 2500ms) << in_ms(second_took);
    starter.join();
    EXPECT_EQ(answer, "ERR|Core binary did not answer within 10 s: " + core_);
    EXPECT_TRUE(took > 9s && took < 12s) << in_ms(took);

    // Let go, the launch goes ahead and its core is ended at once.
    ASSERT_TRUE(::ReleaseSemaphore(opens.get(), 1, nullptr));
    EXPECT_TRUE(wait_until([&] {
        const auto lines = log.new_lines();
        return std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
            return line.ends_with(
                " was launched after its START was answered with an error: ended");
        });
    }));
    EXPECT_TRUE(wait_until([&] { return cores.started().empty(); }));
    EXPECT_EQ(ask("STATUS"), "OK|Stopped");

    // A START waiting on its first check does not hold up the stop.
    std::thread held([&] { ask(client::start_request(config_, core_), 20s); });
    ::Sleep(1000);
    const DWORD pid = service_pid();
    run_process(L"sc stop Zelto_service");
    const auto stopped_after = wait_for_state(SERVICE_STOPPED, 20s);
    std::printf("stopped after %lld ms with a START waiting\n", in_ms(stopped_after));
    EXPECT_LT(stopped_after, std::chrono::milliseconds(START_WORK_LIMIT_MS + 5000));
    EXPECT_TRUE(wait_until([&] { return !process_alive(pid); }, 5s)) << "the process lives on";
    held.join();
}

// ---- A stop while a START is under way ----------------------------------------------------------

TEST_F(ServiceFaults, StopDuringStartLeavesNoCore) {
    // A core that is slow to come up: silent for its first seconds.
    const std::string config =
        script(L"slow.yaml", {"sleep 3000", "out " + hex("ready\n"), "hang"});
    const std::string start_request = client::start_request(config, core_);
    int launched_after_stop_signal = 0;

    // The stop lands at different moments of the START, from before its read to after its answer.
    for (const int delay_ms : {0, 5, 10, 20, 30, 40, 60, 80, 120}) {
        SCOPED_TRACE("stop " + std::to_string(delay_ms) + " ms after the START was sent");
        const LeftoverCores cores;
        const LogTail log;
        install_and_wait_running();

        std::thread starter([&] { ask(start_request); });
        ::Sleep(static_cast<DWORD>(delay_ms));
        {
            const ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
            const ServiceHandle service(::OpenServiceW(manager.get(), SERVICE, SERVICE_STOP));
            SERVICE_STATUS status{};
            EXPECT_TRUE(::ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
        }
        starter.join();
        wait_for_state(SERVICE_STOPPED);

        EXPECT_TRUE(cores.started().empty()) << "a core is still running";

        const auto lines = log.new_lines();
        const auto signal = std::find(lines.begin(), lines.end(), "Received stop/shutdown signal");
        if (std::find_if(signal, lines.end(), [](const std::string& line) {
                return line.starts_with("[CORE] Core process spawned with PID: ");
            }) != lines.end()) {
            ++launched_after_stop_signal;
        }
    }
    std::printf("cores launched after the stop signal: %d of 9\n", launched_after_stop_signal);
}

}  // namespace
}  // namespace zelto
