// What ifdiag knows about the box between exchanges, and the operations on it.
//
// Shared by the user-interface thread (motor commands, Reset, the display) and the
// poll thread (counting, analog values) without a lock: each value is one byte or
// one 32-bit word, read and written whole and atomically. None of these calls fails.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/win32.h"

// Input byte of the last exchange that fed the counters. Set by the dialog when it
// opens, then by the poll thread alone.
extern std::atomic<BYTE> PreviousInputs;
// Changes of E1..E8 (both directions) since the dialog opened or the counter was
// reset; raised by the poll thread, zeroed and read by the user-interface thread.
// Wraps at 2^32. An increment racing a Reset leaves 0 or 1.
extern std::atomic<DWORD> EdgeCounters[8];
// Last values of EX and EY (0..65535); written by the poll thread.
extern std::atomic<DWORD> AnalogEX;
extern std::atomic<DWORD> AnalogEY;

// Bit numbers count from 1: bit n has mask 2^(n-1).
BYTE SetBit(BYTE value, int n);
BYTE ClearBit(BYTE value, int n);
int TestBit(BYTE value, int n);

// motor 1..4; direction 'R' (right), 'L' (left) or 'A' (off); any other letter is
// ignored. Changes MotorByte in one store, so the poll thread never sees a motor
// half-switched; sends nothing. User-interface thread.
void SetMotor(int motor, char direction);

// Adds 1 to the counter of every input whose bit differs. Poll thread.
void CountEdges(BYTE previous, BYTE current);
