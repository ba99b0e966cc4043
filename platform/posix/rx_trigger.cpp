// The receive trigger of an on-board UART (the 8250 family), where the kernel offers it. A
// 16550 interrupts when its receive FIFO holds the trigger level (8 bytes by default) or
// after four byte times without a byte, so a reply of 1 or 3 bytes reaches the reader
// 4.2 ms late at 9600 baud: every exchange, about a tenth of a cycle. At 1 byte it comes
// at once. The attribute is root's unless a udev rule (resources/60-ifdiag.rules) hands it
// to dialout; it lasts until the next boot, so the level found is written back at close.
#include "platform/posix/ports.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

std::string Attribute(dev_t device) {
    return "/sys/dev/char/" + std::to_string(major(device)) + ":" + std::to_string(minor(device)) +
           "/rx_trig_bytes";
}

bool Write(const std::string &file, int level) {
    const std::string text = std::to_string(level) + "\n";
    const int fd = open(file.c_str(), O_WRONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && write(fd, text.data(), text.size()) == ssize_t(text.size());
    const int cause = errno;
    if (fd >= 0)
        close(fd);
    errno = cause;
    return ok;
}

} // namespace

int LowerRxTrigger(dev_t device, std::string *refused) {
    const std::string file = Attribute(device);
    char text[16] = "";
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    const ssize_t n = fd >= 0 ? read(fd, text, sizeof text - 1) : -1;
    if (fd >= 0)
        close(fd);
    const int level = n > 0 ? atoi(text) : 0;
    if (level <= 1 || Write(file, 1))
        return level > 1 ? level : 0;
    char dir[PATH_MAX]; // named as users find it: /sys/class/tty/ttyS1/rx_trig_bytes
    if (errno == EACCES && realpath(file.substr(0, file.rfind('/')).c_str(), dir))
        *refused = std::string("/sys/class/tty") + strrchr(dir, '/') + "/rx_trig_bytes";
    return 0;
}

void RestoreRxTrigger(dev_t device, int level) {
    if (level > 1)
        (void)Write(Attribute(device), level);
}
