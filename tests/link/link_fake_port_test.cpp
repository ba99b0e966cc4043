// The link against a scripted port, for what no real port produces on
// demand: thousands of failed reads in a row, a failing flush, settings that
// cannot be read.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "link/link.h"
#include "tests/support/messages.h"

namespace msgs = testing_messages;

namespace {

struct Script {
    int read_failures = 0;   // this many ReadFile calls fail before they succeed
    std::vector<BYTE> reply; // what a successful read delivers
    bool flush_ok = true;
    bool write_ok = true;
    bool getstate_ok = true;
    DCB reported{}; // what GetCommState reports
    // observed
    int reads = 0, writes = 0, flushes = 0;
    std::string opened;
    DWORD access = 0, share = 99, creation = 0, flags = 99;
    DCB written{};
    COMMTIMEOUTS timeouts{};
    std::vector<std::vector<BYTE>> requests;
};
Script S;
int Port; // its address is the handle

} // namespace

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                          DWORD creation, DWORD flags, HANDLE) {
    S.opened = name;
    S.access = access;
    S.share = share;
    S.creation = creation;
    S.flags = flags;
    return &Port;
}
BOOL WINAPI GetCommState(HANDLE, LPDCB dcb) {
    if (!S.getstate_ok) {
        // A failing driver may scribble over the record; ours leaves it alone.
        return FALSE;
    }
    *dcb = S.reported;
    return TRUE;
}
BOOL WINAPI SetCommState(HANDLE, LPDCB dcb) {
    S.written = *dcb;
    return TRUE;
}
BOOL WINAPI SetCommTimeouts(HANDLE, LPCOMMTIMEOUTS t) {
    S.timeouts = *t;
    return TRUE;
}
BOOL WINAPI WriteFile(HANDLE, LPCVOID data, DWORD n, LPDWORD written, LPOVERLAPPED) {
    ++S.writes;
    const BYTE *p = static_cast<const BYTE *>(data);
    S.requests.emplace_back(p, p + n);
    *written = S.write_ok ? n : 0;
    return S.write_ok;
}
BOOL WINAPI FlushFileBuffers(HANDLE) {
    ++S.flushes;
    return S.flush_ok;
}
BOOL WINAPI ReadFile(HANDLE, LPVOID data, DWORD n, LPDWORD got, LPOVERLAPPED) {
    ++S.reads;
    if (S.read_failures > 0) {
        --S.read_failures;
        return FALSE;
    }
    DWORD k = std::min<DWORD>(n, static_cast<DWORD>(S.reply.size()));
    memcpy(data, S.reply.data(), k);
    *got = k;
    return TRUE;
}
BOOL WINAPI CloseHandle(HANDLE) {
    return TRUE;
}

namespace {

class FakePort : public ::testing::Test {
protected:
    void SetUp() override {
        S = Script{};
        S.reply = {0x00};
        msgs::Reset();
        DialogHandle = reinterpret_cast<HWND>(0x77);
        OpenInterface();
        S.reads = S.writes = S.flushes = 0;
        S.requests.clear();
    }
    void TearDown() override { CloseInterface(); }
};

TEST_F(FakePort, OpensCom2ExclusivelyWithFiniteTimeouts) {
    EXPECT_EQ(S.opened, "COM2");
    EXPECT_EQ(S.access, GENERIC_READ | GENERIC_WRITE);
    EXPECT_EQ(S.share, 0u);
    EXPECT_EQ(S.creation, static_cast<DWORD>(OPEN_EXISTING));
    EXPECT_EQ(S.flags, 0u);
    EXPECT_EQ(S.timeouts.ReadIntervalTimeout, 0u);
    EXPECT_EQ(S.timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(S.timeouts.ReadTotalTimeoutConstant, 100u);
    EXPECT_EQ(S.timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(S.timeouts.WriteTotalTimeoutConstant, 100u);
}

TEST_F(FakePort, LineSettingsChangeOnlyWhatMustChange) {
    CloseInterface();
    S.reported.DCBlength = sizeof(DCB);
    S.reported.BaudRate = 115200;
    S.reported.ByteSize = 7;
    S.reported.Parity = EVENPARITY;
    S.reported.StopBits = TWOSTOPBITS;
    S.reported.fOutxCtsFlow = 1;
    S.reported.fRtsControl = RTS_CONTROL_HANDSHAKE;
    S.reported.fDtrControl = DTR_CONTROL_ENABLE;
    S.reported.fOutX = 1;
    S.reported.fInX = 1;
    S.reported.fErrorChar = 1;
    S.reported.fNull = 1;
    S.reported.XonChar = 0x11;
    S.reported.XoffChar = 0x13;
    S.reported.EofChar = 0x1A;
    OpenInterface();
    const DCB &w = S.written;
    EXPECT_EQ(w.BaudRate, 9600u);
    EXPECT_EQ(w.ByteSize, 8);
    EXPECT_EQ(w.Parity, NOPARITY);
    EXPECT_EQ(w.StopBits, ONESTOPBIT);
    // Nothing may alter or hold back a byte...
    EXPECT_TRUE(w.fBinary);
    EXPECT_FALSE(w.fOutX);
    EXPECT_FALSE(w.fInX);
    EXPECT_FALSE(w.fErrorChar);
    EXPECT_FALSE(w.fNull);
    // ...but the hardware handshake and the rest stay as the port had them.
    EXPECT_TRUE(w.fOutxCtsFlow);
    EXPECT_EQ(w.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
    EXPECT_EQ(w.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(w.XonChar, 0x11);
    EXPECT_EQ(w.EofChar, 0x1A);
}

TEST_F(FakePort, UnreadableSettingsWriteBackNoGarbage) {
    CloseInterface();
    S.getstate_ok = false;
    OpenInterface();
    DCB expected;
    memset(&expected, 0, sizeof expected);
    expected.DCBlength = sizeof expected;
    expected.BaudRate = 9600;
    expected.ByteSize = 8;
    expected.fBinary = 1;
    EXPECT_EQ(memcmp(&S.written, &expected, sizeof expected), 0);
}

TEST_F(FakePort, ReadSucceedingOnTheLastAllowedCallShowsNothing) {
    S.read_failures = 20000;
    S.reply = {0xA5};
    EXPECT_EQ(ExchangeDigital(), 0xA5);
    EXPECT_EQ(S.reads, 20001);
    EXPECT_EQ(msgs::Count(), 0u);
}

TEST_F(FakePort, DigitalReadFailingEveryCallReportsOnce) {
    S.reply = {0x3C};
    EXPECT_EQ(ExchangeDigital(), 0x3C);
    S.read_failures = 20001;
    S.reply = {0xFF};
    EXPECT_EQ(ExchangeDigital(), 0x3C);
    EXPECT_EQ(S.reads, 1 + 20001);
    auto shown = msgs::All();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, LINK_TEXT);
    EXPECT_EQ(shown[0].owner, reinterpret_cast<HWND>(0x77));
    // The next exchange simply tries again.
    EXPECT_EQ(ExchangeDigital(), 0xFF);
}

TEST_F(FakePort, AnalogReadFailingEveryCallReportsOnce) {
    S.reply = {0x00, 0x12, 0x34};
    EXPECT_EQ(ExchangeAnalog(0), 0x1234u);
    S.read_failures = 20001;
    EXPECT_EQ(ExchangeAnalog(1), 0x1234u);
    EXPECT_EQ(S.reads, 1 + 20001);
    auto shown = msgs::All();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, ANALOG_TEXT);
    EXPECT_EQ(shown[0].title, "Fehler");
}

TEST_F(FakePort, FailedFlushSkipsTheRead) {
    S.flush_ok = false;
    ExchangeDigital();
    EXPECT_EQ(S.writes, 1);
    EXPECT_EQ(S.reads, 0);
    ASSERT_EQ(msgs::Count(), 1u);
    EXPECT_EQ(msgs::All()[0].text, LINK_TEXT);
}

TEST_F(FakePort, DigitalGoesOnAfterAFailedWriteWhenTheFlushSucceeds) {
    S.write_ok = false;
    S.reply = {0x5F};
    EXPECT_EQ(ExchangeDigital(), 0x5F);
    EXPECT_EQ(S.reads, 1);
    EXPECT_EQ(msgs::Count(), 0u);
}

TEST_F(FakePort, FailedAnalogWriteSkipsTheRead) {
    S.write_ok = false;
    ExchangeAnalog(0);
    EXPECT_EQ(S.reads, 0);
    EXPECT_EQ(S.flushes, 0);
    ASSERT_EQ(msgs::Count(), 1u);
    EXPECT_EQ(msgs::All()[0].text, LINK_TEXT);
}

TEST_F(FakePort, ShortReadKeepsTheRestOfTheBuffer) {
    S.reply = {0x00, 0xAB, 0xCD};
    EXPECT_EQ(ExchangeAnalog(0), 0xABCDu);
    S.reply = {0x00, 0x11}; // a time-out after two bytes still counts as success
    EXPECT_EQ(ExchangeAnalog(0), 0x11CDu);
    EXPECT_EQ(msgs::Count(), 0u);
}

} // namespace
