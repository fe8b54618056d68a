// Start latency: START to "OK|Started" for the stand-in core, against the launch of the same core
// with the same pipes in this process, in interleaved rounds. (c), the supervisor's start_core
// called in this process, splits the gap into the supervisor's share and the pipe's.

#include "benchmarks_win.h"
#include "common/unique_handle.h"
#include "common/win_text.h"
#include "core/command_line.h"
#include "core/launch_win.h"
#include "core/supervisor.h"
#include "windows/test_support.h"
#include "zelto_client.h"

namespace zelto::bench {
namespace {

// The stand-in core sleeps until it is terminated when its config holds no script.
struct IdleCore {
    std::string config;
    std::string core;
};

Result<IdleCore> idle_core() {
    const std::wstring config = bench_dir_file(L"idle.yaml");
    const KernelHandle file(
        ::CreateFileW(config.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file) {
        return Result<IdleCore>::failure("cannot write idle.yaml: " +
                                         system_error_text(::GetLastError()));
    }
    return IdleCore{to_utf8(config), to_utf8(test::exe_dir() + L"\\stand_in_core.exe")};
}

// Milliseconds from START to its answer, then the core is stopped again.
Result<double> service_cycle(const std::string& start) {
    const auto started = Clock::now();
    const Result<std::string> answer = ask(start);
    const auto answered = Clock::now();
    if (!answer.ok() || answer.value() != "OK|Started") {
        return Result<double>::failure("START: " + (answer.ok() ? answer.value() : answer.error()));
    }
    const Result<std::string> stopped = ask("STOP");
    if (!stopped.ok() || stopped.value() != "OK|Stopped") {
        return Result<double>::failure("STOP: " +
                                       (stopped.ok() ? stopped.value() : stopped.error()));
    }
    return ms_between(started, answered);
}

}  // namespace

ErrorText bench_start_latency(Table& table, const Sizes& sizes, double round_trip_floor_us) {
    std::printf(
        "Start latency: %d rounds of launch_core and start_core in this process and START "
        "through the service\n",
        sizes.start_latency_pairs);
    const Result<IdleCore> idle = idle_core();
    if (!idle) {
        return idle.error();
    }
    const std::string start = client::start_request(idle.value().config, idle.value().core);
    const std::string config_dir = config_dir_of(idle.value().config);
    std::vector<double> baseline, supervisor, service;
    for (int i = 0; i < sizes.start_latency_pairs; ++i) {
        const auto started = Clock::now();
        Result<LaunchedCore> launched = launch_core(
            idle.value().core, config_dir, idle.value().config, CoreEnvironment::INHERITED);
        const auto returned = Clock::now();
        if (!launched) {
            return "launch: " + launched.error();
        }
        end_core(launched.value().core);
        baseline.push_back(ms_between(started, returned));

        const auto called = Clock::now();
        const ErrorText started_here = start_core(idle.value().config, idle.value().core);
        const auto done = Clock::now();
        stop_core();
        if (started_here) {
            return "start_core: " + *started_here;
        }
        supervisor.push_back(ms_between(called, done));

        const Result<double> through_service = service_cycle(start);
        if (!through_service) {
            return through_service.error();
        }
        service.push_back(through_service.value());
    }
    const double b = median(baseline);
    const double c = median(supervisor);
    const double s = median(service);
    // START through the service is a launch plus a request's round trip with its log lines: the
    // fair floor adds (b) of the round-trip benchmark to the bare launch.
    const double fair_floor = b + round_trip_floor_us / 1000.0;
    const std::string rounds =
        " (ms, median of " + std::to_string(sizes.start_latency_pairs) + " interleaved rounds)";
    table.add({"Start latency, START to OK\\|Started vs bare launch + round trip (b)" + rounds,
               fixed(s, 1) + " ms",
               "CreateProcessW with the same pipes " + fixed(b, 1) + " ms + round trip (b) " +
                   fixed(round_trip_floor_us / 1000.0, 2) + " ms = " + fixed(fair_floor, 1) + " ms",
               fixed(s / fair_floor, 2) + "x", "<= 1.2x", verdict(s <= 1.2 * fair_floor)});
    table.add({"Start latency, start_core in this process vs bare launch" + rounds,
               fixed(c, 1) + " ms", "CreateProcessW with the same pipes " + fixed(b, 1) + " ms",
               fixed(c / b, 2) + "x; START through the service is " + fixed(s / b, 2) +
                   "x the bare launch",
               "<= 1.25x", verdict(c <= 1.25 * b)});
    return std::nullopt;
}

ErrorText more_start_stop_cycles(int count) {
    const Result<IdleCore> idle = idle_core();
    if (!idle) {
        return idle.error();
    }
    const std::string start = client::start_request(idle.value().config, idle.value().core);
    for (int i = 0; i < count; ++i) {
        const Result<double> cycle = service_cycle(start);
        if (!cycle) {
            return cycle.error();
        }
    }
    return std::nullopt;
}

}  // namespace zelto::bench
