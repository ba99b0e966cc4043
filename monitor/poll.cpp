// The poll cycle. Arming and stopping take ArmLock, which is never held across
// an exchange, so after StopPolling returns no event is armed and none can be.
#include "monitor/poll.h"

#include <mutex>

#include "link/link.h"
#include "monitor/iostate.h"

std::atomic<UINT> PollTimerId{0};

namespace {

std::mutex ArmLock;
std::atomic<unsigned> PollRound{0};

bool Polling(unsigned round) {
    return (round & 1u) != 0;
}
bool Current(unsigned round) {
    return PollRound.load() == round;
}

// Callers hold ArmLock.
void Arm() {
    PollTimerId.store(
        timeSetEvent(POLL_DELAY_MS, POLL_RESOLUTION_MS, PollCallback, 0, TIME_ONESHOT));
}

} // namespace

void StartPolling() {
    std::lock_guard<std::mutex> hold(ArmLock);
    PollRound.store((PollRound.load() | 1u) + 2u);
    Arm();
}

void StopPolling() {
    std::lock_guard<std::mutex> hold(ArmLock);
    const unsigned round = PollRound.load();
    if (Polling(round))
        PollRound.store(round + 1);
    timeKillEvent(PollTimerId.load());
}

void CALLBACK PollCallback(UINT id, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    unsigned round;
    {
        std::lock_guard<std::mutex> hold(ArmLock);
        round = PollRound.load();
        // An event that fired just as polling stopped, or that belongs to an
        // earlier round, has no business here.
        if (!Polling(round) || id != PollTimerId.load())
            return;
        timeKillEvent(PollTimerId.load());
    }

    const BYTE inputs = ExchangeDigital();
    if (!Current(round))
        return;
    CountEdges(PreviousInputs.load(), inputs);
    PreviousInputs.store(inputs);

    const DWORD ex = ExchangeAnalog(0);
    if (!Current(round))
        return;
    AnalogEX.store(ex);

    const DWORD ey = ExchangeAnalog(1);
    if (!Current(round))
        return;
    AnalogEY.store(ey);

    std::lock_guard<std::mutex> hold(ArmLock);
    if (Current(round))
        Arm();
}
