#include "tests/support/simbox.h"

#include <atomic>
#include <cstdlib>
#include <string>
#include <dirent.h>
#include <unistd.h>

static std::string UniqueLink() { // no other test, nor an earlier run, uses it
    static std::atomic<int> next{0};
    return "/tmp/ifdiag-test-" + std::to_string(getpid()) + "-" + std::to_string(next++);
}

sim::Config testbox::Fast() {
    sim::Config cfg;
    cfg.pacing = false;
    return cfg;
}

sim::Box *testbox::Start(sim::Config cfg) {
    cfg.link = UniqueLink();
    sim::Box *box = sim::Start(cfg);
    setenv("IFDIAG_PORT", cfg.link.c_str(), 1);
    return box;
}

void testbox::PointAtMissingPort() {
    setenv("IFDIAG_PORT", (UniqueLink() + "-missing").c_str(), 1);
}

int testbox::Entries(const char *dir) {
    int n = 0;
    if (DIR *d = opendir(dir)) {
        while (dirent *e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}
