#pragma once
// The control protocol: one request's bytes in, the exact response text out.

#include <cstdint>
#include <functional>
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

// Who sent a request, as the pipe tells it: the client's account ("DOMAIN\user") and its
// process id, or why either cannot be read.
struct Requester {
    Result<std::string> account;
    Result<std::uint32_t> process_id;
};
using ReadRequester = std::function<Requester()>;

// The response to one request. A START or a STOP has a program run or ended as LocalSystem, so
// right after the request's own line the log says who asked, from `read_requester`, which is
// called for those alone: polling with STATUS neither pays for it nor grows the log.
std::string handle_request(std::string_view request_bytes, ProtocolHost& host,
                           const ReadRequester& read_requester);

// "Request from {account} (process {pid})", either part "... unknown: {why}" when it could not be
// read; the account and the reasons escaped as text from outside.
std::string requester_message(const Requester& requester);

// A START path field: the decoded UTF-8 text, or "Invalid base64: {error}" / "Invalid UTF-8:
// {error}". An empty field is the empty text.
Result<std::string> decode_argument(std::string_view field);

}  // namespace zelto
