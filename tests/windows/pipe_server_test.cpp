// The pipe server on a thread of the test process, with real clients over the real pipe.

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <atomic>
#include <cstdio>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "common/win_text.h"
#include "ipc/pipe_name.h"
#include "ipc/pipe_server.h"
#include "ipc/protocol.h"
#include "log/log.h"
#include "windows/test_support.h"
#include "zelto_client.h"

namespace zelto {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class FakeHost final : public ProtocolHost {
  public:
    ErrorText start_core(const std::string& config, const std::string& core) override {
        const std::lock_guard lock(mutex_);
        started_with_ = {config, core};
        return "no core";
    }
    std::vector<std::string> started_with() {
        const std::lock_guard lock(mutex_);
        return started_with_;
    }
    void stop_core() override {}
    std::optional<std::uint32_t> running_core_pid() override { return std::nullopt; }
    void log_ipc(std::string_view message) override { zelto::queue_log_ipc(message); }

  private:
    std::mutex mutex_;
    std::vector<std::string> started_with_;
};

// The server runs in this process, so the client expects this process at the server end.
client::Reply ask(std::string_view request, std::chrono::milliseconds timeout = 5s) {
    return client::Client(::GetCurrentProcessId()).send(request, timeout);
}

class PipeServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server_ = std::make_shared<IpcServer>();
        thread_ = std::thread([this, server = server_] {
            run_pipe_server(server, host_);
            finished_ = true;
        });
        // Served once a client gets an answer.
        const test::LogTail log;
        ASSERT_TRUE(test::wait_until([] { return ask("VERSION", 1s).ok(); }));
        wait_for_disconnect(log);
    }

    // The client has its response before the server logs the disconnect: wait for that line so
    // the next test's log starts clean.
    static void wait_for_disconnect(const test::LogTail& log) {
        EXPECT_TRUE(test::wait_until([&] {
            const auto lines = log.new_lines();
            return !lines.empty() && lines.back() == "[IPC] Client disconnected";
        }));
    }

    void TearDown() override {
        if (thread_.joinable()) {
            stop_and_measure();
        }
    }

    // Stops the server and returns how long the pipe thread took to end.
    Clock::duration stop_and_measure() {
        const auto started = Clock::now();
        server_->stop();
        const bool ended = test::wait_until([this] { return finished_.load(); }, 5s);
        const auto took = Clock::now() - started;
        if (ended) {
            thread_.join();
        } else {
            thread_.detach();  // a wedged thread must not take the test run down with it
        }
        EXPECT_TRUE(ended) << "the pipe thread did not end after stop()";
        return took;
    }

    // Silent clients on both instances: the pipe is busy.
    static std::vector<KernelHandle> busy_pipe() {
        std::vector<KernelHandle> clients;
        clients.push_back(silent_client());
        clients.push_back(silent_client());
        return clients;
    }

    // A client that connects and then does nothing; the server holds it from "Client connected".
    static KernelHandle silent_client() {
        KernelHandle pipe;
        test::wait_until([&] {
            pipe.reset(::CreateFileW(PIPE_NAME.data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, 0, nullptr));
            return pipe.valid();
        });
        return pipe;
    }

    FakeHost host_;
    std::shared_ptr<IpcServer> server_;
    std::thread thread_;
    std::atomic<bool> finished_{false};
};

std::vector<std::string> lines_containing(const std::vector<std::string>& lines,
                                          std::string_view needle) {
    std::vector<std::string> found;
    for (const auto& line : lines) {
        if (line.find(needle) != std::string::npos) {
            found.push_back(line);
        }
    }
    return found;
}

TEST_F(PipeServerTest, VersionGivesExactBytesAndFourLinesInOrder) {
    const test::LogTail log;
    const auto response = ask("VERSION");
    ASSERT_TRUE(response.ok()) << test::answer_text(response);
    EXPECT_EQ(response.value(), "OK|0.1.0");
    // The request's lines were queued without waiting, but are written before its answer.
    std::vector<std::string> lines{"[IPC] Client connected", "[IPC] Received request: VERSION",
                                   "[IPC] Sending response: OK|0.1.0"};
    const std::vector<std::string> answered = log.new_lines();
    ASSERT_GE(answered.size(), lines.size());
    EXPECT_EQ(std::vector(answered.begin(), answered.begin() + 3), lines);
    wait_for_disconnect(log);
    lines.push_back("[IPC] Client disconnected");
    EXPECT_EQ(log.new_lines(), lines);
}

TEST_F(PipeServerTest, ConnectAndCloseIsLoggedAsEmptyRead) {
    const test::LogTail log;
    silent_client().reset();
    wait_for_disconnect(log);
    const auto lines = log.new_lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "[IPC] Client connected");
    EXPECT_EQ(lines[1], "[IPC] ReadFile failed or empty, success=0, bytes_read=0, error=109");
    EXPECT_EQ(lines[2], "[IPC] Client disconnected");
}

// What the client sends, and so what the server logs: a request of up to 4096 bytes whole, an
// empty or longer one nothing at all (the server would answer none, or cut it), and nothing to a
// server other than the expected one. Each failure has its kind. A VERSION after each shows that
// the server went on.
TEST_F(PipeServerTest, ClientSendsOnlyWhatTheExpectedServerReadsWhole) {
    using client::ErrorKind;
    const DWORD self = ::GetCurrentProcessId();
    const std::string longest(4096, 'X');
    struct Case {
        const char* name;
        std::string request;
        DWORD server;
        ErrorKind kind;
        std::string message;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"4096 bytes",
         longest,
         self,
         ErrorKind::SERVICE_ERROR,
         "Unknown command: " + longest,
         {"[IPC] Client connected", "[IPC] Received request: " + longest,
          "[IPC] Sending response: ERR|Unknown command: " + longest, "[IPC] Client disconnected"}},
        {"4097 bytes",
         longest + "X",
         self,
         ErrorKind::TOO_LONG,
         "the request is 4097 bytes long; the service reads at most 4096, so it was not sent",
         {}},
        {"empty",
         "",
         self,
         ErrorKind::EMPTY,
         "the request is empty; the service answers none, so it was not sent",
         {}},
        {"another server expected",
         "VERSION",
         self + 4,
         ErrorKind::IMPOSTOR,
         "\\\\.\\pipe\\Zelto_service is served by process " + std::to_string(self) +
             ", not by process " + std::to_string(self + 4),
         {"[IPC] Client connected",
          "[IPC] ReadFile failed or empty, success=0, bytes_read=0, error=109",
          "[IPC] Client disconnected"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const test::LogTail log;
        const client::Reply response = client::Client(c.server).send(c.request, 5s);
        ASSERT_FALSE(response.ok());
        EXPECT_EQ(response.error().kind, c.kind);
        EXPECT_EQ(response.error().message, c.message);
        EXPECT_EQ(response.error().sent, c.kind == ErrorKind::SERVICE_ERROR);
        // The VERSION would go to the other instance meanwhile.
        EXPECT_TRUE(test::wait_until([&] { return log.new_lines() == c.lines; }));
        ASSERT_EQ(ask("VERSION").value(), "OK|0.1.0");
        wait_for_disconnect(log);
        std::vector<std::string> wanted = c.lines;
        wanted.insert(wanted.end(),
                      {"[IPC] Client connected", "[IPC] Received request: VERSION",
                       "[IPC] Sending response: OK|0.1.0", "[IPC] Client disconnected"});
        EXPECT_EQ(log.new_lines(), wanted);
    }
}

// The instances' descriptor lives as long as the service: a user granted WRITE_DAC could set
// an empty DACL and lock every later client out. Users get data only, and a client asking
// GENERIC_READ | GENERIC_WRITE is still served.
TEST_F(PipeServerTest, UsersMaySendRequestsButNotRewriteThePipe) {
    KernelHandle pipe = silent_client();
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(::GetSecurityInfo(pipe.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, nullptr, nullptr, &descriptor),
              ERROR_SUCCESS);
    const LocalMemory owner(descriptor);
    pipe.reset();
    const auto aces = test::allowed_aces(descriptor);
    ASSERT_FALSE(aces.empty());
    constexpr ACCESS_MASK FORBIDDEN =
        WRITE_DAC | WRITE_OWNER | FILE_CREATE_PIPE_INSTANCE | GENERIC_ALL | GENERIC_WRITE;
    // Everyone, Authenticated Users, Users, Interactive, Anonymous.
    for (const char* user : {"S-1-1-0", "S-1-5-11", "S-1-5-32-545", "S-1-5-4", "S-1-5-7"}) {
        for (const auto& [sid, mask] : aces) {
            EXPECT_TRUE(sid != user || (mask & FORBIDDEN) == 0) << sid << std::hex << " " << mask;
        }
    }
    EXPECT_EQ(test::answer_text(ask("VERSION")), "OK|0.1.0");
}

TEST_F(PipeServerTest, ClientsInARowAreAllServed) {
    for (int i = 0; i < 50; ++i) {
        const auto response = ask(i % 2 ? "STATUS" : "VERSION");
        ASSERT_TRUE(response.ok()) << "request " << i << ": " << test::answer_text(response);
        EXPECT_EQ(response.value(), i % 2 ? "OK|Stopped" : "OK|0.1.0");
    }
}

TEST_F(PipeServerTest, SilentClientIsCutOffAndTheNextIsServed) {
    const test::LogTail log;
    const KernelHandle silent = silent_client();
    const auto started = Clock::now();
    const auto response = ask("VERSION", 10s);
    const auto waited = Clock::now() - started;
    ASSERT_TRUE(response.ok()) << test::answer_text(response);
    EXPECT_EQ(response.value(), "OK|0.1.0");
    EXPECT_LT(waited, 1s) << "the other instance should serve it at once";
    EXPECT_TRUE(test::wait_until([&] {
        return lines_containing(log.new_lines(), "Client sent no request within 2000 ms").size() ==
               1u;
    }));
}

TEST_F(PipeServerTest, ClientThatNeverReadsIsCutOffAndTheNextIsServed) {
    const test::LogTail log;
    const KernelHandle lazy = silent_client();
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(lazy.get(), "VERSION", 7, &written, nullptr));
    const auto response = ask("STATUS", 10s);
    ASSERT_TRUE(response.ok()) << test::answer_text(response);
    EXPECT_EQ(response.value(), "OK|Stopped");
    EXPECT_TRUE(test::wait_until([&] {
        return lines_containing(log.new_lines(), "Client did not take its response").size() == 1u;
    }));
}

// A call waiting for the pipe that silent clients hold ends within 50 ms of its stop, having sent
// nothing.
TEST_F(PipeServerTest, CancelledCallReturnsWithin50Ms) {
    const std::vector<KernelHandle> silent = busy_pipe();
    const client::Cancel cancel;
    Clock::time_point requested;
    std::thread canceller([&] {
        ::Sleep(300);
        requested = Clock::now();
        cancel.cancel();
    });
    const auto reply = client::Client(::GetCurrentProcessId()).send("VERSION", 10s, &cancel);
    const auto returned = Clock::now();
    canceller.join();
    ASSERT_FALSE(reply.ok());
    EXPECT_EQ(reply.error().kind, client::ErrorKind::CANCELLED);
    EXPECT_FALSE(reply.error().sent);
    EXPECT_LT(returned - requested, 50ms);
}

// A timeout says what used it up: BUSY only when other clients held the pipe, TIMED_OUT when the
// limit ended first (here while the service control manager was asked, 8 ms or more under Wine).
// Neither sends anything.
TEST_F(PipeServerTest, TimeoutIsBusyOnlyWhileAnotherClientHoldsThePipe) {
    const DWORD self = ::GetCurrentProcessId();
    struct Case {
        const char* name;
        bool holder;
        std::optional<DWORD> hosted_by;
        std::chrono::milliseconds timeout;
        client::ErrorKind kind;
    };
    const Case cases[] = {
        {"1 ms, the manager asked first", false, std::nullopt, 1ms, client::ErrorKind::TIMED_OUT},
        {"1 ms, silent clients holding the pipe", true, self, 1ms, client::ErrorKind::BUSY},
        {"300 ms, silent clients holding the pipe", true, self, 300ms, client::ErrorKind::BUSY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<KernelHandle> holders =
            c.holder ? busy_pipe() : std::vector<KernelHandle>();
        const auto started = Clock::now();
        const client::Reply reply = c.hosted_by
                                        ? client::Client(*c.hosted_by).send("VERSION", c.timeout)
                                        : client::Client().send("VERSION", c.timeout);
        const auto took = Clock::now() - started;
        ASSERT_FALSE(reply.ok());
        EXPECT_EQ(client::error_kind_name(reply.error().kind), client::error_kind_name(c.kind))
            << reply.error().message;
        EXPECT_FALSE(reply.error().sent);
        EXPECT_LT(took, c.timeout + 100ms);
    }
}

// The server would resolve a relative path against its own folder: the library's START request
// carries it absolute, against the caller's.
TEST_F(PipeServerTest, RelativePathsReachTheServerAbsolute) {
    wchar_t folder[MAX_PATH];
    ASSERT_NE(::GetCurrentDirectoryW(MAX_PATH, folder), 0u);
    std::string base = to_utf8(folder);
    base += base.ends_with('\\') ? "" : "\\";
    EXPECT_EQ(test::answer_text(ask(client::start_request("config.yaml", "bin\\core.exe"))),
              "ERR|no core");
    EXPECT_EQ(host_.started_with(),
              (std::vector<std::string>{base + "config.yaml", base + "bin\\core.exe"}));
}

// The helpers read only the exact answers: anything else is not taken for a status or a version.
TEST(ClientParse, StatusAndVersionAnswers) {
    using client::parse_status;
    EXPECT_EQ(parse_status("OK|Running|4242")->running_pid, 4242u);
    EXPECT_EQ(parse_status("OK|Running|4294967295")->running_pid, 4294967295u);
    EXPECT_EQ(parse_status("OK|Stopped")->running_pid, std::nullopt);
    for (const char* other :
         {"OK|Running|", "OK|Running|-1", "OK|Running|+7", "OK|Running|12x",
          "OK|Running|4294967296", "OK|Running| 7", "OK|Started", "ERR|x", "OK|Stopped\n"}) {
        EXPECT_EQ(parse_status(other), std::nullopt) << other;
    }
    EXPECT_EQ(client::parse_version("OK|0.1.0"), "0.1.0");
    EXPECT_EQ(client::parse_version("OK|12"), "12");
    for (const char* other :
         {"OK|", "OK|Stopped", "OK|.1", "OK|1.", "OK|1..2", "ERR|0.1.0", "OK|0.1.0 "}) {
        EXPECT_EQ(client::parse_version(other), std::nullopt) << other;
    }
    for (const auto& [version, compatible] : {std::pair{"0.1.0", true},
                                              {"0.1", true},
                                              {"0.1.7", true},
                                              {"0.10.0", false},
                                              {"0.2.0", false},
                                              {"1.1.0", false},
                                              {"0.1.", false}}) {
        EXPECT_EQ(client::protocol_compatible(version), compatible) << version;
    }
    EXPECT_EQ(to_wide(client::LOG_PATH), LOG_FILE_PATH);
    for (const auto& [request, timeout] : {std::pair{"START|a|b", client::CORE_CHANGE_TIMEOUT},
                                           {" STOP\n", client::CORE_CHANGE_TIMEOUT},
                                           {"STATUS", client::DEFAULT_TIMEOUT},
                                           {"stop", client::DEFAULT_TIMEOUT}}) {
        EXPECT_EQ(client::default_timeout(request), timeout) << request;
    }
}

// Each refusal the service makes has its stable kind; a launch failure carries its error number.
TEST(ClientParse, RefusalKinds) {
    using client::RefusalKind;
    const std::tuple<std::string_view, RefusalKind, std::uint32_t> cases[] = {
        {"ERR|Config file not found: C:\\x.yaml", RefusalKind::CONFIG_NOT_FOUND, 0},
        {"ERR|Core binary not found: C:\\m.exe", RefusalKind::CORE_NOT_FOUND, 0},
        {"ERR|Core binary not allowed by policy: C:\\m.exe", RefusalKind::CORE_NOT_ALLOWED, 0},
        {"ERR|Config not allowed by policy: \\\\h\\s\\c.yaml", RefusalKind::CONFIG_NOT_ALLOWED, 0},
        {"ERR|Failed to spawn core process: Bad EXE format for C:\\(os error 5)\\m.exe. (os error "
         "193)",
         RefusalKind::LAUNCH_FAILED, 193},
        {"ERR|Failed to spawn core process: program path has no file name",
         RefusalKind::LAUNCH_FAILED, 0},
        {"ERR|Failed to spawn core process: x (os error 4294967296)", RefusalKind::LAUNCH_FAILED,
         0},
        {"ERR|Invalid START command", RefusalKind::NOT_UNDERSTOOD, 0},
        {"ERR|Invalid config path: Invalid base64: Invalid padding", RefusalKind::NOT_UNDERSTOOD,
         0},
        {"ERR|Invalid core path: Invalid UTF-8: x", RefusalKind::NOT_UNDERSTOOD, 0},
        {"ERR|Unknown command: status", RefusalKind::NOT_UNDERSTOOD, 0},
        {"ERR|Lock error: poisoned lock: another task failed inside", RefusalKind::OTHER, 0},
        {"ERR|config file not found: C:\\x.yaml", RefusalKind::OTHER, 0},
        {"OK|Started", RefusalKind::NONE, 0},
        {"Config file not found: C:\\x.yaml", RefusalKind::NONE, 0},
        {"", RefusalKind::NONE, 0},
    };
    for (const auto& [answer, kind, win32_error] : cases) {
        const client::Refusal refusal = client::refusal_of(answer);
        EXPECT_EQ(client::refusal_kind_name(refusal.kind), client::refusal_kind_name(kind))
            << answer;
        EXPECT_EQ(refusal.win32_error, win32_error) << answer;
    }
    // A SERVICE_ERROR's message is the text after "ERR|"; no other error is a refusal.
    using client::ErrorKind;
    EXPECT_EQ(
        client::refusal_of(client::Error{ErrorKind::SERVICE_ERROR, "Unknown command: x"}).kind,
        RefusalKind::NOT_UNDERSTOOD);
    EXPECT_EQ(client::refusal_of(client::Error{ErrorKind::NO_REPLY, "Unknown command: x"}).kind,
              RefusalKind::NONE);
}

// Where the client cannot hold the service's process, the pipe's owner must also be one that only
// an administrator can give: LocalSystem or Administrators. A pipe with another owner gets no
// byte; an accepted one gets the request (and, with nobody serving it, gives no answer).
TEST(ClientOwnerCheck, OnlyAPipeOwnedByTheSystemOrAdministratorsIsSentTo) {
    // Without an owner in the descriptor, a pipe gets its creator's default owner (Wine's is
    // S-1-5-21-0-0-0-513, which is refused).
    HANDLE raw_token = nullptr;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw_token));
    const KernelHandle token(raw_token);
    alignas(TOKEN_OWNER) char buffer[256];
    DWORD size = 0;
    ASSERT_TRUE(::GetTokenInformation(token.get(), TokenOwner, buffer, sizeof buffer, &size));
    const PSID default_owner = reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner;
    const bool default_accepted = ::IsWellKnownSid(default_owner, WinLocalSystemSid) ||
                                  ::IsWellKnownSid(default_owner, WinBuiltinAdministratorsSid);
    const std::pair<const wchar_t*, bool> cases[] = {{L"O:SY", true},
                                                     {L"O:BA", true},
                                                     {L"O:BU", false},
                                                     {L"O:WD", false},
                                                     {L"", default_accepted}};
    for (const auto& [owner, accepted] : cases) {
        SCOPED_TRACE(to_utf8(owner));
        PSECURITY_DESCRIPTOR raw = nullptr;
        ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            (owner + std::wstring(PIPE_SDDL)).c_str(), SDDL_REVISION_1, &raw, nullptr));
        const LocalMemory descriptor(raw);
        SECURITY_ATTRIBUTES attributes{sizeof attributes, raw, FALSE};
        const KernelHandle pipe(::CreateNamedPipeW(PIPE_NAME.data(), PIPE_ACCESS_DUPLEX,
                                                   PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0,
                                                   &attributes));
        ASSERT_TRUE(pipe.valid()) << ::GetLastError();
        const client::Reply reply =
            client::Client(::GetCurrentProcessId(), true).send("VERSION", 300ms);
        ASSERT_FALSE(reply.ok());
        EXPECT_EQ(reply.error().kind,
                  accepted ? client::ErrorKind::NO_REPLY : client::ErrorKind::IMPOSTOR)
            << reply.error().message;
        EXPECT_EQ(reply.error().sent, accepted);
        char got[16];
        DWORD bytes = 0;
        static_cast<void>(::ReadFile(pipe.get(), got, sizeof got, &bytes, nullptr));
        EXPECT_EQ(std::string(got, bytes), accepted ? "VERSION" : "");
    }
}

TEST_F(PipeServerTest, NoLoopLineAfterTheFirstUntilIteration100) {
    const test::LogTail log;
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(ask("VERSION").ok());
    }
    EXPECT_TRUE(lines_containing(log.new_lines(), "IPC loop iteration").empty());
    EXPECT_TRUE(lines_containing(log.new_lines(), "Pipe created successfully").empty());
}

// Whatever the pipe thread is blocked in, stop() ends it promptly.
enum class Holding { Nothing, SilentClient, UnreadResponse };

class PipeServerStopTest : public PipeServerTest, public ::testing::WithParamInterface<Holding> {};

TEST_P(PipeServerStopTest, StopEndsThePipeThreadWithinASecond) {
    const test::LogTail log;
    KernelHandle client;
    if (GetParam() != Holding::Nothing) {
        client = silent_client();
        if (GetParam() == Holding::UnreadResponse) {
            DWORD written = 0;
            ASSERT_TRUE(::WriteFile(client.get(), "VERSION", 7, &written, nullptr));
        }
        ASSERT_TRUE(test::wait_until(
            [&] { return !lines_containing(log.new_lines(), "Client connected").empty(); }));
    }
    const auto took = stop_and_measure();
    std::printf("pipe thread ended %lld ms after stop()\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    // One second is the goal; the bound leaves room for a loaded machine.
    EXPECT_LT(took, 3s);
    const auto lines = log.new_lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "[IPC] IPC server stopped");
    EXPECT_EQ(lines.back(), "IPC server thread exiting");
}

INSTANTIATE_TEST_SUITE_P(Holding, PipeServerStopTest,
                         ::testing::Values(Holding::Nothing, Holding::SilentClient,
                                           Holding::UnreadResponse),
                         [](const auto& info) {
                             switch (info.param) {
                                 case Holding::Nothing:
                                     return "WaitingForAClient";
                                 case Holding::SilentClient:
                                     return "SilentClient";
                                 case Holding::UnreadResponse:
                                     return "UnreadResponse";
                             }
                             return "Unknown";
                         });

}  // namespace
}  // namespace zelto
