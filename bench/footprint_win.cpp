// The service process's private bytes and handle count, read from outside.

#include <windows.h>
#include <psapi.h>

#include <vector>

#include "benchmarks_win.h"
#include "common/unique_handle.h"
#include "common/win_text.h"

namespace zelto::bench {

namespace {

// One entry of the system's handle table (SystemExtendedHandleInformation).
struct HandleEntry {
    void* object;
    ULONG_PTR process_id;
    ULONG_PTR handle;
    ULONG access;
    USHORT back_trace_index;
    USHORT type_index;
    ULONG attributes;
    ULONG reserved;
};
struct HandleTable {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
};
constexpr int SYSTEM_EXTENDED_HANDLE_INFORMATION = 64;
using QuerySystemInformation = LONG(WINAPI*)(int, void*, ULONG, ULONG*);

// The process's entries in the system's handle table; Wine answers GetProcessHandleCount with 0.
unsigned long handles_in_system_table(DWORD pid) {
    const auto query = reinterpret_cast<QuerySystemInformation>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) {
        return 0;
    }
    std::vector<char> buffer(1 << 20);
    for (;;) {
        ULONG needed = 0;
        const LONG status = query(SYSTEM_EXTENDED_HANDLE_INFORMATION, buffer.data(),
                                  static_cast<ULONG>(buffer.size()), &needed);
        if (status == 0) {
            break;
        }
        // STATUS_INFO_LENGTH_MISMATCH: the table outgrew the buffer.
        if (static_cast<ULONG>(status) != 0xC0000004 || buffer.size() >= (1u << 28)) {
            return 0;
        }
        buffer.resize(buffer.size() * 2);
    }
    const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
    unsigned long handles = 0;
    for (ULONG_PTR i = 0; i < table->count; ++i) {
        handles += table->entries[i].process_id == pid ? 1 : 0;
    }
    return handles;
}

// Committed private memory, region by region; Wine leaves PrivateUsage at 0.
unsigned long long committed_private_bytes(HANDLE process) {
    unsigned long long total = 0;
    MEMORY_BASIC_INFORMATION region{};
    for (const char* at = nullptr;
         ::VirtualQueryEx(process, at, &region, sizeof region) == sizeof region;
         at = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) {
            total += region.RegionSize;
        }
    }
    return total;
}

}  // namespace

Result<Footprint> service_footprint() {
    // Lets threads of a finished request or a stopped core end before counting.
    ::Sleep(1000);
    const DWORD pid = service_pid();
    const KernelHandle process(
        ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
    if (!process) {
        return Result<Footprint>::failure("cannot open the service process " + std::to_string(pid) +
                                          ": " + system_error_text(::GetLastError()));
    }
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof memory;
    DWORD handles = 0;
    if (!::GetProcessMemoryInfo(process.get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                                sizeof memory) ||
        !::GetProcessHandleCount(process.get(), &handles)) {
        return Result<Footprint>::failure("cannot read the service's counters: " +
                                          system_error_text(::GetLastError()));
    }
    Footprint footprint{memory.PrivateUsage, handles, false};
    // No live process has no private memory or no handle: the counters are not kept here.
    if (footprint.private_bytes == 0 || footprint.handles == 0) {
        footprint.private_bytes = committed_private_bytes(process.get());
        footprint.handles = handles_in_system_table(pid);
        footprint.counted_by_hand = true;
    }
    return footprint;
}

ErrorText more_requests(int count) {
    for (int i = 0; i < count; ++i) {
        const Result<std::string> answer = ask("STATUS");
        if (!answer.ok() || answer.value() != "OK|Stopped") {
            return "STATUS: " + (answer.ok() ? answer.value() : answer.error());
        }
    }
    return std::nullopt;
}

void add_footprint_rows(Table& table, const Sizes& sizes, const Footprint& idle,
                        const Footprint& after_requests, const Footprint& after_cycles) {
    const std::string how = idle.counted_by_hand
                                ? " (committed private regions; handle table entries)"
                                : " (PrivateUsage; GetProcessHandleCount)";
    auto figures = [](const Footprint& f) {
        return std::to_string(f.private_bytes / 1024) + " KiB; " + std::to_string(f.handles) +
               " handles";
    };
    auto growth = [&](const Footprint& f) {
        return fixed(static_cast<double>(f.private_bytes) / static_cast<double>(idle.private_bytes),
                     2) +
               "x; " +
               std::to_string(static_cast<long>(f.handles) - static_cast<long>(idle.handles)) +
               " handles";
    };
    table.add({"Footprint, idle" + how, figures(idle), "-", "-", "-", "-"});
    table.add({"Footprint after " + std::to_string(sizes.footprint_requests) + " requests",
               figures(after_requests), "idle", growth(after_requests), "handles within 10 of idle",
               verdict(after_requests.handles <= idle.handles + 10)});
    table.add({"Footprint after " + std::to_string(sizes.footprint_cycles) + " START/STOP cycles",
               figures(after_cycles), "idle", growth(after_cycles), "handles within 10 of idle",
               verdict(after_cycles.handles <= idle.handles + 10)});
}

}  // namespace zelto::bench
