// Request round trip: STATUS through the installed service against a minimal server in this
// process, without logging (a), with the service's four log lines in one plain append before its
// answer (b), and with them in one call of the service's own file append (c), which splits the
// gap between (b) and the service into the file append's share and the pipe server's. The
// service queues a request's lines and waits for them once, before its answer, so (b) is what its
// logging costs at the least. In the same rounds, the service
// again from one client library object, which checks who serves the pipe before it writes: what
// the check costs a client that sends many requests, and its first request apart; and the same
// from the C interface of zelto_client.dll, against the C++ object it wraps. Then, with the
// service stopped, how long a client takes to the clear error, against the service control
// manager queries it is made of.

#include <windows.h>
#include <sddl.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "benchmarks_win.h"
#include "common/unique_handle.h"
#include "ipc/pipe_server.h"
#include "log/log_file.h"
#include "log/log_line.h"
#include "windows/service_control.h"
#include "zelto_client.h"
#include "zelto_client_c.h"

namespace zelto::bench {
namespace {

constexpr wchar_t BASELINE_PIPE[] = L"\\\\.\\pipe\\Zelto_bench_baseline";
constexpr int ROUNDS = 8;
// Fewer for the baselines: only their median per request counts.
constexpr int BASELINE_PER_ROUND = 100;
constexpr std::string_view ANSWER = "OK|Stopped";

enum class Variant { Minimal, FloorAppends, LogFunction, Service, ServiceChecked, ServiceC };

// The service's pipe cycle and nothing else: one instance kept for the whole run with the same
// settings and descriptor, synchronous calls, no watchdog, a fixed answer; with logging, the
// service's four lines in one append before the answer.
void serve_minimal(int clients, Variant variant) {
    PSECURITY_DESCRIPTOR raw = nullptr;
    ::ConvertStringSecurityDescriptorToSecurityDescriptorW(PIPE_SDDL.data(), SDDL_REVISION_1, &raw,
                                                           nullptr);
    const LocalMemory descriptor(raw);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, raw, FALSE};
    const std::wstring log_path = FLOOR_LOG;
    auto log = [&](std::string_view request) {
        if (variant == Variant::Minimal) {
            return;
        }
        const std::uint64_t clock = log_clock();
        std::string lines;
        for (const std::string& message :
             {std::string("Client connected"), "Received request: " + std::string(request),
              "Sending response: " + std::string(ANSWER), std::string("Client disconnected")}) {
            lines += format_log_line(clock, LOG_TAG_IPC, message);
        }
        if (variant == Variant::FloorAppends) {
            floor_append_lines(log_path, lines);
        } else {
            append_log_lines(log_path, lines);
        }
    };

    std::array<char, 4096> buffer{};
    KernelHandle pipe;
    for (int served = 0; served < clients;) {
        if (!pipe) {
            pipe.reset(::CreateNamedPipeW(
                BASELINE_PIPE, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                4096, 4096, 0, &attributes));
            if (!pipe) {
                ::Sleep(1);
                continue;
            }
        }
        if (!::ConnectNamedPipe(pipe.get(), nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED) {
            pipe.reset();
            continue;
        }
        ++served;
        DWORD got = 0;
        if (::ReadFile(pipe.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got,
                       nullptr) &&
            got > 0) {
            log(std::string_view(buffer.data(), got));
            DWORD written = 0;
            ::WriteFile(pipe.get(), ANSWER.data(), static_cast<DWORD>(ANSWER.size()), &written,
                        nullptr);
            ::FlushFileBuffers(pipe.get());
        }
        ::DisconnectNamedPipe(pipe.get());
    }
}

// Microseconds per request over one round, or the first wrong answer. The checked client's first
// request, which asks the service control manager, is timed apart into `first_us`.
Result<double> run_round(Variant variant, int service_requests, std::vector<double>& first_us) {
    const bool kept_client = variant == Variant::ServiceChecked || variant == Variant::ServiceC;
    const bool service = variant == Variant::Service || kept_client;
    const int requests = service ? service_requests : BASELINE_PER_ROUND;
    std::thread server;
    if (!service) {
        server = std::thread(serve_minimal, requests, variant);
    }
    const std::wstring_view pipe = service ? std::wstring_view(L"\\\\.\\pipe\\Zelto_service")
                                           : std::wstring_view(BASELINE_PIPE);
    std::string wrong;
    client::Client checked;
    const std::unique_ptr<zelto_client, void (*)(zelto_client*)> c_client(
        variant == Variant::ServiceC ? zelto_client_create() : nullptr, zelto_client_destroy);
    auto request = [&] {
        std::string got;
        if (variant == Variant::ServiceChecked) {
            const client::Reply reply = checked.send("STATUS");
            got = reply ? reply.value() : reply.error().message;
        } else if (variant == Variant::ServiceC) {
            char answer[64];
            zelto_outcome outcome;
            got = zelto_client_send(c_client.get(), "STATUS", ZELTO_TIMEOUT_DEFAULT, nullptr,
                                    answer, sizeof answer, &outcome) == ZELTO_OK
                      ? answer
                      : outcome.message;
        } else {
            const Result<std::string> answer = ask(pipe, "STATUS");
            got = answer ? answer.value() : answer.error();
        }
        if (wrong.empty() && got != ANSWER) {
            wrong = got;
        }
    };
    // The first request of a kept client asks the service control manager: timed apart.
    if (kept_client) {
        const auto first = Clock::now();
        request();
        if (variant == Variant::ServiceChecked) {
            first_us.push_back(ms_between(first, Clock::now()) * 1000.0);
        }
    }
    const auto started = Clock::now();
    // Every request is made even after a wrong answer: the minimal server ends only after its
    // count of clients.
    for (int i = 0; i < requests; ++i) {
        request();
    }
    const auto ended = Clock::now();
    if (server.joinable()) {
        server.join();
    }
    if (!wrong.empty()) {
        return Result<double>::failure("round trip: " + wrong);
    }
    return ms_between(started, ended) * 1000.0 / requests;
}

}  // namespace

ErrorText bench_round_trip(Table& table, const Sizes& sizes, double& floor_us) {
    const int per_round = sizes.round_trip_requests / ROUNDS;
    std::printf(
        "Request round trip: %d rounds of (a), (b), (c) with %d STATUS requests each and the "
        "service with %d, without and with the client's check, and from the C interface\n",
        ROUNDS, BASELINE_PER_ROUND, per_round);
    const Variant variants[] = {Variant::Minimal, Variant::FloorAppends,   Variant::LogFunction,
                                Variant::Service, Variant::ServiceChecked, Variant::ServiceC};
    constexpr int VARIANTS = sizeof variants / sizeof variants[0];
    std::vector<double> us[VARIANTS];
    std::vector<double> first_us;
    for (int round = 0; round < ROUNDS; ++round) {
        for (int v = 0; v < VARIANTS; ++v) {
            const Result<double> took = run_round(variants[v], per_round, first_us);
            if (!took) {
                return took.error();
            }
            us[v].push_back(took.value());
        }
        std::printf(
            "  round %d: (a) %.0f us, (b) %.0f us, (c) %.0f us, service %.0f us, checked %.0f us, "
            "C %.0f us\n",
            round + 1, us[0].back(), us[1].back(), us[2].back(), us[3].back(), us[4].back(),
            us[5].back());
    }
    ::DeleteFileW(FLOOR_LOG);

    const double a = median(us[0]);
    const double b = median(us[1]);
    const double c = median(us[2]);
    const double s = median(us[3]);
    const double checked = median(us[4]);
    const double c_call = median(us[5]);
    table.add({"Request round trip, STATUS, one connection each (us per request, median of " +
                   std::to_string(ROUNDS) + " interleaved rounds)",
               fixed(s, 0) + " us",
               "(a) minimal server " + fixed(a, 0) + " us; (b) with its 4 lines in one append " +
                   fixed(b, 0) + " us; (c) in one call of the service's file append " +
                   fixed(c, 0) + " us",
               fixed(s / a, 2) + "x (a); " + fixed(s / b, 2) + "x (b); (c) is " + fixed(c / b, 2) +
                   "x (b)",
               "<= 1.5x (a); <= 1.15x (b)", verdict(s <= 1.5 * a && s <= 1.15 * b)});
    table.add(
        {"Client library object with its check of the pipe's server, STATUS through the "
         "service (us per request after its first, median of the same rounds; its first "
         "request, which asks the service control manager, apart)",
         fixed(checked, 0) + " us; first request " + fixed(median(first_us), 0) + " us",
         "a client without the check " + fixed(s, 0) + " us",
         fixed(checked / s, 2) + "x; +" + fixed(checked - s, 0) + " us", "<= 1.1x",
         verdict(checked <= 1.1 * s)});
    table.add(
        {"C interface (zelto_client.dll, a kept zelto_client), STATUS through the service "
         "(us per request after its first, median of the same rounds)",
         fixed(c_call, 0) + " us", "the C++ client object " + fixed(checked, 0) + " us",
         fixed(c_call / checked, 2) + "x", "<= 1.05x", verdict(c_call <= 1.05 * checked)});
    floor_us = b;
    return std::nullopt;
}

namespace {

constexpr int CLEAR_ERROR_ROUNDS = 20;

// Milliseconds one call of `work` takes.
template <typename Work>
double time_ms(Work work) {
    const auto started = Clock::now();
    work();
    return ms_between(started, Clock::now());
}

}  // namespace

ErrorText bench_clear_error(Table& table) {
    test::run_process(L"sc stop Zelto_service");
    if (!wait_for_state(SERVICE_STOPPED, std::chrono::seconds(20))) {
        return std::string("clear error: the service did not stop");
    }
    std::printf("Clear error with the service stopped: %d interleaved rounds\n",
                CLEAR_ERROR_ROUNDS);
    const ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const ServiceHandle service(::OpenServiceW(manager.get(), SERVICE, SERVICE_QUERY_STATUS));
    client::Client kept;
    std::vector<double> fresh_ms, kept_ms, fresh_query_ms, kept_query_ms, query_ms;
    std::string wrong;
    auto expect_not_running = [&](const client::Reply& reply) {
        if (wrong.empty() && (reply || reply.error().kind != client::ErrorKind::NOT_RUNNING)) {
            wrong = reply ? reply.value() : reply.error().message;
        }
    };
    for (int round = 0; round < CLEAR_ERROR_ROUNDS; ++round) {
        fresh_ms.push_back(time_ms([&] { expect_not_running(client::send_request("STATUS")); }));
        kept_ms.push_back(time_ms([&] { expect_not_running(kept.send("STATUS")); }));
        fresh_query_ms.push_back(time_ms([] { static_cast<void>(test::service_status()); }));
        auto query = [](SC_HANDLE service) {
            SERVICE_STATUS_PROCESS status{};
            DWORD needed = 0;
            ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                   reinterpret_cast<BYTE*>(&status), sizeof status, &needed);
        };
        kept_query_ms.push_back(time_ms([&] {
            query(
                ServiceHandle(::OpenServiceW(manager.get(), SERVICE, SERVICE_QUERY_STATUS)).get());
        }));
        query_ms.push_back(time_ms([&] { query(service.get()); }));
    }
    if (!wrong.empty()) {
        return "clear error: not the not-running error but: " + wrong;
    }
    const double fresh = median(fresh_ms), kept_client = median(kept_ms);
    const double fresh_query = median(fresh_query_ms), kept_query = median(kept_query_ms);
    table.add(
        {"Time to a clear error with the service stopped, one request from a new client "
         "(ms, median of " +
             std::to_string(CLEAR_ERROR_ROUNDS) + " interleaved rounds)",
         fixed(fresh, 2) + " ms",
         "OpenSCManagerW, OpenServiceW and QueryServiceStatusEx " + fixed(fresh_query, 2) + " ms",
         fixed(fresh / fresh_query, 2) + "x", "<= 100 ms and <= 2x",
         verdict(fresh <= 100 && fresh <= 2 * fresh_query)});
    // The client keeps its manager handle but opens the service for each lookup: an open service
    // handle would keep a deleted service from being installed again.
    table.add(
        {"Time to a clear error with the service stopped, from a kept client object (ms, "
         "same rounds)",
         fixed(kept_client, 2) + " ms",
         "OpenServiceW and QueryServiceStatusEx on a kept manager handle " + fixed(kept_query, 2) +
             " ms (QueryServiceStatusEx alone on an open service "
             "handle " +
             fixed(median(query_ms), 2) + " ms)",
         fixed(kept_client / kept_query, 2) + "x", "<= 100 ms and <= 2x",
         verdict(kept_client <= 100 && kept_client <= 2 * kept_query)});
    return std::nullopt;
}

}  // namespace zelto::bench
