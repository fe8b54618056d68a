#include "ipc/protocol.h"

#include "log/log_line.h"

#include <gtest/gtest.h>

#include <tuple>
#include <utility>
#include <vector>

#include "ipc/base64.h"

namespace zelto {
namespace {

// Records what handle_request asks of the service.
class FakeHost : public ProtocolHost {
  public:
    ErrorText start_result;
    std::optional<std::uint32_t> pid;
    std::vector<std::pair<std::string, std::string>> starts;
    int stops = 0;
    std::vector<std::string> log_lines;

    ErrorText start_core(const std::string& config_path, const std::string& core_path) override {
        starts.emplace_back(config_path, core_path);
        return start_result;
    }
    void stop_core() override { ++stops; }
    std::optional<std::uint32_t> running_core_pid() override { return pid; }
    void log_ipc(std::string_view message) override { log_lines.emplace_back(message); }
};

using Start = std::optional<std::pair<std::string, std::string>>;
constexpr std::nullopt_t SAME = std::nullopt;

struct Case {
    std::string request;
    std::optional<std::string> logged_request;  // after decoding and trimming; SAME: unchanged
    std::string response;
    Start started = std::nullopt;  // the one start_core call expected
    int stops = 0;
    std::optional<std::uint32_t> pid = std::nullopt;
    ErrorText start_result = std::nullopt;
};

const std::string CONFIG = "C:\\Users\\Ann\\cfg\\config.yaml";
const std::string CORE = "C:\\Program Files\\Zelto\\\xE6\xA0\xB8\xE5\xBF\x83.exe";  // non-ASCII
const std::string C64 = encode_base64(CONFIG);
const std::string K64 = encode_base64(CORE);

TEST(HandleRequest, AnswersEveryRequestExactlyAndLogsBothSides) {
    using namespace std::string_literals;
    const std::string bad_core = "ERR|Invalid core path: Invalid base64: ";
    const std::string bad_config = "ERR|Invalid config path: Invalid base64: ";
    const Case cases[] = {
        {"STATUS", SAME, "OK|Stopped"},
        {"STATUS\r\n", "STATUS", "OK|Running|4242", {}, 0, 4242},
        {"  STATUS", "STATUS", "OK|Running|4294967295", {}, 0, 4294967295u},
        {"\xE3\x80\x80STATUS\xC2\x85\xE2\x80\xA9", "STATUS", "OK|Stopped"},
        {"status", SAME, "ERR|Unknown command: status"},
        {"START |x|y", SAME, "ERR|Unknown command: START "},
        {" \t\r\n\v\f\xC2\xA0", "", "ERR|Unknown command: "},
        {"STATUS\0"s, SAME, "ERR|Unknown command: STATUS\0"s},
        {"\xFFSTOP", "\xEF\xBF\xBDSTOP", "ERR|Unknown command: \xEF\xBF\xBDSTOP"},
        {"STOP|anything", SAME, "OK|Stopped", {}, 1},
        {"STOP\n", "STOP", "OK|Stopped", {}, 1, 7},
        {"VERSION", SAME, "OK|0.1.0"},
        {"VERSION|a|b", SAME, "OK|0.1.0"},
        {"START", SAME, "ERR|Invalid START command"},
        {"START|Yw==", SAME, "ERR|Invalid START command"},
        {"START||",
         SAME,
         "ERR|Config file not found: ",
         Start{{"", ""}},
         0,
         {},
         "Config file not found: "},
        {"START|" + C64 + "|" + K64 + "|extra\n", "START|" + C64 + "|" + K64 + "|extra",
         "OK|Started", Start{{CONFIG, CORE}}},
        {"START|" + C64 + "|" + K64,
         SAME,
         "ERR|Failed to spawn core process: boom",
         Start{{CONFIG, CORE}},
         0,
         {},
         "Failed to spawn core process: boom"},
        {"START|QQ|" + K64, SAME, bad_config + "Invalid padding"},
        {"START|QUI=|" + K64, SAME, "OK|Started", Start{{"AB", CORE}}},
        {"START|QR==|" + K64, SAME, bad_config + "Invalid last symbol 82, offset 1."},
        {"START|QUJD!|" + K64, SAME, bad_config + "Invalid symbol 33, offset 4."},
        {"START|QUJDR|" + K64, SAME, bad_config + "Invalid input length: 5"},
        {"START|Q Q==|" + K64, SAME, bad_config + "Invalid symbol 32, offset 1."},
        {"START|QQ=A|" + K64, SAME, bad_config + "Invalid symbol 61, offset 2."},
        {"START|Q===|" + K64, SAME, bad_config + "Invalid symbol 61, offset 1."},
        {"START|QQ==QQ==|" + K64, SAME, bad_config + "Invalid symbol 61, offset 2."},
        {"START|/w==|" + K64, SAME,
         "ERR|Invalid config path: Invalid UTF-8: invalid utf-8 sequence of 1 bytes from index 0"},
        {"START|8J+Y|" + K64, SAME,
         "ERR|Invalid config path: Invalid UTF-8: incomplete utf-8 byte sequence from index 0"},
        {"START|" + C64 + "|QQ", SAME, bad_core + "Invalid padding"},
        {"START|" + C64 + "|-_8=", SAME, bad_core + "Invalid symbol 45, offset 0."},
        {"START|QQ|/w==", SAME, bad_config + "Invalid padding"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        FakeHost host;
        host.pid = c.pid;
        host.start_result = c.start_result;
        int asked = 0;
        const std::string response = handle_request(c.request, host, [&] {
            ++asked;
            return Requester{std::string("HOST\\ann"), 4711u};
        });
        EXPECT_EQ(response, c.response);
        std::vector<std::pair<std::string, std::string>> expected_starts;
        if (c.started) {
            expected_starts.push_back(*c.started);
        }
        EXPECT_EQ(host.starts, expected_starts);
        EXPECT_EQ(host.stops, c.stops);
        const std::string logged = c.logged_request.value_or(c.request);
        // Each side one line, whatever the client sent.
        std::vector<std::string> expected_log = {"Received request: " + escape_log_text(logged)};
        // Who asked, for the requests that start or end a program, and for no other.
        const std::string_view command = std::string_view(logged).substr(0, logged.find('|'));
        if (command == "START" || command == "STOP") {
            expected_log.emplace_back("Request from HOST\\ann (process 4711)");
        }
        expected_log.push_back("Sending response: " + escape_log_text(c.response));
        EXPECT_EQ(host.log_lines, expected_log);
        EXPECT_EQ(asked, expected_log.size() - 2);
    }
}

TEST(RequesterMessage, SaysWhatCouldNotBeReadAndEscapesTheAccount) {
    using Account = Result<std::string>;
    using Pid = Result<std::uint32_t>;
    const std::tuple<Account, Pid, std::string> cases[] = {
        {std::string("D\\u\r\n[IPC] x"), 7u, "D\\u\\r\\n[IPC] x (process 7)"},
        {Account::failure("Access is denied. (os error 5)\n"), 7u,
         "account unknown: Access is denied. (os error 5)\\n (process 7)"},
        {std::string("D\\u"), Pid::failure("The pipe has been ended. (os error 109)"),
         "D\\u (process unknown: The pipe has been ended. (os error 109))"},
    };
    for (const auto& [account, pid, text] : cases) {
        EXPECT_EQ(requester_message({account, pid}), "Request from " + text);
    }
}

}  // namespace
}  // namespace zelto
