#pragma once
// The core process supervisor: the one CoreSlot, start_core, stop_core.

#include <cstdint>
#include <optional>
#include <string>

#include "common/result.h"

namespace zelto {

// Checks both paths (the core's must name a file, not a folder) and the core against the core
// policy, replaces a held core, launches the new one with its output forwarded into the log.
// Failure texts: "Config file not found: {path}", "Core binary not found: {path}", "Core binary
// not allowed by policy: {path}", "Lock error: poisoned lock: another task failed inside",
// "Failed to spawn core process: {reason}".
ErrorText start_core(const std::string& config_path, const std::string& core_path);

// Ends the held core's job (the core and whatever it started), waits until the job is empty and
// forgets the core, if one is held. Never fails; logs only a job that does not empty in time.
void stop_core();

// STATUS: the id of the held core while its process is alive; empty when the slot is empty or
// poisoned, or the held process has ended.
std::optional<std::uint32_t> running_core_pid();

}  // namespace zelto
