// The link against ifbox-sim over a real pseudo-terminal: the wire protocol, and every
// fault of the box and its line as one table. Each row runs the real poll cycle, stepped
// by hand through the timer below.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <thread>

#include "link/link.h"
#include "monitor/iostate.h"
#include "monitor/poll.h"
#include "platform/posix/trace.h"
#include "tests/support/messages.h"
#include "tests/support/simbox.h"

using sim::Fault;

// The timer, linked instead of the platform's: it arms nothing, and a cycle runs when the
// test calls PollCallback with the last event's id, so cycles never race the test.
UINT LastEvent = 0;
MMRESULT WINAPI timeSetEvent(UINT, UINT, LPTIMECALLBACK, DWORD_PTR, UINT) {
    return ++LastEvent;
}
MMRESULT WINAPI timeKillEvent(UINT) {
    return TIMERR_NOERROR;
}

namespace {

const HWND DIALOG = reinterpret_cast<HWND>(0x1234);
// EDGES: the counts equal the changes the box put on the wire. STRAY: a byte from the
// box between cycles 1 and 2. BACK: the device returns before the last cycle (no
// reconnection), then a new opening must work. HELD: another program holds the port.
enum Flags { EDGES = 1, STRAY = 2, BACK = 4, MISSING = 8, HELD = 16, ALL_0x11 = 32 };

struct Row {
    const char *name;
    Fault fault;
    int after, count, flip_mask, slow_ms, flags, cycles;
    const char *messages;         // pattern: "L" a link message, "A" an analog one
    int opening, digital, ex, ey; // -1: any
    friend void PrintTo(const Row &row, std::ostream *out) { *out << row.name; } // ctest's names
};

// The box answers 0xC1 with 0x00, EX with [0x07, 0x01, 0x23] (291), EY with [0x07, 0x04,
// 0x56] (1110). Request 0 is the opening's; cycle k sends 3k-2..3k. A late, extra or stray
// byte spoils its exchange and the next at most (a late 0xC1 reply: EX), as what came
// unasked is dropped before each request. Reads that time out keep the buffers' old
// bytes: at first 0x61 and 0x2020 (8224). After each message the next exchange waits 1 s.
const Row ROWS[] = {
    {"Healthy", Fault::None, 0, 0, 0xA5, 0, EDGES, 3, "", 0xA5, 0x00, 291, 1110},
    {"SilentFromTheStart", Fault::Silent, 0, 0, 0, 0, 0, 2, "", 0x61, 0x61, 8224, 8224},
    {"SilentAfterOneCycle", Fault::Silent, 4, 0, 0, 0, 0, 3, "", 0x00, 0x00, 1110, 1110},
    {"Garbage", Fault::Garbage, 1, 0, 0, 0, EDGES, 30, "", 0x00, -1, -1, -1},
    {"ExtraByte", Fault::ExtraByte, 4, 1, 0xA5, 0, EDGES, 2, "", 0xA5, 0xA5, 291, 1110},
    {"StrayByte", Fault::None, 0, 0, 0xA5, 0, STRAY | EDGES, 2, "", 0xA5, 0xA5, 291, 1110},
    {"LateByte", Fault::LateByte, 4, 1, 0, 0, EDGES, 3, "", 0x00, 0x00, 291, 1110},
    {"MissingByte", Fault::MissingByte, 0, 0, 0, 0, 0, 3, "", 0x61, 0x61, 288, 1056},
    {"Short", Fault::Short, 4, 0, 0x81, 0, EDGES, 4, "", 0x81, 0x81, 1110, 1110},
    {"SlowWithinTimeOut", Fault::Slow, 0, 0, 0x0F, 30, EDGES, 3, "", 0x0F, 0x00, 291, 1110},
    {"SlowBeyondTimeOut", Fault::Slow, 0, 0, 0, 150, ALL_0x11, 6, "", 0x61, 0x11, 4369, 4369},
    {"VanishBetweenCycles", Fault::Vanish, 4, 0, 0, 0, BACK, 3, "L{6}", 0x00, 0x00, 1110, 1110},
    {"VanishInAnalogRead", Fault::Vanish, 5, 0, 0, 0, 0, 3, "ALLLL", 0x00, 0x00, 1110, 1110},
    {"Flapping", Fault::Flapping, 4, 0, 0, 0, 0, 3, "A?L{5,}", 0x00, 0x00, -1, -1},
    {"PortMissing", Fault::None, 0, 0, 0, 0, MISSING, 2, "L{7}", 0x61, 0x61, 8224, 8224},
    {"PortHeld", Fault::None, 0, 0, 0, 0, HELD | BACK, 2, "L{7}", 0x61, 0x61, 8224, 8224},
};

class Link : public ::testing::TestWithParam<Row> {
protected:
    void SetUp() override { DialogHandle = DIALOG; }
    void TearDown() override { CloseInterface(), sim::Stop(box); }
    // As the dialog opens; these programs have none (the UI tests drive the real TestDlgProc).
    void Open() { PreviousInputs = OpenInterface(), StartPolling(); }
    void Cycle() { PollCallback(LastEvent, 0, 0, 0, 0); }
    sim::Box *box = nullptr;
};

TEST_P(Link, Fault) {
    const Row &row = GetParam();
    sim::Config cfg = testbox::Fast();
    cfg.fault = row.fault, cfg.fault_after = row.after, cfg.fault_for = row.count;
    cfg.input_mode = row.flip_mask ? sim::InputMode::Flip : sim::InputMode::Fixed;
    cfg.flip_mask = uint8_t(row.flip_mask), cfg.slow_ms = row.slow_ms, cfg.seed = 7;
    cfg.analog_byte0 = 0x07, cfg.flap_down_ms = cfg.flap_up_ms = 700;
    if (row.flags & ALL_0x11)
        cfg.input_byte = cfg.analog_byte0 = 0x11, cfg.analog_ex = cfg.analog_ey = 0x1111;
    HANDLE holder = INVALID_HANDLE_VALUE;
    if (row.flags & MISSING)
        testbox::PointAtMissingPort();
    else
        ASSERT_NE(box = testbox::Start(cfg), nullptr);
    if (row.flags & HELD) // its error code: Port.TellsEachCause...
        holder = CreateFileA("COM2", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, 0);
    Open();
    const BYTE opening = PreviousInputs;
    for (int k = 1; k <= row.cycles; ++k) {
        if (k == 2 && (row.flags & STRAY)) {
            sim::Inject(box, {0x99});
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (k == row.cycles && row.fault == Fault::Vanish && (row.flags & BACK))
            sim::Reappear(box);
        Cycle();
    }
    const int want[] = {row.opening, row.digital, row.ex, row.ey};
    const int got[] = {opening, PreviousInputs, int(AnalogEX), int(AnalogEY)};
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(want[i] < 0 || got[i] == want[i]) << "opening, digital, EX, EY: " << got[i];
    const std::string letters = testmsgs::Letters();
    EXPECT_TRUE(std::regex_match(letters, std::regex(row.messages))) << letters;
    for (const auto &m : testmsgs::All())
        EXPECT_TRUE(m.owner == DIALOG && m.title == "Fehler" && m.flags == MB_OK); // no icon
    EXPECT_TRUE(letters.empty() || !box || (row.flags & HELD) ||
                sim::RequestCount(box) <= row.after + 1u)
        << "requests on a lost port";
    for (int i = 0; i < 8 && (row.flags & EDGES); ++i) // every change but the opening's
        EXPECT_EQ(EdgeCounters[i], sim::InputFlips(box)[i] - ((opening >> i) & 1)) << "E" << i;
    if (row.flags & BACK) {
        CloseHandle(holder);
        CloseInterface();
        const size_t shown = testmsgs::All().size();
        Open();
        Cycle();
        EXPECT_TRUE(AnalogEX == 291 && AnalogEY == 1110 && testmsgs::All().size() == shown)
            << "reopening";
    }
}

INSTANTIATE_TEST_SUITE_P(Box, Link, ::testing::ValuesIn(ROWS),
                         [](const auto &info) { return std::string(info.param.name); });

// Every byte value passes both ways, paced as on a real line (no flow control eats
// 0x11/0x13, nothing is translated); requests are [code, MotorByte]; the value is high
// byte first, byte 0 ignored. --trace shows each request as the box got it, a time-out as
// such, the opening's date, and each reply's time within its lines' distance. Closing sends
// nothing and keeps the motor byte.
TEST_F(Link, EveryByteValuePassesAsTracedAndClosingSendsNothing) {
    sim::Config cfg = testbox::Fast();
    cfg.pacing = true;
    cfg.analog_byte0 = 0xFF;
    ASSERT_NE(box = testbox::Start(cfg), nullptr);
    testing::internal::CaptureStderr();
    TraceOn();
    MotorByte = 0x5A;
    Open();
    for (int v = 0; v < 256; ++v) {
        MotorByte = BYTE(v);
        sim::SetInputs(box, BYTE(v));
        sim::SetAnalog(box, uint16_t(v << 8 | (255 - v)), uint16_t((255 - v) << 8 | v));
        Cycle();
        ASSERT_TRUE(PreviousInputs == v && AnalogEX == DWORD(v << 8 | (255 - v)) &&
                    AnalogEY == DWORD((255 - v) << 8 | v))
            << v;
    }
    sim::SetFault(box, Fault::Silent);
    ExchangeDigital();
    CloseInterface();
    TraceOff();
    EXPECT_EQ(MotorByte, 0xFF);
    Cycle(); // an exchange after the close neither sends nor says anything
    const auto log = sim::Log(box);
    ASSERT_EQ(log.size(), 2u + 3 * 256);
    EXPECT_TRUE(log[0].code == REQ_INPUTS && log[0].motor == 0x00); // motors off first
    const BYTE codes[] = {0xC1, 0xC5, 0xC9};
    for (size_t i = 1; i < log.size() - 1; ++i) // the last: the time-out's
        ASSERT_TRUE(log[i].code == codes[(i - 1) % 3] && log[i].motor == (i - 1) / 3) << i;
    EXPECT_EQ(testmsgs::Letters(), "");
    std::istringstream trace(testing::internal::GetCapturedStderr());
    EXPECT_TRUE(
        std::regex_search(trace.str(), std::regex(R"(open   [-\d]{10} [:\d]{8} [+-]\d{4}  /)")));
    std::vector<std::pair<unsigned, unsigned>> sent, got;
    int timeouts = 0, fit = 0;
    double at = 0, wrote = 0, reply = 0; // ms: a line's time, the latest request's, a reply's
    for (std::string line; std::getline(trace, line);) {
        unsigned code, motor;
        if (sscanf(line.c_str(), "%lf > %x %x", &at, &code, &motor) == 3) // `at` on every line
            sent.push_back({code, motor}), wrote = at;
        fit += sscanf(&line[line.rfind(' ') + 1], "+%lf", &reply) == 1 && reply <= at - wrote + .01;
        timeouts += line.find("none: time-out") != std::string::npos && reply >= 99;
    }
    for (const sim::Request &r : log)
        got.push_back({r.code, r.motor});
    EXPECT_EQ(sent, got);
    EXPECT_EQ(timeouts, 1);
    EXPECT_EQ(fit, int(sent.size())); // one read a request
}

} // namespace
