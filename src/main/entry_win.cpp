#include "main/entry.h"

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "common/win_text.h"
#include "core/core_policy_win.h"
#include "install/install.h"
#include "install/service_state.h"
#include "log/log.h"
#include "main/command_line.h"
#include "common/console.h"
#include "common/identity.h"
#include "service/service_main.h"

namespace zelto {

namespace {

constexpr std::string_view PROTECTED_FOLDER_ADVICE =
    "install the service from a folder only administrators can change, such as "
    "C:\\Program Files\\Zelto";

// The service runs its file as LocalSystem: whoever can replace that file, or a folder on its
// path, can run their own program so. install refuses such a place before it registers or starts
// anything.
ErrorText check_install_location() {
    const Result<std::wstring> exe = current_exe_path();
    if (!exe) {
        return "Failed to get current exe path: " + exe.error();
    }
    const std::optional<Unprotected> unprotected = find_unprotected(exe.value());
    if (!unprotected) {
        return std::nullopt;
    }
    if (!unprotected->judged) {
        return "Cannot tell who can change " + unprotected->path + " (" + unprotected->why +
               "): " + std::string(PROTECTED_FOLDER_ADVICE);
    }
    return "Other users can change " + unprotected->path + ": " +
           std::string(PROTECTED_FOLDER_ADVICE);
}

}  // namespace

int run_entry(std::wstring_view command_line) {
    // The splitting rules' characters are all ASCII, so splitting UTF-8 splits the same way. An
    // unpaired surrogate becomes U+FFFD and so can never match a verb.
    const std::vector<std::string> arguments = split_command_line(to_utf8(command_line));
    ErrorText error;
    switch (choose_action(arguments)) {
        case Action::Install:
            error = check_install_location();
            if (!error) {
                error = install_service();
            }
            break;
        case Action::Uninstall:
            error = uninstall_service();
            break;
        case Action::Status:
            error = query_service_status();
            break;
        case Action::RunAsService:
            error = run_as_service();
            break;
        case Action::Usage:
            write_stdout(usage_text());
            break;
    }
    if (error) {
        write_stderr("Error: " + *error + "\n");
        return 1;
    }
    return 0;
}

ErrorText run_as_service() {
    log_message("Service starting, SERVICE_NAME=" + std::string(SERVICE_NAME));
    std::wstring name = to_wide(SERVICE_NAME);
    const SERVICE_TABLE_ENTRYW table[] = {
        {name.data(), service_main},
        {nullptr, nullptr},
    };
    if (!::StartServiceCtrlDispatcherW(table)) {
        std::string error =
            "Failed to start service dispatcher: " + std::string(WINAPI_CALL_FAILED);
        log_message(error);
        return error;
    }
    return std::nullopt;
}

}  // namespace zelto
