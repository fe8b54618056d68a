// The installed service under load: long runs of requests, several clients at once, many
// START/STOP cycles. Every request must be answered with exactly its own response, and the
// service must hold no more handles, threads or processes afterwards than before.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "windows/installed_service.h"
#include "windows/test_support.h"
#include "zelto_client.h"

namespace zelto {
namespace {

using namespace std::chrono_literals;
using namespace test;

// Under Wine a round trip costs 2 to 3 ms here (four log lines each) and a START/STOP cycle about
// 70 ms: these runs take about 30 s each, well inside the per-test limit.
constexpr int REQUESTS_IN_A_ROW = 10000;
constexpr int CLIENTS = 4;
constexpr int REQUESTS_PER_CLIENT = 500;
constexpr int START_STOP_CYCLES = 500;
// Room for handles the system itself opens in the service process now and then.
constexpr DWORD HANDLE_SLACK = 10;

struct Exchange {
    std::string request;
    std::string response;
};

// Request `n` of client `client`. Half of them are unknown commands that the service echoes back,
// so an answer that went to the wrong client or the wrong request cannot pass.
Exchange exchange(int client, int n) {
    switch (n % 4) {
        case 0:
            return {"VERSION", "OK|0.1.0"};
        case 1:
        case 3: {
            const std::string tag = "client" + std::to_string(client) + "-" + std::to_string(n);
            return {tag, "ERR|Unknown command: " + tag};
        }
        default:
            return {"STATUS", "OK|Stopped"};
    }
}

// The service's process, asked of the service control manager once per run and named to the
// client: these runs measure the service, and under Wine that query costs the client about 10 ms
// per connection, several times a round trip.
DWORD server() {
    const DWORD pid = service_pid();
    EXPECT_NE(pid, 0u);
    return pid;
}

// Sends the first `count` requests of one client; returns a description of each that failed.
std::vector<std::string> run_client(int number, int count, DWORD server) {
    std::vector<std::string> failures;
    client::Client sender(server);
    for (int n = 0; n < count; ++n) {
        const Exchange want = exchange(number, n);
        // Generous: the other clients share the one pipe instance.
        const std::string seen = answer_text(sender.send(want.request, 30s));
        if (seen != want.response) {
            failures.push_back(want.request + " -> " + seen);
        }
    }
    return failures;
}

std::size_t count_starting_with(const std::vector<std::string>& lines, std::string_view prefix) {
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(),
                      [&](const std::string& line) { return line.starts_with(prefix); }));
}

std::string first_few(const std::vector<std::string>& failures) {
    std::string text = std::to_string(failures.size()) + " failed, first:";
    for (std::size_t i = 0; i < failures.size() && i < 5; ++i) {
        text += "\n  " + failures[i];
    }
    return text;
}

class ServiceUnderLoad : public InstalledServiceTest {
  protected:
    // The service's counts once it has settled: threads of a finished exchange or a stopped core
    // end shortly after it, not at once.
    ProcessCounts settled_counts(const ProcessCounts& baseline) {
        std::optional<ProcessCounts> now;
        wait_until(
            [&] {
                now = process_counts(service_pid());
                return now && now->threads <= baseline.threads && now->handles <= baseline.handles;
            },
            5s);
        EXPECT_TRUE(now.has_value());
        return now.value_or(ProcessCounts{});
    }

    ProcessCounts baseline() {
        // One exchange and one core first, so that whatever the system sets up once on first use
        // is already in the count.
        EXPECT_EQ(client::send_request(client::start_request(config_, core_)).value(),
                  "OK|Started");
        EXPECT_EQ(client::send_request("STOP").value(), "OK|Stopped");
        ::Sleep(500);
        const auto counts = process_counts(service_pid());
        EXPECT_TRUE(counts.has_value());
        return counts.value_or(ProcessCounts{});
    }
};

TEST_F(ServiceUnderLoad, LongRunOfRequestsInARow) {
    install_and_wait_running();
    const ProcessCounts before = baseline();
    const LogTail log;

    const auto started = Clock::now();
    const std::vector<std::string> failures = run_client(0, REQUESTS_IN_A_ROW, server());
    const auto took = Clock::now() - started;
    std::printf("%d requests in a row: %lld ms, %.2f ms each\n", REQUESTS_IN_A_ROW, in_ms(took),
                static_cast<double>(in_ms(took)) / REQUESTS_IN_A_ROW);
    EXPECT_TRUE(failures.empty()) << first_few(failures);

    const auto lines = log.new_lines();
    EXPECT_EQ(count_starting_with(lines, "[IPC] Received request: "), REQUESTS_IN_A_ROW);
    EXPECT_EQ(count_starting_with(lines, "[IPC] Sending response: "), REQUESTS_IN_A_ROW);

    const ProcessCounts after = settled_counts(before);
    std::printf("service handles %lu -> %lu, threads %lu -> %lu\n", before.handles, after.handles,
                before.threads, after.threads);
    EXPECT_LE(after.handles, before.handles + HANDLE_SLACK);
    EXPECT_LE(after.threads, before.threads);
}

TEST_F(ServiceUnderLoad, FourClientsAtOnce) {
    install_and_wait_running();
    const ProcessCounts before = baseline();

    std::vector<std::vector<std::string>> failures(CLIENTS);
    std::vector<std::thread> clients;
    const auto started = Clock::now();
    const DWORD pid = server();
    for (int c = 0; c < CLIENTS; ++c) {
        clients.emplace_back(
            [&failures, c, pid] { failures[c] = run_client(c, REQUESTS_PER_CLIENT, pid); });
    }
    for (auto& client : clients) {
        client.join();
    }
    std::printf("%d clients x %d requests: %lld ms\n", CLIENTS, REQUESTS_PER_CLIENT,
                in_ms(Clock::now() - started));
    for (int c = 0; c < CLIENTS; ++c) {
        EXPECT_TRUE(failures[c].empty()) << "client " << c << ": " << first_few(failures[c]);
    }

    const ProcessCounts after = settled_counts(before);
    std::printf("service handles %lu -> %lu, threads %lu -> %lu\n", before.handles, after.handles,
                before.threads, after.threads);
    EXPECT_LE(after.handles, before.handles + HANDLE_SLACK);
    EXPECT_LE(after.threads, before.threads);
}

TEST_F(ServiceUnderLoad, StartStopCyclesLeaveNothingBehind) {
    install_and_wait_running();
    const std::vector<DWORD> cores_before = processes_named(L"stand_in_core.exe");
    const ProcessCounts before = baseline();
    const std::string start = client::start_request(config_, core_);
    const DWORD pid = server();

    std::vector<std::string> failures;
    client::Client sender(pid);
    const auto started = Clock::now();
    for (int cycle = 0; cycle < START_STOP_CYCLES; ++cycle) {
        for (const Exchange& want :
             {Exchange{start, "OK|Started"}, Exchange{"STOP", "OK|Stopped"}}) {
            const std::string seen = answer_text(sender.send(want.request, 10s));
            if (seen != want.response) {
                failures.push_back("cycle " + std::to_string(cycle) + ": " +
                                   want.request.substr(0, 5) + " -> " + seen);
            }
        }
    }
    const auto took = Clock::now() - started;
    std::printf("%d START/STOP cycles: %lld ms, %.1f ms each\n", START_STOP_CYCLES, in_ms(took),
                static_cast<double>(in_ms(took)) / START_STOP_CYCLES);
    EXPECT_TRUE(failures.empty()) << first_few(failures);

    const ProcessCounts after = settled_counts(before);
    std::printf("service handles %lu -> %lu, threads %lu -> %lu\n", before.handles, after.handles,
                before.threads, after.threads);
    EXPECT_LE(after.handles, before.handles + HANDLE_SLACK);
    EXPECT_LE(after.threads, before.threads);

    std::vector<DWORD> left = processes_named(L"stand_in_core.exe");
    std::erase_if(left, [&](DWORD pid) {
        return std::find(cores_before.begin(), cores_before.end(), pid) != cores_before.end();
    });
    EXPECT_TRUE(left.empty()) << left.size() << " stand-in cores still running";
}

}  // namespace
}  // namespace zelto
