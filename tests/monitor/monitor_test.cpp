// The values the two threads share, raced; the generations of openings and poll rounds.
#include <gtest/gtest.h>

#include <thread>

#include "link/generation.h"
#include "link/link.h"
#include "monitor/iostate.h"

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
// plus one. The poll thread counts without pause, so a Reset often falls inside an increment;
// a Reset lost to it shows as the count back at 1000 too soon, whenever the late store lands.
TEST(Shared, ResetRacingAnEdgeWinsOrLosesWhole) {
    std::atomic<bool> stop{false};
    std::atomic<unsigned> done{0}; // increments finished
    std::thread poller([&] {
        while (!stop)
            CountEdges(0x00, 0x01), ++done;
    });
    int lost = 0;
    unsigned before = 0; // increments finished before the last Reset
    for (int round = 0; round < 2000; ++round) {
        while (EdgeCounters[0] < 1000) {
        }
        lost += done - before < 999; // 1000 counted since, all but the last finished
        before = done;
        EdgeCounters[0] = 0;
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

} // namespace
