#include "zelto_client.h"

#include <windows.h>

#include <algorithm>
#include <charconv>
#include <memory>

#include "common/identity.h"
#include "common/win_text.h"
#include "ipc/base64.h"
#include "ipc/pipe_name.h"

namespace zelto::client {

using Clock = std::chrono::steady_clock;

// One call's deadline and the caller's stop, as something to wait on with the call's own objects.
class Call {
  public:
    enum class End { SIGNALLED, TIMED_OUT, STOPPED };

    Call(std::chrono::milliseconds timeout, std::stop_token stop)
        : timeout_(timeout), deadline_(Clock::now() + timeout) {
        if (stop.stop_possible()) {
            stop_event_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
            if (stop_event_) {
                on_stop_.emplace(std::move(stop), SignalEvent{stop_event_.get()});
            }
            stoppable_ = stop_event_.valid();
        }
    }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    // False when the caller's stop could not be wired up: such a call is not made.
    bool stoppable() const { return stoppable_; }
    bool stopped() const {
        return stop_event_ && ::WaitForSingleObject(stop_event_.get(), 0) == WAIT_OBJECT_0;
    }
    DWORD ms_left() const {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - Clock::now());
        return left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
    }
    std::string timeout_text() const { return std::to_string(timeout_.count()) + " ms"; }

    // Waits for `object` (only for the time when it is null), at most `most_ms`, until the
    // deadline or the stop.
    End wait(HANDLE object, DWORD most_ms = INFINITE) const {
        HANDLE handles[2];
        DWORD count = 0;
        if (object != nullptr) {
            handles[count++] = object;
        }
        if (stop_event_) {
            handles[count++] = stop_event_.get();
        }
        const DWORD ms = std::min(ms_left(), most_ms);
        if (count == 0) {
            ::Sleep(ms);
            return End::TIMED_OUT;
        }
        const DWORD got = ::WaitForMultipleObjects(count, handles, FALSE, ms);
        if (object != nullptr && got == WAIT_OBJECT_0) {
            return End::SIGNALLED;
        }
        return got == WAIT_OBJECT_0 + count - 1 && stop_event_ ? End::STOPPED : End::TIMED_OUT;
    }

  private:
    struct SignalEvent {
        HANDLE event;
        void operator()() const noexcept { ::SetEvent(event); }
    };

    std::chrono::milliseconds timeout_;
    Clock::time_point deadline_;
    bool stoppable_ = true;
    KernelHandle stop_event_;
    // Declared last: unregistered before the event it sets is closed.
    std::optional<std::stop_callback<SignalEvent>> on_stop_;
};

namespace {

constexpr int YIELDS_BEFORE_SLEEPING = 200;
// WaitNamedPipeW cannot be interrupted: wait in slices short enough to notice a stop in time.
constexpr DWORD BUSY_WAIT_SLICE_MS = 20;

Error not_sent(ErrorKind kind, std::string message) {
    return Error{kind, std::move(message), false};
}

Error sent(ErrorKind kind, std::string message) {
    return Error{kind, std::move(message), true};
}

std::string service_name() {
    return std::string(SERVICE_NAME);
}

// What the service control manager said, and the manager handle to ask it again.
struct ServiceLookup {
    ServiceHandle manager;
    KernelHandle process;
    DWORD pid = 0;
    std::optional<Error> error;
};

// The service's process id, and a SYNCHRONIZE handle on that process. Status queries only: the
// service's descriptor grants them to every authenticated user. The service handle is closed
// again at once, since an open one keeps a deleted service from being installed anew.
void look_up_service(ServiceLookup& found) {
    if (!found.manager) {
        found.manager.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    }
    const ServiceHandle service(found.manager ? ::OpenServiceW(found.manager.get(),
                                                               to_wide(service_name()).c_str(),
                                                               SERVICE_QUERY_STATUS)
                                              : nullptr);
    auto query = [&](SERVICE_STATUS_PROCESS& status) {
        DWORD needed = 0;
        return ::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                      reinterpret_cast<BYTE*>(&status), sizeof status, &needed);
    };
    SERVICE_STATUS_PROCESS status{};
    if (!service || !query(status)) {
        const DWORD error = ::GetLastError();
        found.error = error == ERROR_SERVICE_DOES_NOT_EXIST
                          ? not_sent(ErrorKind::NOT_INSTALLED,
                                     "the " + service_name() + " service is not installed")
                          : not_sent(ErrorKind::FAILED,
                                     "the service control manager cannot be asked about the " +
                                         service_name() + " service: " + system_error_text(error));
        return;
    }
    const std::string not_running = "the " + service_name() + " service is not running";
    if (status.dwProcessId == 0 || status.dwCurrentState == SERVICE_STOPPED ||
        status.dwCurrentState == SERVICE_STOP_PENDING) {
        found.error = not_sent(ErrorKind::NOT_RUNNING, not_running);
        return;
    }
    found.pid = status.dwProcessId;
    const Error ended =
        not_sent(ErrorKind::NOT_RUNNING,
                 not_running + " (its process " + std::to_string(found.pid) + " has ended)");
    found.process.reset(::OpenProcess(SYNCHRONIZE, FALSE, found.pid));
    if (!found.process) {
        // Access denied (a LocalSystem process's default descriptor may refuse it): the id is
        // then looked up for every request. Any other failure: no such process any more.
        if (::GetLastError() != ERROR_ACCESS_DENIED) {
            found.error = ended;
        }
        return;
    }
    // The id is now this process's for as long as the handle is held; asked again, the manager
    // confirms it is still the service's and not a newcomer's that reused it.
    SERVICE_STATUS_PROCESS again{};
    if (::WaitForSingleObject(found.process.get(), 0) != WAIT_TIMEOUT || !query(again) ||
        again.dwProcessId != found.pid) {
        found.process.reset();
        found.error = ended;
    }
}

struct PendingLookup {
    ServiceLookup lookup;
    KernelHandle done;
};

void CALLBACK run_lookup(PTP_CALLBACK_INSTANCE, void* context) {
    const std::unique_ptr<std::shared_ptr<PendingLookup>> pending(
        static_cast<std::shared_ptr<PendingLookup>*>(context));
    look_up_service((*pending)->lookup);
    ::SetEvent((*pending)->done.get());
}

// The manager's calls take no timeout: they run on a pool thread while the caller waits as long
// as its call allows. A lookup that outlasts the call finishes unobserved and frees what it found.
std::optional<Error> look_up_service_within(Call& call, ServiceLookup& lookup) {
    auto pending = std::make_shared<PendingLookup>();
    pending->lookup.manager = std::move(lookup.manager);
    pending->done.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!pending->done) {
        return not_sent(ErrorKind::FAILED,
                        "cannot create an event: " + system_error_text(::GetLastError()));
    }
    auto context = std::make_unique<std::shared_ptr<PendingLookup>>(pending);
    if (!::TrySubmitThreadpoolCallback(run_lookup, context.get(), nullptr)) {
        return not_sent(ErrorKind::FAILED, "cannot ask the service control manager: " +
                                               system_error_text(::GetLastError()));
    }
    static_cast<void>(context.release());  // run_lookup owns it now
    switch (call.wait(pending->done.get())) {
        case Call::End::SIGNALLED:
            lookup = std::move(pending->lookup);
            return std::nullopt;
        case Call::End::STOPPED:
            return not_sent(ErrorKind::CANCELLED,
                            "cancelled while the service control manager was asked");
        case Call::End::TIMED_OUT:
            break;
    }
    return not_sent(ErrorKind::BUSY,
                    "the service control manager did not answer within " + call.timeout_text());
}

// The pipe opened, or why not; nothing is sent either way. `service_process`, when known, ends
// the wait for a pipe that a service which has ended will never create.
std::variant<KernelHandle, Error> open_pipe(const Call& call, HANDLE service_process) {
    for (int attempt = 0;; ++attempt) {
        // The server may learn who the client is, never act as the client.
        KernelHandle pipe(::CreateFileW(
            PIPE_NAME.data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
            FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
        if (pipe) {
            return pipe;
        }
        const DWORD error = ::GetLastError();
        if (error != ERROR_PIPE_BUSY && error != ERROR_FILE_NOT_FOUND) {
            return not_sent(ErrorKind::FAILED,
                            "cannot open the service's pipe: " + system_error_text(error));
        }
        if (service_process != nullptr &&
            ::WaitForSingleObject(service_process, 0) == WAIT_OBJECT_0) {
            return not_sent(ErrorKind::NOT_RUNNING,
                            "the " + service_name() + " service's process has ended");
        }
        const DWORD left = call.ms_left();
        if (left == 0) {
            return not_sent(
                ErrorKind::BUSY,
                error == ERROR_PIPE_BUSY
                    ? "the service's pipe was busy for " + call.timeout_text()
                    : "the service's pipe did not appear within " + call.timeout_text());
        }
        if (error == ERROR_PIPE_BUSY) {
            // Another client is being served, or the service is between two clients; wait for
            // the instance to come free.
            ::WaitNamedPipeW(PIPE_NAME.data(), std::min(left, BUSY_WAIT_SLICE_MS));
            if (call.stopped()) {
                return not_sent(ErrorKind::CANCELLED, "cancelled before the request was sent");
            }
        } else if (call.wait(nullptr, attempt < YIELDS_BEFORE_SLEEPING ? 0 : 1) ==
                   Call::End::STOPPED) {
            // No instance: the service is starting or re-creating a failed instance, which ends
            // within a fraction of a millisecond: yield for a while before sleeping.
            return not_sent(ErrorKind::CANCELLED, "cancelled before the request was sent");
        }
    }
}

// Completion of one overlapped read or write: bytes moved, or the error that ended it.
struct IoEnd {
    DWORD error = ERROR_SUCCESS;
    DWORD bytes = 0;
    Call::End end = Call::End::SIGNALLED;
};

// Finishes an overlapped call, or cancels it at the deadline or the stop.
IoEnd finish_io(HANDLE pipe, OVERLAPPED& io, BOOL started, const Call& call) {
    if (!started && ::GetLastError() != ERROR_IO_PENDING) {
        return {::GetLastError(), 0};
    }
    IoEnd end;
    // A call that completed at once has nothing to wait for (and waiting costs a round trip to
    // the kernel, or to the wineserver).
    if (!started) {
        end.end = call.wait(io.hEvent);
        if (end.end != Call::End::SIGNALLED) {
            ::CancelIoEx(pipe, &io);
        }
    }
    if (!::GetOverlappedResult(pipe, &io, &end.bytes, TRUE)) {
        end.error = ::GetLastError();
    }
    return end;
}

// Writes the request and reads the answer, with `event` for the overlapped calls.
Reply exchange(HANDLE pipe, HANDLE event, std::string_view request, const Call& call) {
    if (call.stopped()) {
        return not_sent(ErrorKind::CANCELLED, "cancelled before the request was sent");
    }
    const Error cancelled = sent(ErrorKind::CANCELLED, "cancelled after the request was sent");
    const Error late =
        sent(ErrorKind::NO_REPLY,
             "no complete answer within " + call.timeout_text() + "; the request may have run");
    OVERLAPPED io{};
    io.hEvent = event;
    const BOOL wrote =
        ::WriteFile(pipe, request.data(), static_cast<DWORD>(request.size()), nullptr, &io);
    const IoEnd write = finish_io(pipe, io, wrote, call);
    if (write.end != Call::End::SIGNALLED) {
        return write.end == Call::End::STOPPED ? cancelled : late;
    }
    if (write.error != ERROR_SUCCESS) {
        return not_sent(ErrorKind::FAILED,
                        "cannot send the request: " + system_error_text(write.error));
    }

    // The response has no terminator: it ends where the service disconnects.
    std::string response;
    char buffer[4096];
    for (;;) {
        io = OVERLAPPED{};
        io.hEvent = event;
        const BOOL read = ::ReadFile(pipe, buffer, sizeof buffer, nullptr, &io);
        const IoEnd end = finish_io(pipe, io, read, call);
        if (end.end != Call::End::SIGNALLED) {
            return end.end == Call::End::STOPPED ? cancelled : late;
        }
        if (end.error == ERROR_BROKEN_PIPE || end.error == ERROR_PIPE_NOT_CONNECTED) {
            break;
        }
        if (end.error != ERROR_SUCCESS && end.error != ERROR_MORE_DATA) {
            return sent(ErrorKind::NO_REPLY,
                        "cannot read the answer: " + system_error_text(end.error) +
                            "; the request may have run");
        }
        response.append(buffer, end.bytes);
    }
    if (response.starts_with("OK|")) {
        return response;
    }
    if (response.starts_with("ERR|")) {
        return sent(ErrorKind::SERVICE_ERROR, response.substr(4));
    }
    if (response.empty()) {
        return sent(ErrorKind::NO_REPLY,
                    "the service ended the connection without answering; the request may have "
                    "run");
    }
    return sent(ErrorKind::NO_REPLY, "the answer is neither OK nor ERR: " + response);
}

std::string absolute_path(std::string_view path) {
    const std::wstring wide = to_wide(path);
    const DWORD needed = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return std::string(path);
    }
    std::wstring full(needed, L'\0');
    const DWORD length = ::GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) {
        return std::string(path);
    }
    full.resize(length);
    return to_utf8(full);
}

}  // namespace

std::optional<Error> Client::find_service(Call& call) {
    // While the handle is held no other process can have its id, so a pipe served under that id
    // is served by the service: nothing to ask until the process is found to have ended.
    if (process_) {
        return std::nullopt;
    }
    ServiceLookup lookup;
    lookup.manager = std::move(manager_);
    if (std::optional<Error> error = look_up_service_within(call, lookup)) {
        return error;
    }
    manager_ = std::move(lookup.manager);
    if (lookup.error) {
        return lookup.error;
    }
    process_ = std::move(lookup.process);
    pid_ = lookup.pid;
    return std::nullopt;
}

Reply Client::send(std::string_view request, std::chrono::milliseconds timeout,
                   std::stop_token stop) {
    if (request.empty()) {
        return not_sent(ErrorKind::EMPTY,
                        "the request is empty; the service answers none, so it was not sent");
    }
    if (request.size() > MAX_REQUEST_BYTES) {
        return not_sent(ErrorKind::TOO_LONG, "the request is " + std::to_string(request.size()) +
                                                 " bytes long; the service reads at most " +
                                                 std::to_string(MAX_REQUEST_BYTES) +
                                                 ", so it was not sent");
    }
    Call call(timeout, std::move(stop));
    if (!event_) {
        event_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    }
    if (!call.stoppable() || !event_) {
        return not_sent(ErrorKind::FAILED,
                        "cannot create an event: " + system_error_text(::GetLastError()));
    }
    // The manager is asked before the pipe is opened, so the service's one instance is never
    // held while it answers.
    for (int attempt = 0;; ++attempt) {
        if (!hosted_by_) {
            if (std::optional<Error> error = find_service(call)) {
                return *error;
            }
        }
        const DWORD expected = hosted_by_.value_or(pid_);
        // A service that ended since it was looked up may be running again under a new id, or
        // be stopped: ask the manager again, once.
        const bool look_again = !hosted_by_ && attempt == 0;
        std::variant<KernelHandle, Error> opened = open_pipe(call, process_.get());
        if (Error* error = std::get_if<Error>(&opened)) {
            if (look_again && error->kind == ErrorKind::NOT_RUNNING) {
                process_.reset();
                continue;
            }
            return *error;
        }
        KernelHandle pipe = std::move(std::get<KernelHandle>(opened));
        DWORD server = 0;
        const bool server_known = ::GetNamedPipeServerProcessId(pipe.get(), &server);
        if (server_known && server == expected) {
            return exchange(pipe.get(), event_.get(), request, call);
        }
        const std::string served_by =
            to_utf8(PIPE_NAME) + " is served by " +
            (server_known ? "process " + std::to_string(server)
                          : "an unknown process (" + system_error_text(::GetLastError()) + ")");
        if (look_again && (!process_ || ::WaitForSingleObject(process_.get(), 0) != WAIT_TIMEOUT)) {
            // Asked with the pipe closed, so a restarted service's instance is not held meanwhile;
            // opened again only if the service now runs as the process that served it.
            pipe.reset();
            process_.reset();
            if (std::optional<Error> error = find_service(call)) {
                return *error;
            }
            if (server_known && server == pid_) {
                continue;
            }
        }
        return not_sent(
            ErrorKind::IMPOSTOR,
            served_by + (hosted_by_ ? ", not by process " + std::to_string(expected)
                                    : ", not by the " + service_name() + " service (process " +
                                          std::to_string(pid_) + ")"));
    }
}

Reply send_request(std::string_view request, std::chrono::milliseconds timeout,
                   std::stop_token stop) {
    return Client().send(request, timeout, std::move(stop));
}

std::string start_request(std::string_view config_path, std::string_view core_path) {
    return "START|" + encode_base64(absolute_path(config_path)) + "|" +
           encode_base64(absolute_path(core_path));
}

std::optional<CoreStatus> parse_status(std::string_view answer) {
    if (answer == "OK|Stopped") {
        return CoreStatus{};
    }
    constexpr std::string_view RUNNING = "OK|Running|";
    if (!answer.starts_with(RUNNING)) {
        return std::nullopt;
    }
    const std::string_view digits = answer.substr(RUNNING.size());
    std::uint32_t pid = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
    if (digits.empty() || digits.front() < '0' || digits.front() > '9' || error != std::errc() ||
        end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return CoreStatus{pid};
}

std::optional<std::string> parse_version(std::string_view answer) {
    constexpr std::string_view OK = "OK|";
    if (!answer.starts_with(OK)) {
        return std::nullopt;
    }
    const std::string_view version = answer.substr(OK.size());
    const bool well_formed = !version.empty() && version.front() != '.' && version.back() != '.' &&
                             version.find("..") == std::string_view::npos &&
                             std::all_of(version.begin(), version.end(),
                                         [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
    if (!well_formed) {
        return std::nullopt;
    }
    return std::string(version);
}

}  // namespace zelto::client
