// ifdiag --trace (line format: the man page). Lines are formatted on the caller's thread
// into a fixed ring and written by a thread of the trace's own, so the poll thread never
// waits for stderr (a pipe nobody reads, a terminal stopped with Ctrl-S) and allocates
// nothing. A full ring drops lines and tells their number once the writer catches up.
#pragma once

#include <cstddef>

// Starts the writer; before the first port call. Without it every call below is a no-op.
void TraceOn();
bool Tracing();
// One line: `mark` ("open", ">", "<", "flush", "purge", "close", "fail", "msg") and the
// rest formatted as printf would; "open" restarts the clock. Never blocks on stderr, never
// allocates.
void Trace(const char *mark, const char *format, ...) __attribute__((format(printf, 2, 3)));
// The bytes in hex ("C1 00"), then `note` if it is not null.
void TraceBytes(const char *mark, const void *bytes, size_t count, const char *note);
// At exit: waits up to one second for the writer to write what is left.
void TraceOff();
