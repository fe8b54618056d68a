#include "main/entry.h"

#include <windows.h>

#include <string>

#include "common/win_text.h"
#include "install/install.h"
#include "install/service_state.h"
#include "log/log.h"
#include "main/command_line.h"
#include "common/console.h"
#include "common/identity.h"
#include "service/service_main.h"

namespace zelto {

int run_entry(std::wstring_view command_line) {
    // The splitting rules' characters are all ASCII, so splitting UTF-8 splits the same way. An
    // unpaired surrogate becomes U+FFFD and so can never match a verb.
    const std::vector<std::string> arguments = split_command_line(to_utf8(command_line));
    ErrorText error;
    switch (choose_action(arguments)) {
        case Action::Install:
            error = install_service();
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
