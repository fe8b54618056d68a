// Zelto-ctl: drives the service from a console, one request per run. Its exit codes are in USAGE.

#include <windows.h>

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
    "  Zelto-ctl.exe start <config file> <core executable>\n"
    "  Zelto-ctl.exe stop\n"
    "  Zelto-ctl.exe status\n"
    "  Zelto-ctl.exe version\n"
    "  Zelto-ctl.exe raw <request text>\n"
    "Prints the service's answer (OK|... or ERR|...) on stdout, anything else on stderr.\n"
    "Exit codes:\n"
    "  0   an OK| answer\n"
    "  1   an ERR| answer\n"
    "  2   nothing was sent: the service is not installed, not running or busy, or\n"
    "      another process serves its pipe\n"
    "  3   sent, but no complete answer came back: the request may have run\n"
    "  64  usage: an unknown command, a missing or extra argument, an empty request\n"
    "      or one longer than 4096 bytes (nothing sent)\n";

constexpr int EXIT_NOT_SENT = 2;
constexpr int EXIT_NO_ANSWER = 3;
constexpr int EXIT_USAGE = 64;

int usage_error(const std::string& what) {
    zelto::write_stderr("Zelto-ctl: " + what + "\n" + std::string(USAGE));
    return EXIT_USAGE;
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
    const std::vector<std::wstring> args(argv + 1, argv + argc);
    if (args.empty()) {
        return usage_error("no command given");
    }
    if (args[0] == L"--help" || args[0] == L"-h" || args[0] == L"/?") {
        zelto::write_stdout(USAGE);
        return 0;
    }
    const Verb verbs[] = {
        {L"start", "", {"<config file>", "<core executable>"}},
        {L"stop", "STOP", {}},
        {L"status", "STATUS", {}},
        {L"version", "VERSION", {}},
        {L"raw", "", {"<request text>"}},
    };
    const Verb* verb = nullptr;
    for (const Verb& candidate : verbs) {
        if (args[0] == candidate.name) {
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

    const zelto::client::Reply reply = zelto::client::send_request(request);
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
