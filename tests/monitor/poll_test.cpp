// The poll cycle against a simulated box over a real pseudo-terminal.
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

int64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool WaitRequests(sim::Box *box, size_t n, int ms = 10000) {
    for (int i = 0; i < ms / 5; ++i) {
        if (sim::RequestCount(box) >= n)
            return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

// Requests already on the line when the port closed reach a slow box later.
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

// What the test dialog does when it opens and closes.
void OpenDialog() {
    DialogHandle = reinterpret_cast<HWND>(0xD1A1);
    PreviousInputs = OpenInterface();
    for (auto &c : EdgeCounters)
        c = 0;
    StartPolling();
}
void CloseDialog() {
    StopPolling();
    CloseInterface();
}

class Poll : public ::testing::Test {
protected:
    void SetUp() override { msgs::Reset(); }
    void TearDown() override {
        CloseDialog();
        msgs::Hold(false);
        for (int i = 0; i < 200 && msgs::Open() > 0; ++i)
            std::this_thread::sleep_for(5ms);
        if (box != nullptr)
            sim::Stop(box);
    }
    sim::Box *box = nullptr;
};

TEST_F(Poll, NoInputChangeIsLostAndEachCycleIsC1C5C9) {
    sim::Config cfg = testbox::Fast();
    cfg.pacing = true;
    cfg.input_mode = sim::InputMode::Flip;
    cfg.input_byte = 0x00;
    cfg.flip_mask = 0xA5;
    cfg.analog_ex = 1234;
    cfg.analog_ey = 54321;
    box = testbox::Start(cfg);
    ASSERT_NE(box, nullptr);

    OpenDialog();
    // Motor values in the order the user sets them; every request must carry
    // one that was current, so the box sees them in this order, never going back.
    const BYTE sequence[] = {0x00, 0x02, 0x0A, 0x2A, 0xAA, 0xA9, 0xA5, 0x95, 0x55};
    for (BYTE m : sequence) {
        MotorByte = m;
        std::this_thread::sleep_for(37ms);
    }
    ASSERT_TRUE(WaitRequests(box, 1 + 3 * 10));
    CloseDialog();

    auto log = sim::Log(box);
    ASSERT_GE(log.size(), 31u);
    ASSERT_EQ(log[0].code, 0xC1);
    size_t cycles = (log.size() - 1) / 3;
    for (size_t i = 1; i < log.size(); ++i)
        ASSERT_EQ(log[i].code, (i - 1) % 3 == 0 ? 0xC1 : (i - 1) % 3 == 1 ? 0xC5 : 0xC9) << i;
    size_t at = 0;
    for (const auto &r : log) {
        while (at < sizeof sequence && sequence[at] != r.motor)
            ++at;
        ASSERT_LT(at, sizeof sequence) << "motor byte out of order: " << int(r.motor);
    }

    // Every 0xC1 after the first flipped the mask. The stop may land anywhere in
    // a cycle: one stopped inside its digital exchange counts nothing, one stopped
    // in an analog exchange has counted already.
    size_t digital = 0;
    for (size_t i = 1; i < log.size(); ++i)
        digital += log[i].code == 0xC1;
    ASSERT_GE(digital, cycles);
    const DWORD counted = EdgeCounters[0];
    EXPECT_TRUE(counted == digital || counted + 1 == digital) << counted << " of " << digital;
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(EdgeCounters[i], (0xA5 >> i) & 1 ? counted : 0u) << i;
    // The counts agree with the last input byte the cycle kept.
    EXPECT_EQ(PreviousInputs, (counted + 1) % 2 ? 0xA5 : 0x00);
    EXPECT_EQ(AnalogEX, 1234u);
    EXPECT_EQ(AnalogEY, 54321u);
    EXPECT_EQ(msgs::Count(), 0u);
}

TEST_F(Poll, MotorCommandReachesTheBoxWithTheNextRequest) {
    sim::Config cfg = testbox::Fast();
    cfg.pacing = true;
    box = testbox::Start(cfg);
    OpenDialog();
    ASSERT_TRUE(WaitRequests(box, 7));
    SetMotor(2, 'R');
    const int64_t set = NowNs();
    ASSERT_TRUE(WaitRequests(box, sim::RequestCount(box) + 6));
    int old_after = 0;
    for (const auto &r : sim::Log(box))
        if (r.t_ns > set && r.motor != 0x08)
            ++old_after;
    // Only a request already on its way may still carry the old byte.
    EXPECT_LE(old_after, 1);
    EXPECT_EQ(sim::Motors(box), 0x08);
}

TEST_F(Poll, HeldMessageHoldsTheCycleThenOneSecondPause) {
    testbox::PointAtMissingPort();
    OpenDialog(); // one message on this thread, not held, no pause
    ASSERT_EQ(msgs::Count(), 1u);
    EXPECT_FALSE(msgs::All()[0].poll_thread);

    msgs::Hold(true);
    ASSERT_EQ(msgs::WaitFor(2, 5000), 2u);
    EXPECT_TRUE(msgs::All()[1].poll_thread);
    // Held open: nothing else happens, however long the user waits.
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(msgs::Count(), 2u);
    EXPECT_EQ(msgs::Open(), 1);

    const auto dismissed = std::chrono::steady_clock::now();
    msgs::ReleaseOne();
    ASSERT_EQ(msgs::WaitFor(3, 5000), 3u);
    // The user gets a second to reach "Abbrechen" before the next message.
    EXPECT_GE(std::chrono::steady_clock::now() - dismissed, 950ms);
    auto shown = msgs::All();
    for (const auto &m : shown) {
        EXPECT_EQ(m.text, LINK_TEXT);
        EXPECT_EQ(m.owner, reinterpret_cast<HWND>(0xD1A1));
    }
    // Values stay as the buffers held them; no change is ever counted.
    EXPECT_EQ(EdgeCounters[0], 0u);
}

TEST_F(Poll, StoppingDuringThePauseEndsItAtOnceAndQuietly) {
    testbox::PointAtMissingPort();
    OpenDialog();
    ASSERT_EQ(msgs::WaitFor(2, 5000), 2u); // first poll-thread message, dismissed at once
    CloseDialog();                         // inside the one-second pause
    const size_t shown = msgs::Count();

    // The timer thread is free again at once: a new opening polls without delay.
    sim::Config cfg = testbox::Fast();
    box = testbox::Start(cfg);
    const auto reopened = std::chrono::steady_clock::now();
    OpenDialog();
    ASSERT_TRUE(WaitRequests(box, 2));
    EXPECT_LT(std::chrono::steady_clock::now() - reopened, 700ms);
    std::this_thread::sleep_for(1200ms);
    EXPECT_EQ(msgs::Count(), shown);
}

TEST_F(Poll, StopWhileAMessageIsOpenShowsNothingMore) {
    sim::Config cfg = testbox::Fast();
    box = testbox::Start(cfg);
    OpenDialog();
    ASSERT_TRUE(WaitRequests(box, 4));
    msgs::Hold(true);
    sim::Vanish(box);
    ASSERT_EQ(msgs::WaitFor(1, 5000), 1u);
    CloseDialog(); // must not wait for the user
    EXPECT_EQ(msgs::Open(), 1);
    msgs::ReleaseOne();
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(msgs::Count(), 1u);
    EXPECT_EQ(msgs::Open(), 0);
}

TEST_F(Poll, StopWhileAReadWaitsOnASlowBox) {
    sim::Config cfg = testbox::Fast();
    cfg.fault = sim::Fault::Slow;
    cfg.slow_ms = 60;
    box = testbox::Start(cfg);
    for (int round = 0; round < 10; ++round) {
        OpenDialog();
        std::this_thread::sleep_for(std::chrono::milliseconds(30 + 17 * round % 90));
        CloseDialog();
        const int64_t closed = NowNs();
        std::this_thread::sleep_for(150ms);
        // Requests reach the box within microseconds; anything logged well after
        // the close was sent after it.
        for (const auto &r : sim::Log(box))
            ASSERT_LT(r.t_ns, closed + 20'000'000) << "exchange after close, round " << round;
    }
    EXPECT_EQ(msgs::Count(), 0u);
}

TEST_F(Poll, StopAndReopenAtOnceRunsOneChain) {
    sim::Config cfg = testbox::Fast();
    cfg.pacing = true;
    box = testbox::Start(cfg);
    for (int round = 0; round < 20; ++round) {
        OpenDialog();
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 7 * 5));
        CloseDialog();
    }
    sim::ClearLog(box);
    OpenDialog();
    std::this_thread::sleep_for(600ms);
    CloseDialog();
    auto log = sim::Log(box);
    ASSERT_GE(log.size(), 10u);
    EXPECT_EQ(log[0].motor, 0x00);
    // One chain: every cycle starts at least the timer delay after the last ended.
    for (size_t i = 4; i < log.size(); i += 3)
        EXPECT_GE(log[i].t_ns - log[i - 1].t_ns, 14'000'000) << i;
    EXPECT_EQ(msgs::Count(), 0u);
}

TEST_F(Poll, ManyRoundsLeakNothing) {
    sim::Config cfg = testbox::Fast();
    cfg.fault = sim::Fault::Slow;
    cfg.slow_ms = 15;
    box = testbox::Start(cfg);
    OpenDialog(); // the timer thread exists from here on
    CloseDialog();
    std::this_thread::sleep_for(100ms);
    const int fds = testbox::OpenFds();
    const int threads = testbox::Threads();
    for (int round = 0; round < 100; ++round) {
        const size_t before = Settled(box);
        OpenDialog();
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 11 * 4));
        CloseDialog();
        const size_t after = Settled(box);
        ASSERT_GT(after, before);
        // The opening's own request comes first and switches the motors off.
        ASSERT_EQ(sim::Log(box)[before].code, 0xC1);
    }
    std::this_thread::sleep_for(100ms);
    // Windows' own timer thread may end while it has nothing to do, so the
    // counts may fall; they must never grow.
    EXPECT_LE(testbox::OpenFds(), fds);
    EXPECT_LE(testbox::Threads(), threads);
    EXPECT_EQ(msgs::Count(), 0u);
}

} // namespace
