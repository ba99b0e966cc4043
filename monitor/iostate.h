// What ifdiag knows about the box between exchanges, and the operations on it.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/win32.h"

// Last input byte that fed the counters.
extern std::atomic<BYTE> PreviousInputs;
// Changes of E1..E8 since the dialog opened or the counter was reset; wraps at 2^32.
extern std::atomic<DWORD> EdgeCounters[8];
extern std::atomic<DWORD> AnalogEX;
extern std::atomic<DWORD> AnalogEY;

// Bit numbers count from 1: bit n has mask 2^(n-1).
BYTE SetBit(BYTE value, int n);
BYTE ClearBit(BYTE value, int n);
int TestBit(BYTE value, int n);

// motor 1..4; direction 'R' (right), 'L' (left) or 'A' (off); anything else is ignored.
void SetMotor(int motor, char direction);
void CountEdges(BYTE previous, BYTE current);
