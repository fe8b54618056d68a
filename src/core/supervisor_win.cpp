#include "core/supervisor.h"

#include <windows.h>

#include <string_view>

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

// The one slot of the process. Its core is read or changed only under the lock.
struct CoreSlot {
    SRWLOCK lock = SRWLOCK_INIT;
    bool poisoned = false;  // never cleared
    std::optional<CoreProcess> core;
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

ErrorText replace_core(std::optional<CoreProcess>& slot_core, const std::string& config_path,
                       const std::string& core_path) {
    if (slot_core) {
        log_core("Stopping existing core process...");
        end_core(*slot_core);
    }
    const std::string config_dir = config_dir_of(config_path);
    log_core("Config dir: " + escape_log_text(config_dir));

    Result<LaunchedCore> launched = launch_core(core_path, config_dir, config_path);
    if (!launched) {
        return spawn_failure(launched.error());
    }
    LaunchedCore& fresh = launched.value();
    log_core("Core process spawned with PID: " +
             std::to_string(::GetProcessId(fresh.core.process.get())));

    // Without both forwarders the core would block for ever once a pipe fills: it is ended, its
    // handles close with `launched`, and the slot stays as it was. Until the slot takes the core,
    // `launched` owns it: an exception from here on ends its job as it unwinds, before the slot
    // is poisoned.
    for (auto [read_end, prefix] : {std::pair{&fresh.stdout_read, STDOUT_PREFIX},
                                    std::pair{&fresh.stderr_read, STDERR_PREFIX}}) {
        if (ErrorText error = start_output_forwarder(std::move(*read_end), std::string(prefix))) {
            end_core(fresh.core);
            return spawn_failure(*error);
        }
    }

    // The old record's handles close here, after the new core runs.
    slot_core = std::move(fresh.core);
    log_core("Core process started successfully");
    return std::nullopt;
}

}  // namespace

ErrorText start_core(const std::string& config_path, const std::string& core_path) {
    log_core("start_core called: config=" + escape_log_text(config_path) +
             ", core=" + escape_log_text(core_path));
    if (!path_exists(config_path)) {
        std::string message = "Config file not found: " + config_path;
        log_core(escape_log_text(message));
        return message;
    }
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
    return with_core_slot([&](std::optional<CoreProcess>& slot_core) {
        return replace_core(slot_core, config_path, admitted.value().launch_path);
    });
}

void stop_core() {
    with_core_slot([](std::optional<CoreProcess>& slot_core) -> ErrorText {
        if (slot_core) {
            end_core(*slot_core);
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
