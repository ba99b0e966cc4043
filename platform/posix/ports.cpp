#include "platform/posix/ports.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <linux/major.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

std::vector<std::string> Entries(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string Resolved(const std::string &path) {
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) ? buf : "";
}

std::string Attribute(const std::string &path) {
    std::string value;
    std::getline(std::ifstream(path), value);
    return value;
}

// serial_core's port types (include/uapi/linux/serial_core.h) that users meet.
const char *UartName(int type) {
    static const char *const names[] = {"unknown", "8250", "16450", "16550", "16550A"};
    return type >= 0 && type < 5 ? names[type] : type == 32 ? "PL011" : "other";
}

} // namespace

std::string Holders(const std::string &dev) {
    const std::string real = Resolved(dev);
    std::string who;
    for (const std::string &pid : Entries("/proc")) {
        if (pid.find_first_not_of("0123456789") != std::string::npos || real.empty())
            continue; // an fd that names no file (a socket) resolves to "" too
        for (const std::string &fd : Entries("/proc/" + pid + "/fd"))
            if (Resolved("/proc/" + pid + "/fd/" + fd) == real) {
                who += (who.empty() ? "" : ", ") + pid + " (" +
                       Attribute("/proc/" + pid + "/comm") + ")";
                break;
            }
    }
    return who;
}

// /dev/tty, /dev/console and the pty masters (/dev/ptmx, /dev/pts/ptmx) share a major; sysfs
// names the class of other devices (/dev/null: mem), though not of pty slaves.
const char *NoSerialPort(const char *path, struct stat &st) {
    if (stat(path, &st) != 0)
        return strerror(errno);
    char sys[64];
    snprintf(sys, 64, "/sys/dev/char/%u:%u/subsystem", major(st.st_rdev), minor(st.st_rdev));
    const std::string kind = Resolved(sys);
    errno = 0;
    const bool tty = S_ISCHR(st.st_mode) && (kind.empty() || kind == "/sys/class/tty");
    return tty && major(st.st_rdev) != TTYAUX_MAJOR ? nullptr : "not a serial port";
}

const char *Com2Device(const char *chosen) {
    static const char *const commandLine = chosen; // the first call's
    const char *env = getenv("IFDIAG_PORT");
    return commandLine ? commandLine : env && *env ? env : "/dev/ttyS1";
}

// Joining the device's group helps only when that group may read and write it (a
// member would not be refused; one who joined but has not logged in again is not one).
std::string AccessHint(const struct stat &st) {
    const group *g = getgrgid(st.st_gid);
    const passwd *owner = getpwuid(st.st_uid);
    const std::string name = g ? g->gr_name : std::to_string(st.st_gid);
    if (st.st_gid != 0 && (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP))
        return " (join the group " + name + ": sudo usermod -aG " + name +
               " $USER, then log in again)";
    char mode[8];
    snprintf(mode, sizeof mode, "%03o", unsigned(st.st_mode & 0777));
    return std::string(" (owner ") + (owner ? owner->pw_name : std::to_string(st.st_uid).c_str()) +
           ", group " + name + ", mode " + mode +
           ": joining a group does not help; have the device given a group that may read and "
           "write it, e.g. by a udev rule with GROUP=\"dialout\", MODE=\"0660\")";
}

int ListSerialPorts(const char *com2) {
    const std::string com2_dev = Resolved(com2);
    std::string no_uart;
    int listed = 0;
    for (const std::string &name : Entries("/sys/class/tty")) {
        const std::string sys = "/sys/class/tty/" + name, dev = "/dev/" + name;
        const std::string device = Resolved(sys + "/device");
        if (device.empty()) // virtual consoles, pseudo-terminals
            continue;
        const std::string type = Attribute(sys + "/type");
        if (type == "0") {
            no_uart += " " + dev;
            continue;
        }
        ++listed;
        std::string hw = device; // kernels from 6.5 put serial_core's own port devices between
        while (Resolved(hw + "/driver").find("/bus/serial-base/") != std::string::npos)
            hw.erase(hw.rfind('/'));
        const std::string driver = Resolved(hw + "/driver");
        printf("%s  driver %s", dev.c_str(), driver.substr(driver.rfind('/') + 1).c_str());
        if (!type.empty())
            printf(", UART %s", UartName(atoi(type.c_str())));
        std::string usb = device; // the USB device is the nearest parent with a vendor id
        while (usb.size() > 1 && access((usb + "/idVendor").c_str(), F_OK) != 0)
            usb.erase(usb.rfind('/'));
        if (usb.size() > 1) {
            printf(", USB %s:%s", Attribute(usb + "/idVendor").c_str(),
                   Attribute(usb + "/idProduct").c_str());
            for (const char *field : {"manufacturer", "product", "serial"})
                if (const std::string value = Attribute(usb + "/" + field); !value.empty())
                    printf(", %s \"%s\"", field, value.c_str());
        }
        printf("%s\n", Resolved(dev) == com2_dev && !com2_dev.empty() ? "  (used as COM2)" : "");
        for (const char *kind : {"by-id", "by-path"})
            for (const std::string &link : Entries(std::string("/dev/serial/") + kind))
                if (Resolved(std::string("/dev/serial/") + kind + "/" + link) == dev)
                    printf("    /dev/serial/%s/%s\n", kind, link.c_str());
        if (struct stat st; access(dev.c_str(), R_OK | W_OK) != 0) {
            const int cause = errno;
            printf("    you may not open it: %s%s\n", strerror(cause),
                   stat(dev.c_str(), &st) == 0 ? AccessHint(st).c_str() : "");
        }
        if (const std::string who = Holders(dev); !who.empty())
            printf("    held open by %s\n", who.c_str());
    }
    if (listed == 0)
        printf("no serial devices found\n");
    if (!no_uart.empty())
        printf("left out, registered without a UART behind them:%s\n", no_uart.c_str());
    struct stat st;
    if (const char *why = NoSerialPort(com2, st))
        printf("COM2 stands for %s: %s\n", com2, why);
    return listed;
}
