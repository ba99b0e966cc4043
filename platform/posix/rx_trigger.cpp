// The receive trigger of an on-board UART (8250 family), where the kernel offers it. A 16550 hands
// over received bytes when its FIFO holds the trigger level (8 by default) or four byte times after
// the last one: a reply of 1 or 3 bytes comes 4.2 ms late at 9600 baud, at level 1 at once. The
// attribute is root's unless a udev rule (resources/60-ifdiag.rules) lets dialout write it.
#include "platform/posix/ports.h"
#include "platform/posix/trace.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

// As users find it, /sys/class/tty/ttyS1/rx_trig_bytes, whatever the device's name in /dev.
std::string Attribute(int fd) {
    struct stat st = {};
    char dev[64], dir[PATH_MAX];
    fstat(fd, &st); // else 0:0, no device
    snprintf(dev, sizeof dev, "/sys/dev/char/%u:%u", major(st.st_rdev), minor(st.st_rdev));
    return realpath(dev, dir) ? std::string("/sys/class/tty") + strrchr(dir, '/') + "/rx_trig_bytes"
                              : "";
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
          "ifdiag: %s: receive trigger %d bytes not lowered (%s), each reply about 4 ms late; for "
          "dialout to lower it: sudo chgrp dialout %s; sudo chmod g+w %s (for good: man ifdiag)",
          path.c_str(), found, strerror(errno), file.c_str(), file.c_str());
    return 0;
}

void RestoreRxTrigger(int fd, int level) {
    if (level > 1)
        Level(Attribute(fd), level);
}
