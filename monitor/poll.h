// The poll cycle: one digital and two analog exchanges every 20 ms after the last.
#pragma once

#include <atomic>

#include "platform/win32.h"

constexpr UINT POLL_DELAY_MS = 20;
constexpr UINT POLL_RESOLUTION_MS = 5;

// Identifier of the most recently armed timer event (0: none).
extern std::atomic<UINT> PollTimerId;

void StartPolling();
void StopPolling();
void CALLBACK PollCallback(UINT id, UINT msg, DWORD_PTR user, DWORD_PTR dw1, DWORD_PTR dw2);
