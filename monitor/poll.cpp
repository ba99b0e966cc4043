// The poll cycle. Arming and stopping take ArmLock, which is never held across
// an exchange, so after StopPolling returns no event is armed and none can be.
#include "monitor/poll.h"

#include <mutex>

#include "link/generation.h"
#include "link/link.h"
#include "monitor/iostate.h"

std::atomic<UINT> PollTimerId{0};

namespace {

std::mutex ArmLock;
Generation PollRound{0};

// Callers hold ArmLock.
void Arm() {
    PollTimerId.store(
        timeSetEvent(POLL_DELAY_MS, POLL_RESOLUTION_MS, PollCallback, 0, TIME_ONESHOT));
}

} // namespace

void StartPolling() {
    std::lock_guard<std::mutex> hold(ArmLock);
    Begin(PollRound);
    Arm();
}

void StopPolling() {
    std::lock_guard<std::mutex> hold(ArmLock);
    End(PollRound);
    timeKillEvent(PollTimerId.load());
}

void CALLBACK PollCallback(UINT id, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    const unsigned round = PollRound.load();
    {
        std::lock_guard<std::mutex> hold(ArmLock);
        // An event that fired just as polling stopped, or that belongs to an
        // earlier round, has no business here.
        if (!Live(PollRound, round) || id != PollTimerId.load())
            return;
        timeKillEvent(PollTimerId.load());
    }

    const BYTE inputs = ExchangeDigital();
    if (!Live(PollRound, round))
        return;
    CountEdges(PreviousInputs.load(), inputs);
    PreviousInputs.store(inputs);

    const DWORD ex = ExchangeAnalog(0);
    if (!Live(PollRound, round))
        return;
    AnalogEX.store(ex);

    const DWORD ey = ExchangeAnalog(1);
    if (!Live(PollRound, round))
        return;
    AnalogEY.store(ey);

    std::lock_guard<std::mutex> hold(ArmLock);
    if (Live(PollRound, round))
        Arm();
}
