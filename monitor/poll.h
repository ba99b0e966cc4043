// The poll cycle: one digital and two analog exchanges, 20 ms after the previous
// cycle ended, on the platform's timer thread (the poll thread).
//
// Stopping is a handshake, not a join: each start of polling begins a round, a cycle
// only runs if fired by the event in PollTimerId, and a running cycle ends, storing
// nothing and arming nothing, once its round is over (polling stopped or restarted).
#pragma once

#include <atomic>

#include "platform/win32.h"

constexpr UINT POLL_DELAY_MS = 20;
constexpr UINT POLL_RESOLUTION_MS = 5;

// Identifier of the most recently armed timer event (0: none). Written by
// StartPolling and at the end of every cycle, read by StopPolling and each cycle.
extern std::atomic<UINT> PollTimerId;

// Arms the first one-shot event. User-interface thread, after OpenInterface and the
// zeroing of the counters. If the platform arms nothing, polling ends silently.
void StartPolling();

// After it returns no cycle begins and no event is armed; a cycle in progress stores
// nothing more. Never waits for the cycle (it may sit in a failure message): call
// CloseInterface next, which stops that cycle's exchange. User-interface thread.
void StopPolling();

// The timer's callback: one cycle, then re-arms itself. Poll thread only; arguments
// other than the event id are not used.
void CALLBACK PollCallback(UINT id, UINT msg, DWORD_PTR user, DWORD_PTR dw1, DWORD_PTR dw2);
