// ifdiag --trace: one stderr line for each port call that moves bytes or changes the
// port, and for each failure message. Lines are formatted on the caller's thread into a
// fixed ring and written by a thread of the trace's own, so the poll thread never waits
// for stderr (a pipe nobody reads, a terminal stopped with Ctrl-S) and allocates nothing.
// A full ring drops lines; their number is told in one line once the writer catches up.
//
// Line format: milliseconds since the port was last opened (one decimal, right-aligned
// in 9 columns), two blanks, a mark padded to 5 columns, two blanks, the rest:
//       0.0  open   /dev/ttyUSB0: found 115200 7E1 ixon, set 9600 8N1
//       0.4  >      C1 00
//       1.5  <      5A
//     123.0  <      (none: time-out after 100 ms)
#pragma once

#include <cstddef>

// Starts the writer; before the first port call. Without it every call below is a no-op.
void TraceOn();
bool Tracing();
// The port was opened: times count from now.
void TraceRestartClock();
// One line: `mark` ("open", ">", "<", "flush", "purge", "close", "fail", "msg") and the
// rest formatted as printf would. Never blocks on stderr, never allocates.
void Trace(const char *mark, const char *format, ...) __attribute__((format(printf, 2, 3)));
// The bytes in hex ("C1 00"), then `note` if it is not null.
void TraceBytes(const char *mark, const void *bytes, size_t count, const char *note);
// At exit: waits up to one second for the writer to write what is left.
void TraceOff();
