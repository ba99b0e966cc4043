// The machine's serial devices, for a user who must pick one, and the one "COM2" stands for.
#pragma once

#include <string>

struct stat;

// Writes one block per serial device to stdout (the man page's --list-ports), marking `com2`, the
// path COM2 stands for, or saying why it is none. Reads sysfs, /dev and /proc only: opening a
// device raises DTR and RTS, which resets some boards. Returns the number of devices listed.
int ListSerialPorts(const char *com2);

// The device "COM2" stands for: the command line's, `chosen` at the first call (before the
// first port call), else $IFDIAG_PORT, else /dev/ttyS1.
const char *Com2Device(const char *chosen = nullptr);

// Why a user was refused a device with this owner, group and mode, and what would help:
// joining its group where that group may read and write it, else who owns it. " (...)".
std::string AccessHint(const struct stat &st);

// Why `path` cannot be a serial port, seen by stat alone (opening a FIFO releases its waiting
// writer): the system's words for errno, or "not a serial port" with errno 0; else null.
const char *NoSerialPort(const char *path, struct stat &st);

// Who holds `dev` open, "19553 (cat), 812 (minicom)", as far as /proc lets this user see.
std::string Holders(const std::string &dev);

// Lowers the receive trigger of the open port `fd` (`path`) to 1 byte where the kernel offers it
// and the user may write it, else tells once what that costs. Returns the level to hand back.
int LowerRxTrigger(int fd, const std::string &path);
void RestoreRxTrigger(int fd, int level);
