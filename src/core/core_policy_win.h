#pragma once
// The core policy applied to a START: the file opened once, judged by what it is, and held until
// the launch from it is done.

#include <optional>
#include <string>

#include "common/result.h"
#include "common/unique_handle.h"
#include "core/core_policy.h"

namespace zelto {

// Reads CorePolicy and AllowedCores, logs each value it cannot use and any policy other than 0,
// and keeps the policy for every START after. Called once as the service starts, before the pipe
// thread.
void load_core_policy();

// The policy load_core_policy kept; "any core" until it is called.
const CorePolicy& core_policy();

struct AdmittedCore {
    // Held while the core is launched: nobody can write, delete or rename the file meanwhile.
    // None under "any core", where nothing is opened.
    KernelHandle file;
    std::string launch_path;  // the path to launch: the file's final path, or as given
};

// Under "any core", the path as given. Otherwise opens the file denying others writes and
// deletes, takes its final path (links and junctions followed) from the handle, checks the list
// for LISTED and then the file's security, from the handle, and each folder's above it. The
// error says why the file is refused, for the log.
Result<AdmittedCore> admit_core(const std::string& core_path, const CorePolicy& policy);

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
