#pragma once
// Client side of the service's control channel, the pattern every client follows: refuse a
// request the service would not read whole, ask the service control manager which process runs
// the service (so a stopped or missing service is told apart at once), open the pipe (waiting
// while it is busy), check that this process serves it, write one request, read until the service
// disconnects. One request per connection.
//
// Threads: every call blocks until it ends, at the latest when its timeout has passed (the
// service control manager's queries included) or within 50 ms of its stop being requested. Calls
// are safe from any thread, one call at a time per Client object, but block: keep them off a UI
// thread.

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "common/unique_handle.h"

namespace zelto::client {

enum class ErrorKind {
    // Nothing was sent:
    NOT_INSTALLED,  // the service control manager does not know the service
    NOT_RUNNING,    // the service is stopped, stopping, or its process has ended
    BUSY,           // the pipe (or the service control manager) was not free within the timeout
    IMPOSTOR,       // the pipe is served by another process than the service's; refused
    TOO_LONG,       // longer than MAX_REQUEST_BYTES: the service would act on its beginning alone
    EMPTY,          // the service answers no empty request
    FAILED,         // a system call failed before the request was sent
    // Sent, so the request may have run (a START may have stopped the core and started another):
    NO_REPLY,       // the connection ended, or the timeout passed, without a complete answer
    SERVICE_ERROR,  // an "ERR|" answer; the message is the text after "ERR|"
    // Either: see Error::sent.
    CANCELLED,  // the caller's stop was requested
};

struct Error {
    ErrorKind kind = ErrorKind::FAILED;
    std::string message;
    // Whether any of the request may have reached the service: never retry such a request blindly.
    bool sent = false;
};

// An "OK|..." answer, whole, or why there is none.
class [[nodiscard]] Reply {
  public:
    Reply(std::string answer) : state_(std::move(answer)) {}  // NOLINT: implicit on purpose
    Reply(Error error) : state_(std::move(error)) {}          // NOLINT: implicit on purpose

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }
    const std::string& value() const { return std::get<0>(state_); }
    const Error& error() const { return std::get<1>(state_); }

  private:
    std::variant<std::string, Error> state_;
};

class Call;  // one call's deadline and stop, inside zelto_client.cpp

// Sends requests to the service. Between requests it keeps its service control manager handle
// and a SYNCHRONIZE handle on the service's process, whose id no other process can take while the
// handle is held: a later request checks the pipe's server in microseconds and asks the manager
// again only once that process has ended.
class Client {
  public:
    Client() = default;
    // For a caller that runs the pipe server itself: `server` stands in for the manager's answer.
    explicit Client(DWORD server) : hosted_by_(server) {}

    Reply send(std::string_view request,
               std::chrono::milliseconds timeout = std::chrono::seconds(5),
               std::stop_token stop = {});

  private:
    std::optional<Error> find_service(Call& call);

    std::optional<DWORD> hosted_by_;
    ServiceHandle manager_;
    KernelHandle process_;
    DWORD pid_ = 0;
    KernelHandle event_;  // for the overlapped calls, kept between requests
};

// One request from a Client of its own.
Reply send_request(std::string_view request,
                   std::chrono::milliseconds timeout = std::chrono::seconds(5),
                   std::stop_token stop = {});

// "START|{base64 config path}|{base64 core path}" from two UTF-8 paths. A relative path is made
// absolute against this process's working folder: the service would resolve it against its own.
std::string start_request(std::string_view config_path, std::string_view core_path);

// The answers to STATUS: "OK|Running|<pid>" gives the core's process id, "OK|Stopped" nothing,
// after a STOP or when the core exited on its own alike.
struct CoreStatus {
    std::optional<std::uint32_t> running_pid;
};
// Nothing when `answer` is neither form.
std::optional<CoreStatus> parse_status(std::string_view answer);

// "OK|<version>" (digits and dots, such as "OK|0.1.0") gives the version; nothing otherwise.
std::optional<std::string> parse_version(std::string_view answer);

}  // namespace zelto::client
