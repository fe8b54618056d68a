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

// Written once by load_core_policy before the pipe thread exists, only read after.
CorePolicy kept_policy;

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

Result<std::string> final_path_of(HANDLE file) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetFinalPathNameByHandleW(file, path.data(), static_cast<DWORD>(path.size()),
                                        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
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

bool is_listed(const std::string& final_path, const std::vector<std::string>& allowed_cores) {
    return std::any_of(allowed_cores.begin(), allowed_cores.end(), [&](const std::string& entry) {
        const KernelHandle listed(
            ::CreateFileW(to_wide(entry).c_str(), FILE_READ_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!listed) {
            return false;
        }
        const Result<std::string> resolved = final_path_of(listed.get());
        return resolved && same_final_path(resolved.value(), final_path);
    });
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

void load_core_policy() {
    CorePolicyReading reading =
        read_core_policy(read_setting(L"CorePolicy"), read_setting(L"AllowedCores"));
    for (const std::string& problem : reading.problems) {
        log_core("Core policy: " + escape_log_text(problem));  // AllowedCores may hold anything
    }
    if (reading.policy.level != CoreLevel::ANY) {
        log_core(describe_core_policy(reading.policy));
    }
    kept_policy = std::move(reading.policy);
}

const CorePolicy& core_policy() {
    return kept_policy;
}

Result<AdmittedCore> admit_core(const std::string& core_path, const CorePolicy& policy) {
    using Admitted = Result<AdmittedCore>;
    if (policy.level == CoreLevel::ANY) {
        return AdmittedCore{KernelHandle(), core_path};
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
    if (policy.level == CoreLevel::LISTED && !is_listed(final_path.value(), policy.allowed_cores)) {
        return Admitted::failure(level + final_path.value() + " is not in AllowedCores");
    }
    if (const std::optional<Unprotected> unprotected =
            check_protected(file.get(), final_path.value())) {
        return Admitted::failure(level + unprotected->path + ": " + unprotected->why);
    }
    return AdmittedCore{std::move(file), launch_path_of(final_path.value())};
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
