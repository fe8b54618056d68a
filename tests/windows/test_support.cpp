#include "windows/test_support.h"

#include <sddl.h>
#include <tlhelp32.h>

#include <thread>
#include <functional>

#include "common/unique_handle.h"
#include "common/win_text.h"
#include "log/log.h"

namespace zelto::test {

bool running_under_wine() {
    static const bool wine =
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
}

std::wstring exe_dir() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.find_last_of(L"\\/"));
}

std::string read_file(const std::wstring& path) {
    KernelHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    if (!file) {
        return {};
    }
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
        bytes.append(buffer, got);
    }
    return bytes;
}

LogTail::LogTail() : start_(read_file(std::wstring(LOG_FILE_PATH)).size()) {}

std::vector<std::string> LogTail::new_lines() const {
    const std::string all = read_file(std::wstring(LOG_FILE_PATH));
    std::vector<std::string> lines;
    std::size_t pos = start_ < all.size() ? start_ : all.size();
    while (pos < all.size()) {
        std::size_t end = all.find('\n', pos);
        if (end == std::string::npos) {
            end = all.size();
        }
        std::string line = all.substr(pos, end - pos);
        const std::size_t stamp_end = line.find("] ");
        if (!line.empty() && line[0] == '[' && stamp_end != std::string::npos) {
            line.erase(0, stamp_end + 2);
        }
        lines.push_back(std::move(line));
        pos = end + 1;
    }
    return lines;
}

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return done();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

ProcessResult run_process(const std::wstring& command_line, std::chrono::milliseconds limit) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE raw[4] = {};
    ::CreatePipe(&raw[0], &raw[1], &inheritable, 0);
    ::CreatePipe(&raw[2], &raw[3], &inheritable, 0);
    KernelHandle out_read(raw[0]), out_write(raw[1]), err_read(raw[2]), err_write(raw[3]);
    ::SetHandleInformation(out_read.get(), HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(err_read.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out_write.get();
    startup.hStdError = err_write.get();
    PROCESS_INFORMATION info{};
    std::wstring writable = command_line;
    ProcessResult result;
    if (!::CreateProcessW(nullptr, writable.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                          nullptr, nullptr, &startup, &info)) {
        result.exit_code = ::GetLastError();
        result.err = "CreateProcessW failed";
        return result;
    }
    const KernelHandle process(info.hProcess), thread(info.hThread);
    out_write.reset();
    err_write.reset();

    auto drain = [](HANDLE pipe, std::string& into) {
        char buffer[4096];
        DWORD got = 0;
        while (::ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            into.append(buffer, got);
        }
    };
    std::thread out_reader(drain, out_read.get(), std::ref(result.out));
    std::thread err_reader(drain, err_read.get(), std::ref(result.err));
    const bool ended =
        ::WaitForSingleObject(process.get(), static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0;
    if (!ended) {
        ::TerminateProcess(process.get(), 0xDEAD);
    }
    out_reader.join();
    err_reader.join();
    ::GetExitCodeProcess(process.get(), &result.exit_code);
    return result;
}

namespace {

// Calls `visit` with every process entry of one snapshot.
template <typename Visit>
void for_each_process(Visit&& visit) {
    const KernelHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        return;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry)) {
        visit(entry);
    }
}

// One entry of the system's handle list (SystemExtendedHandleInformation).
struct SystemHandleEntry {
    void* object;
    ULONG_PTR process_id;
    ULONG_PTR handle_value;
    ULONG granted_access;
    USHORT creator_back_trace_index;
    USHORT object_type_index;
    ULONG handle_attributes;
    ULONG reserved;
};

struct SystemHandleList {
    ULONG_PTR count;
    ULONG_PTR reserved;
    SystemHandleEntry entries[1];
};

// The number of handles that process `pid` holds, counted in the system's handle list.
std::optional<DWORD> handles_in_system_list(DWORD pid) {
    constexpr ULONG SYSTEM_EXTENDED_HANDLE_INFORMATION = 64;
    constexpr LONG STATUS_INFO_LENGTH_MISMATCH = static_cast<LONG>(0xC0000004);
    using Query = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) {
        return std::nullopt;
    }
    std::vector<ULONG_PTR> buffer(1 << 16);
    LONG status = 0;
    for (;;) {
        ULONG needed = 0;
        const auto bytes = static_cast<ULONG>(buffer.size() * sizeof(ULONG_PTR));
        status = query(SYSTEM_EXTENDED_HANDLE_INFORMATION, buffer.data(), bytes, &needed);
        if (status != STATUS_INFO_LENGTH_MISMATCH) {
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
    if (status != 0) {
        return std::nullopt;
    }
    const auto* list = reinterpret_cast<const SystemHandleList*>(buffer.data());
    DWORD count = 0;
    for (ULONG_PTR i = 0; i < list->count; ++i) {
        if (list->entries[i].process_id == pid) {
            ++count;
        }
    }
    return count;
}

}  // namespace

std::vector<std::pair<std::string, ACCESS_MASK>> allowed_aces(PSECURITY_DESCRIPTOR descriptor) {
    std::vector<std::pair<std::string, ACCESS_MASK>> found;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        wchar_t* sid = nullptr;
        if (::GetAce(dacl, i, &ace) &&
            static_cast<ACE_HEADER*>(ace)->AceType == ACCESS_ALLOWED_ACE_TYPE &&
            ::ConvertSidToStringSidW(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart, &sid)) {
            const LocalMemory owner(sid);
            found.emplace_back(to_utf8(sid), static_cast<ACCESS_ALLOWED_ACE*>(ace)->Mask);
        }
    }
    return found;
}

std::vector<DWORD> processes_named(const std::wstring& exe_name) {
    std::vector<DWORD> ids;
    for_each_process([&](const PROCESSENTRY32W& entry) {
        if (::lstrcmpiW(entry.szExeFile, exe_name.c_str()) == 0) {
            ids.push_back(entry.th32ProcessID);
        }
    });
    return ids;
}

std::optional<ProcessCounts> process_counts(DWORD pid) {
    const KernelHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    ProcessCounts counts;
    if (!process || !::GetProcessHandleCount(process.get(), &counts.handles)) {
        return std::nullopt;
    }
    // Wine answers 0 for every process; its system-wide handle list is right.
    if (counts.handles == 0) {
        const std::optional<DWORD> listed = handles_in_system_list(pid);
        if (!listed) {
            return std::nullopt;
        }
        counts.handles = *listed;
    }
    bool found = false;
    for_each_process([&](const PROCESSENTRY32W& entry) {
        if (entry.th32ProcessID == pid) {
            counts.threads = entry.cntThreads;
            found = true;
        }
    });
    if (!found) {
        return std::nullopt;
    }
    return counts;
}

std::optional<unsigned long long> committed_private_bytes(DWORD pid) {
    const KernelHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid));
    if (!process) {
        return std::nullopt;
    }
    unsigned long long total = 0;
    MEMORY_BASIC_INFORMATION region{};
    for (const char* at = nullptr;
         ::VirtualQueryEx(process.get(), at, &region, sizeof region) == sizeof region;
         at = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) {
            total += region.RegionSize;
        }
    }
    return total;
}

}  // namespace zelto::test
