// The poll cycle's leak check for Windows, next to tests/monitor/poll_test.cpp in
// the same program. Windows' multimedia timer thread comes and goes with the
// events it serves, so the thread count may fall between rounds; it must never
// grow, and no handle may be left behind.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "link/link.h"
#include "monitor/iostate.h"
#include "monitor/poll.h"
#include "tests/support/messages.h"
#include "tests/support/simbox.h"

namespace msgs = testing_messages;
using namespace std::chrono_literals;

namespace {

void OpenDialog() {
    DialogHandle = reinterpret_cast<HWND>(0xD1A2);
    PreviousInputs = OpenInterface();
    for (auto &c : EdgeCounters)
        c = 0;
    StartPolling();
}
void CloseDialog() {
    StopPolling();
    CloseInterface();
}

size_t Settled(sim::Box *box) {
    size_t n = sim::RequestCount(box);
    for (;;) {
        std::this_thread::sleep_for(40ms);
        size_t now = sim::RequestCount(box);
        if (now == n)
            return n;
        n = now;
    }
}

TEST(WinePoll, ManyRoundsLeakNoHandleAndNoThread) {
    msgs::Reset();
    sim::Config cfg = testbox::Fast();
    cfg.fault = sim::Fault::Slow;
    cfg.slow_ms = 15;
    sim::Box *box = testbox::Start(cfg);
    OpenDialog();
    CloseDialog();
    std::this_thread::sleep_for(100ms);
    const int handles = testbox::OpenFds();
    const int threads = testbox::Threads();
    for (int round = 0; round < 100; ++round) {
        const size_t before = Settled(box);
        OpenDialog();
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 11 * 4));
        CloseDialog();
        const size_t after = Settled(box);
        ASSERT_GT(after, before);
        ASSERT_EQ(sim::Log(box)[before].code, 0xC1);
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_LE(testbox::OpenFds(), handles);
    EXPECT_LE(testbox::Threads(), threads);
    EXPECT_EQ(msgs::Count(), 0u);
    sim::Stop(box);
}

} // namespace
