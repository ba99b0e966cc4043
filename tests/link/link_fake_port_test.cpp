// The link against scripted port calls, for what no real port produces on demand:
// twenty thousand failed reads in a row, a failing flush or write, settings that
// cannot be read. Portable: the Windows build runs it under Wine as well.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "link/link.h"
#include "tests/support/messages.h"

namespace msgs = testmsgs;

namespace {

struct Script {
    int read_failures = 0; // this many ReadFile calls fail before the next succeeds
    std::string reply;     // what a successful read delivers
    bool flush_ok = true, write_ok = true, getstate_ok = true;
    DCB reported{}, written{};
    int reads = 0, flushes = 0;
} S;
int Port; // its address is the handle

} // namespace

HANDLE WINAPI CreateFileA(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    return &Port;
}
BOOL WINAPI GetCommState(HANDLE, LPDCB dcb) {
    if (S.getstate_ok)
        *dcb = S.reported;
    return S.getstate_ok;
}
BOOL WINAPI SetCommState(HANDLE, LPDCB dcb) {
    S.written = *dcb;
    return TRUE;
}
BOOL WINAPI SetCommTimeouts(HANDLE, LPCOMMTIMEOUTS) {
    return TRUE;
}
BOOL WINAPI WriteFile(HANDLE, LPCVOID, DWORD n, LPDWORD written, LPOVERLAPPED) {
    *written = S.write_ok ? n : 0;
    return S.write_ok;
}
BOOL WINAPI FlushFileBuffers(HANDLE) {
    ++S.flushes;
    return S.flush_ok;
}
BOOL WINAPI ReadFile(HANDLE, LPVOID data, DWORD n, LPDWORD got, LPOVERLAPPED) {
    ++S.reads;
    if (S.read_failures > 0)
        return --S.read_failures, FALSE;
    *got = std::min<DWORD>(n, DWORD(S.reply.size()));
    memcpy(data, S.reply.data(), *got);
    return TRUE;
}
BOOL WINAPI PurgeComm(HANDLE, DWORD) {
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
        S.reported.BaudRate = 115200;
        S.reported.Parity = EVENPARITY;
        S.reported.fOutxCtsFlow = S.reported.fOutX = S.reported.fInX = S.reported.fNull = 1;
        S.reported.XonChar = 0x11;
        S.reply = std::string(1, '\0');
        msgs::Reset();
        OpenInterface();
        S.reads = S.flushes = 0;
    }
    void TearDown() override { CloseInterface(); }
};

TEST_F(FakePort, OpeningChangesOnlyWhatMustChange) {
    const DCB &w = S.written;
    EXPECT_TRUE(w.BaudRate == 9600 && w.ByteSize == 8 && w.Parity == NOPARITY &&
                w.StopBits == ONESTOPBIT);
    // Nothing may alter or hold back a byte; the hardware handshake stays as it was.
    EXPECT_TRUE(w.fBinary && !w.fOutX && !w.fInX && !w.fNull && w.fOutxCtsFlow);
    EXPECT_EQ(w.XonChar, 0x11);
    // Settings that cannot be read: nothing but the four is written back, no garbage.
    CloseInterface();
    S.getstate_ok = false;
    S.written = S.reported;
    OpenInterface();
    EXPECT_TRUE(w.BaudRate == 9600 && w.DCBlength == sizeof(DCB) && !w.fOutxCtsFlow && !w.XonChar);
}

// One call and up to 20,000 repeats, at once; the buffer keeps the last good reply.
TEST_F(FakePort, ReadsAreTriedTwentyThousandAndOneTimes) {
    S.read_failures = 20000;
    S.reply = "\xA5";
    EXPECT_EQ(ExchangeDigital(), 0xA5);
    EXPECT_EQ(S.reads, 20001);
    EXPECT_EQ(msgs::Letters(), "");
    S.read_failures = 20001;
    S.reply = "\xFF";
    EXPECT_EQ(ExchangeDigital(), 0xA5);
    EXPECT_EQ(S.reads, 2 * 20001);
    EXPECT_EQ(msgs::Letters(), "L");
    EXPECT_EQ(ExchangeDigital(), 0xFF); // the next exchange simply tries again
    S.reply = std::string("\0\x12\x34", 3);
    EXPECT_EQ(ExchangeAnalog(0), 0x1234u);
    S.read_failures = 20001;
    S.reads = 0;
    EXPECT_EQ(ExchangeAnalog(1), 0x1234u);
    EXPECT_EQ(S.reads, 20001);
    EXPECT_EQ(msgs::Letters(), "LA");
}

// The flush decides the digital exchange, the write the analog one (never flushed).
TEST_F(FakePort, FailedFlushOrAnalogWriteSkipsTheRead) {
    S.write_ok = false;
    ExchangeDigital();
    EXPECT_EQ(S.reads, 1);
    EXPECT_EQ(msgs::Letters(), "");
    ExchangeAnalog(0);
    EXPECT_EQ(S.reads, 1);
    EXPECT_EQ(S.flushes, 1);
    EXPECT_EQ(msgs::Letters(), "L");
    S.write_ok = true;
    S.flush_ok = false;
    ExchangeDigital();
    EXPECT_EQ(S.reads, 1);
    EXPECT_EQ(msgs::Letters(), "LL");
}

} // namespace
