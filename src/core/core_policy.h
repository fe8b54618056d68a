#pragma once
// Which cores the service may start: the administrator's CorePolicy and AllowedCores, and the
// judgements a START is put to, on text and numbers alone. The Win32 side (core_policy_win.h)
// opens the file, reads its final path and the security of it and its folders, and asks these.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "common/settings.h"

namespace zelto {

// CorePolicy's values.
enum class CoreLevel : std::uint8_t {
    ANY = 0,        // any core, as the client names it
    PROTECTED = 1,  // only a core that nobody but the trusted accounts can change
    LISTED = 2,     // only the cores in AllowedCores, and those protected as for PROTECTED
};

struct CorePolicy {
    CoreLevel level = CoreLevel::ANY;
    std::vector<std::string> allowed_cores;  // full paths as written, for LISTED
};

struct CorePolicyReading {
    CorePolicy policy;
    std::vector<std::string> problems;  // one log line for each value that cannot be used
};

using SettingRead = Result<std::optional<SettingValue>>;

// The policy from the two values as read. A value that cannot be used never weakens it: an
// unusable CorePolicy means LISTED, an unusable AllowedCores under LISTED lists nothing, and an
// entry that is not a full path is left out. One AllowedCores string may hold several paths
// separated by "|", which no Windows path contains (so one MSI property can carry several).
CorePolicyReading read_core_policy(const SettingRead& level, const SettingRead& allowed_cores);

// "Core policy 2 (listed cores), paths in AllowedCores: N", for the log as the service starts.
std::string describe_core_policy(const CorePolicy& policy);

// Whether two final paths (as GetFinalPathNameByHandleW spells them) name the same file: equal
// but for the case of ASCII letters. The file system spells every other letter as its folder
// stores it on both sides, so those compare as they are.
bool same_final_path(std::string_view a, std::string_view b);

// The folders above the file of a final path, nearest first, ending with the volume's root
// ("\\?\C:\", "\\?\UNC\server\share\"); empty for a path of another form.
std::vector<std::string> folders_above(std::string_view final_path);

// The final path as a core is launched from it: without "\\?\" ("\\?\UNC\" becomes "\\") when
// the plain path names the same file, that is, when it is shorter than MAX_PATH and no name in
// it ends in a dot or a blank or is a device name (CON, NUL, COM1...); otherwise as it is.
std::string launch_path_of(std::string_view final_path);

// One entry of a DACL, as far as the judgement below needs it.
struct AccessEntry {
    bool allows = true;         // deny entries are not credited: they take nothing away here
    bool inherit_only = false;  // applies to objects created below, not to this one
    std::string sid;            // "S-1-..."; empty when the trustee could not be read
    std::uint32_t mask = 0;
};

// The owner of a file or folder and its DACL; no DACL at all lets everyone do everything.
struct ObjectSecurity {
    std::string owner;
    std::optional<std::vector<AccessEntry>> dacl;
};

// Where an object stands on the core's path.
enum class PathPart : std::uint8_t { FILE, FOLDER_OF_FILE, FOLDER_ABOVE };

// Empty when only trusted accounts can change what runs from the path through this object:
// write the file, add a file beside it (the core loads DLLs from its folder), delete or rename
// it or a folder on the way, or change an owner or a DACL there. Trusted are LocalSystem,
// Administrators, TrustedInstaller and `service_account`, the account the service runs as (a
// core only it can change gives it nothing it lacks); the owner must be one of them too, since
// an owner may always rewrite the DACL. Otherwise who else can, for the log.
ErrorText untrusted_change(const ObjectSecurity& object, PathPart part,
                           std::string_view service_account);

}  // namespace zelto
