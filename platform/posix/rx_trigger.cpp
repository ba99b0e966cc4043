// A 16550 (8250 family) hands received bytes over at its receive trigger (8 by default) or four
// byte times after the last one: a reply of 1 or 3 bytes 4.2 ms late at 9600 baud. The attribute
// is root's unless a udev rule (resources/60-ifdiag.rules) lets dialout write it.
#include "platform/posix/ports.h"
#include "platform/posix/trace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace {

// As users find it: /sys/class/tty/ttyS1/rx_trig_bytes for /dev/ttyS1, under whatever name opened.
std::string Attribute(int fd) {
    std::error_code failed; // then no such file
    const auto dev = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), failed);
    return "/sys/class/tty/" + dev.filename().string() + "/rx_trig_bytes";
}

int Level(const std::string &file, int level) { // writes `level` (> 0), or reads it (0)
    FILE *f = fopen(file.c_str(), level ? "we" : "re");
    const bool done = f && (level ? fprintf(f, "%d", level) > 0 : fscanf(f, "%d", &level) == 1);
    return f && fclose(f) == 0 && done ? level : 0; // the write is made, or refused, at fclose
}

} // namespace

int LowerRxTrigger(int fd, const std::string &path) {
    const std::string file = Attribute(fd);
    const int found = Level(file, 0);
    if (found <= 1 || Level(file, 1))
        return found;
    Trace(nullptr,
          "ifdiag: %s: receive trigger %d bytes not lowered (%s), each reply about 4 ms late; "
          "dialout may lower it after sudo chgrp dialout %s; sudo chmod g+w %s (man ifdiag)",
          path.c_str(), found, strerror(errno), file.c_str(), file.c_str());
    return 0;
}

void RestoreRxTrigger(int fd, int level) {
    (void)(level > 1 && Level(Attribute(fd), level));
}
