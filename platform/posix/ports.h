// The machine's serial devices, for a user who must pick one (ifdiag --list-ports).
#pragma once

#include <string>

struct stat;

// Writes one block per serial device to stdout: its path and the /dev/serial names that
// point to it, its kernel driver, the UART type or the USB adapter's ids and strings,
// whether this user may open it (and why not), and who holds it open where /proc tells.
// Ports the kernel registered without a UART behind them are named on one line at the
// end. `com2` is the path COM2 stands for today; it is marked, or said to be missing.
// Reads sysfs, /dev and /proc only: no device is opened, since opening one raises DTR
// and RTS, which resets some boards. Returns the number of devices listed.
int ListSerialPorts(const char *com2);

// Why a user was refused a device with this owner, group and mode, and what would help:
// joining its group where that group may read and write it, else who owns it. " (...)".
std::string AccessHint(const struct stat &st);
