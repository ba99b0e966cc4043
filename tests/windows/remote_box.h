// The box tests' sim:: calls on Windows: they drive the native ifbox-sim command
// (its --control FIFO and --log file) instead of a box in the test's own process.
#pragma once

#include <string>

#include "sim/ifbox_sim.h"

namespace remote_box {

// "/tmp/x" as Wine's drive Z: sees it; other paths unchanged.
std::string WindowsPath(const std::string &unixPath);
// No box: the link is gone, and COM2 is a port without a device.
void Stop();

} // namespace remote_box
