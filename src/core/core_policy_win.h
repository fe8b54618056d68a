#pragma once
// The core policy applied to a START: the file opened once, judged by what it is, and held until
// the launch from it is done.

#include <optional>
#include <string>

#include "common/result.h"
#include "common/unique_handle.h"
#include "core/core_policy.h"

namespace zelto {

// Reads CorePolicy, AllowedCores and CoreVolumes, logs each value it cannot use, each
// AllowedCores entry left out because it is not its own final path, each CoreVolumes entry that
// names no volume, and the policy in force; identifies the volumes and keeps the policy for every
// START after. Called once as the service starts, before the pipe thread.
void load_core_policy();

// The policy load_core_policy kept; "any core" until it is called.
const CorePolicy& core_policy();

// Reads ConfigPolicy and AllowedConfigDirs, logs each value it cannot use, each listed folder
// left out (not a local folder that can be opened), and the policy in force; keeps each listed
// folder's final path. Called once as the service starts, before the pipe thread.
void load_config_policy();

// The policy load_config_policy kept; "any config" until it is called.
const ConfigPolicy& config_policy();

// The volume that holds `path`, as "\\?\Volume{...}\": what identifies it while it is mounted.
Result<std::string> volume_id_of(const std::string& path);

// Under a core or config policy, a START whose config (under either) or core (under the core
// policy) is a remote or device path, refused on its text before anything is opened: the answer
// (the config first), with why logged.
ErrorText refuse_remote_paths(const std::string& config_path, const std::string& core_path);

struct AdmittedCore {
    // Held while the core is launched: nobody can write, delete or rename the file meanwhile.
    // None under "any core", where nothing is opened.
    KernelHandle file;
    std::string launch_path;  // the path to launch: the file's final path, or as given
    // Under a policy the core searches only the system's folders for a DLL named bare, since
    // the policy checks no other folder of the machine's PATH.
    bool system_path_only = false;
};

// Under "any core", the path as given. Otherwise opens the file denying others writes and
// deletes, takes its final path (links and junctions followed) from the handle, checks the list
// for LISTED, the file's volume, that it is a Windows image, and then the file's security, from
// the handle, and each folder's above it. The error says why the file is refused, for the log.
Result<AdmittedCore> admit_core(const std::string& core_path, const CorePolicy& policy);

struct AdmittedConfig {
    // Held while the core is launched, so nobody can change, delete or rename the file judged.
    // None under "any config", where nothing is opened.
    KernelHandle file;
    std::string launch_path;  // the config's final path to launch with, or as given
};

// Under "any config", the path as given. Otherwise opens the config once without following a
// reparse point, refuses a reparse point or a folder, requires its final path inside a listed
// folder, the config and each folder above it to pass the core policy's judgement, and its folder
// to hold no reparse point and nothing others can change, at any depth. The error says why.
Result<AdmittedConfig> admit_config(const std::string& config_path, const ConfigPolicy& policy);

// A file or folder that accounts other than the trusted ones can change, and who, or why that
// cannot be told (`judged` false).
struct Unprotected {
    std::string path;
    std::string why;
    bool judged = true;
};

// The file at `path` and every folder above it judged as a core is under CorePolicy 1, the
// account this process runs as trusted too: the first that others can change, its path without
// "\\?\" where that names the same; none when only trusted accounts can change any of them.
std::optional<Unprotected> find_unprotected(const std::wstring& path);

}  // namespace zelto
