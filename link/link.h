// The interface link: the only code that talks to the interface box.
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

// Owner of the failure messages; set by the test dialog when it opens.
extern std::atomic<HWND> DialogHandle;

// Handle of the open port, INVALID_HANDLE_VALUE when opening failed or after closing.
extern std::atomic<HANDLE> PortHandle;

BYTE OpenInterface();
BYTE ResetOutputs();
BYTE ExchangeDigital();
DWORD ExchangeAnalog(BYTE channel);
void CloseInterface();
