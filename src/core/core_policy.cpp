#include "core/core_policy.h"

#include <algorithm>
#include <array>

namespace zelto {

namespace {

constexpr std::string_view DOS_PREFIX = "\\\\?\\";
constexpr std::string_view UNC_PREFIX = "\\\\?\\UNC\\";
// MAX_PATH counts the terminating NUL.
constexpr std::size_t PLAIN_PATH_LIMIT = 259;

// The accounts that may change a core's file and folders, besides the service's own.
constexpr std::array<std::string_view, 3> TRUSTED_SIDS = {
    "S-1-5-18",                                                        // LocalSystem
    "S-1-5-32-544",                                                    // Administrators
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",  // TrustedInstaller
};
// OWNER RIGHTS: an entry for whoever owns the object, which must be trusted already.
constexpr std::string_view OWNER_RIGHTS_SID = "S-1-3-4";

// Access rights, as winnt.h numbers them.
constexpr std::uint32_t FILE_WRITE_DATA_RIGHT = 0x0002;  // FILE_ADD_FILE on a folder
constexpr std::uint32_t FILE_APPEND_DATA_RIGHT = 0x0004;
constexpr std::uint32_t FILE_DELETE_CHILD_RIGHT = 0x0040;
constexpr std::uint32_t DELETE_RIGHT = 0x00010000;
constexpr std::uint32_t WRITE_DAC_RIGHT = 0x00040000;
constexpr std::uint32_t WRITE_OWNER_RIGHT = 0x00080000;
constexpr std::uint32_t MAXIMUM_ALLOWED_RIGHT = 0x02000000;
constexpr std::uint32_t GENERIC_ALL_RIGHT = 0x10000000;
constexpr std::uint32_t GENERIC_WRITE_RIGHT = 0x40000000;
constexpr std::uint32_t FILE_ALL_ACCESS_RIGHTS = 0x001F01FF;
constexpr std::uint32_t FILE_GENERIC_WRITE_RIGHTS = 0x00120116;

std::string where(std::string_view value) {
    return std::string(value) + " under " + std::string(SETTINGS_KEY_NAME);
}

char ascii_upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool is_separator(char c) {
    return c == '\\' || c == '/';
}

bool is_drive_path(std::string_view path) {
    return path.size() >= 3 && ascii_upper(path[0]) >= 'A' && ascii_upper(path[0]) <= 'Z' &&
           path[1] == ':' && is_separator(path[2]);
}

bool is_full_path(std::string_view path) {
    const bool unc = path.size() >= 3 && is_separator(path[0]) && is_separator(path[1]);
    return is_drive_path(path) || unc;
}

std::string_view trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// How long the "\\?\C:\" or "\\?\UNC\server\share\" root of a final path is; 0 for another form.
std::size_t root_length(std::string_view path) {
    if (path.starts_with(UNC_PREFIX)) {
        const std::size_t server_end = path.find('\\', UNC_PREFIX.size());
        if (server_end == std::string_view::npos || server_end == UNC_PREFIX.size()) {
            return 0;
        }
        const std::size_t share_end = path.find('\\', server_end + 1);
        if (share_end == std::string_view::npos || share_end == server_end + 1) {
            return 0;
        }
        return share_end + 1;
    }
    const std::size_t drive = DOS_PREFIX.size();
    if (path.starts_with(DOS_PREFIX) && path.size() > drive + 2 &&
        ascii_upper(path[drive]) >= 'A' && ascii_upper(path[drive]) <= 'Z' &&
        path[drive + 1] == ':' && path[drive + 2] == '\\') {
        return drive + 3;
    }
    return 0;
}

// A name the Win32 path rules would change or take for a device.
bool changes_without_prefix(std::string_view name) {
    if (name.empty() || name.back() == '.' || name.back() == ' ') {
        return true;
    }
    std::string base(trimmed(name.substr(0, name.find('.'))));
    std::transform(base.begin(), base.end(), base.begin(), ascii_upper);
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" ||
        base == "CONOUT$") {
        return true;
    }
    // COM1 to COM9, LPT1 to LPT9 and their superscript forms (two bytes in UTF-8).
    return (base.starts_with("COM") || base.starts_with("LPT")) &&
           (base.size() == 4 || base.size() == 5);
}

bool trusted(std::string_view sid, std::string_view service_account) {
    return std::find(TRUSTED_SIDS.begin(), TRUSTED_SIDS.end(), sid) != TRUSTED_SIDS.end() ||
           (!service_account.empty() && sid == service_account);
}

// What lets a holder of the rights change what runs from the path, by where the object stands.
std::uint32_t changing_rights(PathPart part) {
    std::uint32_t rights = DELETE_RIGHT | WRITE_DAC_RIGHT | WRITE_OWNER_RIGHT;
    switch (part) {
        case PathPart::FILE:
            rights |= FILE_WRITE_DATA_RIGHT | FILE_APPEND_DATA_RIGHT;
            break;
        case PathPart::FOLDER_OF_FILE:
            // FILE_APPEND_DATA is FILE_ADD_SUBDIRECTORY on a folder: "{core}.local\" there
            // redirects the core's DLLs, and a new folder can be a junction.
            rights |= FILE_WRITE_DATA_RIGHT | FILE_APPEND_DATA_RIGHT | FILE_DELETE_CHILD_RIGHT;
            break;  // holds FOLDER_ABOVE's rights already: falling through would add none
        case PathPart::FOLDER_ABOVE:
            rights |= FILE_DELETE_CHILD_RIGHT;
            break;
    }
    return rights;
}

std::uint32_t with_generic_rights_mapped(std::uint32_t mask) {
    if ((mask & (GENERIC_ALL_RIGHT | MAXIMUM_ALLOWED_RIGHT)) != 0) {
        mask |= FILE_ALL_ACCESS_RIGHTS;
    }
    if ((mask & GENERIC_WRITE_RIGHT) != 0) {
        mask |= FILE_GENERIC_WRITE_RIGHTS;
    }
    return mask;
}

std::string hex(std::uint32_t value) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), DIGITS[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    return "0x" + text;
}

std::string joined(const std::vector<std::string>& texts) {
    std::string text;
    for (const std::string& part : texts) {
        text += (text.empty() ? "" : ", ") + part;
    }
    return text;
}

// The volumes a policy names besides the system's; each problem names none, never more.
// The full paths a REG_MULTI_SZ value lists ('|' separates them too), with a line for each
// problem ending in what it leads to. A missing value, or one that lists no full path, is a
// problem only where the list is `required`.
std::vector<std::string> read_path_list(std::string_view name, const SettingRead& value,
                                        bool required, const std::string& consequence,
                                        std::vector<std::string>& problems) {
    if (!value) {
        problems.push_back(where(name) + " cannot be read: " + value.error() + consequence);
        return {};
    }
    if (!value.value()) {
        if (required) {
            problems.push_back(where(name) + " is missing" + consequence);
        }
        return {};
    }
    const Result<std::vector<std::string>> strings = setting_strings(*value.value());
    if (!strings) {
        problems.push_back(where(name) + " " + strings.error() + consequence);
        return {};
    }
    PathList list = split_path_list(strings.value());
    if (!list.left_out.empty()) {
        problems.push_back(where(name) + " holds paths that are not full paths, left out: " +
                           joined(list.left_out));
    }
    if (required && list.paths.empty()) {
        problems.push_back(where(name) + " lists no full path" + consequence);
    }
    return std::move(list.paths);
}

}  // namespace

PathList split_path_list(const std::vector<std::string>& strings) {
    PathList list;
    for (const std::string& text : strings) {
        std::string_view rest = text;
        for (;;) {
            const std::size_t bar = rest.find('|');
            const std::string_view path = trimmed(rest.substr(0, bar));
            if (is_full_path(path)) {
                list.paths.emplace_back(path);
            } else if (!path.empty()) {
                list.left_out.emplace_back(path);
            }
            if (bar == std::string_view::npos) {
                break;
            }
            rest.remove_prefix(bar + 1);
        }
    }
    return list;
}

CorePolicyReading read_core_policy(const SettingRead& level, const SettingRead& allowed_cores,
                                   const SettingRead& core_volumes) {
    CorePolicyReading reading;
    const std::string strictest = "; applying 2 (listed cores)";
    if (!level) {
        reading.problems.push_back(where("CorePolicy") + " cannot be read: " + level.error() +
                                   strictest);
        reading.policy.level = CoreLevel::LISTED;
    } else if (!level.value()) {
        return reading;
    } else if (const Result<std::uint64_t> number = setting_number(*level.value()); !number) {
        reading.problems.push_back(where("CorePolicy") + " " + number.error() + strictest);
        reading.policy.level = CoreLevel::LISTED;
    } else if (number.value() > static_cast<std::uint64_t>(CoreLevel::LISTED)) {
        reading.problems.push_back(where("CorePolicy") + " is " + std::to_string(number.value()) +
                                   ", not 0, 1 or 2" + strictest);
        reading.policy.level = CoreLevel::LISTED;
    } else {
        reading.policy.level = static_cast<CoreLevel>(number.value());
    }
    if (reading.policy.level == CoreLevel::ANY) {
        return reading;
    }
    reading.policy.core_volumes =
        read_path_list("CoreVolumes", core_volumes, false,
                       "; a core may run from the system volume only", reading.problems);
    if (reading.policy.level == CoreLevel::LISTED) {
        reading.policy.allowed_cores = read_path_list("AllowedCores", allowed_cores, true,
                                                      "; no core may start", reading.problems);
    }
    return reading;
}

std::string describe_core_policy(const CorePolicy& policy) {
    const std::string volumes =
        policy.core_volumes.empty()
            ? ""
            : ", volumes in CoreVolumes: " + std::to_string(policy.core_volumes.size());
    switch (policy.level) {
        case CoreLevel::ANY:
            break;
        case CoreLevel::PROTECTED:
            return "Core policy 1 (protected location)" + volumes;
        case CoreLevel::LISTED:
            return "Core policy 2 (listed cores), paths in AllowedCores: " +
                   std::to_string(policy.allowed_cores.size()) + volumes;
    }
    return "Core policy 0 (any core)";
}

ErrorText remote_or_device_path(std::string_view path) {
    // "\\?\" and "\??\" pass the rest to the object manager as it is; "\\.\" names a device.
    const bool verbatim =
        path.size() >= 4 && is_separator(path[0]) && (is_separator(path[1]) || path[1] == '?') &&
        (path[2] == '?' || (path[2] == '.' && is_separator(path[1]))) && is_separator(path[3]);
    if (verbatim) {
        const std::string_view rest = path.substr(4);
        if (path[2] == '?' && is_drive_path(rest)) {
            return std::nullopt;
        }
        std::string head(rest.substr(0, 4));
        std::transform(head.begin(), head.end(), head.begin(), ascii_upper);
        const bool unc = head.size() == 4 && head.starts_with("UNC") && is_separator(head[3]);
        return std::string(unc ? "a remote path" : "a device path");
    }
    if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
        return std::string("a remote path");
    }
    return std::nullopt;
}

ErrorText not_an_image(std::string_view final_path, std::string_view head) {
    // Only the name's end counts. Win32 drops trailing dots and blanks from a name, so
    // "x.bat. " runs as "x.bat".
    std::string path(final_path);
    while (!path.empty() && (path.back() == '.' || path.back() == ' ')) {
        path.pop_back();
    }
    std::transform(path.begin(), path.end(), path.begin(), ascii_upper);
    if (path.ends_with(".BAT") || path.ends_with(".CMD")) {
        return std::string("a batch file, which cmd.exe would run");
    }
    if (!head.starts_with("MZ")) {
        return std::string("not a Windows image (it does not begin with MZ)");
    }
    return std::nullopt;
}

bool is_own_final_path(std::string_view entry, std::string_view final_path) {
    std::string spelled(entry);
    std::replace(spelled.begin(), spelled.end(), '/', '\\');
    if (!spelled.starts_with(DOS_PREFIX)) {
        spelled = spelled.starts_with("\\\\") ? std::string(UNC_PREFIX) + spelled.substr(2)
                                              : std::string(DOS_PREFIX) + spelled;
    }
    return same_final_path(spelled, final_path);
}

bool same_final_path(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return ascii_upper(x) == ascii_upper(y); });
}

std::vector<std::string> folders_above(std::string_view final_path) {
    std::vector<std::string> folders;
    const std::size_t root = root_length(final_path);
    if (root == 0 || final_path.size() <= root) {
        return folders;
    }
    for (std::size_t cut = final_path.rfind('\\'); cut != std::string_view::npos && cut >= root;
         cut = final_path.rfind('\\', cut - 1)) {
        folders.emplace_back(final_path.substr(0, cut));
    }
    folders.emplace_back(final_path.substr(0, root));
    return folders;
}

std::string launch_path_of(std::string_view final_path) {
    const std::size_t root = root_length(final_path);
    if (root == 0) {
        return std::string(final_path);
    }
    std::string_view names = final_path.substr(root);
    for (;;) {
        const std::size_t cut = names.find('\\');
        if (changes_without_prefix(names.substr(0, cut))) {
            return std::string(final_path);
        }
        if (cut == std::string_view::npos) {
            break;
        }
        names.remove_prefix(cut + 1);
    }
    std::string plain = final_path.starts_with(UNC_PREFIX)
                            ? "\\\\" + std::string(final_path.substr(UNC_PREFIX.size()))
                            : std::string(final_path.substr(DOS_PREFIX.size()));
    return plain.size() <= PLAIN_PATH_LIMIT ? plain : std::string(final_path);
}

ErrorText untrusted_change(const ObjectSecurity& object, PathPart part,
                           std::string_view service_account) {
    if (!trusted(object.owner, service_account)) {
        return "owned by " +
               (object.owner.empty() ? "an account that cannot be read" : object.owner);
    }
    if (!object.dacl) {
        return std::string("no DACL: anyone may change it");
    }
    for (const AccessEntry& entry : *object.dacl) {
        if (!entry.allows || entry.inherit_only || trusted(entry.sid, service_account) ||
            entry.sid == OWNER_RIGHTS_SID) {
            continue;
        }
        if (const std::uint32_t granted =
                with_generic_rights_mapped(entry.mask) & changing_rights(part)) {
            return (entry.sid.empty() ? std::string("an entry whose account cannot be read")
                                      : entry.sid) +
                   " may change it (" + hex(granted) + ")";
        }
    }
    return std::nullopt;
}

ConfigPolicyReading read_config_policy(const SettingRead& level, const SettingRead& allowed_dirs) {
    ConfigPolicyReading reading;
    const std::string strictest = "; applying 1 (listed folders)";
    if (!level) {
        reading.problems.push_back(where("ConfigPolicy") + " cannot be read: " + level.error() +
                                   strictest);
    } else if (!level.value()) {
        return reading;
    } else if (const Result<std::uint64_t> number = setting_number(*level.value()); !number) {
        reading.problems.push_back(where("ConfigPolicy") + " " + number.error() + strictest);
    } else if (number.value() > 1) {
        reading.problems.push_back(where("ConfigPolicy") + " is " + std::to_string(number.value()) +
                                   ", not 0 or 1" + strictest);
    } else if (number.value() == 0) {
        return reading;
    }
    reading.policy.level = ConfigLevel::LISTED;

    reading.policy.allowed_dirs = read_path_list("AllowedConfigDirs", allowed_dirs, true,
                                                 "; no config may start", reading.problems);
    return reading;
}

std::string describe_config_policy(const ConfigPolicy& policy) {
    if (policy.level == ConfigLevel::ANY) {
        return "Config policy 0 (any config)";
    }
    return "Config policy 1 (listed folders), folders in AllowedConfigDirs: " +
           std::to_string(policy.allowed_dirs.size());
}

bool inside_folder(std::string_view final_path, std::string_view folder) {
    while (!folder.empty() && folder.back() == '\\') {
        folder.remove_suffix(1);  // a volume's root ends in one
    }
    if (folder.empty() || final_path.size() <= folder.size() ||
        !same_final_path(final_path.substr(0, folder.size()), folder) ||
        final_path[folder.size()] != '\\') {
        return false;
    }
    std::string_view rest = final_path.substr(folder.size() + 1);
    for (;;) {
        const std::size_t cut = rest.find('\\');
        const std::string_view name = rest.substr(0, cut);
        if (name.empty() || name == "." || name == "..") {
            return false;
        }
        if (cut == std::string_view::npos) {
            return true;
        }
        rest.remove_prefix(cut + 1);
    }
}

ErrorText untrusted_in_tree(const std::string& root, const ListFolder& list,
                            const ReadSecurity& security, std::string_view service_account) {
    std::vector<std::string> folders{root};
    std::size_t seen = 0;
    while (!folders.empty()) {
        const std::string folder = std::move(folders.back());
        folders.pop_back();
        const Result<std::vector<FolderEntry>> entries = list(folder);
        if (!entries) {
            return folder + ": cannot be listed: " + entries.error();
        }
        for (const FolderEntry& entry : entries.value()) {
            if (++seen > CONFIG_TREE_LIMIT) {
                return root + ": more than " + std::to_string(CONFIG_TREE_LIMIT) + " entries";
            }
            const std::string path = folder + "\\" + entry.name;
            if (entry.reparse_point) {
                return path + ": a reparse point";
            }
            const Result<ObjectSecurity> read = security(path);
            if (!read) {
                return path + ": its security cannot be read: " + read.error();
            }
            // A folder counts as the config's own: a new folder in it could be a junction.
            if (ErrorText why = untrusted_change(
                    read.value(), entry.folder ? PathPart::FOLDER_OF_FILE : PathPart::FILE,
                    service_account)) {
                return path + ": " + *why;
            }
            if (entry.folder) {
                folders.push_back(path);
            }
        }
    }
    return std::nullopt;
}

}  // namespace zelto
