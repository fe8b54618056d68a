// Runs every benchmark against the service installed in the Wine prefix (or on Windows), prints
// the table, and removes the service again. "--quick" runs a fifth of every count, "--round-trip"
// only the request round trip. Exit code 1 when a benchmark could not be completed.

#include <cstdio>
#include <cstring>

#include "benchmarks_win.h"

namespace zelto::bench {
namespace {

ErrorText run_all(Table& table, const Sizes& sizes, bool round_trip_only) {
    if (ErrorText error = install_service()) {
        return error;
    }
    if (round_trip_only) {
        double round_trip_floor_us = 0;
        return bench_round_trip(table, sizes, round_trip_floor_us);
    }
    const Result<Footprint> idle = service_footprint();
    if (!idle) {
        return idle.error();
    }
    double round_trip_floor_us = 0;
    if (ErrorText error = bench_round_trip(table, sizes, round_trip_floor_us)) {
        return error;
    }
    std::printf("Footprint: STATUS requests up to %d\n", sizes.footprint_requests);
    // The round trip sent its count three times: from a client without the server check, from
    // the C++ client object and from the C interface.
    if (ErrorText error = more_requests(sizes.footprint_requests - 3 * sizes.round_trip_requests)) {
        return error;
    }
    const Result<Footprint> after_requests = service_footprint();
    if (!after_requests) {
        return after_requests.error();
    }
    if (ErrorText error = bench_start_latency(table, sizes, round_trip_floor_us)) {
        return error;
    }
    std::printf("Footprint: START/STOP cycles up to %d\n", sizes.footprint_cycles);
    if (ErrorText error =
            more_start_stop_cycles(sizes.footprint_cycles - sizes.start_latency_pairs)) {
        return error;
    }
    const Result<Footprint> after_cycles = service_footprint();
    if (!after_cycles) {
        return after_cycles.error();
    }
    add_footprint_rows(table, sizes, idle.value(), after_requests.value(), after_cycles.value());
    if (ErrorText error = bench_output_forwarding(table, sizes)) {
        return error;
    }
    if (ErrorText error = bench_stop(table)) {
        return error;
    }
    return bench_clear_error(table);
}

}  // namespace
}  // namespace zelto::bench

int main(int argc, char** argv) {
    bool quick = false;
    bool round_trip_only = false;
    for (int i = 1; i < argc; ++i) {
        quick = quick || std::strcmp(argv[i], "--quick") == 0;
        round_trip_only = round_trip_only || std::strcmp(argv[i], "--round-trip") == 0;
    }
    zelto::bench::Table table;
    const zelto::ErrorText error = zelto::bench::run_all(
        table, quick ? zelto::bench::QUICK_SIZES : zelto::bench::Sizes{}, round_trip_only);
    zelto::bench::remove_service();
    table.print();
    if (error) {
        std::fprintf(stderr, "bench: %s\n", error->c_str());
        return 1;
    }
    return 0;
}
