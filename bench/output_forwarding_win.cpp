// Output forwarding: a core floods its standard output with 80-byte lines through the service,
// against (a) the same core writing to NUL, (b) the same log lines appended with one
// open/append/close each from one thread, and (e) the limit: the core's two pipes read 64 KiB at
// a time by a minimal reader that appends what it reads to a file it holds open. Two more
// appenders show what one line costs: (c) the service's own file append, and (d) the plain
// append with a link check that reads only the link count and the reparse attribute.

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "benchmarks_win.h"
#include "common/unique_handle.h"
#include "common/win_text.h"
#include "core/forwarder_win.h"
#include "log/log.h"
#include "log/log_file.h"
#include "log/log_line.h"
#include "windows/test_support.h"
#include "zelto_client.h"

namespace zelto::bench {
namespace {

using namespace std::chrono_literals;

constexpr unsigned long LINE_BYTES = 80;
// The baselines append a sample, half before and half after the service's run so a drift in the
// machine's load weighs on all alike; their cost per line does not change with the count.
constexpr unsigned long SAMPLE_LINES = 10000;

std::wstring flood_config() {
    return bench_dir_file(L"flood.yaml");
}
std::wstring flood_report() {
    return flood_config() + L".report";
}
std::wstring flood_core() {
    return test::exe_dir() + L"\\flood_core.exe";
}

long long counter() {
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return now.QuadPart;
}

double counter_ms(long long ticks) {
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(ticks) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// The flood core's line `number` without its line feed, as it writes it.
std::string flood_line(unsigned long number) {
    std::string line(LINE_BYTES - 1, 'x');
    char head[32];
    const int n = std::snprintf(head, sizeof head, "flood line %06lu ", number);
    line.replace(0, static_cast<std::size_t>(n), head);
    return line;
}

// What the flood core reports once its last write has returned, in counter ticks.
struct FloodReport {
    long long first_write = 0;
    long long last_write = 0;
    long long blocked = 0;
};

Result<FloodReport> read_report() {
    const std::string text = test::read_file(flood_report());
    FloodReport report;
    long long frequency = 0;
    if (std::sscanf(text.c_str(), "%lld %lld %lld %lld", &report.first_write, &report.last_write,
                    &report.blocked, &frequency) != 4) {
        return Result<FloodReport>::failure("the flood core left no report");
    }
    return report;
}

// The last `bytes` of the file.
std::string read_tail(const std::wstring& path, unsigned long long bytes) {
    const KernelHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size{};
    if (!file || !::GetFileSizeEx(file.get(), &size)) {
        return {};
    }
    LARGE_INTEGER from{};
    from.QuadPart = size.QuadPart > static_cast<long long>(bytes)
                        ? size.QuadPart - static_cast<long long>(bytes)
                        : 0;
    ::SetFilePointerEx(file.get(), from, nullptr, FILE_BEGIN);
    std::string tail(static_cast<std::size_t>(size.QuadPart - from.QuadPart), '\0');
    DWORD got = 0;
    ::ReadFile(file.get(), tail.data(), static_cast<DWORD>(tail.size()), &got, nullptr);
    tail.resize(got);
    return tail;
}

// How often `needle` occurs in the file after `offset`, read a megabyte at a time.
unsigned long count_from(const std::wstring& path, unsigned long long offset,
                         std::string_view needle) {
    const KernelHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER from{};
    from.QuadPart = static_cast<long long>(offset);
    ::SetFilePointerEx(file.get(), from, nullptr, FILE_BEGIN);
    unsigned long found = 0;
    std::string window;
    std::string chunk(1 << 20, '\0');
    DWORD got = 0;
    while (::ReadFile(file.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr) &&
           got > 0) {
        window.append(chunk.data(), got);
        std::size_t at = 0;
        while ((at = window.find(needle, at)) != std::string::npos) {
            ++found;
            at += needle.size();
        }
        // Keeps what could be the start of a needle cut by the chunk's end.
        window.erase(0, window.size() - std::min(window.size(), needle.size() - 1));
    }
    return found;
}

// The flood core with its standard output and error on `out` and `err` (inheritable), its old
// report deleted first.
Result<KernelHandle> start_flood_core(HANDLE out, HANDLE err) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out;
    startup.hStdError = err;
    std::wstring command_line = L"\"" + flood_core() + L"\" -f \"" + flood_config() + L"\"";
    PROCESS_INFORMATION created{};
    ::DeleteFileW(flood_report().c_str());
    if (!::CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                          nullptr, nullptr, &startup, &created)) {
        return Result<KernelHandle>::failure("cannot start flood_core.exe: " +
                                             system_error_text(::GetLastError()));
    }
    const KernelHandle thread(created.hThread);
    return KernelHandle(created.hProcess);
}

// (a): the core alone, its output thrown away.
Result<FloodReport> flood_to_nul() {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const KernelHandle nul(::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         &inheritable, OPEN_EXISTING, 0, nullptr));
    const Result<KernelHandle> process = start_flood_core(nul.get(), nul.get());
    if (!process) {
        return Result<FloodReport>::failure(process.error());
    }
    ::WaitForSingleObject(process.value().get(), 60000);
    return read_report();
}

// (e): the core's two pipes read by one thread each, 64 KiB a read, appended as read to a file
// held open; in `last_append` the counter when the last bytes went in.
Result<FloodReport> flood_to_reader(long long& last_append) {
    const std::wstring path = L"C:\\Users\\Public\\zelto-bench-reader.log";
    const KernelHandle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, CREATE_ALWAYS, 0, nullptr));
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE ends[4] = {};
    if (!file || !::CreatePipe(&ends[0], &ends[1], &inheritable, 65536) ||
        !::CreatePipe(&ends[2], &ends[3], &inheritable, 65536)) {
        return Result<FloodReport>::failure("(e): cannot create its file or pipes: " +
                                            system_error_text(::GetLastError()));
    }
    const KernelHandle out_read(ends[0]), err_read(ends[2]);
    KernelHandle out_write(ends[1]), err_write(ends[3]);
    ::SetHandleInformation(out_read.get(), HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(err_read.get(), HANDLE_FLAG_INHERIT, 0);
    const Result<KernelHandle> process = start_flood_core(out_write.get(), err_write.get());
    if (!process) {
        return Result<FloodReport>::failure(process.error());
    }
    out_write.reset();
    err_write.reset();
    std::mutex appending;
    auto reader = [&](HANDLE pipe) {
        std::vector<char> buffer(65536);
        DWORD got = 0;
        while (::ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) &&
               got > 0) {
            const std::lock_guard<std::mutex> guard(appending);
            DWORD written = 0;
            ::WriteFile(file.get(), buffer.data(), got, &written, nullptr);
            last_append = counter();
        }
    };
    std::thread err_reader(reader, err_read.get());
    reader(out_read.get());
    err_reader.join();
    ::WaitForSingleObject(process.value().get(), 60000);
    ::DeleteFileW(path.c_str());
    return read_report();
}

// (b) and (c): the lines [from, to) appended from this thread; milliseconds.
template <typename Append>
double append_lines(unsigned long from, unsigned long to, Append&& append) {
    const auto started = Clock::now();
    std::string message;
    for (unsigned long i = from; i < to; ++i) {
        message.assign(STDOUT_PREFIX);
        message.append(flood_line(i));
        append(message);
    }
    return ms_between(started, Clock::now());
}

double floor_appends(unsigned long from, unsigned long to) {
    const std::wstring path = FLOOR_LOG;
    return append_lines(
        from, to, [&](const std::string& message) { floor_append(path, LOG_TAG_CORE, message); });
}

double log_function_appends(unsigned long from, unsigned long to) {
    const std::wstring path = FLOOR_LOG;
    return append_lines(from, to, [&](const std::string& message) {
        append_log_line(path, LOG_TAG_CORE, message);
    });
}

// The plain append plus a refusal of links that asks the file system only for the link count
// and the attributes, not for the volume's identity as GetFileInformationByHandle does.
void checked_floor_append(const std::wstring& path, std::string_view message) {
    FILETIME now{};
    ::GetSystemTimePreciseAsFileTime(&now);
    const std::string line =
        format_log_line((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime,
                        LOG_TAG_CORE, message);
    const KernelHandle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT,
                                          nullptr));
    FILE_STANDARD_INFO standard{};
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!::GetFileInformationByHandleEx(file.get(), FileStandardInfo, &standard, sizeof standard) ||
        !::GetFileInformationByHandleEx(file.get(), FileAttributeTagInfo, &tag, sizeof tag) ||
        standard.NumberOfLinks > 1 || (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return;
    }
    DWORD written = 0;
    ::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

double checked_floor_appends(unsigned long from, unsigned long to) {
    const std::wstring path = FLOOR_LOG;
    return append_lines(from, to,
                        [&](const std::string& message) { checked_floor_append(path, message); });
}

struct ServiceFlood {
    double last_line_ms = 0;  // from the core's first write to the last line in the log
    FloodReport core;
};

Result<ServiceFlood> flood_through_service(unsigned long lines) {
    using R = Result<ServiceFlood>;
    const std::wstring log = std::wstring(LOG_FILE_PATH);
    const unsigned long long log_start = file_size(log);
    ::DeleteFileW(flood_report().c_str());
    const std::string last_line = flood_line(lines - 1);
    const Result<std::string> started =
        ask(client::start_request(to_utf8(flood_config()), to_utf8(flood_core())));
    if (!started.ok() || started.value() != "OK|Started") {
        return R::failure("START of the flood core: " +
                          (started.ok() ? started.value() : started.error()));
    }
    long long seen = 0;
    // Ten milliseconds a line is over ten times what a slow machine needs.
    const auto limit = 60s + std::chrono::milliseconds(10) * lines;
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (read_tail(log, 4096).find(last_line) != std::string::npos) {
            seen = counter();
            break;
        }
        ::Sleep(5);
    }
    const Result<std::string> stopped = ask("STOP");
    if (seen == 0) {
        return R::failure(
            "the last flood line did not reach the log within " +
            std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limit).count()) + " s");
    }
    if (!stopped.ok()) {
        return R::failure("STOP after the flood: " + stopped.error());
    }
    const Result<FloodReport> report = read_report();
    if (!report) {
        return R::failure(report.error());
    }
    const unsigned long forwarded =
        count_from(log, log_start, std::string(STDOUT_PREFIX) + "flood line ");
    if (forwarded != lines) {
        return R::failure("the log holds " + std::to_string(forwarded) + " of " +
                          std::to_string(lines) + " flood lines");
    }
    return ServiceFlood{counter_ms(seen - report.value().first_write), report.value()};
}

}  // namespace

ErrorText bench_output_forwarding(Table& table, const Sizes& sizes) {
    const unsigned long lines = sizes.flood_lines;
    std::printf(
        "Output forwarding: %lu lines of %lu bytes; (a), (e), then %lu lines each of (b), (c), (d) "
        "in halves around the service's run\n",
        lines, LINE_BYTES, SAMPLE_LINES);
    {
        const KernelHandle file(::CreateFileW(flood_config().c_str(), GENERIC_WRITE, 0, nullptr,
                                              CREATE_ALWAYS, 0, nullptr));
        const std::string numbers = std::to_string(lines) + " " + std::to_string(LINE_BYTES) + "\n";
        DWORD written = 0;
        if (!file || !::WriteFile(file.get(), numbers.data(), static_cast<DWORD>(numbers.size()),
                                  &written, nullptr)) {
            return "cannot write flood.yaml: " + system_error_text(::GetLastError());
        }
    }

    const Result<FloodReport> nul = flood_to_nul();
    if (!nul) {
        return "(a): " + nul.error();
    }
    const double a_ms = counter_ms(nul.value().last_write - nul.value().first_write);
    std::printf("  (a) core to NUL: %.0f ms, blocked in writes %.0f ms\n", a_ms,
                counter_ms(nul.value().blocked));

    long long e_end = 0;
    const Result<FloodReport> reader = flood_to_reader(e_end);
    if (!reader) {
        return "(e): " + reader.error();
    }
    const double e_ms = counter_ms(e_end - reader.value().first_write);
    const double e_blocked_ms = counter_ms(reader.value().blocked);
    std::printf("  (e) minimal reader: %.0f ms, blocked in writes %.0f ms\n", e_ms, e_blocked_ms);

    // (b), (c) and (d) append a sample, half before and half after the service's run.
    double b_ms = floor_appends(0, SAMPLE_LINES / 2);
    double c_ms = log_function_appends(0, SAMPLE_LINES / 2);
    double d_ms = checked_floor_appends(0, SAMPLE_LINES / 2);
    const Result<ServiceFlood> service = flood_through_service(lines);
    if (!service) {
        return service.error();
    }
    b_ms += floor_appends(SAMPLE_LINES / 2, SAMPLE_LINES);
    c_ms += log_function_appends(SAMPLE_LINES / 2, SAMPLE_LINES);
    d_ms += checked_floor_appends(SAMPLE_LINES / 2, SAMPLE_LINES);
    ::DeleteFileW(FLOOR_LOG);
    ::DeleteFileW(flood_report().c_str());

    // Microseconds per line; the baselines' totals for all the lines follow from them.
    const double s_us = service.value().last_line_ms * 1000.0 / lines;
    const double b_us = b_ms * 1000.0 / SAMPLE_LINES;
    const double c_us = c_ms * 1000.0 / SAMPLE_LINES;
    const double d_us = d_ms * 1000.0 / SAMPLE_LINES;
    const double a_us = a_ms * 1000.0 / lines;
    const double e_us = e_ms * 1000.0 / lines;
    std::printf("  per line: (b) %.0f us, (c) %.0f us, (d) %.0f us, (e) %.1f us, service %.1f us\n",
                b_us, c_us, d_us, e_us, s_us);
    auto total = [&](double us) { return fixed(us * lines / 1e6, 1) + " s"; };
    table.add({"Output forwarding, " + std::to_string(lines) +
                   " lines of 80 bytes: first write to last line in the log (per line)",
               total(s_us) + " (" + fixed(s_us, 1) + " us)",
               "(a) core to NUL " + fixed(a_ms / 1000.0, 2) + " s; (b) one plain append per line " +
                   total(b_us) + " (" + fixed(b_us, 0) + " us); (c) the service's file append " +
                   total(c_us) + " (" + fixed(c_us, 0) + " us); (d) (b) with a link check " +
                   "without the volume query " + total(d_us) + " (" + fixed(d_us, 0) +
                   " us); (b) to (d) from " + std::to_string(SAMPLE_LINES) +
                   " lines each; (e) minimal reader " + total(e_us) + " (" + fixed(e_us, 1) +
                   " us)",
               fixed(s_us / e_us, 2) + "x (e); (b) is " + fixed(b_us / s_us, 1) +
                   "x the service; " + fixed(s_us / a_us, 0) + "x (a); (c) is " +
                   fixed(c_us / b_us, 2) + "x (b), (d) is " + fixed(d_us / b_us, 2) + "x (b)",
               "<= 1.5x (e); (b) >= 5x", verdict(s_us <= 1.5 * e_us && b_us >= 5 * s_us)});
    // The writer's room checks: the size comes with the link check, the volume is asked at most
    // once a second or once per MiB written.
    constexpr int VOLUME_QUERIES = 1000;
    const long long query_start = counter();
    for (int i = 0; i < VOLUME_QUERIES; ++i) {
        ULARGE_INTEGER free{};
        ::GetDiskFreeSpaceExW(L"C:\\Users\\Public\\", nullptr, nullptr, &free);
    }
    const double query_us = counter_ms(counter() - query_start) * 1000.0 / VOLUME_QUERIES;
    const double s_ms = service.value().last_line_ms;
    const double most_queries = s_ms / 1000.0 + 1 + static_cast<double>(lines) * 100 / (1 << 20);
    table.add(
        {"Output forwarding: the log writer's volume queries (GetDiskFreeSpaceExW, us per "
         "query, mean of " +
             std::to_string(VOLUME_QUERIES) + ")",
         fixed(query_us, 1) + " us; at most " + fixed(most_queries, 0) + " in the run above",
         "the run above " + fixed(s_ms / 1000.0, 1) + " s",
         fixed(query_us * most_queries / (s_ms * 10.0), 3) + "% of the run", "-", "-"});
    const double s_blocked_ms = counter_ms(service.value().core.blocked);
    table.add({"Output forwarding: time the core was blocked in its writes",
               fixed(s_blocked_ms / 1000.0, 2) + " s",
               "(a) to NUL " + fixed(counter_ms(nul.value().blocked) / 1000.0, 2) +
                   " s; (e) minimal reader " + fixed(e_blocked_ms / 1000.0, 2) + " s",
               fixed(s_blocked_ms / e_blocked_ms, 2) + "x (e)", "<= 2x (e)",
               verdict(s_blocked_ms <= 2 * e_blocked_ms)});
    return std::nullopt;
}

}  // namespace zelto::bench
