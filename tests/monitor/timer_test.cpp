// The multimedia timer stand-in: one timer thread, one-shot events, kills that
// never wait.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "platform/win32.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Shot {
    std::mutex lock;
    std::condition_variable done;
    int fired = 0;
    UINT id = 0;
    std::thread::id thread;
    Clock::time_point when;
};

void CALLBACK Record(UINT id, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
    Shot *s = reinterpret_cast<Shot *>(user);
    std::lock_guard<std::mutex> hold(s->lock);
    ++s->fired;
    s->id = id;
    s->thread = std::this_thread::get_id();
    s->when = Clock::now();
    s->done.notify_all();
}

bool WaitFired(Shot &s, int n, int ms) {
    std::unique_lock<std::mutex> hold(s.lock);
    return s.done.wait_for(hold, std::chrono::milliseconds(ms), [&] { return s.fired >= n; });
}

TEST(Timer, FiresOnceOnItsOwnThreadAfterTheDelay) {
    Shot s;
    auto armed = Clock::now();
    UINT id = timeSetEvent(30, 5, Record, reinterpret_cast<DWORD_PTR>(&s), TIME_ONESHOT);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(WaitFired(s, 1, 5000));
    EXPECT_EQ(s.id, id);
    EXPECT_NE(s.thread, std::this_thread::get_id());
    EXPECT_GE(s.when - armed, std::chrono::milliseconds(30));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(s.fired, 1);
    // Fired one-shot events are gone.
    EXPECT_EQ(timeKillEvent(id), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
}

TEST(Timer, KilledEventNeverFires) {
    for (int i = 0; i < 50; ++i) {
        Shot s;
        UINT id = timeSetEvent(1 + i % 3, 1, Record, reinterpret_cast<DWORD_PTR>(&s), TIME_ONESHOT);
        if (timeKillEvent(id) == TIMERR_NOERROR) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ASSERT_EQ(s.fired, 0) << i;
        } else {
            // Too late to cancel: then it has fired, or is firing, exactly once.
            ASSERT_TRUE(WaitFired(s, 1, 5000));
        }
    }
}

TEST(Timer, UnknownIdsAreRefused) {
    EXPECT_EQ(timeKillEvent(0), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
    EXPECT_EQ(timeKillEvent(0xFFFFFFF0u), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
}

TEST(Timer, IdsAreNonZeroAndNotReusedSoon) {
    Shot s;
    std::set<UINT> ids;
    for (int i = 0; i < 500; ++i) {
        UINT id = timeSetEvent(10000, 5, Record, reinterpret_cast<DWORD_PTR>(&s), TIME_ONESHOT);
        ASSERT_NE(id, 0u);
        EXPECT_TRUE(ids.insert(id).second) << id;
        timeKillEvent(id);
    }
}

struct Chain {
    std::atomic<int> left{5};
    std::atomic<int> fired{0};
};

void CALLBACK Rearm(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
    Chain *c = reinterpret_cast<Chain *>(user);
    ++c->fired;
    if (--c->left > 0)
        timeSetEvent(2, 1, Rearm, user, TIME_ONESHOT);
}

TEST(Timer, CallbackMayArmTheNextEvent) {
    Chain c;
    timeSetEvent(2, 1, Rearm, reinterpret_cast<DWORD_PTR>(&c), TIME_ONESHOT);
    for (int i = 0; i < 500 && c.fired < 5; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(c.fired, 5);
}

struct Blocker {
    std::mutex lock;
    std::condition_variable cv;
    bool entered = false;
    bool release = false;
};

void CALLBACK Block(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
    Blocker *b = reinterpret_cast<Blocker *>(user);
    std::unique_lock<std::mutex> hold(b->lock);
    b->entered = true;
    b->cv.notify_all();
    b->cv.wait(hold, [b] { return b->release; });
}

TEST(Timer, KillNeverWaitsForARunningCallback) {
    Blocker b;
    UINT id = timeSetEvent(1, 1, Block, reinterpret_cast<DWORD_PTR>(&b), TIME_ONESHOT);
    {
        std::unique_lock<std::mutex> hold(b.lock);
        ASSERT_TRUE(b.cv.wait_for(hold, std::chrono::seconds(5), [&] { return b.entered; }));
    }
    // Would hang here if the kill waited for the callback (a user's message box).
    EXPECT_EQ(timeKillEvent(id), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
    // Events armed meanwhile wait for the one timer thread, as on Windows.
    Shot s;
    timeSetEvent(1, 1, Record, reinterpret_cast<DWORD_PTR>(&s), TIME_ONESHOT);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(s.fired, 0);
    {
        std::lock_guard<std::mutex> hold(b.lock);
        b.release = true;
        b.cv.notify_all();
    }
    EXPECT_TRUE(WaitFired(s, 1, 5000));
}

} // namespace
