// Zelto-ctl: drives the service from a console, one request per run. Its exit codes are in USAGE.

#include <windows.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/console.h"
#include "common/win_text.h"
#include "zelto_client.h"

namespace {

// The exit-code table is also the README's, line for line.
constexpr std::string_view USAGE =
    "Usage:\n"
    "  Zelto-ctl.exe [--timeout MS] start <config file> <core executable>\n"
    "  Zelto-ctl.exe [--timeout MS] stop\n"
    "  Zelto-ctl.exe [--timeout MS] status\n"
    "  Zelto-ctl.exe [--timeout MS] version\n"
    "  Zelto-ctl.exe [--timeout MS] raw <request text>\n"
    "Commands may be given in any letter case. raw sends its text as the request, unchanged.\n"
    "Waits at most MS milliseconds for the answer; by default 15000 for start and stop (the\n"
    "service may wait 5 s for the old core's processes to end, and then for its log), 5000\n"
    "for anything else.\n"
    "Prints the service's answer (OK|... or ERR|...) on stdout, anything else on stderr.\n"
    "Exit codes:\n"
    "  0   an OK| answer\n"
    "  1   an ERR| answer\n"
    "  2   nothing was sent: the service is not installed, not running or busy, another\n"
    "      process serves its pipe, or the time limit passed first\n"
    "  3   sent, but no complete answer came back: the request may have run\n"
    "  64  usage: an unknown command or option, a missing or extra argument, an empty\n"
    "      request or one longer than 4096 bytes (nothing sent)\n";

constexpr int EXIT_NOT_SENT = 2;
constexpr int EXIT_NO_ANSWER = 3;
constexpr int EXIT_USAGE = 64;

int usage_error(const std::string& what) {
    zelto::write_stderr("Zelto-ctl: " + what + "\n" + std::string(USAGE));
    return EXIT_USAGE;
}

// ASCII letters in lower case: the verbs are ASCII.
std::wstring lower_case(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](wchar_t c) { return c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c; });
    return text;
}

// Milliseconds from 1 to 4294967294 (the largest finite wait), digits only.
std::optional<std::chrono::milliseconds> parse_timeout(const std::string& text) {
    unsigned long ms = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), ms);
    if (text.empty() || text.front() < '0' || text.front() > '9' || error != std::errc() ||
        end != text.data() + text.size() || ms == 0 || ms >= 0xFFFFFFFFUL) {
        return std::nullopt;
    }
    return std::chrono::milliseconds(ms);
}

struct Verb {
    std::wstring_view name;
    std::string_view request;  // the request of a verb without arguments
    std::vector<std::string_view> arguments;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    using zelto::to_utf8;
    using zelto::client::ErrorKind;
    std::vector<std::wstring> args(argv + 1, argv + argc);
    if (!args.empty() && (args[0] == L"--help" || args[0] == L"-h" || args[0] == L"/?")) {
        zelto::write_stdout(USAGE);
        return 0;
    }
    std::optional<std::chrono::milliseconds> timeout;
    if (!args.empty() && args[0] == L"--timeout") {
        if (args.size() < 2) {
            return usage_error("--timeout: missing MS");
        }
        timeout = parse_timeout(to_utf8(args[1]));
        if (!timeout) {
            return usage_error("--timeout: not a number of milliseconds from 1 to 4294967294: " +
                               to_utf8(args[1]));
        }
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) {
        return usage_error("no command given");
    }
    const Verb verbs[] = {
        {L"start", "", {"<config file>", "<core executable>"}},
        {L"stop", "STOP", {}},
        {L"status", "STATUS", {}},
        {L"version", "VERSION", {}},
        {L"raw", "", {"<request text>"}},
    };
    const Verb* verb = nullptr;
    const std::wstring name = lower_case(args[0]);
    for (const Verb& candidate : verbs) {
        if (name == candidate.name) {
            verb = &candidate;
        }
    }
    if (verb == nullptr) {
        return usage_error("unknown command: " + to_utf8(args[0]));
    }
    const std::size_t given = args.size() - 1;
    if (given < verb->arguments.size()) {
        return usage_error(to_utf8(verb->name) + ": missing " +
                           std::string(verb->arguments[given]));
    }
    if (given > verb->arguments.size()) {
        return usage_error(to_utf8(verb->name) +
                           ": extra argument: " + to_utf8(args[verb->arguments.size() + 1]));
    }
    std::string request(verb->request);
    if (verb->name == L"start") {
        request = zelto::client::start_request(to_utf8(args[1]), to_utf8(args[2]));
    } else if (verb->name == L"raw") {
        request = to_utf8(args[1]);
    }

    const zelto::client::Reply reply = zelto::client::send_request(
        request, timeout.value_or(zelto::client::default_timeout(request)));
    if (reply) {
        zelto::write_stdout(reply.value() + "\n");
        return 0;
    }
    const zelto::client::Error& error = reply.error();
    if (error.kind == ErrorKind::SERVICE_ERROR) {
        zelto::write_stdout("ERR|" + error.message + "\n");
        return 1;
    }
    zelto::write_stderr("Zelto-ctl: " + error.message + "\n");
    if (error.kind == ErrorKind::EMPTY || error.kind == ErrorKind::TOO_LONG) {
        return EXIT_USAGE;
    }
    return error.sent ? EXIT_NO_ANSWER : EXIT_NOT_SENT;
}
