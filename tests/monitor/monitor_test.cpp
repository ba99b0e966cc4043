// The values the two threads share, raced; the generations that number the port's openings
// and the poll rounds; the poll cycle against ifbox-sim over a real pseudo-terminal (motor
// bits and edge counts as such: the link's table, the dialog).
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "link/generation.h"
#include "link/link.h"
#include "monitor/iostate.h"
#include "monitor/poll.h"
#include "tests/support/messages.h"
#include "tests/support/simbox.h"

namespace {

// The poll thread never sees a motor half switched (both bits or none): switched until
// the other thread has looked two million times.
TEST(Shared, MotorSwitchIsOneStore) {
    MotorByte = 0x01;
    std::atomic<bool> done{false};
    std::atomic<int> looked{0}, bad{0};
    std::thread poller([&] {
        for (BYTE m; !done; ++looked, bad += (m & 3) == 0 || (m & 3) == 3)
            m = MotorByte;
    });
    for (int i = 0; looked < 2000000 && i < 50000000; ++i)
        SetMotor(1, (i & 1) ? 'L' : 'R');
    done = true;
    poller.join();
    EXPECT_EQ(bad, 0);
}

// A Reset racing an increment leaves 0 or 1, never the old count plus one.
TEST(Shared, ResetRacingAnEdgeWinsOrLosesWhole) {
    for (int round = 0; round < 2000; ++round) {
        EdgeCounters[0] = 1000;
        std::atomic<int> go{0};
        std::thread poller([&] {
            for (++go; go < 2;) {
            }
            CountEdges(0x00, 0x01);
        });
        int late = round % 256; // the Reset swept across the increment's few nanoseconds
        for (++go; go < 2 || late-- > 0;) {
        }
        EdgeCounters[0] = 0;
        poller.join();
        ASSERT_LE(EdgeCounters[0], 1u) << "round " << round;
    }
}

// After the steps (B: begin, E: end), is the first generation begun live, and one taken now?
const struct {
    const char *steps;
    bool first, now;
} STEPS[] = {{"", false, false},    {"E", false, false}, {"B", true, true},   {"BE", false, false},
             {"BEE", false, false}, {"BB", false, true}, {"BEB", false, true}};

TEST(Generation, OnceEndedOrReplacedNeverLiveAgain) {
    for (const auto &row : STEPS) {
        Generation g{0};
        unsigned first = 0;
        for (const char *step = row.steps; *step != '\0'; ++step) {
            *step == 'B' ? Begin(g) : End(g);
            if (*step == 'B' && first == 0)
                first = g;
        }
        EXPECT_TRUE(Live(g, first) == row.first && Live(g, g) == row.now) << row.steps;
    }
}

// Every cycle is 0xC1, 0xC5, 0xC9; every input change the box sends is counted, the
// analog values stored. The box flips E1, E3, E6 and E8 before each 0xC1 reply. A cycle
// starts 20 ms after the last one's EY reply, whose last byte leaves two byte times after
// the request: never sooner than 19 ms, since a timer never fires early.
TEST(Poll, CyclesCountEveryEdgeAndStoreBothValues) {
    sim::Config cfg;
    cfg.input_mode = sim::InputMode::Flip;
    cfg.flip_mask = 0xA5;
    cfg.analog_ex = 1234;
    cfg.analog_ey = 54321;
    sim::Box *box = testbox::Start(cfg);
    ASSERT_NE(box, nullptr);
    PreviousInputs = OpenInterface(); // as the dialog opens and closes
    StartPolling();
    while (sim::RequestCount(box) < 1 + 3 * 50)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    StopPolling();
    CloseInterface();
    const auto log = sim::Log(box);
    size_t digital = 0;
    std::vector<int64_t> gaps;
    for (size_t i = 1; i < log.size(); ++i) {
        ASSERT_EQ(log[i].code, (i - 1) % 3 == 0 ? 0xC1 : (i - 1) % 3 == 1 ? 0xC5 : 0xC9) << i;
        digital += log[i].code == 0xC1;
        if (i > 1 && log[i].code == 0xC1)
            gaps.push_back(log[i].t_ns - log[i - 1].t_ns - 2 * 1000000000LL * 10 / 9600);
    }
    std::sort(gaps.begin(), gaps.end());
    EXPECT_TRUE(gaps.size() >= 49 && gaps[0] >= 19000000 && gaps[gaps.size() / 2] < 200000000)
        << gaps[0] << " ns, median " << gaps[gaps.size() / 2];
    // A stop inside a cycle's digital exchange counts nothing of it; later, it has counted.
    const DWORD counted = EdgeCounters[0];
    EXPECT_TRUE(counted == digital || counted + 1 == digital) << counted << " of " << digital;
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(EdgeCounters[i], (0xA5 >> i) & 1 ? counted : 0u) << i;
    EXPECT_EQ(PreviousInputs, counted % 2 ? 0x00 : 0xA5);
    EXPECT_TRUE(AnalogEX == 1234u && AnalogEY == 54321u);
    EXPECT_TRUE(testmsgs::All().empty());
    sim::Stop(box);
}

} // namespace
