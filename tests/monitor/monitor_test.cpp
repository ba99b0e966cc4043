// The values the two threads share, raced; the generations of openings and poll rounds; the
// poll cycle's timing on the real timer (what a cycle sends, counts and stores: link_test).
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "link/generation.h"
#include "link/link.h"
#include "monitor/iostate.h"
#include "monitor/poll.h"
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

// A Reset racing the poll thread's increments keeps only those after it, never the old count
// plus one. The poll thread counts without pause, so a Reset often falls inside an increment.
TEST(Shared, ResetRacingAnEdgeWinsOrLosesWhole) {
    std::atomic<bool> stop{false};
    std::atomic<unsigned> done{0}; // increments finished
    std::thread poller([&] {
        while (!stop)
            CountEdges(0x00, 0x01), ++done;
    });
    int lost = 0;
    for (int round = 0; round < 2000; ++round) {
        while (EdgeCounters[0] < 1000) {
        }
        const unsigned before = done;
        EdgeCounters[0] = 0;
        const unsigned now = EdgeCounters[0], after = done;
        lost += now > after - before + 1; // at most one increment under way
    }
    stop = true;
    poller.join();
    EXPECT_EQ(lost, 0);
}

// Once ended (twice, too) or replaced by a new begin, a generation is never live again.
TEST(Generation, OnceEndedOrReplacedNeverLiveAgain) {
    Generation g{0};
    EXPECT_FALSE(Live(g, g)); // never begun
    Begin(g);
    const unsigned first = g;
    EXPECT_TRUE(Live(g, first));
    End(g);
    End(g);
    EXPECT_FALSE(Live(g, first) || Live(g, g));
    Begin(g);
    const unsigned second = g;
    Begin(g);
    EXPECT_TRUE(!Live(g, first) && !Live(g, second) && Live(g, g));
}

// A cycle starts 20 ms after the last one's EY reply, whose last byte leaves two byte times
// after the request: never sooner than 19 ms, since a timer never fires early (50 cycles).
TEST(Poll, CyclesStart20msAfterTheLastReply) {
    sim::Box *box = testbox::Start(sim::Config{});
    ASSERT_NE(box, nullptr);
    PreviousInputs = OpenInterface(); // as the dialog opens and closes
    StartPolling();
    while (sim::RequestCount(box) < 1 + 3 * 50)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    StopPolling();
    CloseInterface();
    const auto log = sim::Log(box);
    std::vector<int64_t> gaps; // from each cycle's EY request to the next cycle's 0xC1
    for (size_t i = 4; i < log.size(); i += 3)
        gaps.push_back(log[i].t_ns - log[i - 1].t_ns - 2 * 1000000000LL * 10 / 9600);
    std::sort(gaps.begin(), gaps.end());
    EXPECT_TRUE(gaps.size() >= 49 && gaps[0] >= 19000000 && gaps[gaps.size() / 2] < 200000000)
        << gaps[0] << " ns, median " << gaps[gaps.size() / 2];
    sim::Stop(box);
}

} // namespace
