#pragma once
// The core process supervisor: the one CoreSlot, start_core, stop_core.

#include <cstdint>
#include <optional>
#include <string>

#include "common/result.h"

namespace zelto {

// How long a START's work (the checks, ending the held core, the launch) may take before the START
// is answered with an error: its files may be held up by a user's oplock or an unreachable server.
inline constexpr std::uint32_t START_WORK_LIMIT_MS = 10000;
// One START's work runs at a time. How long a START waits for another's work to be answered before
// it is refused: files that do not answer must hold up one client at most, not every instance of
// the pipe.
inline constexpr std::uint32_t START_TURN_WAIT_MS = 1000;

// Checks both paths (the core's must name a file, not a folder) and the core against the core
// policy, replaces a held core, launches the new one with its output forwarded into the log. The
// work runs on a thread of its own; after START_WORK_LIMIT_MS the START is answered with an error
// and a core it launches later is ended. A START that finds another's work still under way after
// START_TURN_WAIT_MS is refused.
// Failure texts: "Config file not found: {path}", "Core binary not found: {path}", "Core binary
// not allowed by policy: {path}", "Lock error: poisoned lock: another task failed inside",
// "Failed to spawn core process: {reason}", "Config file did not answer within 10 s: {path}",
// "Core binary did not answer within 10 s: {path}", "Another START is still waiting for its config
// file: {path}", "Another START is still waiting for its core binary: {path}".
ErrorText start_core(const std::string& config_path, const std::string& core_path);

// Ends the held core's job (the core and whatever it started), waits until the job is empty and
// forgets the core, if one is held. Never fails; logs only a job that does not empty in time.
void stop_core();

// STATUS: the id of the held core while its process is alive; empty when the slot is empty or
// poisoned, or the held process has ended.
std::optional<std::uint32_t> running_core_pid();

}  // namespace zelto
