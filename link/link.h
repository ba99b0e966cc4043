// The interface link: the only code that talks to the interface box.
//
// Principles of operation. Every exchange writes a two-byte request [code,
// MotorByte] and reads a reply of fixed length into a buffer that is never
// cleared, so an exchange always returns what its buffer holds: the new reply,
// or after a failure the last good one (initially 0x61 and 0x2020). The port's
// reads and writes give up after 100 ms; a read that times out counts as a
// success with fewer bytes. A read that reports failure is repeated at once, up
// to 20,001 calls in all.
//
// Failures are never returned: they are shown at once in a modal message box
// titled "Fehler", owned by DialogHandle, on the thread that runs the exchange,
// which blocks until the user dismisses it. The next exchange then waits up to
// one second, so the user can reach "Abbrechen" between messages; closing the
// port ends that wait at once.
//
// Threads: OpenInterface runs on the user-interface thread and performs the
// only exchange made there; every later exchange runs on the poll thread. An
// exchange never runs while another does. CloseInterface may come from the
// user-interface thread while a poll-thread exchange is in progress: it waits
// for at most the one port call in progress, and that exchange then stops
// without touching the port or the screen again.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/win32.h"

// Request codes; each request is [code, MotorByte].
constexpr BYTE REQ_INPUTS = 0xC1;
constexpr BYTE REQ_ANALOG_EX = 0xC5;
constexpr BYTE REQ_ANALOG_EY = 0xC9;

// Two bits per motor: motor m turns left with bit 2m-2 and right with bit 2m-1.
// Written by the user-interface thread, read once per request by whoever builds it.
extern std::atomic<BYTE> MotorByte;

// Owner of the failure messages; set by the test dialog when it opens, never cleared.
extern std::atomic<HWND> DialogHandle;

// Handle of the open port, INVALID_HANDLE_VALUE when opening failed or after closing.
// Owned by the link; others only read it.
extern std::atomic<HANDLE> PortHandle;

// Opens "COM2" exclusively, sets 9600 baud 8N1 (every other line setting stays as the
// port reports it) and 100 ms time-outs, then returns ResetOutputs(). User-interface
// thread. Opening and configuring are not checked: a port that could not be opened
// makes this first exchange, and every later one, show the link failure message.
BYTE OpenInterface();

// Sets MotorByte to 0 (all motors off) and returns ExchangeDigital().
BYTE ResetOutputs();

// Request 0xC1; returns the input byte (E1 = bit 0). Link failure message when the
// flush fails or all 20,001 reads fail; returns the buffer's byte either way.
BYTE ExchangeDigital();

// Request 0xC5 (channel 0, EX) or 0xC9 (channel 1, EY); returns reply byte 1 x 256 +
// byte 2. Link failure message when the write fails, analog failure message when all
// 20,001 reads fail; returns the value in the shared analog buffer either way.
DWORD ExchangeAnalog(BYTE channel);

// Closes the port; sends nothing first and keeps MotorByte. Call after StopPolling,
// from the user-interface thread. Never waits for a message to be dismissed.
void CloseInterface();
