// Stop: `sc stop` to STOPPED with a core running and with a silent client holding the pipe.
// `sc query` alone, timed the same way, shows how much of it is sc.exe's own start.

#include <algorithm>
#include <thread>

#include "benchmarks_win.h"
#include "common/unique_handle.h"
#include "common/win_text.h"
#include "ipc/pipe_name.h"
#include "windows/test_support.h"
#include "zelto_client.h"

namespace zelto::bench {
namespace {

using namespace std::chrono_literals;

constexpr int REPEATS = 3;

// Milliseconds from launching `sc stop` until the service reports STOPPED.
Result<double> sc_stop_ms() {
    const auto started = Clock::now();
    std::thread sc([] { test::run_process(L"sc stop Zelto_service"); });
    const bool stopped = wait_for_state(SERVICE_STOPPED, 10s);
    const auto ended = Clock::now();
    sc.join();
    if (!stopped) {
        return Result<double>::failure("the service did not stop within 10 s");
    }
    return ms_between(started, ended);
}

bool process_alive(DWORD pid) {
    const KernelHandle process(::OpenProcess(SYNCHRONIZE, FALSE, pid));
    return process && ::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

Result<double> stop_with_core() {
    const std::string config = to_utf8(bench_dir_file(L"idle.yaml"));
    const std::string core = to_utf8(test::exe_dir() + L"\\stand_in_core.exe");
    const Result<std::string> started = ask(client::start_request(config, core));
    const Result<std::string> status = ask("STATUS");
    if (!started.ok() || started.value() != "OK|Started" || !status.ok() ||
        !status.value().starts_with("OK|Running|")) {
        return Result<double>::failure("the core did not start before the stop");
    }
    const DWORD pid = std::stoul(status.value().substr(11));
    Result<double> took = sc_stop_ms();
    if (took.ok() && process_alive(pid)) {
        return Result<double>::failure("the core outlived the service's stop");
    }
    return took;
}

Result<double> stop_with_silent_client() {
    KernelHandle silent;
    const bool connected = test::wait_until([&] {
        silent.reset(::CreateFileW(PIPE_NAME.data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
        return silent.valid();
    });
    if (!connected) {
        return Result<double>::failure("cannot connect the silent client");
    }
    return sc_stop_ms();
}

}  // namespace

ErrorText bench_stop(Table& table) {
    std::printf("Stop: %d times with a core running, %d times with a silent client\n", REPEATS,
                REPEATS);
    std::vector<double> with_core, with_client, query;
    for (int i = 0; i < REPEATS; ++i) {
        for (auto* series : {&with_core, &with_client}) {
            const auto query_started = Clock::now();
            test::run_process(L"sc query Zelto_service");
            query.push_back(ms_between(query_started, Clock::now()));

            const Result<double> took =
                series == &with_core ? stop_with_core() : stop_with_silent_client();
            if (!took) {
                return "stop: " + took.error();
            }
            series->push_back(took.value());
            if (ErrorText error = start_service()) {
                return error;
            }
        }
    }
    const std::string sc_alone = "sc query alone " + fixed(median(query), 0) + " ms";
    auto row = [&](const std::string& name, const std::vector<double>& series) {
        const double worst = *std::max_element(series.begin(), series.end());
        table.add({name + " (ms, median and worst of " + std::to_string(REPEATS) + ")",
                   fixed(median(series), 0) + " ms, worst " + fixed(worst, 0) + " ms", sc_alone,
                   "-", "< 1000 ms", verdict(worst < 1000)});
    };
    row("Stop, sc stop to STOPPED, core running", with_core);
    row("Stop, sc stop to STOPPED, silent client connected", with_client);
    return std::nullopt;
}

}  // namespace zelto::bench
