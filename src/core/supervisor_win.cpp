#include "core/supervisor.h"

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <string_view>

#include "common/win_text.h"
#include "core/command_line.h"
#include "core/core_policy_win.h"
#include "core/forwarder_win.h"
#include "core/launch_win.h"
#include "core/supervisor_win.h"
#include "log/log.h"
#include "log/log_line.h"

namespace zelto {

namespace {

constexpr std::string_view LOCK_ERROR = "Lock error: poisoned lock: another task failed inside";

// The one slot of the process. Its core is read or changed only under the lock, which is never
// held across a launch: a launch that does not return must not hold up STATUS, STOP or the stop.
struct CoreSlot {
    SRWLOCK lock = SRWLOCK_INIT;
    bool poisoned = false;  // never cleared
    std::optional<CoreProcess> core;
    // Raised by every STOP, and by every START as it takes the core out to launch its own: a
    // launch that finds it raised since was overtaken, and its core does not stay.
    std::uint64_t generation = 0;
};

CoreSlot core_slot;

class SlotGuard {
  public:
    SlotGuard() { ::AcquireSRWLockExclusive(&core_slot.lock); }
    ~SlotGuard() { ::ReleaseSRWLockExclusive(&core_slot.lock); }
    SlotGuard(const SlotGuard&) = delete;
    SlotGuard& operator=(const SlotGuard&) = delete;
};

// Runs `body` on the slot's core under the lock. A poisoned slot refuses. An exception that leaves
// `body` poisons the slot and ends here, so the caller's thread goes on and the lock is released:
// the slot's content is then of unknown shape and stays frozen.
template <typename Body>
ErrorText with_core_slot(Body&& body) {
    const SlotGuard guard;
    if (core_slot.poisoned) {
        return std::string(LOCK_ERROR);
    }
    try {
        return body(core_slot.core);
    } catch (...) {
        core_slot.poisoned = true;
        return std::string(LOCK_ERROR);
    }
}

// Every end of a core the service brings about goes through here, so its exit line says so.
void end_by_service(const CoreProcess& core) {
    if (const std::shared_ptr<CoreExit> exit = core.exit.lock();
        exit && ::WaitForSingleObject(core.process.get(), 0) == WAIT_TIMEOUT) {
        exit->ended_by_service();
    }
    end_core(core);
}

// The reason may carry the core's path, which comes from the client.
std::string spawn_failure(std::string_view reason) {
    std::string message = "Failed to spawn core process: ";
    message += reason;
    log_core(escape_log_text(message));
    return message;
}

// A core path that ends in a separator names a folder, never a program: the launch's answer,
// judged on the text before the running core is touched. A missing one is not found, as ever.
bool names_no_program(const std::string& core_path) {
    return !core_path.empty() && (core_path.back() == '\\' || core_path.back() == '/') &&
           path_exists(core_path);
}

// One START's work on its worker thread, and the answer its requester gave meanwhile.
class StartWork {
  public:
    StartWork(std::string config, std::string core)
        : config_path(std::move(config)), core_path(std::move(core)) {}

    // The path the work waits on from now.
    void reached(const std::string& path) {
        const std::lock_guard guard(lock_);
        at_ = &path;
    }
    // The requester gives up: the path the work waits on, or none when the work has passed the
    // point where its core is started and is to be waited for.
    const std::string* give_up() {
        const std::lock_guard guard(lock_);
        answered_ = !committed_;
        return answered_ ? at_ : nullptr;
    }
    // The path the work waits on now.
    const std::string& waits_on() {
        const std::lock_guard guard(lock_);
        return *at_;
    }
    // The START is still to be answered by this work.
    bool awaited() {
        const std::lock_guard guard(lock_);
        return !answered_;
    }
    // The work passes that point, unless its START was answered already.
    bool commit() {
        const std::lock_guard guard(lock_);
        committed_ = !answered_;
        return committed_;
    }

    const std::string config_path;
    const std::string core_path;
    ErrorText result;
    std::exception_ptr failure;  // thrown on to the requester, as if the START ran on its thread

  private:
    std::mutex lock_;
    const std::string* at_ = &config_path;
    bool answered_ = false;
    bool committed_ = false;
};

// Puts the launched core into the slot and starts its forwarders, unless its START was answered
// with an error meanwhile or a later STOP or START overtook it: that core is ended at once.
ErrorText land_core(std::optional<CoreProcess>& slot_core, LaunchedCore& fresh,
                    std::uint64_t generation, StartWork& work) {
    const std::string pid = std::to_string(::GetProcessId(fresh.core.process.get()));
    if (!work.commit()) {
        log_core("Core process " + pid +
                 " was launched after its START was answered with an error: ended");
        end_core(fresh.core);
        return std::string("answered");
    }
    if (core_slot.generation != generation) {
        log_core("Core process " + pid + " was launched after a later STOP or START: ended");
        end_core(fresh.core);
        return std::nullopt;
    }

    // Without both forwarders the core would block for ever once a pipe fills: it is ended, its
    // handles close with `launched`, and the slot stays as it was. Until the slot takes the core,
    // `launched` owns it: an exception from here on ends its job as it unwinds, before the slot
    // is poisoned.
    const auto exit = std::make_shared<CoreExit>(fresh.core.process.get());
    fresh.core.exit = exit;
    int forwarded = 0;
    for (auto [read_end, prefix] : {std::pair{&fresh.stdout_read, STDOUT_PREFIX},
                                    std::pair{&fresh.stderr_read, STDERR_PREFIX}}) {
        if (ErrorText error =
                start_output_forwarder(std::move(*read_end), std::string(prefix), exit)) {
            end_by_service(fresh.core);
            for (; forwarded < 2; ++forwarded) {
                exit->stream_ended(0);
            }
            return spawn_failure(*error);
        }
        ++forwarded;
    }

    slot_core = std::move(fresh.core);
    log_core("Core process started successfully");
    return std::nullopt;
}

// Ends the held core, then launches the new one outside the slot's lock, then lands it. A START
// answered with an error before it gets here leaves the held core alone.
ErrorText replace_core(StartWork& work, const std::string& config_path,
                       const std::string& core_path, CoreEnvironment environment) {
    std::uint64_t generation = 0;
    if (ErrorText taken = with_core_slot([&](std::optional<CoreProcess>& slot_core) -> ErrorText {
            if (!work.awaited()) {
                return std::string("answered");
            }
            // The ended record stays until a new core takes its place.
            if (slot_core) {
                log_core("Stopping existing core process...");
                end_by_service(*slot_core);
            }
            generation = ++core_slot.generation;
            return std::nullopt;
        })) {
        return taken;
    }
    const std::string config_dir = config_dir_of(config_path);
    log_core("Config dir: " + escape_log_text(config_dir));

    Result<LaunchedCore> launched = launch_core(core_path, config_dir, config_path, environment);
    if (!launched) {
        return spawn_failure(launched.error());
    }
    log_core("Core process spawned with PID: " +
             std::to_string(::GetProcessId(launched.value().core.process.get())));
    return with_core_slot([&](std::optional<CoreProcess>& slot_core) {
        return land_core(slot_core, launched.value(), generation, work);
    });
}

// The checks and the launch of one START, on its worker thread.
ErrorText start_core_work(StartWork& work) {
    const std::string& config_path = work.config_path;
    const std::string& core_path = work.core_path;
    if (!path_exists(config_path)) {
        std::string message = "Config file not found: " + config_path;
        log_core(escape_log_text(message));
        return message;
    }
    work.reached(core_path);
    if (names_no_program(core_path)) {
        return spawn_failure("program path has no file name");
    }
    // A folder is no core either, and is refused before the running core is touched.
    if (!file_exists(core_path)) {
        std::string message = "Core binary not found: " + core_path;
        log_core(escape_log_text(message));
        return message;
    }
    // Held until the launch is done, so the file judged is the file that runs.
    const Result<AdmittedCore> admitted = admit_core(core_path, core_policy());
    if (!admitted) {
        std::string message = "Core binary not allowed by policy: " + core_path;
        log_core(escape_log_text(message + " (" + admitted.error() + ")"));
        return message;
    }
    work.reached(config_path);
    const Result<AdmittedConfig> config = admit_config(config_path, config_policy());
    if (!config) {
        std::string message = "Config not allowed by policy: " + config_path;
        log_core(escape_log_text(message + " (" + config.error() + ")"));
        return message;
    }
    work.reached(core_path);  // the launch opens the core
    return replace_core(work, config.value().launch_path, admitted.value().launch_path,
                        admitted.value().system_path_only ? CoreEnvironment::SYSTEM_PATH
                                                          : CoreEnvironment::INHERITED);
}

// Whether `path`, one of the work's paths, is its config's.
bool is_config(const StartWork& work, const std::string& path) {
    return &path == &work.config_path;
}

// One START's work at a time, its requester waiting: a START that comes meanwhile waits for its
// turn at most START_TURN_WAIT_MS and is then refused, so that files which do not answer hold up
// at most one client, and the pipe's other instance stays free for everybody else.
class StartTurns {
  public:
    // The START that holds the turn, or none when `work` took it.
    std::shared_ptr<StartWork> take(const std::shared_ptr<StartWork>& work) {
        std::unique_lock guard(lock_);
        if (!freed_.wait_for(guard, std::chrono::milliseconds(START_TURN_WAIT_MS),
                             [this] { return holder_ == nullptr; })) {
            return holder_;
        }
        holder_ = work;
        return nullptr;
    }
    void give_back() {
        {
            const std::lock_guard guard(lock_);
            holder_.reset();
        }
        freed_.notify_one();
    }

  private:
    std::mutex lock_;
    std::condition_variable freed_;
    std::shared_ptr<StartWork> holder_;
};

StartTurns start_turns;

DWORD WINAPI start_worker(LPVOID parameter) {
    const std::unique_ptr<std::shared_ptr<StartWork>> work(
        static_cast<std::shared_ptr<StartWork>*>(parameter));
    StartWork& start = **work;
    try {
        start.result = start_core_work(start);
    } catch (...) {
        start.failure = std::current_exception();
    }
    return 0;
}

// Runs the work on its worker and answers within START_WORK_LIMIT_MS. The files' opens and the
// launch can block for as long as a user holds an oplock on a file, or a server does not answer.
ErrorText run_start_work(const std::shared_ptr<StartWork>& work) {
    auto parameter = std::make_unique<std::shared_ptr<StartWork>>(work);
    const KernelHandle worker(
        ::CreateThread(nullptr, 0, start_worker, parameter.get(), 0, nullptr));
    if (!worker) {
        return spawn_failure(system_error_text(::GetLastError()));
    }
    static_cast<void>(parameter.release());  // the worker owns it now
    if (::WaitForSingleObject(worker.get(), START_WORK_LIMIT_MS) != WAIT_OBJECT_0) {
        if (const std::string* path = work->give_up()) {
            // Frees an open that the system can cancel; the worker's core, should it still be
            // launched, is ended as it lands.
            ::CancelSynchronousIo(worker.get());
            std::string message =
                std::string(is_config(*work, *path) ? "Config file" : "Core binary") +
                " did not answer within " + std::to_string(START_WORK_LIMIT_MS / 1000) +
                " s: " + *path;
            log_core(escape_log_text(message));
            return message;
        }
        // Past the launch: what is left is short.
        ::WaitForSingleObject(worker.get(), INFINITE);
    }
    if (work->failure) {
        std::rethrow_exception(work->failure);
    }
    return work->result;
}

}  // namespace

ErrorText start_core(const std::string& config_path, const std::string& core_path) {
    log_core("start_core called: config=" + escape_log_text(config_path) +
             ", core=" + escape_log_text(core_path));
    // Under a policy nothing remote is opened, not even to learn whether it exists.
    if (ErrorText refused = refuse_remote_paths(config_path, core_path)) {
        return refused;
    }
    auto work = std::make_shared<StartWork>(config_path, core_path);
    if (const std::shared_ptr<StartWork> holder = start_turns.take(work)) {
        const std::string& path = holder->waits_on();
        std::string message = std::string("Another START is still waiting for its ") +
                              (is_config(*holder, path) ? "config file" : "core binary") + ": " +
                              path;
        log_core(escape_log_text(message));
        return message;
    }
    struct TurnGiver {
        ~TurnGiver() { start_turns.give_back(); }
    } const turn_giver;
    return run_start_work(work);
}

void stop_core() {
    with_core_slot([](std::optional<CoreProcess>& slot_core) -> ErrorText {
        ++core_slot.generation;  // a core still being launched does not stay
        if (slot_core) {
            end_by_service(*slot_core);
            slot_core.reset();
        }
        return std::nullopt;
    });
}

std::optional<std::uint32_t> running_core_pid() {
    const SlotGuard guard;
    if (core_slot.poisoned || !core_slot.core) {
        return std::nullopt;
    }
    const HANDLE process = core_slot.core->process.get();
    if (::WaitForSingleObject(process, 0) != WAIT_TIMEOUT) {
        return std::nullopt;
    }
    return ::GetProcessId(process);
}

ErrorText run_in_core_slot_for_testing(const std::function<void()>& body) {
    return with_core_slot([&](std::optional<CoreProcess>&) -> ErrorText {
        body();
        return std::nullopt;
    });
}

}  // namespace zelto
