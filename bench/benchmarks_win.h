#pragma once
// The benchmarks, in the order the run makes them. Each adds its rows to the table and fails only
// when the service or a baseline gives a wrong answer.

#include "bench_support_win.h"

namespace zelto::bench {

// The counts of one run. The footprint's requests and cycles include those of the round trip and
// the start latency, which come first.
struct Sizes {
    int round_trip_requests = 2000;
    int footprint_requests = 10000;
    int start_latency_pairs = 100;
    int footprint_cycles = 500;
    unsigned long flood_lines = 200000;
};
// A fifth of each, for a run that has to be short.
inline constexpr Sizes QUICK_SIZES{400, 2000, 20, 100, 40000};

// Sets `floor_us` to the median round trip of (b), the floor the start latency builds on.
ErrorText bench_round_trip(Table& table, const Sizes& sizes, double& floor_us);
ErrorText bench_start_latency(Table& table, const Sizes& sizes, double round_trip_floor_us);
ErrorText bench_output_forwarding(Table& table, const Sizes& sizes);
ErrorText bench_stop(Table& table);
// Stops the service, and leaves it stopped.
ErrorText bench_clear_error(Table& table);

// The footprint is measured between the others: idle, after the requests, after the cycles.
struct Footprint {
    unsigned long long private_bytes = 0;
    unsigned long handles = 0;
    // Where the system does not keep the counters (Wine): committed private regions summed and
    // the process's entries in the system handle table counted.
    bool counted_by_hand = false;
};
Result<Footprint> service_footprint();
// STATUS requests, and START/STOP cycles of the stand-in core, after those of the benchmarks.
ErrorText more_requests(int count);
ErrorText more_start_stop_cycles(int count);
void add_footprint_rows(Table& table, const Sizes& sizes, const Footprint& idle,
                        const Footprint& after_requests, const Footprint& after_cycles);

}  // namespace zelto::bench
