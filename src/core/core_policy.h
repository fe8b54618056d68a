#pragma once
// Which cores the service may start: the administrator's CorePolicy and AllowedCores, and the
// judgements a START is put to, on text and numbers alone. The Win32 side (core_policy_win.h)
// opens the file, reads its final path and the security of it and its folders, and asks these.

#include <cstddef>
#include <cstdint>
#include <functional>
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
    // Full paths on the volumes an administrator names, besides the system volume, for PROTECTED
    // and LISTED.
    std::vector<std::string> core_volumes;
    // Those volumes as the service identified them when it started ("\\?\Volume{...}\"), the
    // system volume first: a disk that later takes a listed letter is not among them.
    std::vector<std::string> volume_ids;
};

struct CorePolicyReading {
    CorePolicy policy;
    std::vector<std::string> problems;  // one log line for each value that cannot be used
};

using SettingRead = Result<std::optional<SettingValue>>;

// The policy from the three values as read. A value that cannot be used never weakens it: an
// unusable CorePolicy means LISTED, an unusable AllowedCores under LISTED lists nothing, an
// unusable CoreVolumes names no volume, and an entry that is not a full path is left out. One
// string may hold several paths separated by "|", which no Windows path contains (so one MSI
// property can carry several).
CorePolicyReading read_core_policy(const SettingRead& level, const SettingRead& allowed_cores,
                                   const SettingRead& core_volumes);

// The full paths of a REG_MULTI_SZ list, each string split at "|" and trimmed of blanks, and
// the entries that are not full paths.
struct PathList {
    std::vector<std::string> paths;
    std::vector<std::string> left_out;
};
PathList split_path_list(const std::vector<std::string>& strings);

// "Core policy 2 (listed cores), paths in AllowedCores: N", for the log as the service starts;
// ", volumes in CoreVolumes: N" follows when a policy names volumes.
std::string describe_core_policy(const CorePolicy& policy);

// Why Win32 would take `path` to another machine or to a device rather than to a file on a local
// drive ("a remote path", "a device path"): "\\server\share\...", "\\?\UNC\...", "\\.\..."
// and "\\?\" or "\??\" paths other than a drive letter's. Empty for a drive's path or a
// relative one. Told from the text alone, so that nothing is opened for it.
ErrorText remote_or_device_path(std::string_view path);

// Why the file at `final_path`, whose first bytes are `head`, is no Windows image that
// CreateProcessW runs itself: a batch file, which it hands to cmd.exe to parse the whole command
// line again, or a file that does not begin with "MZ". Empty for an image.
ErrorText not_an_image(std::string_view final_path, std::string_view head);

// Whether `entry`, a full path as an administrator wrote it, names its file directly: the file's
// final path spells it, but for the "\\?\" prefix and the case of letters, so no link,
// junction, short name, mount point or ".." lies along it.
bool is_own_final_path(std::string_view entry, std::string_view final_path);

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
// write the file, add a file or folder beside it (the core loads DLLs from its folder, or from a
// "{name}.local" folder there), delete or rename
// it or a folder on the way, or change an owner or a DACL there. Trusted are LocalSystem,
// Administrators, TrustedInstaller and `service_account`, the account the service runs as (a
// core only it can change gives it nothing it lacks); the owner must be one of them too, since
// an owner may always rewrite the DACL. Otherwise who else can, for the log.
ErrorText untrusted_change(const ObjectSecurity& object, PathPart part,
                           std::string_view service_account);

// ConfigPolicy's values, and AllowedConfigDirs for LISTED.
enum class ConfigLevel : std::uint8_t {
    ANY = 0,     // any config, as the client names it
    LISTED = 1,  // only configs inside the folders in AllowedConfigDirs
};

struct ConfigPolicy {
    ConfigLevel level = ConfigLevel::ANY;
    std::vector<std::string> allowed_dirs;  // full paths as written; final paths once loaded
};

struct ConfigPolicyReading {
    ConfigPolicy policy;
    std::vector<std::string> problems;
};

// As read_core_policy: an unusable ConfigPolicy means LISTED, and under LISTED an unusable
// AllowedConfigDirs lists no folder.
ConfigPolicyReading read_config_policy(const SettingRead& level, const SettingRead& allowed_dirs);

// "Config policy 1 (listed folders), folders in AllowedConfigDirs: N" or "Config policy 0 (any
// config)".
std::string describe_config_policy(const ConfigPolicy& policy);

// Whether the final path lies inside the folder's final path: below it by whole components,
// letter case aside, with no "." or ".." component after it.
bool inside_folder(std::string_view final_path, std::string_view folder);

// One entry of a folder as its listing shows it, links not followed.
struct FolderEntry {
    std::string name;
    bool folder = false;
    bool reparse_point = false;
};

// The config's folder may hold, at any depth, no reparse point and nothing that accounts other
// than the trusted ones can change: the core reads and writes there as LocalSystem. Walks the tree
// under `root` through `list` and `security` (either may fail, which refuses), at most
// CONFIG_TREE_LIMIT entries. Empty when the tree passes; otherwise why not, for the log.
inline constexpr std::size_t CONFIG_TREE_LIMIT = 10000;
using ListFolder = std::function<Result<std::vector<FolderEntry>>(const std::string& folder)>;
using ReadSecurity = std::function<Result<ObjectSecurity>(const std::string& path)>;
ErrorText untrusted_in_tree(const std::string& root, const ListFolder& list,
                            const ReadSecurity& security, std::string_view service_account);

}  // namespace zelto
