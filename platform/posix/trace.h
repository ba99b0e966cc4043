// ifdiag --trace (line format: the man page) and the port layer's lines for the user. Lines
// are formatted on the caller's thread into a fixed ring and written by a thread of the
// ring's own, started with the first line, so the poll thread never waits for stderr (a pipe
// nobody reads, a terminal stopped with Ctrl-S) and allocates nothing after that. A full ring
// drops lines and tells their number once the writer catches up.
#pragma once

#include <cstddef>

// Traces from now on; before the first port call.
void TraceOn();
bool Tracing();
// One line: `mark` ("open", ">", "<", "flush", "purge", "close", "fail", "msg") and the rest
// formatted as printf would; "open" restarts the clock and is dated. Nothing unless tracing, but
// with `mark` null: a line for the user (a note), traced as "note", else written as it is.
void Trace(const char *mark, const char *format, ...) __attribute__((format(printf, 2, 3)));
// The bytes in hex ("C1 00"), then `note` if it is not null.
void TraceBytes(const char *mark, const void *bytes, size_t count, const char *note);
// `head` and the line settings as a user names them: "115200 7E1 crtscts ixon".
void TraceSettings(const char *mark, const char *head, const struct termios &tio);
// At exit, and before reading what was written: waits up to one second for the writer.
void TraceOff();
