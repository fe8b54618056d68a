#include "ipc/pipe_server.h"

#include <sddl.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "common/win_text.h"
#include "ipc/protocol.h"
#include "log/log.h"

namespace zelto {
namespace {

constexpr DWORD PIPE_BUFFER_SIZE = 4096;
// Two instances, each served by a loop of its own: a request that takes long (a START whose files
// answer slowly, up to its limit) leaves the other free for every other client.
constexpr DWORD PIPE_INSTANCES = 2;
constexpr DWORD REQUEST_BUFFER_SIZE = MAX_REQUEST_BYTES;
constexpr DWORD CREATE_RETRY_MS = 100;
// How long one client may hold an instance before its request is complete, and again to take its
// response.
constexpr auto CLIENT_TIME_LIMIT = std::chrono::milliseconds(2000);
// How often a cancelled call is cancelled again until the serving thread has left it: the cancel
// may land just before the thread enters the call.
constexpr DWORD CANCEL_RETRY_MS = 10;

using Clock = std::chrono::steady_clock;

enum class CallEnd { Returned, Stopped, TimedOut };

// Ends a serving thread's blocking pipe calls (which are synchronous, one client at a time on each
// instance) when the service stops or the client's time runs out, with CancelSynchronousIo from a
// thread of its own. Without it a silent client, or no client at all, could hold the service's
// stop for ever.
//
// Arming is cheap on purpose, since every request arms it four times: the watchdog thread is only
// woken when it has to start timing or the service is stopping. While it times a call it checks
// every POLL_MS, which also lets it notice the next call's deadline without being woken.
class CallWatchdog {
  public:
    CallWatchdog(HANDLE stop_event, HANDLE pipe_thread)
        : stop_event_(stop_event),
          pipe_thread_(pipe_thread),
          changed_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
        if (changed_) {
            thread_ = std::thread([this] { watch(); });
        }
    }

    CallWatchdog(const CallWatchdog&) = delete;
    CallWatchdog& operator=(const CallWatchdog&) = delete;

    ~CallWatchdog() {
        if (thread_.joinable()) {
            {
                std::lock_guard lock(mutex_);
                quit_ = true;
            }
            ::SetEvent(changed_.get());
            thread_.join();
        }
    }

    // Guards one blocking call; `deadline` empty means only the stop ends it.
    template <typename Call>
    CallEnd run(std::optional<Clock::time_point> deadline, Call&& call) {
        bool wake = false;
        {
            std::lock_guard lock(mutex_);
            armed_ = true;
            ++call_;
            deadline_ = deadline;
            fired_ = CallEnd::Returned;
            wake = stopping_ || (deadline && !timing_);
        }
        if (wake) {
            ::SetEvent(changed_.get());
        }
        call();
        std::lock_guard lock(mutex_);
        armed_ = false;
        return fired_;
    }

  private:
    static constexpr DWORD POLL_MS = 50;

    void watch() {
        std::unique_lock lock(mutex_);
        while (!quit_) {
            const bool armed = armed_;
            const std::uint64_t call = call_;
            const bool timed = armed && deadline_.has_value();
            const Clock::time_point deadline = timed ? *deadline_ : Clock::time_point{};
            timing_ = timed;
            const bool stopping = stopping_;
            lock.unlock();

            DWORD woke = WAIT_OBJECT_0;
            if (stopping && !armed) {
                // The serving thread is on its way out; only a call it still makes needs us.
                woke = ::WaitForSingleObject(changed_.get(), INFINITE);
            } else {
                DWORD timeout = INFINITE;
                if (timed) {
                    const auto left =
                        std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
                    timeout = left.count() <= 0 ? 0 : std::min<DWORD>(left.count(), POLL_MS);
                }
                const HANDLE waits[2] = {changed_.get(), stop_event_};
                woke =
                    ::WaitForMultipleObjects(stop_event_ != nullptr ? 2 : 1, waits, FALSE, timeout);
            }

            if (woke == WAIT_OBJECT_0 + 1) {
                lock.lock();
                stopping_ = true;
                const bool in_call = armed_;
                const std::uint64_t current = call_;
                lock.unlock();
                if (in_call) {
                    cancel_until_done(current, CallEnd::Stopped);
                }
            } else if (woke == WAIT_TIMEOUT && timed && Clock::now() >= deadline) {
                cancel_until_done(call, CallEnd::TimedOut);
            }
            lock.lock();
        }
    }

    // Cancels the guarded call again and again until the serving thread has left it: a cancel that
    // lands just before the thread enters the call would be lost.
    void cancel_until_done(std::uint64_t call, CallEnd reason) {
        auto still_in_call = [&] { return armed_ && call_ == call && !quit_; };
        std::unique_lock lock(mutex_);
        if (!still_in_call()) {
            return;
        }
        fired_ = reason;
        while (still_in_call()) {
            // Only under the lock with which the serving thread marks its call finished: while we
            // hold it the thread is about to enter, inside, or just out of the guarded call. A
            // cancel issued after the lock is released could land in its next, unrelated I/O (a
            // log write, the next client's read) and abort that instead.
            ::CancelSynchronousIo(pipe_thread_);
            lock.unlock();
            ::WaitForSingleObject(changed_.get(), CANCEL_RETRY_MS);
            lock.lock();
        }
    }

    HANDLE stop_event_;
    HANDLE pipe_thread_;
    KernelHandle changed_;
    std::mutex mutex_;
    bool armed_ = false;
    bool quit_ = false;
    bool stopping_ = false;  // the stop event was seen; it stays signalled
    bool timing_ = false;    // the watchdog waits with a time-out, so arming needs no wake-up
    std::uint64_t call_ = 0;
    std::optional<Clock::time_point> deadline_;
    CallEnd fired_ = CallEnd::Returned;
    std::thread thread_;
};

// The security attributes of every pipe instance: everyone may send requests. Empty when the
// descriptor cannot be built, and the pipe then gets the system's default descriptor.
class PipeSecurity {
  public:
    PipeSecurity() {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
                PIPE_SDDL.data(), SDDL_REVISION_1, &descriptor, nullptr)) {
            log_ipc("Failed to create security descriptor, error: " +
                    std::to_string(::GetLastError()));
            log_ipc("Using default security descriptor (may fail for non-admin users)");
            return;
        }
        descriptor_.reset(descriptor);
        attributes_.nLength = sizeof attributes_;
        attributes_.lpSecurityDescriptor = descriptor;
        attributes_.bInheritHandle = FALSE;
        log_ipc("Security descriptor created: " + to_utf8(PIPE_SDDL) + " - allows all users");
    }

    SECURITY_ATTRIBUTES* attributes() { return descriptor_ ? &attributes_ : nullptr; }

  private:
    LocalMemory descriptor_;
    SECURITY_ATTRIBUTES attributes_{};
};

KernelHandle current_thread_handle() {
    HANDLE thread = nullptr;
    ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &thread,
                      0, FALSE, DUPLICATE_SAME_ACCESS);
    return KernelHandle(thread);
}

// The client's account, from its token, read while this thread impersonates the client just long
// enough to open that token (the client may allow identification only, which suffices).
Result<std::string> client_account(HANDLE pipe) {
    using Account = Result<std::string>;
    if (!::ImpersonateNamedPipeClient(pipe)) {
        return Account::failure(system_error_text(::GetLastError()));
    }
    HANDLE raw_token = nullptr;
    const BOOL opened = ::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &raw_token);
    const DWORD open_error = ::GetLastError();
    const KernelHandle token(opened ? raw_token : nullptr);
    if (!::RevertToSelf()) {
        // Serving on under the client's token would answer every later client as this one: the
        // pipe thread fails instead, and the service stops.
        throw std::runtime_error("RevertToSelf failed: " + system_error_text(::GetLastError()));
    }
    if (!opened) {
        return Account::failure(system_error_text(open_error));
    }
    alignas(TOKEN_USER) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    DWORD size = 0;
    if (!::GetTokenInformation(token.get(), TokenUser, user, sizeof user, &size)) {
        return Account::failure(system_error_text(::GetLastError()));
    }
    const PSID sid = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
    std::array<wchar_t, 256> name{};
    std::array<wchar_t, 256> domain{};
    DWORD name_size = static_cast<DWORD>(name.size());
    DWORD domain_size = static_cast<DWORD>(domain.size());
    SID_NAME_USE use{};
    if (!::LookupAccountSidW(nullptr, sid, name.data(), &name_size, domain.data(), &domain_size,
                             &use)) {
        // The SID still tells an auditor who it was.
        const DWORD error = ::GetLastError();
        wchar_t* text = nullptr;
        const bool converted = ::ConvertSidToStringSidW(sid, &text);
        const LocalMemory text_owner(converted ? text : nullptr);
        return Account::failure((converted ? to_utf8(text) + ": " : std::string()) +
                                system_error_text(error));
    }
    return to_utf8(domain.data()) + "\\" + to_utf8(name.data());
}

Requester read_requester(HANDLE pipe) {
    ULONG process_id = 0;
    Result<std::uint32_t> process =
        ::GetNamedPipeClientProcessId(pipe, &process_id)
            ? Result<std::uint32_t>(process_id)
            : Result<std::uint32_t>::failure(system_error_text(::GetLastError()));
    return {client_account(pipe), std::move(process)};
}

struct Connection {
    HANDLE pipe;
    CallWatchdog& watchdog;
    ProtocolHost& host;
    std::array<char, REQUEST_BUFFER_SIZE>& buffer;
};

// One connected client: read its request, answer it, and let it take the answer, each within
// its time limit. The caller disconnects the instance.
void serve_client(const Connection& c) {
    c.buffer.fill(0);
    DWORD bytes_read = 0;
    BOOL read_ok = FALSE;
    DWORD read_error = 0;
    const CallEnd read_end = c.watchdog.run(Clock::now() + CLIENT_TIME_LIMIT, [&] {
        read_ok = ::ReadFile(c.pipe, c.buffer.data(), REQUEST_BUFFER_SIZE, &bytes_read, nullptr);
        read_error = ::GetLastError();
    });
    if (read_end == CallEnd::Stopped) {
        return;
    }
    if (read_end == CallEnd::TimedOut) {
        queue_log_ipc("Client sent no request within " + std::to_string(CLIENT_TIME_LIMIT.count()) +
                      " ms, disconnecting");
        return;
    }
    if (!read_ok || bytes_read == 0) {
        queue_log_ipc("ReadFile failed or empty, success=" + std::to_string(read_ok) +
                      ", bytes_read=" + std::to_string(bytes_read) +
                      ", error=" + std::to_string(read_error));
        return;
    }

    const std::string response = handle_request(std::string_view(c.buffer.data(), bytes_read),
                                                c.host, [&c] { return read_requester(c.pipe); });
    // The request's lines were only queued: a client that reads its answer finds them in the log.
    wait_for_log();

    const auto respond_deadline = Clock::now() + CLIENT_TIME_LIMIT;
    BOOL write_ok = FALSE;
    DWORD write_error = 0;
    CallEnd end = c.watchdog.run(respond_deadline, [&] {
        DWORD written = 0;
        write_ok = ::WriteFile(c.pipe, response.data(), static_cast<DWORD>(response.size()),
                               &written, nullptr);
        write_error = ::GetLastError();
    });
    if (end == CallEnd::Returned) {
        if (!write_ok) {
            queue_log_ipc("WriteFile failed, error: " + std::to_string(write_error));
        }
        // Returns once the client has read the whole response: a disconnect before that would
        // discard it.
        end = c.watchdog.run(respond_deadline, [&] { ::FlushFileBuffers(c.pipe); });
    }
    if (end == CallEnd::TimedOut) {
        queue_log_ipc("Client did not take its response within " +
                      std::to_string(CLIENT_TIME_LIMIT.count()) + " ms, disconnecting");
    }
}

// The service's instances of the pipe. The first is created with FILE_FLAG_FIRST_PIPE_INSTANCE, so
// that the service never joins a pipe of its name that another process created first; one created
// while another of the service's own lives joins that pipe. Creations and closes are serialised
// so that this holds. While a creation fails (the name is held elsewhere), it is retried every
// CREATE_RETRY_MS, and each new error code is logged once, with the success that ends the run,
// never every try: any local user can hold the name for as long as they like.
class Instances {
  public:
    Instances(IpcServer& server, SECURITY_ATTRIBUTES* security)
        : server_(server), security_(security) {}

    // One instance; empty once the service stops.
    KernelHandle create() {
        std::uint64_t failures = 0;
        DWORD logged_error = ERROR_SUCCESS;
        while (server_.running) {
            DWORD error = ERROR_SUCCESS;
            {
                const std::lock_guard guard(lock_);
                // Local clients only: a remote client must never reach a service that starts
                // programs as LocalSystem.
                KernelHandle pipe(::CreateNamedPipeW(
                    PIPE_NAME.data(),
                    PIPE_ACCESS_DUPLEX | (live_ == 0 ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                    PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                    PIPE_INSTANCES, PIPE_BUFFER_SIZE, PIPE_BUFFER_SIZE, 0, security_));
                error = ::GetLastError();
                if (pipe) {
                    ++live_;
                    if (failures > 0) {
                        log_ipc("Pipe created after " + std::to_string(failures) +
                                " failed attempts, waiting for client...");
                    } else if (!created_) {
                        log_ipc("Pipe created successfully, waiting for client...");
                    }
                    created_ = true;
                    return pipe;
                }
            }
            if (error != logged_error) {
                log_ipc("CreateNamedPipeW failed, error: " + std::to_string(error));
                logged_error = error;
            }
            ++failures;
            // The pause ends early when the service stops.
            ::WaitForSingleObject(server_.stop_event.get(), CREATE_RETRY_MS);
        }
        return {};
    }

    void close(KernelHandle& pipe) {
        if (pipe) {
            const std::lock_guard guard(lock_);
            pipe.reset();
            --live_;
        }
    }

  private:
    IpcServer& server_;
    SECURITY_ATTRIBUTES* security_;
    std::mutex lock_;
    int live_ = 0;
    bool created_ = false;
};

// One loop, serving its own instance until the iteration that finds `running` cleared, with a
// watchdog of its own for its thread's calls.
//
// The instance is kept for the whole run and only disconnected between two clients: closing it
// would leave the service fewer instances than the pipe allows for a moment after every client,
// long enough for another process to add one and receive the next client's request. A client
// arriving while every instance is busy waits with WaitNamedPipeW. The instance is closed and
// created again at once only when it fails itself.
void serve_instance(IpcServer& server, ProtocolHost& host, Instances& instances, KernelHandle pipe,
                    bool counts_iterations) {
    const KernelHandle self = current_thread_handle();
    CallWatchdog watchdog(server.stop_event.get(), self.get());
    std::array<char, REQUEST_BUFFER_SIZE> buffer{};
    std::uint64_t iteration = 0;
    struct Closer {
        Instances& instances;
        KernelHandle& pipe;
        ~Closer() { instances.close(pipe); }
    } const closer{instances, pipe};

    while (server.running) {
        ++iteration;
        if (counts_iterations && (iteration == 1 || iteration % 100 == 0)) {
            queue_log_ipc("IPC loop iteration " + std::to_string(iteration));
        }

        if (!pipe) {
            pipe = instances.create();
            if (!pipe) {
                continue;
            }
        }

        BOOL connected = FALSE;
        DWORD connect_error = 0;
        const CallEnd wait_end = watchdog.run(std::nullopt, [&] {
            connected = ::ConnectNamedPipe(pipe.get(), nullptr);
            connect_error = ::GetLastError();
        });
        if (wait_end == CallEnd::Stopped) {
            continue;
        }
        if (!connected && connect_error != ERROR_PIPE_CONNECTED) {
            queue_log_ipc("ConnectNamedPipe failed, error: " + std::to_string(connect_error));
            // A client that came and went before the wait (ERROR_NO_DATA) only has to be
            // disconnected; any other failure is the instance's own.
            if (connect_error != ERROR_NO_DATA || !::DisconnectNamedPipe(pipe.get())) {
                instances.close(pipe);
            }
            continue;
        }
        queue_log_ipc("Client connected");

        serve_client({pipe.get(), watchdog, host, buffer});

        if (!::DisconnectNamedPipe(pipe.get())) {
            queue_log_ipc("DisconnectNamedPipe failed, error: " + std::to_string(::GetLastError()));
            instances.close(pipe);
        }
        queue_log_ipc("Client disconnected");
    }
}

// Both instances, created back to back and each served by a loop of its own, the second on a
// thread of its own; returns once both loops have ended. The descriptor is freed on return, before
// the last two lines. A loop that fails stops the other, and its exception ends the pipe thread.
void serve_until_stopped(IpcServer& server, ProtocolHost& host) {
    PipeSecurity security;
    Instances instances(server, security.attributes());
    KernelHandle first = instances.create();
    KernelHandle second = first ? instances.create() : KernelHandle();

    std::exception_ptr second_failure;
    std::thread second_loop([&] {
        try {
            serve_instance(server, host, instances, std::move(second), false);
        } catch (...) {
            second_failure = std::current_exception();
            server.stop();
        }
    });
    struct Joiner {
        IpcServer& server;
        std::thread& thread;
        ~Joiner() {
            server.stop();
            thread.join();
        }
    };
    {
        const Joiner joiner{server, second_loop};
        serve_instance(server, host, instances, std::move(first), true);
    }
    if (second_failure) {
        std::rethrow_exception(second_failure);
    }
}

}  // namespace

IpcServer::IpcServer() : stop_event(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

void IpcServer::stop() {
    running = false;
    ::SetEvent(stop_event.get());
}

// By value: the thread's own reference to the server, released when the thread ends.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
void run_pipe_server(std::shared_ptr<IpcServer> server, ProtocolHost& host) {
    log_message("IPC server thread started");
    log_ipc("IPC server starting, pipe name: " + to_utf8(PIPE_NAME));
    serve_until_stopped(*server, host);
    log_ipc("IPC server stopped");
    log_message("IPC server thread exiting");
}

}  // namespace zelto
