// The link against scripted port calls, for what no real port produces on demand:
// twenty thousand failed reads in a row, a failing flush or write, settings that
// cannot be read. Portable: the Windows build runs it under Wine as well.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "link/link.h"
#include "tests/support/messages.h"

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
        testmsgs::Reset();
        OpenInterface();
        S.reads = S.flushes = 0;
    }
    void TearDown() override { CloseInterface(); }
};

// Written back as read but for the line (9600 8N1), binary mode (Windows has no other) and
// what alters bytes or holds them back: XON/XOFF (0x11/0x13 replies), error replacement,
// null stripping. Read as all ones, all zeros, or not at all: then no garbage.
TEST_F(FakePort, OpeningChangesOnlyWhatMustChange) {
    for (int fill : {0xFF, 0x00, -1}) { // -1: the settings cannot be read
        DCB want;
        memset(&S.reported, fill == 0x00 ? 0x00 : 0xFF, sizeof(DCB));
        memset(&want, fill == 0xFF ? 0xFF : 0x00, sizeof want);
        S.reported.DCBlength = want.DCBlength = sizeof want;
        S.getstate_ok = fill >= 0;
        CloseInterface();
        OpenInterface();
        want.BaudRate = CBR_9600, want.ByteSize = 8, want.Parity = NOPARITY;
        want.StopBits = ONESTOPBIT, want.fBinary = TRUE;
        want.fOutX = want.fInX = want.fErrorChar = want.fNull = FALSE;
        EXPECT_EQ(memcmp(&S.written, &want, sizeof want), 0) << fill;
    }
}

// One call and up to 20,000 repeats, at once; the buffer keeps the last good reply.
TEST_F(FakePort, ReadsAreTriedTwentyThousandAndOneTimes) {
    S.read_failures = 20000;
    S.reply = "\xA5";
    EXPECT_TRUE(ExchangeDigital() == 0xA5 && S.reads == 20001 && testmsgs::Letters().empty());
    S.read_failures = 20001;
    S.reply = "\xFF";
    EXPECT_TRUE(ExchangeDigital() == 0xA5 && S.reads == 2 * 20001 && testmsgs::Letters() == "L");
    EXPECT_EQ(ExchangeDigital(), 0xFF); // the next exchange simply tries again
    S.reply = std::string("\0\x12\x34", 3);
    EXPECT_EQ(ExchangeAnalog(0), 0x1234u);
    S.read_failures = 20001;
    S.reads = 0;
    EXPECT_TRUE(ExchangeAnalog(1) == 0x1234u && S.reads == 20001 && testmsgs::Letters() == "LA");
}

// The flush decides the digital exchange, the write the analog one (never flushed).
TEST_F(FakePort, FailedFlushOrAnalogWriteSkipsTheRead) {
    S.write_ok = false;
    ExchangeDigital();
    EXPECT_TRUE(S.reads == 1 && testmsgs::Letters().empty());
    ExchangeAnalog(0);
    EXPECT_TRUE(S.reads == 1 && S.flushes == 1 && testmsgs::Letters() == "L");
    S.write_ok = true;
    S.flush_ok = false;
    ExchangeDigital();
    EXPECT_TRUE(S.reads == 1 && testmsgs::Letters() == "LL");
}

} // namespace
