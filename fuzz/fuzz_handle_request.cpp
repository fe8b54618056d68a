// Every request gets a response that starts with "OK|" or "ERR|" and is well-formed UTF-8, and
// two log lines, one line each whatever the request held: the request, then that response, with
// a START's or a STOP's requester between them.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "ipc/protocol.h"
#include "log/log_line.h"
#include "utf8_reference.h"

namespace {

class FakeHost : public zelto::ProtocolHost {
  public:
    explicit FakeHost(bool core_fails) : core_fails_(core_fails) {}

    zelto::ErrorText start_core(const std::string& config_path, const std::string&) override {
        if (core_fails_) {
            return "Config file not found: " + config_path;
        }
        return std::nullopt;
    }
    void stop_core() override {}
    std::optional<std::uint32_t> running_core_pid() override {
        return core_fails_ ? std::nullopt : std::optional<std::uint32_t>(4242);
    }
    void log_ipc(std::string_view message) override { lines.emplace_back(message); }

    std::vector<std::string> lines;

  private:
    bool core_fails_;
};

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// No line break or other control character but TAB.
bool one_line(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t') {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view request(reinterpret_cast<const char*>(data), size);
    // The last bit of the first byte picks how the fake supervisor behaves.
    FakeHost host(size > 0 && (data[0] & 1) != 0);
    // An account name with a line break: the audit line must stay one line.
    const std::string response = zelto::handle_request(request, host, [] {
        return zelto::Requester{std::string("D\\u\r\nx"),
                                zelto::Result<std::uint32_t>::failure("gone\n")};
    });
    // A START or a STOP adds who asked, right after the request.
    if (host.lines.size() == 3 && starts_with(host.lines[1], "Request from ") &&
        one_line(host.lines[1])) {
        host.lines.erase(host.lines.begin() + 1);
    }
    if (!starts_with(response, "OK|") && !starts_with(response, "ERR|")) {
        std::abort();
    }
    if (!zelto::fuzz::is_well_formed_utf8(response)) {
        std::abort();
    }
    if (host.lines.size() != 2 || !starts_with(host.lines[0], "Received request: ") ||
        !zelto::fuzz::is_well_formed_utf8(host.lines[0]) || !one_line(host.lines[0]) ||
        !one_line(host.lines[1]) ||
        host.lines[1] != "Sending response: " + zelto::escape_log_text(response)) {
        std::abort();
    }
    return 0;
}
