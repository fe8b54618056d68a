#include "ipc/protocol.h"

#include <vector>

#include "ipc/base64.h"
#include "common/utf8.h"
#include "log/log_line.h"

namespace zelto {

namespace {

// Every "|" separates and empty fields count: "" is one empty field, "STOP||" is three fields.
std::vector<std::string_view> split_fields(std::string_view text) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (std::size_t bar = text.find('|'); bar != std::string_view::npos;
         bar = text.find('|', start)) {
        fields.push_back(text.substr(start, bar - start));
        start = bar + 1;
    }
    fields.push_back(text.substr(start));
    return fields;
}

std::string start(const std::vector<std::string_view>& fields, ProtocolHost& host) {
    if (fields.size() < 3) {
        return "ERR|Invalid START command";
    }
    // The config path is reported first; the core path is not looked at when it is bad.
    Result<std::string> config_path = decode_argument(fields[1]);
    if (!config_path) {
        return "ERR|Invalid config path: " + config_path.error();
    }
    Result<std::string> core_path = decode_argument(fields[2]);
    if (!core_path) {
        return "ERR|Invalid core path: " + core_path.error();
    }
    if (ErrorText error = host.start_core(config_path.value(), core_path.value())) {
        return "ERR|" + *error;
    }
    return "OK|Started";
}

std::string respond(std::string_view request_text, ProtocolHost& host) {
    const std::vector<std::string_view> fields = split_fields(request_text);
    const std::string_view command = fields[0];
    if (command == "START") {
        return start(fields, host);
    }
    if (command == "STOP") {
        host.stop_core();
        return "OK|Stopped";
    }
    if (command == "STATUS") {
        if (const std::optional<std::uint32_t> pid = host.running_core_pid()) {
            return "OK|Running|" + std::to_string(*pid);
        }
        return "OK|Stopped";
    }
    if (command == "VERSION") {
        return "OK|" + std::string(PROTOCOL_VERSION);
    }
    return "ERR|Unknown command: " + std::string(command);
}

}  // namespace

std::string handle_request(std::string_view request_bytes, ProtocolHost& host,
                           const ReadRequester& read_requester) {
    const std::string decoded = decode_utf8_lossy(request_bytes);
    const std::string_view request_text = trim_white_space(decoded);
    host.log_ipc("Received request: " + escape_log_text(request_text));
    const std::string_view command = request_text.substr(0, request_text.find('|'));
    if (command == "START" || command == "STOP") {
        host.log_ipc(requester_message(read_requester()));
    }
    std::string response = respond(request_text, host);
    host.log_ipc("Sending response: " + escape_log_text(response));
    return response;
}

std::string requester_message(const Requester& requester) {
    const std::string account =
        requester.account ? escape_log_text(requester.account.value())
                          : "account unknown: " + escape_log_text(requester.account.error());
    const std::string process = requester.process_id
                                    ? std::to_string(requester.process_id.value())
                                    : "unknown: " + escape_log_text(requester.process_id.error());
    return "Request from " + account + " (process " + process + ")";
}

Result<std::string> decode_argument(std::string_view field) {
    Result<std::string> bytes = decode_base64(field);
    if (!bytes) {
        return Result<std::string>::failure("Invalid base64: " + bytes.error());
    }
    if (ErrorText error = validate_utf8(bytes.value())) {
        return Result<std::string>::failure("Invalid UTF-8: " + *error);
    }
    return bytes;
}

}  // namespace zelto
