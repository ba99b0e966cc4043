// Starts ifbox-sim in-process on a pseudo-terminal of its own and points the
// tool's "COM2" (IFDIAG_PORT) at it.
#pragma once

#include <string>

#include "sim/ifbox_sim.h"

namespace testbox {

// A link path no other test (or earlier run) uses.
std::string UniqueLink();
// Pacing off unless the test asks for it: the tests check bytes, not timing.
sim::Config Fast();
sim::Box *Start(sim::Config cfg);
// IFDIAG_PORT at a path where no device is.
void PointAtMissingPort();
// Open descriptors of this process (for leak checks).
int OpenFds();
// Threads of this process.
int Threads();

} // namespace testbox
