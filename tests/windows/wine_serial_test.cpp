// The real serial calls of Windows (here Wine's) against the box: what the
// link relies on that only a real port can show.
#include <gtest/gtest.h>

#include "link/link.h"
#include "tests/support/messages.h"
#include "tests/support/simbox.h"

namespace msgs = testing_messages;

namespace {

class WineSerial : public ::testing::Test {
protected:
    void SetUp() override {
        msgs::Reset();
        DialogHandle = reinterpret_cast<HWND>(0x5150);
    }
    void TearDown() override {
        CloseInterface();
        sim::Stop(box);
    }
    sim::Box *box = nullptr;
};

// A port that comes up with XON/XOFF on (a pseudo-terminal does, and Wine reports it
// as fOutX) would swallow 0x11/0x13 and stop output after a 0x13. Opening turns it off.
TEST_F(WineSerial, OpeningTurnsSoftwareFlowControlOffSo0x11And0x13Pass) {
    sim::Config cfg = testbox::Fast();
    cfg.input_byte = 0x13;
    cfg.analog_ex = 0x1311;
    cfg.analog_ey = 0x1113;
    box = testbox::Start(cfg);

    HANDLE port =
        CreateFileA("COM2", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(port, &dcb)) << GetLastError();
    dcb.fOutX = TRUE;
    dcb.fInX = TRUE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();
    DCB check{};
    check.DCBlength = sizeof check;
    ASSERT_TRUE(GetCommState(port, &check));
    ASSERT_TRUE(check.fOutX) << "the port must start with XON/XOFF for this test to mean anything";
    CloseHandle(port);

    EXPECT_EQ(OpenInterface(), 0x13);
    DCB after{};
    after.DCBlength = sizeof after;
    ASSERT_TRUE(GetCommState(PortHandle.load(), &after));
    EXPECT_FALSE(after.fOutX);
    EXPECT_FALSE(after.fInX);
    EXPECT_EQ(after.BaudRate, 9600u);
    EXPECT_EQ(after.ByteSize, 8);
    EXPECT_EQ(after.Parity, NOPARITY);
    EXPECT_EQ(after.StopBits, ONESTOPBIT);

    for (int i = 0; i < 5; ++i) {
        MotorByte = (i & 1) ? 0x13 : 0x11;
        EXPECT_EQ(ExchangeDigital(), 0x13) << i;
        EXPECT_EQ(ExchangeAnalog(0), 0x1311u) << i;
        EXPECT_EQ(ExchangeAnalog(1), 0x1113u) << i;
    }
    auto log = sim::Log(box);
    ASSERT_EQ(log.size(), 16u);
    for (size_t i = 1; i < log.size(); ++i)
        EXPECT_EQ(log[i].motor, ((i - 1) / 3) & 1 ? 0x13 : 0x11) << i;
    EXPECT_EQ(msgs::Count(), 0u);
}

// Reads give up after the link's time-out: a silent box does not hang the caller,
// and the read counts as a success that delivered nothing.
TEST_F(WineSerial, SilentBoxTimesOutWithoutMessage) {
    sim::Config cfg = testbox::Fast();
    cfg.input_byte = 0x3C;
    box = testbox::Start(cfg);
    EXPECT_EQ(OpenInterface(), 0x3C);
    sim::SetFault(box, sim::Fault::Silent);
    sim::SetInputs(box, 0xC3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(ExchangeDigital(), 0x3C);
    EXPECT_EQ(msgs::Count(), 0u);
}

// Closing and reopening within one run: a fresh handle each time, and the box still answers.
TEST_F(WineSerial, ReopenedPortWorks) {
    sim::Config cfg = testbox::Fast();
    cfg.input_byte = 0x42;
    box = testbox::Start(cfg);
    for (int round = 0; round < 5; ++round) {
        sim::SetInputs(box, static_cast<BYTE>(0x40 + round));
        EXPECT_EQ(OpenInterface(), 0x40 + round) << round;
        EXPECT_EQ(ExchangeAnalog(1), 0x0456u) << round;
        CloseInterface();
        EXPECT_EQ(PortHandle.load(), INVALID_HANDLE_VALUE);
    }
    EXPECT_EQ(msgs::Count(), 0u);
}

} // namespace
