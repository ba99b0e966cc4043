// ifbox-sim in-process on a pseudo-terminal of its own, with the tool's "COM2"
// (IFDIAG_PORT) pointed at it; and what the tests measure the process by.
#pragma once

#include <chrono>

#include "sim/ifbox_sim.h"

namespace testbox {

sim::Config Fast(); // pacing off: most tests check bytes, not timing
sim::Box *Start(sim::Config cfg);
void PointAtMissingPort();
int Entries(const char *dir); // /proc/self/fd or /proc/self/task: what a process holds
inline int64_t NowNs() {      // the clock of sim::Request::t_ns (CLOCK_MONOTONIC)
    return std::chrono::steady_clock::now().time_since_epoch() / std::chrono::nanoseconds(1);
}

} // namespace testbox
