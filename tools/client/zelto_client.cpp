#include "zelto_client.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <charconv>
#include <memory>
#include <mutex>

#include "common/identity.h"
#include "common/unique_handle.h"
#include "common/win_text.h"
#include "ipc/base64.h"
#include "ipc/pipe_name.h"
#include "ipc/protocol.h"

namespace zelto::client {

static_assert(PROTOCOL_VERSION == zelto::PROTOCOL_VERSION);
static_assert(MAX_REQUEST_BYTES == zelto::MAX_REQUEST_BYTES);

using Clock = std::chrono::steady_clock;

struct Cancel::State {
    KernelHandle event{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

Cancel::Cancel() : state_(std::make_shared<State>()) {}

// A moved-from Cancel has no state: it cancels nothing, and a call given it is not made.
void Cancel::cancel() const noexcept {
    if (state_) {
        ::SetEvent(state_->event.get());
    }
}

bool Cancel::cancelled() const noexcept {
    return state_ && ::WaitForSingleObject(state_->event.get(), 0) == WAIT_OBJECT_0;
}

// One call's deadline and the caller's cancel, as something to wait on with the call's own
// objects.
class Call {
  public:
    enum class End { SIGNALLED, TIMED_OUT, STOPPED };

    Call(std::chrono::milliseconds timeout, const Cancel* cancel)
        : timeout_(std::max(timeout, std::chrono::milliseconds(0))),
          deadline_(Clock::now() + timeout_),
          stop_event_(cancel != nullptr && cancel->state_ ? cancel->state_->event.get() : nullptr),
          stoppable_(cancel == nullptr || (cancel->state_ && cancel->state_->event.valid())) {}
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    // False when the caller's cancel has no event: such a call is not made.
    bool stoppable() const { return stoppable_; }
    bool stopped() const {
        return stop_event_ != nullptr && ::WaitForSingleObject(stop_event_, 0) == WAIT_OBJECT_0;
    }
    DWORD ms_left() const {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - Clock::now());
        return left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
    }
    std::string timeout_text() const { return std::to_string(timeout_.count()) + " ms"; }

    // Waits for `object` (only for the time when it is null), at most `most_ms`, until the
    // deadline or the cancel.
    End wait(HANDLE object, DWORD most_ms = INFINITE) const {
        HANDLE handles[2];
        DWORD count = 0;
        if (object != nullptr) {
            handles[count++] = object;
        }
        if (stop_event_ != nullptr) {
            handles[count++] = stop_event_;
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
        return got == WAIT_OBJECT_0 + count - 1 && stop_event_ != nullptr ? End::STOPPED
                                                                          : End::TIMED_OUT;
    }

  private:
    std::chrono::milliseconds timeout_;
    Clock::time_point deadline_;
    HANDLE stop_event_;  // the Cancel's, which the caller keeps alive for the call
    bool stoppable_;
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

// Status queries through the kept manager handle. A failed call is made once more through a
// newly opened manager, so that no single failure breaks a client for good: Wine's manager
// refuses calls now and then when several threads ask at once (invalid handle), and any manager
// may drop a connection. Status queries only: the service's descriptor grants them to every
// authenticated user.
class ServiceQuery {
  public:
    explicit ServiceQuery(ServiceHandle& manager) : manager_(manager) {}

    // ERROR_SUCCESS with `status` filled, or the error of the last attempt. One query at a time
    // in the process: Wine's manager fails calls from several threads at once often enough that
    // both attempts of one client could fail, and client objects on many threads are normal.
    DWORD ask(SERVICE_STATUS_PROCESS& status) {
        static std::mutex one_at_a_time;
        const std::lock_guard guard(one_at_a_time);
        const DWORD error = ask_once(status);
        if (error == ERROR_SUCCESS || error == ERROR_SERVICE_DOES_NOT_EXIST) {
            return error;
        }
        service_.reset();
        manager_.reset();
        return ask_once(status);
    }

  private:
    DWORD ask_once(SERVICE_STATUS_PROCESS& status) {
        if (!manager_) {
            manager_.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        }
        if (manager_ && !service_) {
            service_.reset(::OpenServiceW(manager_.get(), to_wide(service_name()).c_str(),
                                          SERVICE_QUERY_STATUS));
        }
        DWORD needed = 0;
        if (!service_ ||
            !::QueryServiceStatusEx(service_.get(), SC_STATUS_PROCESS_INFO,
                                    reinterpret_cast<BYTE*>(&status), sizeof status, &needed)) {
            return ::GetLastError();
        }
        return ERROR_SUCCESS;
    }

    ServiceHandle& manager_;
    // Closed with the query: an open one keeps a deleted service from being installed anew.
    ServiceHandle service_;
};

Error manager_failure(DWORD error) {
    return error == ERROR_SERVICE_DOES_NOT_EXIST
               ? not_sent(ErrorKind::NOT_INSTALLED,
                          "the " + service_name() + " service is not installed")
               : not_sent(ErrorKind::FAILED,
                          "the service control manager cannot be asked about the " +
                              service_name() + " service: " + system_error_text(error));
}

bool service_stopped(const SERVICE_STATUS_PROCESS& status) {
    return status.dwProcessId == 0 || status.dwCurrentState == SERVICE_STOPPED ||
           status.dwCurrentState == SERVICE_STOP_PENDING;
}

Error not_running(std::string_view why = {}) {
    return not_sent(ErrorKind::NOT_RUNNING,
                    "the " + service_name() + " service is not running" + std::string(why));
}

// One look at the service: its process id, and a SYNCHRONIZE handle on that process. False when
// the manager named another process the second time (the service restarted meanwhile).
bool look_once(ServiceQuery& query, ServiceLookup& found) {
    SERVICE_STATUS_PROCESS status{};
    if (const DWORD error = query.ask(status); error != ERROR_SUCCESS) {
        found.error = manager_failure(error);
        return true;
    }
    if (service_stopped(status)) {
        found.error = not_running();
        return true;
    }
    found.pid = status.dwProcessId;
    const std::string ended = " (its process " + std::to_string(found.pid) + " has ended)";
    found.process.reset(::OpenProcess(SYNCHRONIZE, FALSE, found.pid));
    if (!found.process) {
        // Access denied (a LocalSystem process's default descriptor may refuse it): the id is
        // then looked up for every request. No such process: it has ended.
        const DWORD error = ::GetLastError();
        if (error == ERROR_INVALID_PARAMETER) {
            found.error = not_running(ended);
        } else if (error != ERROR_ACCESS_DENIED) {
            found.error =
                not_sent(ErrorKind::FAILED, "cannot open the " + service_name() +
                                                " service's process: " + system_error_text(error));
        }
        return true;
    }
    // The id is now this process's for as long as the handle is held; asked again, the manager
    // confirms it is still the service's and not a newcomer's that reused it.
    if (::WaitForSingleObject(found.process.get(), 0) != WAIT_TIMEOUT) {
        found.process.reset();
        found.error = not_running(ended);
        return true;
    }
    SERVICE_STATUS_PROCESS again{};
    if (const DWORD error = query.ask(again); error != ERROR_SUCCESS) {
        found.process.reset();
        found.error = manager_failure(error);
        return true;
    }
    if (service_stopped(again)) {
        found.process.reset();
        found.error = not_running();
        return true;
    }
    if (again.dwProcessId != found.pid) {
        found.process.reset();
        return false;
    }
    return true;
}

// The service's process, held where its descriptor allows, or why not. A service that restarted
// between the two questions of a look is looked at once more.
void look_up_service(ServiceLookup& found) {
    ServiceQuery query(found.manager);
    if (!look_once(query, found) && !look_once(query, found)) {
        found.error = not_sent(ErrorKind::FAILED, "the " + service_name() +
                                                      " service restarted while it was looked "
                                                      "up; nothing was sent");
    }
}

struct PendingLookup {
    ServiceLookup lookup;
    KernelHandle done;
};

// A reference on the module this code is in (the client's DLL, or the program it is linked into).
struct ModuleReferenceTraits {
    using pointer = HMODULE;
    static pointer none() noexcept { return nullptr; }
    static bool valid(pointer h) noexcept { return h != nullptr; }
    static void close(pointer h) noexcept { ::FreeLibrary(h); }
};
using ModuleReference = UniqueHandle<ModuleReferenceTraits>;

struct LookupTask {
    std::shared_ptr<PendingLookup> pending;
    // A lookup may outlast its call: the DLL it runs in stays loaded until it returns.
    ModuleReference module;
};

void CALLBACK run_lookup(PTP_CALLBACK_INSTANCE instance, void* context) {
    const std::unique_ptr<LookupTask> task(static_cast<LookupTask*>(context));
    ::FreeLibraryWhenCallbackReturns(instance, task->module.release());
    look_up_service(task->pending->lookup);
    ::SetEvent(task->pending->done.get());
}

// The manager's calls take no timeout: they run on a pool thread while the caller waits as long
// as its call allows. A lookup that outlasts the call finishes unobserved and frees what it found.
std::optional<Error> look_up_service_within(Call& call, ServiceLookup& lookup) {
    auto task = std::make_unique<LookupTask>();
    task->pending = std::make_shared<PendingLookup>();
    const std::shared_ptr<PendingLookup> pending = task->pending;
    pending->lookup.manager = std::move(lookup.manager);
    pending->done.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HMODULE module = nullptr;
    if (!pending->done || !::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                                reinterpret_cast<LPCWSTR>(&run_lookup), &module)) {
        return not_sent(ErrorKind::FAILED, "cannot prepare the service control manager's query: " +
                                               system_error_text(::GetLastError()));
    }
    task->module.reset(module);
    if (!::TrySubmitThreadpoolCallback(run_lookup, task.get(), nullptr)) {
        return not_sent(ErrorKind::FAILED, "cannot ask the service control manager: " +
                                               system_error_text(::GetLastError()));
    }
    static_cast<void>(task.release());  // run_lookup owns it now
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
    return not_sent(ErrorKind::TIMED_OUT, "the service control manager did not answer within " +
                                              call.timeout_text() + "; nothing was sent");
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
            return error == ERROR_PIPE_BUSY ? not_sent(ErrorKind::BUSY,
                                                       "the service's pipe was busy with other "
                                                       "clients for " +
                                                           call.timeout_text())
                                            : not_sent(ErrorKind::TIMED_OUT,
                                                       "the service's pipe did not appear within " +
                                                           call.timeout_text());
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
    if (call.ms_left() == 0) {
        return not_sent(ErrorKind::TIMED_OUT, "the time limit of " + call.timeout_text() +
                                                  " passed before the request was sent");
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

// The server at the other end of an opened pipe.
struct Server {
    bool known = false;
    DWORD pid = 0;
    DWORD error = ERROR_SUCCESS;  // why it is not known
};

Server server_of(HANDLE pipe) {
    Server server;
    server.known = ::GetNamedPipeServerProcessId(pipe, &server.pid);
    if (!server.known) {
        server.error = ::GetLastError();
    }
    return server;
}

// Nothing when the pipe's owner is LocalSystem or Administrators, an owner a standard user
// cannot give a pipe; otherwise the owner found.
std::optional<std::string> foreign_owner(HANDLE pipe) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    // The pipe's descriptor grants its clients READ_CONTROL.
    const DWORD error = ::GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION,
                                          &owner, nullptr, nullptr, nullptr, &descriptor);
    const LocalMemory held(descriptor);
    if (error != ERROR_SUCCESS) {
        return "an owner that cannot be read (" + system_error_text(error) + ")";
    }
    if (owner == nullptr) {
        return std::string("no owner");
    }
    if (::IsWellKnownSid(owner, WinLocalSystemSid) ||
        ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) {
        return std::nullopt;
    }
    wchar_t* text = nullptr;
    const bool converted = ::ConvertSidToStringSidW(owner, &text);
    const LocalMemory held_text(text);
    return "the owner " + (converted ? to_utf8(text) : std::string("(unreadable)"));
}

}  // namespace

struct Client::State {
    std::optional<DWORD> hosted_by;
    bool check_owner = false;  // for a hosted client; otherwise when no process is held
    ServiceHandle manager;
    KernelHandle process;
    DWORD pid = 0;
    KernelHandle event;  // for the overlapped calls, kept between requests

    DWORD expected() const { return hosted_by.value_or(pid); }
    bool process_running() const {
        return process && ::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
    }

    // Step 1: which process runs the service, held so that its id cannot pass to another.
    // While the handle is held, a pipe served under that id is served by the service: nothing to
    // ask until the process is found to have ended.
    std::optional<Error> find_service(Call& call) {
        if (hosted_by || process) {
            return std::nullopt;
        }
        ServiceLookup lookup;
        lookup.manager = std::move(manager);
        if (std::optional<Error> error = look_up_service_within(call, lookup)) {
            return error;
        }
        manager = std::move(lookup.manager);
        if (lookup.error) {
            return lookup.error;
        }
        process = std::move(lookup.process);
        pid = lookup.pid;
        return std::nullopt;
    }

    Error impostor(const Server& server, const std::string& why) const {
        const std::string served_by =
            to_utf8(PIPE_NAME) + " is served by " +
            (server.known ? "process " + std::to_string(server.pid)
                          : "an unknown process (" + system_error_text(server.error) + ")");
        if (!why.empty()) {
            return not_sent(ErrorKind::IMPOSTOR, served_by + ", " + why);
        }
        return not_sent(
            ErrorKind::IMPOSTOR,
            served_by + (hosted_by ? ", not by process " + std::to_string(expected())
                                   : ", not by the " + service_name() + " service (process " +
                                         std::to_string(pid) + ")"));
    }

    // Step 3, for a pipe served by the process found: where that process is not held, its id may
    // have passed to another process since the lookup, so the pipe's owner must also be one that
    // only an administrator can give.
    std::optional<Error> check_owner_of(HANDLE pipe, const Server& server) const {
        if (hosted_by ? check_owner : !process) {
            if (std::optional<std::string> owner = foreign_owner(pipe)) {
                return impostor(server, "whose pipe has " + *owner +
                                            ", neither LocalSystem nor Administrators");
            }
        }
        return std::nullopt;
    }

    // The steps before a byte is written: look up the service, open the pipe, check its server,
    // and, once, look the service up again if the process held from an earlier lookup has
    // ended meanwhile (the service restarted).
    std::variant<KernelHandle, Error> connect(Call& call) {
        bool looked_again = false;
        for (;;) {
            // Step 1: look up the service.
            if (std::optional<Error> error = find_service(call)) {
                return std::move(*error);
            }
            // Step 2: open the pipe. open_pipe says NOT_RUNNING only when the held process ended
            // meanwhile.
            std::variant<KernelHandle, Error> opened = open_pipe(call, process.get());
            if (Error* error = std::get_if<Error>(&opened)) {
                if (error->kind == ErrorKind::NOT_RUNNING && !looked_again) {
                    looked_again = true;
                    process.reset();
                    continue;
                }
                return opened;
            }
            KernelHandle pipe = std::move(std::get<KernelHandle>(opened));
            // Step 3: the process found must serve the pipe.
            const Server server = server_of(pipe.get());
            if (server.known && server.pid == expected()) {
                if (std::optional<Error> refused = check_owner_of(pipe.get(), server)) {
                    return std::move(*refused);
                }
                return pipe;
            }
            // Step 4: another process serves it: if the one held has ended (or none is held), ask
            // once more. The manager is asked with the pipe closed, so that a restarted service's
            // instance is not held meanwhile; the pipe is opened again only if the service now
            // runs as the process that served it.
            if (hosted_by || looked_again || process_running()) {
                return impostor(server, "");
            }
            looked_again = true;
            pipe.reset();
            process.reset();
            if (std::optional<Error> error = find_service(call)) {
                return std::move(*error);
            }
            if (!server.known || server.pid != pid) {
                return impostor(server, "");
            }
        }
    }
};

Client::Client() : state_(std::make_unique<State>()) {}

Client::Client(std::uint32_t server, bool check_owner) : Client() {
    state_->hosted_by = server;
    state_->check_owner = check_owner;
}

bool Client::break_manager_for_testing() {
    // A service's handle where the manager's belongs, which every manager call refuses as an
    // invalid handle; the process is let go, so that the next request asks the manager.
    if (!state_->manager) {
        return false;
    }
    ServiceHandle wrong_kind(::OpenServiceW(state_->manager.get(), to_wide(service_name()).c_str(),
                                            SERVICE_QUERY_STATUS));
    if (!wrong_kind) {
        return false;
    }
    state_->manager = std::move(wrong_kind);
    state_->process.reset();
    return true;
}

Client::~Client() = default;
Client::Client(Client&&) noexcept = default;
Client& Client::operator=(Client&&) noexcept = default;

Reply Client::send(std::string_view request) {
    return send(request, default_timeout(request));
}

Reply Client::send(std::string_view request, std::chrono::milliseconds timeout,
                   const Cancel* cancel) {
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
    Call call(timeout, cancel);
    if (!state_->event) {
        state_->event.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    }
    if (!call.stoppable() || !state_->event) {
        return not_sent(ErrorKind::FAILED,
                        "cannot create an event: " + system_error_text(::GetLastError()));
    }
    std::variant<KernelHandle, Error> pipe = state_->connect(call);
    if (Error* error = std::get_if<Error>(&pipe)) {
        return std::move(*error);
    }
    return exchange(std::get<KernelHandle>(pipe).get(), state_->event.get(), request, call);
}

Reply send_request(std::string_view request) {
    return Client().send(request);
}

Reply send_request(std::string_view request, std::chrono::milliseconds timeout,
                   const Cancel* cancel) {
    return Client().send(request, timeout, cancel);
}

Reply::Reply() : state_(Error{ErrorKind::FAILED, "no request was made", false}) {}

std::string_view error_kind_name(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::NOT_INSTALLED:
            return "NOT_INSTALLED";
        case ErrorKind::NOT_RUNNING:
            return "NOT_RUNNING";
        case ErrorKind::BUSY:
            return "BUSY";
        case ErrorKind::TIMED_OUT:
            return "TIMED_OUT";
        case ErrorKind::IMPOSTOR:
            return "IMPOSTOR";
        case ErrorKind::TOO_LONG:
            return "TOO_LONG";
        case ErrorKind::EMPTY:
            return "EMPTY";
        case ErrorKind::FAILED:
            return "FAILED";
        case ErrorKind::NO_REPLY:
            return "NO_REPLY";
        case ErrorKind::SERVICE_ERROR:
            return "SERVICE_ERROR";
        case ErrorKind::CANCELLED:
            return "CANCELLED";
    }
    return "UNKNOWN";
}

namespace {

// The number in a system error's text, "... (os error 193)"; 0 when it ends otherwise.
std::uint32_t os_error_of(std::string_view text) {
    constexpr std::string_view OPENING = " (os error ";
    const std::size_t at = text.rfind(OPENING);
    if (at == std::string_view::npos || !text.ends_with(')')) {
        return 0;
    }
    const std::string_view digits =
        text.substr(at + OPENING.size(), text.size() - 1 - at - OPENING.size());
    std::uint32_t code = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), code);
    return !digits.empty() && error == std::errc() && end == digits.data() + digits.size() ? code
                                                                                           : 0;
}

// The text after "ERR|" of each refusal the service makes, by how it begins.
Refusal refusal_of_message(std::string_view message) {
    constexpr std::pair<std::string_view, RefusalKind> BEGINNINGS[] = {
        {"Config file not found: ", RefusalKind::CONFIG_NOT_FOUND},
        {"Core binary not found: ", RefusalKind::CORE_NOT_FOUND},
        {"Core binary not allowed by policy: ", RefusalKind::CORE_NOT_ALLOWED},
        {"Config not allowed by policy: ", RefusalKind::CONFIG_NOT_ALLOWED},
        {"Failed to spawn core process: ", RefusalKind::LAUNCH_FAILED},
        {"Invalid START command", RefusalKind::NOT_UNDERSTOOD},
        {"Invalid config path: ", RefusalKind::NOT_UNDERSTOOD},
        {"Invalid core path: ", RefusalKind::NOT_UNDERSTOOD},
        {"Unknown command: ", RefusalKind::NOT_UNDERSTOOD},
    };
    for (const auto& [beginning, kind] : BEGINNINGS) {
        if (message.starts_with(beginning)) {
            return {kind, kind == RefusalKind::LAUNCH_FAILED ? os_error_of(message) : 0};
        }
    }
    return {RefusalKind::OTHER, 0};
}

}  // namespace

Refusal refusal_of(std::string_view answer) {
    constexpr std::string_view ERR = "ERR|";
    return answer.starts_with(ERR) ? refusal_of_message(answer.substr(ERR.size())) : Refusal{};
}

Refusal refusal_of(const Error& error) {
    return error.kind == ErrorKind::SERVICE_ERROR ? refusal_of_message(error.message) : Refusal{};
}

std::string_view refusal_kind_name(RefusalKind kind) {
    switch (kind) {
        case RefusalKind::NONE:
            return "NONE";
        case RefusalKind::CONFIG_NOT_FOUND:
            return "CONFIG_NOT_FOUND";
        case RefusalKind::CORE_NOT_FOUND:
            return "CORE_NOT_FOUND";
        case RefusalKind::CORE_NOT_ALLOWED:
            return "CORE_NOT_ALLOWED";
        case RefusalKind::CONFIG_NOT_ALLOWED:
            return "CONFIG_NOT_ALLOWED";
        case RefusalKind::LAUNCH_FAILED:
            return "LAUNCH_FAILED";
        case RefusalKind::NOT_UNDERSTOOD:
            return "NOT_UNDERSTOOD";
        case RefusalKind::OTHER:
            return "OTHER";
    }
    return "UNKNOWN";
}

bool protocol_compatible(std::string_view version) {
    // "0.1.0" -> "0.1": the major and minor number.
    const std::string_view major_minor = PROTOCOL_VERSION.substr(0, PROTOCOL_VERSION.rfind('.'));
    return parse_version("OK|" + std::string(version)).has_value() &&
           (version == major_minor || version.starts_with(std::string(major_minor) + "."));
}

std::chrono::milliseconds default_timeout(std::string_view request) {
    // The command as the service reads it: the first field, without surrounding white space.
    std::string_view command = request.substr(0, request.find('|'));
    constexpr std::string_view SPACE = " \t\r\n";
    command.remove_prefix(std::min(command.find_first_not_of(SPACE), command.size()));
    command = command.substr(0, command.find_last_not_of(SPACE) + 1);
    return command == "START" || command == "STOP" ? CORE_CHANGE_TIMEOUT : DEFAULT_TIMEOUT;
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
