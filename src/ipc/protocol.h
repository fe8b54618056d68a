#pragma once
// The control protocol: one request's bytes in, the exact response text out.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"

namespace zelto {

inline constexpr std::string_view PROTOCOL_VERSION = "0.1.0";

// What handle_request needs from the rest of the service. The Windows build wires it to the
// core supervisor and the log file; tests use a fake.
class ProtocolHost {
  public:
    virtual ~ProtocolHost() = default;
    // Success, or the supervisor's failure message (relayed as "ERR|{message}").
    virtual ErrorText start_core(const std::string& config_path, const std::string& core_path) = 0;
    virtual void stop_core() = 0;
    // The id of the held core while it is alive; empty when none is held, it has ended, or the
    // slot is poisoned.
    virtual std::optional<std::uint32_t> running_core_pid() = 0;
    virtual void log_ipc(std::string_view message) = 0;
};

std::string handle_request(std::string_view request_bytes, ProtocolHost& host);

// A START path field: the decoded UTF-8 text, or "Invalid base64: {error}" / "Invalid UTF-8:
// {error}". An empty field is the empty text.
Result<std::string> decode_argument(std::string_view field);

}  // namespace zelto
