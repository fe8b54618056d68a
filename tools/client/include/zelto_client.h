#pragma once
// Client side of the Zelto service's control channel, the pattern every client follows: refuse a
// request the service would not read whole, ask the service control manager which process runs
// the service (so a stopped or missing service is told apart at once), open the pipe (waiting
// while it is busy), check that this process serves it, write one request, read until the service
// disconnects. One request per connection.
//
// C++17 and the standard library only. Strings are UTF-8.
//
// Threads: every call blocks until it ends, at the latest when its timeout has passed (the
// service control manager's queries included) or within 50 ms of its Cancel being cancelled.
// Calls are safe from any thread, one call at a time per Client object, but block: keep them off
// a UI thread.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace zelto::client {

// This library's version, and the protocol version it speaks (what VERSION answers).
inline constexpr std::string_view LIBRARY_VERSION = "0.1.0";
inline constexpr std::string_view PROTOCOL_VERSION = "0.1.0";
// Whether a service answering VERSION with `version` speaks this library's protocol: the same
// major and minor number (a patch release changes no request and no answer).
bool protocol_compatible(std::string_view version);

// The service's log, for a GUI's "show log" button. Any user may read it.
inline constexpr std::string_view LOG_PATH = "C:\\Users\\Public\\velmora-service.log";

// The most the service reads of one request; a longer one is refused unsent.
inline constexpr std::size_t MAX_REQUEST_BYTES = 4096;

// How long a call waits by default: a START or STOP may wait up to 5 s for the old core's
// processes to end, after the core itself, and for its log lines; anything else answers at once.
inline constexpr std::chrono::milliseconds DEFAULT_TIMEOUT{5000};
inline constexpr std::chrono::milliseconds CORE_CHANGE_TIMEOUT{15000};
// CORE_CHANGE_TIMEOUT for a START or STOP request, DEFAULT_TIMEOUT for any other.
std::chrono::milliseconds default_timeout(std::string_view request);

// The values are those of the C interface's ZELTO_* constants.
enum class ErrorKind {
    // Nothing was sent:
    NOT_INSTALLED = 1,  // the service control manager does not know the service
    NOT_RUNNING = 2,    // the service is stopped, stopping, or its process has ended
    BUSY = 3,           // the pipe was taken by other clients until the timeout passed
    TIMED_OUT = 4,      // the timeout passed before the request reached a free pipe
    IMPOSTOR = 5,       // the pipe is served by another process than the service's; refused
    TOO_LONG = 6,       // longer than MAX_REQUEST_BYTES: the service would act on its beginning
    EMPTY = 7,          // the service answers no empty request
    FAILED = 8,         // a system call failed before the request was sent
    // Sent, so the request may have run (a START may have stopped the core and started another):
    NO_REPLY = 9,        // the connection ended, or the timeout passed, without a complete answer
    SERVICE_ERROR = 10,  // an "ERR|" answer; the message is the text after "ERR|"
    // Either: see Error::sent.
    CANCELLED = 11,  // the call's Cancel was cancelled
};

// "NOT_INSTALLED", "BUSY", ...: the enumerator's name; "UNKNOWN" for any other value.
std::string_view error_kind_name(ErrorKind kind);

struct Error {
    ErrorKind kind = ErrorKind::FAILED;
    std::string message;
    // Whether any of the request may have reached the service: never retry such a request blindly.
    bool sent = false;
};

// What an "ERR|..." answer of the service refused, for a GUI to switch on instead of matching
// its English text. The values are those of the C interface's ZELTO_REFUSAL_* constants and
// never change.
enum class RefusalKind {
    NONE = 0,                // not an "ERR|" answer
    CONFIG_NOT_FOUND = 1,    // "Config file not found: <path>"
    CORE_NOT_FOUND = 2,      // "Core binary not found: <path>"
    CORE_NOT_ALLOWED = 3,    // "Core binary not allowed by policy: <path>"
    CONFIG_NOT_ALLOWED = 4,  // "Config not allowed by policy: <path>"
    LAUNCH_FAILED = 5,       // "Failed to spawn core process: <cause>"
    NOT_UNDERSTOOD = 6,      // a malformed request: its form, base64, UTF-8 or an unknown command
    OTHER = 7,               // any other "ERR|" answer
};

struct Refusal {
    RefusalKind kind = RefusalKind::NONE;
    // The Win32 error number of a launch failure whose text carries one ("... (os error 193)");
    // 0 otherwise.
    std::uint32_t win32_error = 0;
};

// The refusal in an answer as the service sent it ("ERR|..."), or in a SERVICE_ERROR (whose
// message is the text after "ERR|"); NONE for anything else.
Refusal refusal_of(std::string_view answer);
Refusal refusal_of(const Error& error);

// "CONFIG_NOT_FOUND", ...: the enumerator's name; "UNKNOWN" for any other value.
std::string_view refusal_kind_name(RefusalKind kind);

// An "OK|..." answer, whole, or why there is none.
class [[nodiscard]] Reply {
  public:
    // No request made: FAILED, not sent.
    Reply();
    Reply(std::string answer) : state_(std::move(answer)) {}  // NOLINT: implicit on purpose
    Reply(Error error) : state_(std::move(error)) {}          // NOLINT: implicit on purpose

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }
    // The answer; only when ok(), otherwise it throws std::bad_variant_access.
    const std::string& value() const { return std::get<0>(state_); }
    // Why there is no answer; only when !ok(), otherwise it throws std::bad_variant_access.
    const Error& error() const { return std::get<1>(state_); }
    // The same without a throw: nothing when the other one holds.
    const std::string* answer_if() const noexcept { return std::get_if<0>(&state_); }
    const Error* error_if() const noexcept { return std::get_if<1>(&state_); }

  private:
    std::variant<std::string, Error> state_;
};

// Ends the calls it is given, from any thread: cancel() makes each return CANCELLED within 50 ms
// (sent or not, as far as it got). It stays cancelled; copies share one state. Keep it alive
// until the calls given it have returned.
class Cancel {
  public:
    Cancel();
    void cancel() const noexcept;
    bool cancelled() const noexcept;

  private:
    friend class Call;
    struct State;
    std::shared_ptr<State> state_;
};

class Call;  // one call's deadline and cancel, inside the library

// Sends requests to the service. Between requests it keeps its service control manager handle
// and a SYNCHRONIZE handle on the service's process, whose id no other process can take while the
// handle is held: a later request checks the pipe's server in microseconds and asks the manager
// again only once that process has ended. A failed manager call is made once more through a
// newly opened manager, so one failure never breaks a Client for good. Movable; a moved-from
// Client may only be assigned to or destroyed.
class Client {
  public:
    Client();
    // For tests that run the pipe server themselves: `server` stands in for the manager's answer,
    // and `check_owner` applies the check made when the service's process cannot be held.
    explicit Client(std::uint32_t server, bool check_owner = false);
    // For tests of a manager that fails: the kept manager handle is swapped for one every manager
    // call refuses, and the service's process let go. False when there was none to swap.
    bool break_manager_for_testing();
    ~Client();  // NOLINT(performance-trivially-destructible): State is defined inside
    Client(Client&&) noexcept;
    Client& operator=(Client&&) noexcept;

    // Waits default_timeout(request).
    Reply send(std::string_view request);
    Reply send(std::string_view request, std::chrono::milliseconds timeout,
               const Cancel* cancel = nullptr);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// One request from a Client of its own.
Reply send_request(std::string_view request);
Reply send_request(std::string_view request, std::chrono::milliseconds timeout,
                   const Cancel* cancel = nullptr);

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
