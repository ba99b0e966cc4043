// Motor commands, edge counting and the poll cycle; the cycle against ifbox-sim over a
// real pseudo-terminal, with the message recorder standing in for the user.
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
using Clock = std::chrono::steady_clock;

namespace {

TEST(SetMotor, TwoBitsPerMotorSwitchedInOneStore) {
    struct {
        BYTE before;
        int motor;
        char direction;
        BYTE after;
    } const cases[] = {
        {0x00, 1, 'R', 0x02}, {0x00, 1, 'L', 0x01},  {0x00, 4, 'R', 0x80}, {0x00, 4, 'L', 0x40},
        {0x00, 2, 'R', 0x08}, {0x00, 3, 'L', 0x10},  {0x01, 1, 'R', 0x02}, {0x02, 1, 'R', 0x02},
        {0x18, 3, 'A', 0x08}, {0x08, 4, 'L', 0x48},  {0xF3, 2, 'L', 0xF7}, {0x5A, 2, 'r', 0x5A},
        {0x5A, 2, 'S', 0x5A}, {0x5A, 2, '\0', 0x5A},
    };
    for (const auto &c : cases) {
        MotorByte = c.before;
        SetMotor(c.motor, c.direction);
        EXPECT_EQ(MotorByte, c.after) << int(c.before) << " " << c.motor << c.direction;
    }
    // Another thread never sees a motor half switched (both bits or none).
    MotorByte = 0x01;
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
    std::thread watcher([&] {
        while (!done)
            bad += (MotorByte.load() & 3) == 0 || (MotorByte.load() & 3) == 3;
    });
    for (int i = 0; i < 200000; ++i)
        SetMotor(1, (i & 1) ? 'L' : 'R');
    done = true;
    watcher.join();
    EXPECT_EQ(bad, 0);
}

TEST(CountEdges, EveryChangeOnceEitherWayAndResetWinsWhole) {
    for (auto &c : EdgeCounters)
        c = 0;
    CountEdges(0x00, 0xFF);
    CountEdges(0x81, 0x01); // E8 falls
    CountEdges(0x5A, 0x5A);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(EdgeCounters[i], i == 7 ? 2u : 1u) << i;
    // A Reset racing an increment leaves 0 or 1, never the old count plus one.
    for (int round = 0; round < 2000; ++round) {
        EdgeCounters[0] = 1000;
        std::atomic<int> go{0};
        std::thread poller([&] {
            for (++go; go < 2;) {
            }
            CountEdges(0x00, 0x01);
        });
        for (++go; go < 2;) {
        }
        EdgeCounters[0] = 0;
        poller.join();
        ASSERT_LE(EdgeCounters[0], 1u) << "round " << round;
    }
}

void CALLBACK Fired(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
    ++*reinterpret_cast<std::atomic<int> *>(user);
}

// A killed event never fires; one that could not be killed fires exactly once.
TEST(Timer, KilledEventNeverFires) {
    for (int i = 0; i < 50; ++i) {
        std::atomic<int> fired{0};
        const UINT id = timeSetEvent(1 + i % 3, 1, Fired, DWORD_PTR(&fired), TIME_ONESHOT);
        const bool killed = timeKillEvent(id) == TIMERR_NOERROR;
        for (int w = 0; w < 500 && !killed && fired == 0; ++w)
            std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(10ms);
        ASSERT_EQ(fired, killed ? 0 : 1) << i;
    }
}

bool WaitRequests(sim::Box *box, size_t n) {
    for (int i = 0; i < 2000 && sim::RequestCount(box) < n; ++i)
        std::this_thread::sleep_for(5ms);
    return sim::RequestCount(box) >= n;
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
    // What the test dialog does when it opens and closes.
    static void OpenDialog() {
        DialogHandle = reinterpret_cast<HWND>(0xD1A1);
        PreviousInputs = OpenInterface();
        for (auto &c : EdgeCounters)
            c = 0;
        StartPolling();
    }
    static void CloseDialog() {
        StopPolling();
        CloseInterface();
    }
    sim::Box *box = nullptr;
};

TEST_F(Poll, CyclesAreC1C5C9CarryTheCurrentMotorByteAndLoseNoEdge) {
    sim::Config cfg = testbox::Fast();
    cfg.pacing = true;
    cfg.input_mode = sim::InputMode::Flip;
    cfg.flip_mask = 0xA5;
    cfg.analog_ex = 1234;
    cfg.analog_ey = 54321;
    box = testbox::Start(cfg);
    ASSERT_NE(box, nullptr);
    OpenDialog();
    // The box must see the motor bytes in the order they were set, never going back.
    const BYTE sequence[] = {0x00, 0x02, 0x0A, 0x2A, 0xAA, 0xA9, 0xA5, 0x95, 0x55};
    for (BYTE m : sequence) {
        MotorByte = m;
        std::this_thread::sleep_for(37ms);
    }
    ASSERT_TRUE(WaitRequests(box, 1 + 3 * 10));
    CloseDialog();
    const auto log = sim::Log(box);
    size_t at = 0, digital = 0;
    for (size_t i = 0; i < log.size(); ++i) {
        const BYTE want = i == 0 || (i - 1) % 3 == 0 ? 0xC1 : (i - 1) % 3 == 1 ? 0xC5 : 0xC9;
        ASSERT_EQ(log[i].code, want) << i;
        digital += i > 0 && want == 0xC1;
        while (at < sizeof sequence && sequence[at] != log[i].motor)
            ++at;
        ASSERT_LT(at, sizeof sequence) << "motor byte out of order at " << i;
    }
    // A stop inside a cycle's digital exchange counts nothing of it; later, it has counted.
    const DWORD counted = EdgeCounters[0];
    EXPECT_TRUE(counted == digital || counted + 1 == digital) << counted << " of " << digital;
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(EdgeCounters[i], (0xA5 >> i) & 1 ? counted : 0u) << i;
    EXPECT_EQ(PreviousInputs, counted % 2 ? 0x00 : 0xA5);
    EXPECT_EQ(AnalogEX, 1234u);
    EXPECT_EQ(AnalogEY, 54321u);
    EXPECT_EQ(msgs::Count(), 0u);
}

// A message holds its cycle however long it stays open; after it is dismissed, on
// either thread, the next exchange waits a second so that the user can reach
// "Abbrechen"; closing never waits for the user and ends that second at once.
TEST_F(Poll, MessagesHoldTheCyclePauseASecondAndNeverHoldTheClose) {
    testbox::PointAtMissingPort();
    OpenDialog(); // the opening's message, dismissed at once
    auto since = Clock::now();
    msgs::Hold(true);
    ASSERT_EQ(msgs::WaitFor(2, 5000), 2u);
    EXPECT_GE(Clock::now() - since, 950ms) << "after the opening's message";
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(msgs::Count(), 2u);
    EXPECT_EQ(msgs::Open(), 1);
    since = Clock::now();
    msgs::ReleaseOne();
    ASSERT_EQ(msgs::WaitFor(3, 5000), 3u);
    EXPECT_GE(Clock::now() - since, 950ms) << "after a poll-thread message";
    CloseDialog(); // with the message still open
    EXPECT_EQ(msgs::Open(), 1);
    msgs::Hold(false);
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(msgs::Letters(), "LLL");
    EXPECT_EQ(EdgeCounters[0], 0u);

    OpenDialog();
    ASSERT_EQ(msgs::WaitFor(5, 5000), 5u);
    CloseDialog(); // in the second after a dismissal
    box = testbox::Start(testbox::Fast());
    since = Clock::now();
    OpenDialog();
    ASSERT_TRUE(WaitRequests(box, 2));
    EXPECT_LT(Clock::now() - since, 700ms) << "the poll thread was still pausing";
    std::this_thread::sleep_for(1200ms);
    EXPECT_EQ(msgs::Count(), 5u);
    for (const auto &m : msgs::All())
        EXPECT_EQ(m.owner, reinterpret_cast<HWND>(0xD1A1));
}

} // namespace
