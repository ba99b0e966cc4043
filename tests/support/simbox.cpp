#include "tests/support/simbox.h"

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <unistd.h>

namespace testbox {

std::string UniqueLink() {
    static std::atomic<int> next{0};
    const char *dir = getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/ifdiag-test-" + std::to_string(getpid()) +
           "-" + std::to_string(next++);
}

sim::Config Fast() {
    sim::Config cfg;
    cfg.pacing = false;
    return cfg;
}

sim::Box *Start(sim::Config cfg) {
    if (cfg.link.empty())
        cfg.link = UniqueLink();
    sim::Box *box = sim::Start(cfg);
    if (box != nullptr)
        setenv("IFDIAG_PORT", cfg.link.c_str(), 1);
    return box;
}

void PointAtMissingPort() {
    setenv("IFDIAG_PORT", (UniqueLink() + "-missing").c_str(), 1);
}

static int CountEntries(const char *path) {
    int n = 0;
    if (DIR *d = opendir(path)) {
        while (dirent *e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

int OpenFds() {
    return CountEntries("/proc/self/fd") - 1; // less the directory stream's own
}

int Threads() {
    return CountEntries("/proc/self/task");
}

int64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

} // namespace testbox
