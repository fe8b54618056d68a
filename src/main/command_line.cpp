#include "main/command_line.h"

#include "common/identity.h"

namespace zelto {

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

std::vector<std::string> split_command_line(std::string_view line) {
    std::vector<std::string> arguments;
    std::size_t pos = 0;

    // The program name: quotes only group, backslashes are plain characters.
    std::string program;
    bool quoted = false;
    for (; pos < line.size(); ++pos) {
        const char c = line[pos];
        if (c == '"') {
            quoted = !quoted;
        } else if (is_blank(c) && !quoted) {
            break;
        } else {
            program.push_back(c);
        }
    }
    arguments.push_back(std::move(program));

    std::string current;
    // An argument exists once any of its characters, quotes included, has been seen: `""` is
    // one empty argument.
    bool started = false;
    quoted = false;
    while (pos < line.size()) {
        const char c = line[pos];
        if (is_blank(c) && !quoted) {
            if (started) {
                arguments.push_back(std::move(current));
                current.clear();
                started = false;
            }
            ++pos;
            continue;
        }
        started = true;
        if (c == '\\') {
            std::size_t run = 0;
            while (pos < line.size() && line[pos] == '\\') {
                ++run;
                ++pos;
            }
            if (pos < line.size() && line[pos] == '"') {
                current.append(run / 2, '\\');
                if (run % 2 == 1) {
                    current.push_back('"');
                    ++pos;
                }
                // With an even run the quote is left for the next pass, where it toggles.
            } else {
                current.append(run, '\\');
            }
            continue;
        }
        if (c == '"') {
            if (quoted && pos + 1 < line.size() && line[pos + 1] == '"') {
                current.push_back('"');
                pos += 2;
                continue;
            }
            quoted = !quoted;
            ++pos;
            continue;
        }
        current.push_back(c);
        ++pos;
    }
    if (started) {
        arguments.push_back(std::move(current));
    }
    return arguments;
}

Action choose_action(const std::vector<std::string>& arguments) {
    const std::string_view verb = arguments.size() > 1 ? std::string_view(arguments[1]) : "";
    if (verb == "install") {
        return Action::Install;
    }
    if (verb == "uninstall") {
        return Action::Uninstall;
    }
    if (verb == "status") {
        return Action::Status;
    }
    if (verb.empty() || verb == "run") {
        return Action::RunAsService;
    }
    return Action::Usage;
}

std::string usage_text() {
    const std::string exe = std::string(PROGRAM_NAME) + ".exe";
    std::string text;
    text += SERVICE_DISPLAY_NAME;
    text += "\n\nUsage:\n";
    text += "  " + exe + "              Run as Windows service\n";
    text += "  " + exe + " install      Install service\n";
    text += "  " + exe + " uninstall    Uninstall service\n";
    text += "  " + exe + " status       Query service status\n";
    return text;
}

}  // namespace zelto
