// winmm's multimedia timer: one timer thread per process runs every callback.
//
// Events live in a fixed table, so arming one never allocates: the poll cycle
// re-arms itself on every round. The thread starts with the first event and
// runs until the process ends.
#include "platform/win32.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

constexpr int MAX_EVENTS = 64;

struct Event {
    UINT id; // 0: free slot
    Clock::time_point due;
    UINT period_ms; // 0: one-shot
    LPTIMECALLBACK callback;
    DWORD_PTR user;
};

struct TimerState {
    std::mutex lock;
    std::condition_variable wake;
    Event events[MAX_EVENTS] = {};
    UINT last_id = 0;
    bool started = false;
};

// Never destroyed: the timer thread may still be inside a callback while the
// process exits, and must not find its state gone.
TimerState &State() {
    static TimerState *state = new TimerState;
    return *state;
}

bool IdInUse(const TimerState &s, UINT id) {
    for (const Event &e : s.events)
        if (e.id == id)
            return true;
    return false;
}

// Windows runs multimedia-timer callbacks on a time-critical thread, so that a
// busy desktop does not stretch the poll period. Here: a low real-time
// priority where the system grants it, else the highest nice value it allows,
// else as it is. The callbacks block in I/O or wait for the user, so the thread
// never keeps a processor for long.
void RaisePriority() {
    sched_param param{};
    param.sched_priority = 1;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0)
        return;
#ifdef __linux__
    for (int nice = -10; nice < 0; nice += 5)
        if (setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), nice) == 0)
            return;
#endif
}

void TimerThread() {
    RaisePriority();
#ifdef PR_SET_TIMERSLACK
    // Linux lets a sleeping thread wake up to 50 us late by default, to gather
    // wake-ups; the poll cycle would pay that on every round. A timer thread's
    // whole job is to be on time, and it wakes a few dozen times a second.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
    TimerState &s = State();
    std::unique_lock<std::mutex> hold(s.lock);
    for (;;) {
        Event *next = nullptr;
        for (Event &e : s.events)
            if (e.id != 0 && (next == nullptr || e.due < next->due))
                next = &e;
        if (next == nullptr) {
            s.wake.wait(hold);
            continue;
        }
        if (Clock::now() < next->due) {
            s.wake.wait_until(hold, next->due);
            continue;
        }
        // Take the event out of the table before calling it: from now on
        // timeKillEvent no longer finds it and so never waits for it.
        Event fired = *next;
        if (fired.period_ms != 0)
            next->due += std::chrono::milliseconds(fired.period_ms);
        else
            next->id = 0;
        hold.unlock();
        fired.callback(fired.id, 0, fired.user, 0, 0);
        hold.lock();
    }
}

} // namespace

MMRESULT WINAPI timeSetEvent(UINT delay, UINT, LPTIMECALLBACK callback, DWORD_PTR user,
                             UINT flags) {
    if (callback == nullptr || delay == 0)
        return 0;
    TimerState &s = State();
    Clock::time_point due = Clock::now() + std::chrono::milliseconds(delay);
    std::lock_guard<std::mutex> hold(s.lock);
    Event *slot = nullptr;
    for (Event &e : s.events)
        if (e.id == 0) {
            slot = &e;
            break;
        }
    if (slot == nullptr)
        return 0;
    // Ids count up and skip 0 and any still in use, so a stale id held by a
    // caller does not soon name someone else's event.
    do {
        ++s.last_id;
    } while (s.last_id == 0 || IdInUse(s, s.last_id));
    *slot = Event{s.last_id, due, (flags & TIME_PERIODIC) ? delay : 0, callback, user};
    if (!s.started) {
        std::thread(TimerThread).detach();
        s.started = true;
    }
    s.wake.notify_one();
    return slot->id;
}

MMRESULT WINAPI timeKillEvent(UINT id) {
    if (id == 0)
        return MMSYSERR_INVALPARAM;
    TimerState &s = State();
    std::lock_guard<std::mutex> hold(s.lock);
    for (Event &e : s.events)
        if (e.id == id) {
            e.id = 0;
            s.wake.notify_one();
            return TIMERR_NOERROR;
        }
    return MMSYSERR_INVALPARAM;
}
