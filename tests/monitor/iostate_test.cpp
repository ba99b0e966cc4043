// Motor commands and edge counting, including what the other thread may see.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "link/link.h"
#include "monitor/iostate.h"

namespace {

BYTE After(BYTE start, int motor, char direction) {
    MotorByte = start;
    SetMotor(motor, direction);
    return MotorByte;
}

void ZeroCounters() {
    for (auto &c : EdgeCounters)
        c = 0;
}

TEST(SetMotor, SetsTheMotorsOwnBitsOnly) {
    EXPECT_EQ(After(0x00, 1, 'R'), 0x02);
    EXPECT_EQ(After(0x00, 1, 'L'), 0x01);
    EXPECT_EQ(After(0x00, 4, 'R'), 0x80);
    EXPECT_EQ(After(0x00, 4, 'L'), 0x40);
    EXPECT_EQ(After(0x01, 1, 'R'), 0x02); // straight from left to right
    EXPECT_EQ(After(0x02, 1, 'R'), 0x02);
    EXPECT_EQ(After(0x18, 3, 'A'), 0x08);
    EXPECT_EQ(After(0x00, 2, 'R') | After(0x00, 4, 'L'), 0x48);
    EXPECT_EQ(After(0xFF ^ 0x0C, 2, 'L'), 0xF7); // neighbours untouched
}

TEST(SetMotor, UnknownDirectionChangesNothing) {
    for (char c : {'r', 'l', 'a', 'X', '\0', 'S'})
        EXPECT_EQ(After(0x5A, 2, c), 0x5A) << c;
}

TEST(SetMotor, OtherThreadNeverSeesAHalfSwitchedMotor) {
    MotorByte = 0x01;
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
    std::thread watcher([&] {
        while (!done) {
            BYTE b = MotorByte.load();
            if ((b & 0x03) == 0x03 || (b & 0x03) == 0x00)
                ++bad;
        }
    });
    for (int i = 0; i < 200000; ++i)
        SetMotor(1, (i & 1) ? 'L' : 'R');
    done = true;
    watcher.join();
    EXPECT_EQ(bad, 0);
}

TEST(CountEdges, CountsEachChangedInputOnce) {
    ZeroCounters();
    CountEdges(0x00, 0xFF);
    for (auto &c : EdgeCounters)
        EXPECT_EQ(c, 1u);
    ZeroCounters();
    CountEdges(0x81, 0x01);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(EdgeCounters[i], i == 7 ? 1u : 0u) << i;
    ZeroCounters();
    for (int x = 0; x < 256; ++x)
        CountEdges(static_cast<BYTE>(x), static_cast<BYTE>(x));
    for (auto &c : EdgeCounters)
        EXPECT_EQ(c, 0u);
    CountEdges(0x00, 0x04); // E3 rising...
    CountEdges(0x04, 0x00); // ...and falling
    EXPECT_EQ(EdgeCounters[2], 2u);
}

TEST(CountEdges, CounterWrapsToZero) {
    ZeroCounters();
    EdgeCounters[5] = 4294967295u;
    CountEdges(0x00, 0x20);
    EXPECT_EQ(EdgeCounters[5], 0u);
}

TEST(CountEdges, ResetRacingAnIncrementEndsAtZeroOrOne) {
    // Each round: the counter holds a large count, one thread adds an edge while
    // the other resets. A lost update would leave count+1.
    for (int round = 0; round < 5000; ++round) {
        EdgeCounters[0] = 1000;
        std::atomic<int> go{0};
        std::thread poller([&] {
            ++go;
            while (go < 2) {
            }
            CountEdges(0x00, 0x01);
        });
        ++go;
        while (go < 2) {
        }
        EdgeCounters[0] = 0;
        poller.join();
        DWORD v = EdgeCounters[0];
        ASSERT_TRUE(v == 0 || v == 1) << "round " << round << ": " << v;
    }
}

TEST(Bits, NumberFromOne) {
    EXPECT_EQ(SetBit(0x00, 1), 0x01);
    EXPECT_EQ(SetBit(0x00, 8), 0x80);
    EXPECT_EQ(ClearBit(0xFF, 1), 0xFE);
    EXPECT_EQ(ClearBit(0xFF, 8), 0x7F);
    EXPECT_EQ(TestBit(0x80, 8), 1);
    EXPECT_EQ(TestBit(0x80, 7), 0);
}

} // namespace
