// winmm's multimedia timer, one-shot events only (the poll cycle re-arms itself on every round):
// one timer thread per process runs every callback. Events live in a fixed table, so arming one
// never allocates. The thread starts with the first event and runs until the process ends.
#include "platform/win32.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int MAX_EVENTS = 64;

struct Event {
    UINT id; // 0: free slot
    Clock::time_point due;
    LPTIMECALLBACK callback;
    DWORD_PTR user;
};

// Never destroyed: the timer thread may still be inside a callback while the process exits, and
// must not find its state gone.
std::mutex &Lock = *new std::mutex;
std::condition_variable &Wake = *new std::condition_variable;
Event Events[MAX_EVENTS]; // under Lock
UINT LastId = 0;          // under Lock

// Windows runs multimedia-timer callbacks on a time-critical thread, so that a busy desktop does
// not stretch the poll period. Here: a low real-time priority where the system grants it, else nice
// -10 or -5 where RLIMIT_NICE allows, else as it is. The callbacks block in I/O or wait for the
// user, so the thread never keeps a processor for long.
void RaisePriority() {
    sched_param param{};
    param.sched_priority = 1;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0)
        return;
    for (int nice = -10; nice < 0; nice += 5)
        if (setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), nice) == 0)
            return;
}

void TimerThread() {
    RaisePriority();
    // Linux lets a sleeping thread wake up to 50 us late by default, to gather wake-ups; the poll
    // cycle would pay that on every round. A timer thread's whole job is to be on time, and it
    // wakes a few dozen times a second.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    std::unique_lock<std::mutex> hold(Lock);
    for (;;) {
        Event *next = nullptr;
        for (Event &e : Events)
            if (e.id != 0 && (next == nullptr || e.due < next->due))
                next = &e;
        if (next == nullptr || Clock::now() < next->due) { // woken by the next event
            Wake.wait_until(hold, next ? next->due : Clock::now() + std::chrono::hours(1));
            continue;
        }
        // Take the event out of the table before calling it: from now on timeKillEvent no longer
        // finds it and so never waits for it.
        Event fired = *next;
        next->id = 0;
        hold.unlock();
        fired.callback(fired.id, 0, fired.user, 0, 0);
        hold.lock();
    }
}

} // namespace

MMRESULT WINAPI timeSetEvent(UINT delay, UINT, LPTIMECALLBACK callback, DWORD_PTR user,
                             UINT flags) {
    if (callback == nullptr || delay == 0 || flags != TIME_ONESHOT)
        return 0;
    Clock::time_point due = Clock::now() + std::chrono::milliseconds(delay);
    std::lock_guard<std::mutex> hold(Lock);
    Event *slot = std::find_if(std::begin(Events), std::end(Events),
                               [](const Event &e) { return e.id == 0; });
    if (slot == std::end(Events))
        return 0;
    // Ids count up and skip 0, so a stale id held by a caller names no one else's event until they
    // wrap (years of polling).
    if (++LastId == 0)
        ++LastId;
    *slot = Event{LastId, due, callback, user};
    static std::once_flag started;
    std::call_once(started, [] { std::thread(TimerThread).detach(); });
    Wake.notify_one();
    return slot->id;
}

MMRESULT WINAPI timeKillEvent(UINT id) {
    if (id == 0)
        return MMSYSERR_INVALPARAM;
    std::lock_guard<std::mutex> hold(Lock);
    for (Event &e : Events)
        if (e.id == id) {
            e.id = 0;
            Wake.notify_one();
            return TIMERR_NOERROR;
        }
    return MMSYSERR_INVALPARAM;
}
