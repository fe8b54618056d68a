// Zelto-ctl: drives the service from a console, one request per run.
// Exit code 0 for an "OK|..." response, 1 for "ERR|...", 2 when the service cannot be reached or
// the pipe is not served by the service, 64 for a command line it does not understand or a
// request too long to send.

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "common/win_text.h"
#include "common/console.h"
#include "zelto_client.h"

namespace {

constexpr std::string_view USAGE =
    "Usage:\n"
    "  Zelto-ctl.exe start <config file> <core executable>\n"
    "  Zelto-ctl.exe stop\n"
    "  Zelto-ctl.exe status\n"
    "  Zelto-ctl.exe version\n"
    "  Zelto-ctl.exe raw <request text>\n"
    "Prints the service's response. Exit code: 0 OK, 1 ERR, 2 service unreachable or the pipe\n"
    "not served by the Zelto_service service (nothing sent), 64 usage or a request longer than\n"
    "4096 bytes (nothing sent).\n";

constexpr int EXIT_UNREACHABLE = 2;
constexpr int EXIT_USAGE = 64;

// The service resolves relative paths against its own folder, not the caller's: send full paths.
std::string full_path(const std::wstring& path) {
    const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return zelto::to_utf8(path);
    }
    std::wstring full(needed, L'\0');
    const DWORD length = ::GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    full.resize(length < needed ? length : 0);
    return zelto::to_utf8(full.empty() ? path : full);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::vector<std::wstring> args(argv + 1, argv + argc);
    const std::wstring verb = args.empty() ? L"" : args[0];
    std::string request;
    if (verb.empty() || verb == L"--help" || verb == L"-h" || verb == L"/?") {
        zelto::write_stdout(USAGE);
        return 0;
    } else if (verb == L"start" && args.size() == 3) {
        request = zelto::client::start_request(full_path(args[1]), full_path(args[2]));
    } else if (verb == L"stop" && args.size() == 1) {
        request = "STOP";
    } else if (verb == L"status" && args.size() == 1) {
        request = "STATUS";
    } else if (verb == L"version" && args.size() == 1) {
        request = "VERSION";
    } else if (verb == L"raw" && args.size() == 2) {
        request = zelto::to_utf8(args[1]);
    } else {
        zelto::write_stderr(USAGE);
        return EXIT_USAGE;
    }

    const zelto::Result<std::string> response = zelto::client::send_request(request);
    if (!response) {
        zelto::write_stderr("Zelto-ctl: " + response.error() + "\n");
        return request.size() > zelto::MAX_REQUEST_BYTES ? EXIT_USAGE : EXIT_UNREACHABLE;
    }
    zelto::write_stdout(response.value() + "\n");
    return response.value().starts_with("OK|") ? 0 : 1;
}
