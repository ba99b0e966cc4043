// ifbox-sim in-process on a pseudo-terminal of its own, with the tool's "COM2"
// (IFDIAG_PORT) pointed at it; and what the tests measure the process by.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <dirent.h>
#include <unistd.h>

#include "sim/ifbox_sim.h"

namespace testbox {

inline std::string UniqueLink() { // no other test, nor an earlier run, uses it
    static std::atomic<int> next{0};
    return "/tmp/ifdiag-test-" + std::to_string(getpid()) + "-" + std::to_string(next++);
}
inline sim::Config Fast() { // pacing off: most tests check bytes, not timing
    sim::Config cfg;
    cfg.pacing = false;
    return cfg;
}
inline sim::Box *Start(sim::Config cfg) {
    cfg.link = UniqueLink();
    setenv("IFDIAG_PORT", cfg.link.c_str(), 1);
    return sim::Start(cfg);
}
inline void PointAtMissingPort() {
    setenv("IFDIAG_PORT", (UniqueLink() + "-missing").c_str(), 1);
}
inline int Entries(const char *dir) { // /proc/self/fd or /proc/self/task: what a process holds
    int n = 0;
    if (DIR *d = opendir(dir)) {
        while (dirent *e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}
inline int64_t NowNs() { // the clock of sim::Request::t_ns (CLOCK_MONOTONIC)
    return std::chrono::steady_clock::now().time_since_epoch() / std::chrono::nanoseconds(1);
}

} // namespace testbox
