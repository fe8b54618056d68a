#include "core/core_policy_win.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <vector>

#include "common/settings_win.h"
#include "common/win_text.h"
#include "log/log.h"
#include "log/log_line.h"

namespace zelto {

namespace {

// Written once by load_core_policy and load_config_policy before the pipe thread exists, only
// read after.
CorePolicy kept_policy;
ConfigPolicy kept_config_policy;

std::string sid_text(PSID sid) {
    wchar_t* text = nullptr;
    if (sid == nullptr || !::ConvertSidToStringSidW(sid, &text)) {
        return {};  // judged as an account that is not trusted
    }
    const LocalMemory text_owner(text);
    return to_utf8(text);
}

// The account the service runs as; empty, so trusting nobody more, when it cannot be read.
std::string service_account() {
    HANDLE raw_token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw_token)) {
        return {};
    }
    const KernelHandle token(raw_token);
    alignas(TOKEN_USER) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    DWORD size = 0;
    if (!::GetTokenInformation(token.get(), TokenUser, user, sizeof user, &size)) {
        return {};
    }
    return sid_text(reinterpret_cast<TOKEN_USER*>(user)->User.Sid);
}

// The path of the open file, its volume spelled by `volume_form` (VOLUME_NAME_DOS: "\\?\C:\",
// VOLUME_NAME_GUID: "\\?\Volume{...}\").
Result<std::string> final_path_of(HANDLE file, DWORD volume_form = VOLUME_NAME_DOS) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetFinalPathNameByHandleW(
            file, path.data(), static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED | volume_form);
        if (length == 0) {
            return Result<std::string>::failure(system_error_text(::GetLastError()));
        }
        const bool fits = length < path.size();
        path.resize(length);  // when it does not fit, the length asked for, NUL included
        if (fits) {
            return to_utf8(path);
        }
    }
}

Result<ObjectSecurity> security_of(HANDLE object) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD code = ::GetSecurityInfo(object, SE_FILE_OBJECT,
                                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                         &owner, nullptr, &dacl, nullptr, &descriptor);
    if (code != ERROR_SUCCESS) {
        return Result<ObjectSecurity>::failure(system_error_text(code));
    }
    const LocalMemory descriptor_owner(descriptor);
    ObjectSecurity security;
    security.owner = sid_text(owner);
    if (dacl == nullptr) {
        return security;
    }
    std::vector<AccessEntry> entries;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!::GetAce(dacl, i, &ace)) {
            return Result<ObjectSecurity>::failure(system_error_text(::GetLastError()));
        }
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        // Every allow entry has its mask right after the header.
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        const BYTE type = header->AceType;
        const bool plain =
            type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
        AccessEntry entry;
        entry.inherit_only = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
        // Deny entries and whatever else is no allow entry grant nothing.
        entry.allows = plain || type == ACCESS_ALLOWED_COMPOUND_ACE_TYPE ||
                       type == ACCESS_ALLOWED_OBJECT_ACE_TYPE ||
                       type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE;
        entry.mask = entry.allows ? allowed->Mask : 0;
        if (plain) {
            // The other layouts' trustee is not read: an empty one is judged as not trusted.
            entry.sid = sid_text(&allowed->SidStart);
        }
        entries.push_back(std::move(entry));
    }
    security.dacl = std::move(entries);
    return security;
}

// The "\\?\Volume{...}\" at the start of a path spelled with VOLUME_NAME_GUID.
Result<std::string> volume_id_in(const std::string& guid_path) {
    constexpr std::string_view VOLUME_PREFIX = "\\\\?\\Volume{";
    const std::size_t end = guid_path.find("}\\");
    if (!guid_path.starts_with(VOLUME_PREFIX) || end == std::string::npos) {
        return Result<std::string>::failure("no volume name in " + guid_path);
    }
    return guid_path.substr(0, end + 2);
}

// The entries of AllowedCores that are their own final paths. One that leads elsewhere (a
// junction a user made along it could point it at any program later) is left out with a line.
// One that cannot be opened now is kept: it admits only a file at exactly its own spelling.
std::vector<std::string> own_final_paths(const std::vector<std::string>& entries) {
    std::vector<std::string> kept;
    for (const std::string& entry : entries) {
        if (ErrorText form = remote_or_device_path(entry)) {
            log_core(escape_log_text("Core policy: AllowedCores entry " + entry +
                                     " left out: " + *form));
            continue;
        }
        const KernelHandle listed(
            ::CreateFileW(to_wide(entry).c_str(), FILE_READ_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        const Result<std::string> resolved =
            listed ? final_path_of(listed.get()) : Result<std::string>(std::string());
        if (resolved && !resolved.value().empty() && !is_own_final_path(entry, resolved.value())) {
            log_core(escape_log_text("Core policy: AllowedCores entry " + entry +
                                     " left out: it leads to " + resolved.value()));
            continue;
        }
        kept.push_back(entry);
    }
    return kept;
}

// The system volume's id, then those of the volumes CoreVolumes names; an entry that names no
// volume is left out with a line.
std::vector<std::string> volume_ids_of(const std::vector<std::string>& core_volumes) {
    std::vector<std::string> ids;
    wchar_t windows[MAX_PATH + 1] = {};
    const UINT length = ::GetSystemWindowsDirectoryW(windows, MAX_PATH + 1);
    const Result<std::string> system =
        length > 0 && length <= MAX_PATH
            ? volume_id_of(to_utf8(windows))
            : Result<std::string>::failure(system_error_text(::GetLastError()));
    if (system) {
        ids.push_back(system.value());
    } else {
        log_core("Core policy: the system volume cannot be told: " + system.error() +
                 "; no core may start");
    }
    for (const std::string& entry : core_volumes) {
        ErrorText why = remote_or_device_path(entry);
        if (!why) {
            Result<std::string> id = volume_id_of(entry);
            if (id) {
                ids.push_back(std::move(id.value()));
                continue;
            }
            why = id.error();
        }
        log_core(escape_log_text("Core policy: CoreVolumes entry " + entry + " left out: " + *why));
    }
    return ids;
}

bool on_admitted_volume(HANDLE file, const std::vector<std::string>& volume_ids,
                        std::string& volume) {
    const Result<std::string> guid_path = final_path_of(file, VOLUME_NAME_GUID);
    const Result<std::string> id = guid_path ? volume_id_in(guid_path.value())
                                             : Result<std::string>::failure(guid_path.error());
    volume = id ? id.value() : id.error();
    return id && std::any_of(volume_ids.begin(), volume_ids.end(), [&](const std::string& known) {
               return same_final_path(known, id.value());
           });
}

// The first bytes of the held file, from its start.
std::string head_of(HANDLE file) {
    char bytes[2] = {};
    DWORD got = 0;
    OVERLAPPED at_start{};
    if (!::ReadFile(file, bytes, sizeof bytes, &got, &at_start)) {
        return {};
    }
    return std::string(bytes, got);
}

// None when only trusted accounts can change the held file and each folder above it; otherwise
// the first that others can change, or whose security cannot be read.
std::optional<Unprotected> check_protected(HANDLE file, const std::string& final_path) {
    const std::vector<std::string> folders = folders_above(final_path);
    if (folders.empty()) {
        return Unprotected{final_path, "a path whose folders cannot be told", false};
    }
    const std::string account = service_account();
    Result<ObjectSecurity> security = security_of(file);
    if (!security) {
        return Unprotected{final_path, "its security cannot be read: " + security.error(), false};
    }
    if (ErrorText why = untrusted_change(security.value(), PathPart::FILE, account)) {
        return Unprotected{final_path, *why};
    }
    PathPart part = PathPart::FOLDER_OF_FILE;
    for (const std::string& folder : folders) {
        const KernelHandle opened(
            ::CreateFileW(to_wide(folder).c_str(), READ_CONTROL,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!opened) {
            return Unprotected{folder, system_error_text(::GetLastError()), false};
        }
        security = security_of(opened.get());
        if (!security) {
            return Unprotected{folder, "its security cannot be read: " + security.error(), false};
        }
        if (ErrorText why = untrusted_change(security.value(), part, account)) {
            return Unprotected{folder, *why};
        }
        part = PathPart::FOLDER_ABOVE;
    }
    return std::nullopt;
}

}  // namespace

Result<std::string> volume_id_of(const std::string& path) {
    const std::wstring wide = to_wide(path);
    std::wstring root(wide.size() + 2, L'\0');
    wchar_t id[MAX_PATH] = {};
    if (path.find('\0') != std::string::npos ||
        !::GetVolumePathNameW(wide.c_str(), root.data(), static_cast<DWORD>(root.size())) ||
        !::GetVolumeNameForVolumeMountPointW(root.c_str(), id, MAX_PATH)) {
        return Result<std::string>::failure(system_error_text(::GetLastError()));
    }
    return to_utf8(id);
}

void load_core_policy() {
    CorePolicyReading reading = read_core_policy(
        read_setting(L"CorePolicy"), read_setting(L"AllowedCores"), read_setting(L"CoreVolumes"));
    for (const std::string& problem : reading.problems) {
        log_core("Core policy: " + escape_log_text(problem));  // the lists may hold anything
    }
    CorePolicy& policy = reading.policy;
    if (policy.level != CoreLevel::ANY) {
        policy.allowed_cores = own_final_paths(policy.allowed_cores);
        policy.volume_ids = volume_ids_of(policy.core_volumes);
    }
    log_core(describe_core_policy(policy));
    kept_policy = std::move(policy);
}

const CorePolicy& core_policy() {
    return kept_policy;
}

ErrorText refuse_remote_paths(const std::string& config_path, const std::string& core_path) {
    const std::string core_level =
        "CorePolicy " + std::to_string(static_cast<int>(kept_policy.level)) + ": ";
    const bool core_policy_on = kept_policy.level != CoreLevel::ANY;
    const bool config_policy_on = kept_config_policy.level != ConfigLevel::ANY;
    const struct {
        const std::string& path;
        bool checked;
        std::string level;
        const char* answer;
    } checks[] = {
        {config_path, core_policy_on || config_policy_on,
         config_policy_on ? "ConfigPolicy 1: " : core_level, "Config not allowed by policy: "},
        {core_path, core_policy_on, core_level, "Core binary not allowed by policy: "},
    };
    for (const auto& check : checks) {
        if (ErrorText form = check.checked ? remote_or_device_path(check.path) : std::nullopt) {
            std::string message = check.answer + check.path;
            log_core(escape_log_text(message + " (" + check.level + *form + ")"));
            return message;
        }
    }
    return std::nullopt;
}

Result<AdmittedCore> admit_core(const std::string& core_path, const CorePolicy& policy) {
    using Admitted = Result<AdmittedCore>;
    if (policy.level == CoreLevel::ANY) {
        return AdmittedCore{KernelHandle(), core_path, false};
    }
    const std::string level = "CorePolicy " + std::to_string(static_cast<int>(policy.level)) + ": ";
    if (core_path.find('\0') != std::string::npos) {
        return Admitted::failure(level + "the path holds a NUL");
    }
    // Others may go on reading and running the file, but not write, delete or rename it.
    KernelHandle file(::CreateFileW(to_wide(core_path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) {
        return Admitted::failure(level + "the file cannot be held against changes: " +
                                 system_error_text(::GetLastError()));
    }
    const Result<std::string> final_path = final_path_of(file.get());
    if (!final_path) {
        return Admitted::failure(level + "no final path: " + final_path.error());
    }
    const std::string& final = final_path.value();
    if (policy.level == CoreLevel::LISTED &&
        std::none_of(policy.allowed_cores.begin(), policy.allowed_cores.end(),
                     [&](const std::string& entry) { return is_own_final_path(entry, final); })) {
        return Admitted::failure(level + final + " is not in AllowedCores");
    }
    // A disk a user brings carries whatever owners and DACLs its maker wrote.
    if (std::string volume; !on_admitted_volume(file.get(), policy.volume_ids, volume)) {
        return Admitted::failure(level + final +
                                 ": on a volume that is neither the system's nor in CoreVolumes (" +
                                 volume + ")");
    }
    if (ErrorText why = not_an_image(final, head_of(file.get()))) {
        return Admitted::failure(level + final + ": " + *why);
    }
    if (const std::optional<Unprotected> unprotected = check_protected(file.get(), final)) {
        return Admitted::failure(level + unprotected->path + ": " + unprotected->why);
    }
    return AdmittedCore{std::move(file), launch_path_of(final), true};
}

namespace {

// The final path of each listed folder; one that is remote, cannot be opened or is no folder is
// left out with a line.
std::vector<std::string> final_folders(const std::vector<std::string>& entries) {
    std::vector<std::string> kept;
    for (const std::string& entry : entries) {
        ErrorText why = remote_or_device_path(entry);
        if (!why) {
            const KernelHandle folder(
                ::CreateFileW(to_wide(entry).c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
            FILE_BASIC_INFO info{};
            const Result<std::string> final_path =
                !folder ? Result<std::string>::failure(system_error_text(::GetLastError()))
                : !::GetFileInformationByHandleEx(folder.get(), FileBasicInfo, &info, sizeof info)
                    ? Result<std::string>::failure(system_error_text(::GetLastError()))
                : (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0
                    ? Result<std::string>::failure("not a folder")
                    : final_path_of(folder.get());
            if (final_path) {
                kept.push_back(final_path.value());
                continue;
            }
            why = final_path.error();
        }
        log_core(escape_log_text("Config policy: AllowedConfigDirs entry " + entry +
                                 " left out: " + *why));
    }
    return kept;
}

Result<std::vector<FolderEntry>> folder_entries(const std::string& folder) {
    using Entries = Result<std::vector<FolderEntry>>;
    WIN32_FIND_DATAW found{};
    const FindHandle search(::FindFirstFileExW(to_wide(folder + "\\*").c_str(), FindExInfoBasic,
                                               &found, FindExSearchNameMatch, nullptr, 0));
    if (!search) {
        return Entries::failure(system_error_text(::GetLastError()));
    }
    std::vector<FolderEntry> entries;
    do {
        const std::wstring_view name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        entries.push_back({to_utf8(found.cFileName),
                           (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                           (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0});
        if (entries.size() > CONFIG_TREE_LIMIT) {
            break;  // the walk refuses this many anyway
        }
    } while (::FindNextFileW(search.get(), &found));
    const DWORD error = ::GetLastError();
    if (entries.size() <= CONFIG_TREE_LIMIT && error != ERROR_NO_MORE_FILES) {
        return Entries::failure(system_error_text(error));
    }
    return entries;
}

// The security of a file or folder in the config's tree, read without following a reparse point.
Result<ObjectSecurity> entry_security(const std::string& path) {
    const KernelHandle object(::CreateFileW(
        to_wide(path).c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
        nullptr));
    if (!object) {
        return Result<ObjectSecurity>::failure(system_error_text(::GetLastError()));
    }
    return security_of(object.get());
}

}  // namespace

void load_config_policy() {
    ConfigPolicyReading reading =
        read_config_policy(read_setting(L"ConfigPolicy"), read_setting(L"AllowedConfigDirs"));
    for (const std::string& problem : reading.problems) {
        log_core("Config policy: " + escape_log_text(problem));
    }
    ConfigPolicy& policy = reading.policy;
    if (policy.level != ConfigLevel::ANY) {
        policy.allowed_dirs = final_folders(policy.allowed_dirs);
    }
    log_core(describe_config_policy(policy));
    kept_config_policy = std::move(policy);
}

const ConfigPolicy& config_policy() {
    return kept_config_policy;
}

Result<AdmittedConfig> admit_config(const std::string& config_path, const ConfigPolicy& policy) {
    using Admitted = Result<AdmittedConfig>;
    if (policy.level == ConfigLevel::ANY) {
        return AdmittedConfig{KernelHandle(), config_path};
    }
    const std::string level = "ConfigPolicy 1: ";
    if (config_path.find('\0') != std::string::npos) {
        return Admitted::failure(level + "the path holds a NUL");
    }
    // Others may go on reading it, but not write, delete or rename it.
    KernelHandle file(::CreateFileW(
        to_wide(config_path).c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL, FILE_SHARE_READ, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) {
        return Admitted::failure(level + "the file cannot be held against changes: " +
                                 system_error_text(::GetLastError()));
    }
    FILE_BASIC_INFO info{};
    if (!::GetFileInformationByHandleEx(file.get(), FileBasicInfo, &info, sizeof info)) {
        return Admitted::failure(level + system_error_text(::GetLastError()));
    }
    if ((info.FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        return Admitted::failure(level + "a reparse point or a folder");
    }
    const Result<std::string> final_path = final_path_of(file.get());
    if (!final_path) {
        return Admitted::failure(level + "no final path: " + final_path.error());
    }
    const std::string& final = final_path.value();
    if (std::none_of(policy.allowed_dirs.begin(), policy.allowed_dirs.end(),
                     [&](const std::string& folder) { return inside_folder(final, folder); })) {
        return Admitted::failure(level + final + " is in no folder of AllowedConfigDirs");
    }
    if (const std::optional<Unprotected> unprotected = check_protected(file.get(), final)) {
        return Admitted::failure(level + unprotected->path + ": " + unprotected->why);
    }
    const std::string folder = final.substr(0, final.rfind('\\'));
    if (ErrorText why =
            untrusted_in_tree(folder, folder_entries, entry_security, service_account())) {
        return Admitted::failure(level + *why);
    }
    return AdmittedConfig{std::move(file), launch_path_of(final)};
}

std::optional<Unprotected> find_unprotected(const std::wstring& path) {
    const KernelHandle file(::CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) {
        return Unprotected{to_utf8(path), system_error_text(::GetLastError()), false};
    }
    const Result<std::string> final_path = final_path_of(file.get());
    if (!final_path) {
        return Unprotected{to_utf8(path), "no final path: " + final_path.error(), false};
    }
    std::optional<Unprotected> unprotected = check_protected(file.get(), final_path.value());
    if (unprotected) {
        unprotected->path = launch_path_of(unprotected->path);
    }
    return unprotected;
}

}  // namespace zelto
