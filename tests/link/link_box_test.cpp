// The link against a simulated box over a real pseudo-terminal.
#include <gtest/gtest.h>

#include <thread>

#include "link/link.h"
#include "tests/support/messages.h"
#include "tests/support/simbox.h"

namespace msgs = testing_messages;

namespace {

HWND FakeDialog() {
    return reinterpret_cast<HWND>(0x1234);
}

class LinkBox : public ::testing::Test {
protected:
    void SetUp() override {
        msgs::Reset();
        DialogHandle = FakeDialog();
    }
    void TearDown() override {
        CloseInterface();
        if (box != nullptr)
            sim::Stop(box);
    }
    void Open(sim::Config cfg) {
        box = testbox::Start(cfg);
        ASSERT_NE(box, nullptr);
        first = OpenInterface();
    }
    sim::Box *box = nullptr;
    BYTE first = 0;
};

TEST_F(LinkBox, EveryRequestIsCodeThenMotorByte) {
    sim::Config cfg = testbox::Fast();
    cfg.input_byte = 0x5A;
    Open(cfg);
    EXPECT_EQ(first, 0x5A);

    MotorByte = 0x48; // motor 2 right, motor 4 left
    EXPECT_EQ(ExchangeDigital(), 0x5A);
    ExchangeAnalog(0);
    ExchangeAnalog(1);
    MotorByte = 0x01;
    ExchangeAnalog(1);

    auto log = sim::Log(box);
    ASSERT_EQ(log.size(), 5u);
    // Opening switches all motors off with its first request.
    EXPECT_EQ(log[0].code, 0xC1);
    EXPECT_EQ(log[0].motor, 0x00);
    const BYTE codes[] = {0xC1, 0xC5, 0xC9, 0xC9};
    const BYTE motors[] = {0x48, 0x48, 0x48, 0x01};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(log[i + 1].code, codes[i]) << i;
        EXPECT_EQ(log[i + 1].motor, motors[i]) << i;
    }
    EXPECT_EQ(msgs::Count(), 0u);
}

TEST_F(LinkBox, AllByteValuesPassBothWays) {
    Open(testbox::Fast());
    for (int v = 0; v < 256; ++v) {
        const BYTE b = static_cast<BYTE>(v);
        MotorByte = b;
        sim::SetInputs(box, b);
        sim::SetAnalog(box, static_cast<uint16_t>(b << 8 | (255 - b)),
                       static_cast<uint16_t>((255 - b) << 8 | b));
        ASSERT_EQ(ExchangeDigital(), b) << v;
        ASSERT_EQ(ExchangeAnalog(0), static_cast<DWORD>(b << 8 | (255 - b))) << v;
        ASSERT_EQ(ExchangeAnalog(1), static_cast<DWORD>((255 - b) << 8 | b)) << v;
    }
    auto log = sim::Log(box);
    ASSERT_EQ(log.size(), 1u + 3 * 256);
    for (size_t i = 1; i < log.size(); ++i)
        ASSERT_EQ(log[i].motor, static_cast<BYTE>((i - 1) / 3)) << i;
    EXPECT_EQ(msgs::Count(), 0u);
}

TEST_F(LinkBox, AnalogValueIsHighByteThenLowByte) {
    sim::Config cfg = testbox::Fast();
    cfg.analog_byte0 = 0xFF;
    cfg.analog_ex = 0x0102;
    cfg.analog_ey = 0xFFFF;
    Open(cfg);
    EXPECT_EQ(ExchangeAnalog(0), 258u);
    EXPECT_EQ(ExchangeAnalog(1), 65535u);
}

TEST_F(LinkBox, PacedRepliesArriveWhole) {
    sim::Config cfg = testbox::Fast();
    cfg.pacing = true;
    cfg.reply_delay_us = 2000;
    cfg.input_byte = 0x13; // XOFF: must not stop anything
    cfg.analog_ex = 0x1311;
    Open(cfg);
    EXPECT_EQ(first, 0x13);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(ExchangeDigital(), 0x13);
        EXPECT_EQ(ExchangeAnalog(0), 0x1311u);
    }
    EXPECT_EQ(msgs::Count(), 0u);
}

TEST_F(LinkBox, FailedEyAfterGoodExReturnsExValue) {
    sim::Config cfg = testbox::Fast();
    cfg.analog_ex = 258;
    cfg.analog_ey = 999;
    Open(cfg);
    EXPECT_EQ(ExchangeAnalog(0), 258u);
    sim::Vanish(box);
    EXPECT_EQ(ExchangeAnalog(1), 258u);
    ASSERT_EQ(msgs::Count(), 1u);
    EXPECT_EQ(msgs::All()[0].owner, FakeDialog());
}

TEST_F(LinkBox, SilentBoxFreezesValuesWithoutMessage) {
    sim::Config cfg = testbox::Fast();
    cfg.input_byte = 0x0F;
    cfg.analog_ex = 1000;
    cfg.analog_ey = 2000;
    Open(cfg);
    EXPECT_EQ(ExchangeAnalog(0), 1000u);
    EXPECT_EQ(ExchangeAnalog(1), 2000u);
    sim::SetFault(box, sim::Fault::Silent);
    sim::SetInputs(box, 0xF0);
    EXPECT_EQ(ExchangeDigital(), 0x0F);
    EXPECT_EQ(ExchangeAnalog(0), 2000u); // one buffer for both channels
    EXPECT_EQ(ExchangeAnalog(1), 2000u);
    EXPECT_EQ(msgs::Count(), 0u);
}

TEST_F(LinkBox, StrayByteIsTakenAsTheNextReply) {
    sim::Config cfg = testbox::Fast();
    cfg.input_byte = 0x21;
    Open(cfg);
    sim::Inject(box, {0x77});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(ExchangeDigital(), 0x77);
    // ...and the box's own reply to that request answers the one after.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    sim::SetInputs(box, 0x22);
    EXPECT_EQ(ExchangeDigital(), 0x21);
    EXPECT_EQ(msgs::Count(), 0u);
}

TEST_F(LinkBox, ExtraByteShiftsLaterReplies) {
    sim::Config cfg = testbox::Fast();
    cfg.input_byte = 0x01;
    Open(cfg);
    sim::SetFault(box, sim::Fault::ExtraByte);
    ExchangeDigital();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    sim::SetFault(box, sim::Fault::None);
    sim::SetInputs(box, 0x02);
    // The extra byte is waiting in the port and answers this request.
    ExchangeDigital();
    EXPECT_EQ(ExchangeDigital(), 0x02);
    EXPECT_EQ(msgs::Count(), 0u);
}

TEST_F(LinkBox, VanishedDeviceGivesFailureMessages) {
    sim::Config cfg = testbox::Fast();
    cfg.input_byte = 0x42;
    Open(cfg);
    sim::Vanish(box);
    EXPECT_EQ(ExchangeDigital(), 0x42);
    auto shown = msgs::All();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, LINK_TEXT);
    EXPECT_EQ(shown[0].title, "Fehler");
    EXPECT_EQ(shown[0].flags, static_cast<UINT>(MB_OK));
}

TEST_F(LinkBox, SecondOpenerIsRefusedUntilClosed) {
    Open(testbox::Fast());
    HANDLE other =
        CreateFileA("COM2", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(other, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    // The holder goes on undisturbed.
    sim::SetInputs(box, 0x99);
    EXPECT_EQ(ExchangeDigital(), 0x99);

    CloseInterface();
    other =
        CreateFileA("COM2", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    CloseHandle(other);
}

TEST_F(LinkBox, ClosingSendsNothingAndKeepsMotorByte) {
    Open(testbox::Fast());
    MotorByte = 0x08;
    ExchangeDigital();
    CloseInterface();
    EXPECT_EQ(MotorByte, 0x08);
    EXPECT_EQ(sim::Log(box).size(), 2u);
    // Reopening switches the motors off in its very first request.
    EXPECT_EQ(OpenInterface(), 0x00);
    auto log = sim::Log(box);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[2].motor, 0x00);
}

TEST_F(LinkBox, PortIsSetTo9600EightNoneOne) {
    Open(testbox::Fast());
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(PortHandle.load(), &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_FALSE(dcb.fOutX);
    EXPECT_FALSE(dcb.fInX);
}

} // namespace
