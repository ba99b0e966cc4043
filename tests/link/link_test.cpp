// The link against ifbox-sim over a real pseudo-terminal: the wire protocol, and every
// fault of the box and its line as one table. Each row runs poll cycles by hand (one
// digital and two analog exchanges, edges counted as the poll cycle counts them) and
// names the values and messages that must come of it.
#include <gtest/gtest.h>

#include <regex>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "link/link.h"
#include "monitor/iostate.h"
#include "tests/support/messages.h"
#include "tests/support/simbox.h"

namespace msgs = testing_messages;

namespace {

const HWND DIALOG = reinterpret_cast<HWND>(0x1234);
enum Flags { EDGES = 1, INJECT = 2, REOPEN = 4, MISSING = 8, HELD = 16 };

struct Row {
    const char *name;
    sim::Fault fault;
    int after, count; // as --fault NAME:AFTER:FOR
    void (*tweak)(sim::Config &);
    int flags, cycles;
    const char *messages;         // pattern over "L" (link message) and "A" (analog message)
    int opening, digital, ex, ey; // -1: any
};

void Keep(sim::Config &) {}
void FlipA5(sim::Config &c) {
    c.input_mode = sim::InputMode::Flip;
    c.flip_mask = 0xA5;
}
void Seed7(sim::Config &c) {
    c.seed = 7;
}
void Flip81(sim::Config &c) {
    c.input_mode = sim::InputMode::Flip;
    c.flip_mask = 0x81;
}
void Slow30Flip0F(sim::Config &c) {
    c.slow_ms = 30;
    c.input_mode = sim::InputMode::Flip;
    c.flip_mask = 0x0F;
}
void Slow150All11(sim::Config &c) {
    c.slow_ms = 150;
    c.input_byte = c.analog_byte0 = 0x11;
    c.analog_ex = c.analog_ey = 0x1111;
}
void Flap700(sim::Config &c) {
    c.flap_down_ms = c.flap_up_ms = 700;
}

// The box answers 0xC1 with 0x00, EX with [0x07, 0x01, 0x23] (291) and EY with
// [0x07, 0x04, 0x56] (1110). Request 0 is the opening's; cycle k sends 3k-2..3k.
// A late or extra byte is read as the next reply's first, for good: 0xC1 then reads
// 0x56, EX [0x00, 0x07, 0x01] (1793), EY [0x23, 0x07, 0x04] (1796). Timed-out reads
// keep the buffers' old bytes: initially 0x61 and 0x2020 (8224). After a message the
// next exchange waits a second, so rows with messages take seconds.
const Row ROWS[] = {
    {"Healthy", sim::Fault::None, 0, 0, FlipA5, EDGES, 3, "", 0xA5, 0x00, 291, 1110},
    {"SilentFromTheStart", sim::Fault::Silent, 0, 0, Keep, 0, 2, "", 0x61, 0x61, 8224, 8224},
    {"SilentAfterOneCycle", sim::Fault::Silent, 4, 0, Keep, 0, 3, "", 0x00, 0x00, 1110, 1110},
    {"Garbage", sim::Fault::Garbage, 1, 0, Seed7, EDGES, 30, "", 0x00, -1, -1, -1},
    {"ExtraByte", sim::Fault::ExtraByte, 4, 1, Keep, 0, 4, "", 0x00, 0x56, 1793, 1796},
    {"StrayByte", sim::Fault::None, 0, 0, Keep, INJECT, 4, "", 0x00, 0x56, 1793, 1796},
    {"LateByte", sim::Fault::LateByte, 5, 1, Keep, 0, 4, "", 0x00, 0x56, 1793, 1796},
    {"MissingByte", sim::Fault::MissingByte, 0, 0, Keep, 0, 3, "", 0x61, 0x61, 288, 1056},
    {"Short", sim::Fault::Short, 4, 0, Flip81, EDGES, 4, "", 0x81, 0x81, 1110, 1110},
    {"SlowWithinTheTimeOut", sim::Fault::Slow, 0, 0, Slow30Flip0F, EDGES, 3, "", 0x0F, 0x00, 291,
     1110},
    {"SlowBeyondTheTimeOut", sim::Fault::Slow, 0, 0, Slow150All11, 0, 6, "", 0x61, 0x11, 4369,
     4369},
    {"VanishBetweenCycles", sim::Fault::Vanish, 4, 0, Keep, REOPEN, 3, "L{6}", 0x00, 0x00, 1110,
     1110},
    {"VanishDuringAnAnalogRead", sim::Fault::Vanish, 5, 0, Keep, 0, 3, "ALLLL", 0x00, 0x00, 1110,
     1110},
    {"Flapping", sim::Fault::Flapping, 4, 0, Flap700, 0, 3, "A?L{5,}", 0x00, 0x00, -1, -1},
    {"PortMissing", sim::Fault::None, 0, 0, Keep, MISSING, 2, "L{7}", 0x61, 0x61, 8224, 8224},
    {"PortHeld", sim::Fault::None, 0, 0, Keep, HELD | REOPEN, 2, "L{7}", 0x61, 0x61, 8224, 8224},
};

void PrintTo(const Row &row, std::ostream *out) {
    *out << row.name;
}

HANDLE OpenCom2() {
    return CreateFileA("COM2", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

class LinkFault : public ::testing::TestWithParam<Row> {
protected:
    void SetUp() override {
        msgs::Reset();
        DialogHandle = DIALOG;
    }
    void TearDown() override {
        CloseInterface();
        if (box != nullptr)
            sim::Stop(box);
    }
    void Open() {
        previous = OpenInterface();
        for (auto &c : EdgeCounters)
            c = 0;
    }
    // What the poll cycle does, by hand.
    void Cycle() {
        digital = ExchangeDigital();
        CountEdges(previous, digital);
        previous = digital;
        ex = ExchangeAnalog(0);
        ey = ExchangeAnalog(1);
    }
    sim::Box *box = nullptr;
    BYTE previous = 0, digital = 0;
    DWORD ex = 0, ey = 0;
};

TEST_P(LinkFault, ValuesAndMessages) {
    const Row &row = GetParam();
    HANDLE holder = INVALID_HANDLE_VALUE;
    if (row.flags & MISSING) {
        testbox::PointAtMissingPort();
    } else {
        sim::Config cfg = testbox::Fast();
        cfg.analog_byte0 = 0x07;
        cfg.fault = row.fault;
        cfg.fault_after = row.after;
        cfg.fault_for = row.count;
        row.tweak(cfg);
        box = testbox::Start(cfg);
        ASSERT_NE(box, nullptr);
        if (row.flags & HELD) {
            holder = OpenCom2();
            ASSERT_NE(holder, INVALID_HANDLE_VALUE);
            // Refused as Windows refuses a COM port that is in use.
            EXPECT_EQ(OpenCom2(), INVALID_HANDLE_VALUE);
            EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
        }
    }
    Open();
    const BYTE opening = previous;
    for (int k = 1; k <= row.cycles; ++k) {
        if (k == 2 && (row.flags & INJECT)) {
            sim::Inject(box, {0x99});
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (k == row.cycles && row.fault == sim::Fault::Vanish && (row.flags & REOPEN))
            sim::Reappear(box); // back, but the port opened before stays dead
        Cycle();
    }
    const int want[] = {row.opening, row.digital, row.ex, row.ey};
    const int got[] = {opening, digital, int(ex), int(ey)};
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(want[i] < 0 || got[i] == want[i]) << "opening, digital, EX, EY: " << i;
    const std::string letters = msgs::Letters();
    EXPECT_TRUE(std::regex_match(letters, std::regex(row.messages))) << letters;
    for (const auto &m : msgs::All()) {
        EXPECT_EQ(m.owner, DIALOG);
        EXPECT_EQ(m.title, "Fehler");
        EXPECT_EQ(m.flags, UINT(MB_OK)); // no icon
    }
    if (box != nullptr && !letters.empty() && !(row.flags & HELD)) {
        EXPECT_LE(sim::RequestCount(box), size_t(row.after + 1)) << "requests on a lost port";
    }
    if (row.flags & EDGES) {
        // Every change the box put on the wire is counted, but for the opening's reply.
        const auto sent = sim::InputFlips(box);
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(EdgeCounters[i].load(), sent[i] - ((opening >> i) & 1)) << "E" << i + 1;
    }
    if (row.flags & REOPEN) {
        // There is no reconnection; a new opening works once the device is free or back.
        if (holder != INVALID_HANDLE_VALUE)
            CloseHandle(holder);
        CloseInterface();
        const size_t shown = msgs::Count();
        Open();
        Cycle();
        EXPECT_EQ(ex, 291u);
        EXPECT_EQ(ey, 1110u);
        EXPECT_EQ(msgs::Count(), shown);
    }
}

INSTANTIATE_TEST_SUITE_P(Box, LinkFault, ::testing::ValuesIn(ROWS),
                         [](const auto &info) { return std::string(info.param.name); });

class Link : public LinkFault {};

// Every byte value passes both ways, paced as on a real line: no flow control eats
// 0x11/0x13, nothing is translated. Requests are [code, MotorByte], the values high
// byte first, byte 0 ignored.
TEST_F(Link, RequestsAndRepliesCarryEveryByteValue) {
    sim::Config cfg = testbox::Fast();
    cfg.pacing = true;
    cfg.analog_byte0 = 0xFF;
    box = testbox::Start(cfg);
    ASSERT_NE(box, nullptr);
    MotorByte = 0x5A;
    Open();
    for (int v = 0; v < 256; ++v) {
        const BYTE b = BYTE(v);
        MotorByte = b;
        sim::SetInputs(box, b);
        sim::SetAnalog(box, uint16_t(b << 8 | (255 - b)), uint16_t((255 - b) << 8 | b));
        Cycle();
        ASSERT_EQ(digital, b);
        ASSERT_EQ(ex, DWORD(b << 8 | (255 - b))) << v;
        ASSERT_EQ(ey, DWORD((255 - b) << 8 | b)) << v;
    }
    const auto log = sim::Log(box);
    ASSERT_EQ(log.size(), 1u + 3 * 256);
    EXPECT_EQ(log[0].code, REQ_INPUTS); // the opening switches all motors off
    EXPECT_EQ(log[0].motor, 0x00);
    const BYTE codes[] = {0xC1, 0xC5, 0xC9};
    for (size_t i = 1; i < log.size(); ++i) {
        ASSERT_EQ(log[i].code, codes[(i - 1) % 3]) << i;
        ASSERT_EQ(log[i].motor, BYTE((i - 1) / 3)) << i;
    }
    EXPECT_EQ(msgs::Count(), 0u);
}

TEST_F(Link, PortIs9600EightNoneOneAndClosingSendsNothing) {
    box = testbox::Start(testbox::Fast());
    ASSERT_NE(box, nullptr);
    Open();
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(PortHandle.load(), &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    MotorByte = 0x08;
    Cycle();
    CloseInterface();
    EXPECT_EQ(MotorByte, 0x08);
    EXPECT_EQ(sim::RequestCount(box), 4u);
    Cycle(); // a late exchange on a closed port does nothing and says nothing
    EXPECT_EQ(sim::RequestCount(box), 4u);
    Open();
    EXPECT_EQ(sim::Log(box).back().motor, 0x00);
    EXPECT_EQ(msgs::Count(), 0u);
}

// A device node the user may not open is refused like one in use. Root opens anything,
// so the open runs in a child that has become nobody.
TEST_F(Link, PermissionDeniedIsRefused) {
    box = testbox::Start(testbox::Fast());
    ASSERT_NE(box, nullptr);
    ASSERT_EQ(chmod(sim::SlavePath(box).c_str(), geteuid() == 0 ? 0600 : 0), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (geteuid() == 0 &&
            (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0))
            _exit(77);
        const bool refused = OpenCom2() == INVALID_HANDLE_VALUE;
        _exit(refused && GetLastError() == ERROR_ACCESS_DENIED ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "cannot become nobody";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(sim::RequestCount(box), 0u);
}

} // namespace
