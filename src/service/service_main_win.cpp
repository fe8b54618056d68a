#include "service/service_main.h"

#include <aclapi.h>

#include <chrono>
#include <exception>
#include <string>
#include <string_view>

#include "common/unique_handle.h"
#include "common/win_text.h"
#include "core/core_policy_win.h"
#include "core/launch_win.h"
#include "core/supervisor.h"
#include "install/service_state.h"
#include "ipc/pipe_server.h"
#include "log/log.h"
#include "service/service_host.h"
#include "common/identity.h"

namespace zelto {

static_assert(CONTROL_STOP == SERVICE_CONTROL_STOP);
static_assert(CONTROL_INTERROGATE == SERVICE_CONTROL_INTERROGATE);
static_assert(CONTROL_SHUTDOWN == SERVICE_CONTROL_SHUTDOWN);
static_assert(CONTROL_ANSWER_OK == NO_ERROR);
static_assert(CONTROL_ANSWER_NOT_IMPLEMENTED == ERROR_CALL_NOT_IMPLEMENTED);

namespace {

constexpr DWORD PENDING_WAIT_HINT_MS = 10000;
// How long a stop waits for the log's queued lines; a stuck log file must not hold the stop.
constexpr std::chrono::milliseconds LOG_DRAIN_LIMIT{2000};
// The hints of the stop's steps, each longer than its step can take. A log line waits at most
// 250 ms for a slow or stuck log. Ending the core: a START under way may end a core of its own
// first, then the held core is ended, each within CORE_JOB_EMPTY_LIMIT_MS, with a few log lines.
constexpr DWORD STOP_CORE_WAIT_HINT_MS = 2 * CORE_JOB_EMPTY_LIMIT_MS + 3000;
// The pipe thread: woken within a second, it finishes the requests it serves, at worst a START
// that waits for its work up to its limit, and their log lines. A thread held up beyond that does
// not hold the stop: the service reports STOPPED and ends its process.
constexpr DWORD PIPE_THREAD_WAIT_LIMIT_MS = START_WORK_LIMIT_MS + 4000;
constexpr DWORD PIPE_THREAD_WAIT_HINT_MS = PIPE_THREAD_WAIT_LIMIT_MS + 1000;
constexpr DWORD LOG_DRAIN_WAIT_HINT_MS = static_cast<DWORD>(LOG_DRAIN_LIMIT.count()) + 1000;

bool report_status(SERVICE_STATUS_HANDLE handle, DWORD state, DWORD controls_accepted,
                   DWORD wait_hint, DWORD exit_code = NO_ERROR, DWORD specific_exit_code = 0,
                   DWORD check_point = 0) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = controls_accepted;
    status.dwWin32ExitCode = exit_code;
    status.dwServiceSpecificExitCode = specific_exit_code;
    status.dwCheckPoint = check_point;
    status.dwWaitHint = wait_hint;
    return ::SetServiceStatus(handle, &status) != 0;
}

// The stop's STOP_PENDING reports: each step raises the checkpoint with a hint that covers that
// step alone, so the manager sees progress however long the steps take together (it may take a
// stop whose checkpoint does not move within the hint for a failed one).
class StopProgress {
  public:
    explicit StopProgress(SERVICE_STATUS_HANDLE handle) : handle_(handle) {}
    void next_step(DWORD wait_hint) {
        report_status(handle_, SERVICE_STOP_PENDING, 0, wait_hint, NO_ERROR, 0, ++check_point_);
    }

  private:
    SERVICE_STATUS_HANDLE handle_;
    DWORD check_point_ = 0;
};

// What the pipe thread owns: its reference to the server, released when run_pipe_server
// returns, and the way to stop the service should it fail.
struct PipeThreadStart {
    std::shared_ptr<IpcServer> server;
    std::shared_ptr<StopChannel> stop;
    ProtocolHost& host;
};

// Out of memory the line may be lost, but the stop that follows must not be.
void log_pipe_thread_failure(std::string_view what) noexcept {
    try {
        log_message("IPC server thread failed: " + std::string(what));
    } catch (...) {
    }
}

// Ends with 0, or with PIPE_THREAD_FAILED_EXIT_CODE when an exception ended the server; the
// service then stops itself, since nobody would serve the pipe any more.
DWORD WINAPI pipe_thread(LPVOID parameter) {
    const std::unique_ptr<PipeThreadStart> start(static_cast<PipeThreadStart*>(parameter));
    try {
        run_pipe_server(std::move(start->server), start->host);
        return 0;
    } catch (const std::exception& error) {
        log_pipe_thread_failure(error.what());
    } catch (...) {
        log_pipe_thread_failure("unknown exception");
    }
    start->stop->send();
    return PIPE_THREAD_FAILED_EXIT_CODE;
}

// The stop sequence. Its status reports are sent once each and their failures ignored. A pipe
// thread that failed leaves its code for the Stopped report.
void stop_service(SERVICE_STATUS_HANDLE status_handle, IpcServer& server, KernelHandle thread,
                  DWORD exit_code) {
    StopProgress progress(status_handle);
    progress.next_step(STOP_CORE_WAIT_HINT_MS);
    // Clears `running` and wakes the pipe thread from a wait for a client or a silent one.
    server.stop();
    stop_core();
    DWORD thread_exit_code = 0;
    bool thread_held_up = false;
    if (thread) {
        progress.next_step(PIPE_THREAD_WAIT_HINT_MS);
        if (::WaitForSingleObject(thread.get(), PIPE_THREAD_WAIT_LIMIT_MS) == WAIT_OBJECT_0) {
            ::GetExitCodeThread(thread.get(), &thread_exit_code);
        } else {
            thread_held_up = true;
            log_message("IPC server thread did not end within " +
                        std::to_string(PIPE_THREAD_WAIT_LIMIT_MS) + " ms: ending the process");
        }
        thread.reset();
    }
    // A START that the pipe thread was still handling may have launched a core after the first
    // stop_core; a stopped service never leaves its core behind.
    progress.next_step(STOP_CORE_WAIT_HINT_MS);
    stop_core();
    progress.next_step(LOG_DRAIN_WAIT_HINT_MS);
    drain_log(LOG_DRAIN_LIMIT);
    if (thread_exit_code != 0) {
        report_status(status_handle, SERVICE_STOPPED, 0, 0, ERROR_SERVICE_SPECIFIC_ERROR,
                      thread_exit_code);
    } else {
        report_status(status_handle, SERVICE_STOPPED, 0, 0, exit_code);
    }
    if (thread_held_up) {
        // Returning would tear down what that thread still uses; the core's job, kill-on-close,
        // ends the core with the process.
        ::TerminateProcess(::GetCurrentProcess(), exit_code);
    }
}

// Adds to the service process's DACL (from LocalSystem's default: SYSTEM and Administrators) one
// entry letting Authenticated Users wait for the process to end and nothing else. A client then
// holds a SYNCHRONIZE handle between requests, so the process id cannot be reused while it is
// held, and checks the server without asking the service control manager each time.
ErrorText let_clients_wait_for_process() {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD code =
        ::GetSecurityInfo(::GetCurrentProcess(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION,
                          nullptr, nullptr, &dacl, nullptr, &descriptor);
    if (code != ERROR_SUCCESS) {
        return system_error_text(code);
    }
    const LocalMemory descriptor_owner(descriptor);
    if (dacl == nullptr) {
        return std::nullopt;  // A null DACL lets everyone wait already; an entry would restrict it.
    }
    EXPLICIT_ACCESS_W access{};
    access.grfAccessPermissions = SYNCHRONIZE;
    access.grfAccessMode = GRANT_ACCESS;
    access.grfInheritance = NO_INHERITANCE;
    // Authenticated Users (S-1-5-11): one sub-authority, which SID itself has room for.
    SID authenticated_users{
        SID_REVISION, 1, SECURITY_NT_AUTHORITY, {SECURITY_AUTHENTICATED_USER_RID}};
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = reinterpret_cast<LPWSTR>(&authenticated_users);
    PACL extended = nullptr;
    code = ::SetEntriesInAclW(1, &access, dacl, &extended);
    if (code != ERROR_SUCCESS) {
        return system_error_text(code);
    }
    const LocalMemory extended_owner(extended);
    code = ::SetSecurityInfo(::GetCurrentProcess(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION,
                             nullptr, nullptr, extended, nullptr);
    if (code != ERROR_SUCCESS) {
        return system_error_text(code);
    }
    return std::nullopt;
}

}  // namespace

void WINAPI service_main(DWORD /*argument_count*/, LPWSTR* /*arguments*/) {
    log_message("service_main called");
    const ErrorText error = run_service_inner(service_protocol_host());
    if (error) {
        log_message("Service error: " + *error);
    }
    log_message("service_main exiting");
}

ErrorText run_service_inner(ProtocolHost& host) {
    log_message("run_service_inner starting");
    auto channel = std::make_shared<StopChannel>();

    log_message("Registering service control handler for: " + std::string(SERVICE_NAME));
    auto context = std::make_unique<ControlContext>(ControlContext{channel});
    const SERVICE_STATUS_HANDLE status_handle = ::RegisterServiceCtrlHandlerExW(
        to_wide(SERVICE_NAME).c_str(), control_handler, context.get());
    if (status_handle == nullptr) {
        std::string error =
            "Failed to register service control handler: " + std::string(WINAPI_CALL_FAILED);
        log_message(error);
        return error;
    }
    // The manager may call the handler until the process ends, so its context is never freed.
    static_cast<void>(context.release());
    log_message("Service control handler registered");

    if (!report_status(status_handle, SERVICE_START_PENDING, 0, PENDING_WAIT_HINT_MS)) {
        log_message("Failed to set StartPending status: " + std::string(WINAPI_CALL_FAILED));
        return "Failed to set service status: " + std::string(WINAPI_CALL_FAILED);
    }
    log_message("Status set to StartPending");

    // Before the pipe exists, so the first client can already hold the process.
    if (ErrorText error = let_clients_wait_for_process()) {
        log_message("Failed to let clients wait for the service process: " + *error);
    }

    // Once, before any START can arrive: an administrator's change applies from the next start.
    log_settings_in_force();
    load_core_policy();
    load_config_policy();

    log_message("Creating IPC server...");
    auto server = std::make_shared<IpcServer>();
    log_message("IPC server created");

    if (!report_status(status_handle, SERVICE_RUNNING,
                       SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, 0)) {
        log_message("Failed to set Running status: " + std::string(WINAPI_CALL_FAILED));
        return "Failed to set service status: " + std::string(WINAPI_CALL_FAILED);
    }
    log_message("Status set to Running");

    log_message("Spawning IPC server thread...");
    auto start = std::make_unique<PipeThreadStart>(PipeThreadStart{server, channel, host});
    KernelHandle thread(::CreateThread(nullptr, 0, pipe_thread, start.get(), 0, nullptr));
    if (!thread) {
        const DWORD code = ::GetLastError();
        // Logged here rather than by service_main: once STOPPED is reported the process may end
        // before service_main gets to write anything.
        log_message("Service error: Failed to spawn IPC server thread: " + system_error_text(code));
        stop_service(status_handle, *server, KernelHandle(), code);
        return std::nullopt;
    }
    // The thread owns its start now.
    static_cast<void>(start.release());
    log_message("IPC server thread spawned");

    // Only the first message matters; later ones stay queued and are never read.
    channel->receive();
    stop_service(status_handle, *server, std::move(thread), NO_ERROR);
    return std::nullopt;
}

DWORD WINAPI control_handler(DWORD control, DWORD /*event_type*/, LPVOID /*event_data*/,
                             LPVOID context) {
    const ControlAnswer answer = answer_control(control);
    if (answer.stop) {
        log_message("Received stop/shutdown signal");
        static_cast<ControlContext*>(context)->stop->send();
    }
    return answer.result;
}

}  // namespace zelto
