// Every fault of the box and its line, through the running program: the real link,
// poll cycle and Qt dialog (offscreen) against ifbox-sim on a pseudo-terminal.
//
// The box answers 0xC1 with 0x00, EX with [0x07, 0x01, 0x23] (291) and EY with
// [0x07, 0x04, 0x56] (1110) unless a test says otherwise. Request 0 is the opening's
// 0xC1; cycle k sends requests 3k-2 (0xC1), 3k-1 (0xC5) and 3k (0xC9).
//
// A reply byte that is late or extra stays in the line and is read as the first byte
// of the next reply, for good. One such byte gives this steady state: 0xC1 reads the
// last byte of the EY reply (0x56), EX reads [0x00, 0x07, 0x01] (0x0701 = 1793) and EY
// [0x23, 0x07, 0x04] (0x0704 = 1796).
#include <QMessageBox>
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

#include "link/link.h"
#include "monitor/iostate.h"
#include "monitor/poll.h"
#include "tests/support/simbox.h"
#include "tests/ui/ui_support.h"
#include "ui/ui.h"

using namespace uitest;

namespace {

const QString LINK =
    QString::fromUtf8("Bitte überprüfen Sie die serielle Verbindung zum Interface");
const QString ANALOG = QString::fromUtf8("Ein Problem mit den analogen Eingängen ist aufgetreten");
constexpr int PAUSE_MS = 1000; // after a dismissed message from the poll thread

int64_t NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Every failure message the steps met, in order, with the poll event of the cycle
// that raised it (the cycle is held in the message, so the event stays current).
struct Seen {
    QString text;
    UINT cycle;
    bool dialog_shown;
    int64_t shown_ms, dismissed_ms;
};
std::vector<Seen> &Messages() {
    static std::vector<Seen> seen;
    return seen;
}

// Notes the message on screen, if any; it must be the only one, titled "Fehler",
// without an icon and owned by the dialog.
bool NoteMessage() {
    auto boxes = qtwin::testing::OpenMessageBoxes();
    if (boxes.empty())
        return false;
    EXPECT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "Fehler");
    EXPECT_EQ(boxes[0].owner, Dialog());
    EXPECT_EQ(boxes[0].box->icon(), QMessageBox::NoIcon);
    if (Messages().empty() || Messages().back().dismissed_ms != 0)
        Messages().push_back({boxes[0].text, PollTimerId.load(),
                              DialogWidget() && DialogWidget()->isVisible(), NowMs(), 0});
    return true;
}

// The user clicks OK on whatever message comes up.
bool AnswerMessage() {
    if (!NoteMessage())
        return false;
    DismissBox();
    Messages().back().dismissed_ms = NowMs();
    return true;
}

// Waits until `n` messages in all have come and been answered.
Step AnswerUntil(size_t n) {
    return [n] {
        AnswerMessage();
        return Messages().size() >= n && Messages().back().dismissed_ms != 0;
    };
}

// Lets `ms` pass answering nothing: none may come.
Step NoMessageFor(int ms) {
    auto start = std::make_shared<int64_t>(0);
    return [start, ms] {
        if (*start == 0)
            *start = NowMs();
        EXPECT_EQ(OpenBoxes(), 0);
        return NowMs() - *start >= ms;
    };
}

// Opens the dialog as the menu does; a message at the opening is answered.
std::vector<Step> OpenDialog() {
    return {
        WaitUntil([] { return MainWindow() != nullptr; }),
        Do([] { PostMessageA(MainWindow(), WM_COMMAND, IDM_START, 0); }),
        WaitUntil([] {
            AnswerMessage();
            return Dialog() && DialogWidget()->isVisible();
        }),
    };
}

// The displays after a refresh: EX, EY and the eight counters.
bool Shows(const char *ex, const char *ey, const std::array<const char *, 8> &counters) {
    if (TextOf(1028) != ex || TextOf(1029) != ey)
        return false;
    for (int i = 0; i < 8; ++i)
        if (counters[i] != nullptr && TextOf(1012 + i) != counters[i])
            return false;
    return true;
}
const std::array<const char *, 8> ANY = {};
const std::array<const char *, 8> NONE = {"0", "0", "0", "0", "0", "0", "0", "0"};
// 0x00 followed by 0x56: E2, E3, E5 and E7 changed once.
const std::array<const char *, 8> ONCE_0x56 = {"0", "1", "1", "0", "1", "0", "1", "0"};

// Waits for the displays to show these values, then through two more refreshes.
std::vector<Step> Showing(const char *ex, const char *ey,
                          const std::array<const char *, 8> &counters) {
    return {
        WaitUntil([=] { return Shows(ex, ey, counters); }),
        Pause(2 * DISPLAY_PERIOD_MS + 200),
        Do([=] {
            EXPECT_TRUE(Shows(ex, ey, counters))
                << TextOf(1028).toStdString() << " " << TextOf(1029).toStdString();
        }),
    };
}

// Polling goes on: the box keeps receiving requests.
Step BoxHears(sim::Box *box, size_t more) {
    auto mark = std::make_shared<size_t>(SIZE_MAX);
    return [box, more, mark] {
        if (*mark == SIZE_MAX)
            *mark = sim::RequestCount(box);
        return sim::RequestCount(box) >= *mark + more;
    };
}

// The user closes the dialog; afterwards no message comes and, when there is a box,
// nothing more reaches it.
std::vector<Step> CloseQuietly(sim::Box *box) {
    auto mark = std::make_shared<size_t>(0);
    auto messages = std::make_shared<size_t>(0);
    return {
        Do([] { Click(IDCANCEL); }),
        WaitUntil([] { return Dialog() == nullptr; }),
        Pause(100), // requests written before the close reach the box
        Do([=] {
            *mark = box ? sim::RequestCount(box) : 0;
            *messages = Messages().size();
            EXPECT_EQ(PortHandle.load(), INVALID_HANDLE_VALUE);
        }),
        NoMessageFor(2 * PAUSE_MS + 500),
        Do([=] {
            EXPECT_EQ(Messages().size(), *messages);
            EXPECT_EQ(qtwin::testing::WaitingMessageBoxCallers(), 0);
            if (box) {
                EXPECT_EQ(sim::RequestCount(box), *mark) << "exchange after the close";
            }
        }),
    };
}

// Dismisses the next message and closes the dialog in the second that follows.
std::vector<Step> DismissAndClose(sim::Box *box) {
    std::vector<Step> steps = {WaitUntil([] {
        if (!NoteMessage())
            return false;
        DismissBox();
        Messages().back().dismissed_ms = NowMs();
        return true;
    })};
    return steps + CloseQuietly(box);
}

// Messages from `from` on: all `text`, three per cycle (one per exchange), each after
// the pause that followed the one before.
void ExpectThreePerCycle(size_t from, const QString &text) {
    const auto &m = Messages();
    ASSERT_GE(m.size(), from + 3);
    for (size_t i = from; i < m.size(); ++i) {
        EXPECT_EQ(m[i].text, text) << i;
        if (i == from)
            continue;
        EXPECT_GE(m[i].shown_ms - m[i - 1].dismissed_ms, PAUSE_MS - 50) << i;
        if ((i - from) % 3 != 0) {
            EXPECT_EQ(m[i].cycle, m[i - 1].cycle) << i;
        } else {
            EXPECT_NE(m[i].cycle, m[i - 1].cycle) << i;
        }
    }
}

sim::Config BoxConfig(sim::Fault fault = sim::Fault::None, int after = 0, int count = 0) {
    sim::Config cfg = QuietBox();
    cfg.input_byte = 0x00;
    cfg.analog_byte0 = 0x07;
    cfg.analog_ex = 0x0123;
    cfg.analog_ey = 0x0456;
    cfg.fault = fault;
    cfg.fault_after = after;
    cfg.fault_for = count;
    return cfg;
}

// Runs the program with the steps, then quits; the steps must all have come true.
void RunSteps(std::vector<Step> steps) {
    Messages().clear();
    steps.push_back(Quit());
    Schedule(steps, 30);
    EXPECT_EQ(RunProgram(), 0);
    EXPECT_TRUE(AllStepsDone());
}

// The timer thread runs every callback in turn: once this one has run, a cycle that
// was finishing as polling stopped has finished too.
void WaitForPollThread() {
    static std::atomic<bool> ran;
    ran = false;
    timeSetEvent(
        1, 1, [](UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) { ran = true; }, 0, TIME_ONESHOT);
    while (!ran)
        usleep(1000);
}

// After the close: every input change the box put on the wire was counted, but for
// the opening's reply (it only sets the previous inputs) and the reply of a last cycle
// that the close cut short. In flip mode the box's input byte is the last one it sent.
void ExpectEveryEdgeCounted(sim::Box *box, uint8_t opening_flips) {
    WaitForPollThread();
    const auto sent = sim::InputFlips(box);
    const uint8_t uncounted = PreviousInputs ^ sim::Inputs(box);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(EdgeCounters[i].load(),
                  sent[i] - ((opening_flips >> i) & 1) - ((uncounted >> i) & 1))
            << "E" << i + 1;
}

} // namespace

// A silent box: each read times out, which is a success with no bytes, so the values
// stay what last arrived and nothing is reported.
TEST(Silent, FromTheStartNoMessageAndTheInitialValues) {
    sim::Box *box = StartBox(BoxConfig(sim::Fault::Silent));
    ASSERT_NE(box, nullptr);
    RunSteps(
        OpenDialog() + Showing("8224", "8224", NONE) +
        std::vector<Step>{BoxHears(box, 6), Do([] { EXPECT_EQ(PreviousInputs.load(), 0x61); })} +
        CloseQuietly(box));
    EXPECT_TRUE(Messages().empty());
    sim::Stop(box);
}

TEST(Silent, AfterOneCycleTheValuesFreeze) {
    sim::Box *box = StartBox(BoxConfig(sim::Fault::Silent, 4));
    ASSERT_NE(box, nullptr);
    RunSteps(OpenDialog() + std::vector<Step>{BoxHears(box, 6), Do([box] {
                                                  sim::SetAnalog(box, 1, 2);
                                                  sim::SetInputs(box, 0xFF);
                                              })} +
             // EX's reads get nothing: it returns the buffer it shares with EY, which
             // holds EY's last reply.
             Showing("1110", "1110", NONE) + std::vector<Step>{BoxHears(box, 6)} +
             CloseQuietly(box));
    EXPECT_TRUE(Messages().empty());
    sim::Stop(box);
}

// Random bytes of the right length are taken as they come: no message, and every
// change in them is counted.
TEST(Garbage, WhateverArrivesIsShownAndCounted) {
    sim::Config cfg = BoxConfig(sim::Fault::Garbage, 1);
    cfg.seed = 7;
    sim::Box *box = StartBox(cfg);
    ASSERT_NE(box, nullptr);
    auto shown = std::make_shared<std::pair<DWORD, DWORD>>();
    RunSteps(OpenDialog() +
             std::vector<Step>{
                 BoxHears(box, 60),
                 // Freeze what arrived last, then read it back from the displays.
                 Do([box] { sim::SetFault(box, sim::Fault::Silent); }),
                 BoxHears(box, 3),
                 Pause(DISPLAY_PERIOD_MS + 300),
                 Do([shown] {
                     *shown = {AnalogEX.load(), AnalogEY.load()};
                     EXPECT_EQ(TextOf(1028), QString::number(shown->first));
                     EXPECT_EQ(TextOf(1029), QString::number(shown->second));
                     EXPECT_FALSE(shown->first == 291 && shown->second == 1110);
                     for (int i = 0; i < 8; ++i)
                         EXPECT_EQ(TextOf(1012 + i), QString::number(EdgeCounters[i].load()));
                 }),
             } +
             CloseQuietly(box));
    EXPECT_TRUE(Messages().empty());
    // The opening's reply was the box's real 0x00, so nothing is owed to it.
    const auto sent = sim::InputFlips(box);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(EdgeCounters[i].load(), sent[i]) << "E" << i + 1;
    EXPECT_GT(sent[0] + sent[7], 10u);
    sim::Stop(box);
}

// A byte too many is read as the first byte of the next reply, and so on for good.
TEST(ExtraByte, OneExtraByteShiftsEveryLaterReply) {
    sim::Box *box = StartBox(BoxConfig(sim::Fault::ExtraByte, 4, 1)); // after cycle 2's 0xC1
    ASSERT_NE(box, nullptr);
    RunSteps(
        OpenDialog() + Showing("1793", "1796", ONCE_0x56) +
        std::vector<Step>{BoxHears(box, 6), Do([] { EXPECT_EQ(PreviousInputs.load(), 0x56); })} +
        CloseQuietly(box));
    EXPECT_TRUE(Messages().empty());
    sim::Stop(box);
}

TEST(ExtraByte, StrayByteFromTheBoxIsTakenAsTheNextReply) {
    sim::Box *box = StartBox(BoxConfig());
    ASSERT_NE(box, nullptr);
    RunSteps(OpenDialog() + Showing("291", "1110", NONE) +
             std::vector<Step>{Do([box] { sim::Inject(box, {0x99}); })} +
             std::vector<Step>{WaitUntil([] { return TextOf(1028) == "1793"; })} +
             Showing("1793", "1796", ANY) +
             std::vector<Step>{Do([] { EXPECT_EQ(PreviousInputs.load(), 0x56); })} +
             CloseQuietly(box));
    EXPECT_TRUE(Messages().empty());
    sim::Stop(box);
}

// A reply's last byte after the 100 ms read time-out: the read gets what came, the
// late byte starts the next reply.
TEST(LateByte, OneLateByteIsTakenAsTheNextReply) {
    sim::Config cfg = BoxConfig(sim::Fault::LateByte, 5, 1); // cycle 2's EX reply
    cfg.late_ms = 150;
    sim::Box *box = StartBox(cfg);
    ASSERT_NE(box, nullptr);
    RunSteps(OpenDialog() + Showing("1793", "1796", ONCE_0x56) +
             std::vector<Step>{BoxHears(box, 6)} + CloseQuietly(box));
    EXPECT_TRUE(Messages().empty());
    sim::Stop(box);
}

// A byte too few: the read times out with what came, and the byte it did not get keeps
// its old value in the reply buffer.
TEST(MissingByte, ReadsTimeOutAndStaleBytesStay) {
    sim::Config cfg = BoxConfig(sim::Fault::MissingByte);
    cfg.input_mode = sim::InputMode::Flip;
    cfg.flip_mask = 0xFF;
    sim::Box *box = StartBox(cfg);
    ASSERT_NE(box, nullptr);
    // No digital byte ever arrives: 0x61 stays and nothing is counted. The analog
    // replies lack their last byte: [0x07, 0x01] over 0x20 is 0x0120, [0x07, 0x04] 0x0420.
    RunSteps(
        OpenDialog() + Showing("288", "1056", NONE) +
        std::vector<Step>{BoxHears(box, 6), Do([] { EXPECT_EQ(PreviousInputs.load(), 0x61); })} +
        CloseQuietly(box));
    EXPECT_TRUE(Messages().empty());
    sim::Stop(box);
}

// Analog replies of one byte only: both channels keep the shared buffer's value from
// the last full reply (EY's), while the digital inputs go on being counted.
TEST(Short, AnalogValuesStayTheLastFullReplyDigitalGoesOn) {
    sim::Config cfg = BoxConfig(sim::Fault::Short, 4);
    cfg.input_mode = sim::InputMode::Flip;
    cfg.flip_mask = 0x81;
    sim::Box *box = StartBox(cfg);
    ASSERT_NE(box, nullptr);
    RunSteps(OpenDialog() + Showing("1110", "1110", ANY) +
             std::vector<Step>{
                 Do([] {
                     EXPECT_EQ(TextOf(1012), TextOf(1019));
                     EXPECT_GT(TextOf(1012).toUInt(), 10u);
                     for (int id = 1013; id <= 1018; ++id)
                         EXPECT_EQ(TextOf(id), "0") << id;
                 }),
             } +
             CloseQuietly(box));
    EXPECT_TRUE(Messages().empty());
    ExpectEveryEdgeCounted(box, 0x81);
    sim::Stop(box);
}

// A box slower than usual but within the time-out: everything arrives, only later.
TEST(Slow, WithinTheTimeOutNothingIsLostOnlySlower) {
    sim::Config cfg = BoxConfig(sim::Fault::Slow);
    cfg.slow_ms = 30;
    cfg.input_mode = sim::InputMode::Flip;
    cfg.flip_mask = 0x0F;
    sim::Box *box = StartBox(cfg);
    ASSERT_NE(box, nullptr);
    RunSteps(OpenDialog() + std::vector<Step>{WaitUntil([] { return TextOf(1028) == "291"; })} +
             std::vector<Step>{BoxHears(box, 30), Do([] {
                                   EXPECT_EQ(TextOf(1029), "1110");
                                   EXPECT_GT(TextOf(1012).toUInt(), 0u);
                                   EXPECT_EQ(TextOf(1016), "0");
                               })} +
             CloseQuietly(box));
    EXPECT_TRUE(Messages().empty());
    ExpectEveryEdgeCounted(box, 0x0F);
    // Each cycle waits three times for the box's 30 ms: the period is at least that.
    std::vector<int64_t> c1;
    for (const auto &r : sim::Log(box))
        if (r.code == 0xC1)
            c1.push_back(r.t_ns);
    ASSERT_GE(c1.size(), 10u);
    EXPECT_GE((c1.back() - c1[1]) / int64_t(c1.size() - 2), (20 + 3 * 30) * 1000000LL);
    sim::Stop(box);
}

// Slower than the time-out: every reply misses its read and is taken by a later one.
// With all reply bytes 0x11 the values cannot depend on how they shifted.
TEST(Slow, BeyondTheTimeOutRepliesShiftWithoutMessages) {
    sim::Config cfg = BoxConfig(sim::Fault::Slow);
    cfg.slow_ms = 150;
    cfg.input_byte = 0x11;
    cfg.analog_byte0 = 0x11;
    cfg.analog_ex = cfg.analog_ey = 0x1111;
    sim::Box *box = StartBox(cfg);
    ASSERT_NE(box, nullptr);
    RunSteps(OpenDialog() +
             std::vector<Step>{
                 // The opening's read timed out: 0x61 was the previous input, then 0x11 came.
                 WaitUntil([] { return TextOf(1028) == "4369" && TextOf(1029) == "4369"; }),
                 BoxHears(box, 12),
                 Do([] {
                     EXPECT_EQ(PreviousInputs.load(), 0x11);
                     EXPECT_TRUE(Shows("4369", "4369", {"0", "0", "0", "0", "1", "1", "1", "0"}));
                 }),
             } +
             CloseQuietly(box));
    EXPECT_TRUE(Messages().empty());
    sim::Stop(box);
}

// The device goes (an adapter pulled). Each exchange then fails and shows the link
// message: three per cycle, each followed by a second's pause. There is no
// reconnection: the port stays dead even when the device is back, until the dialog is
// opened again.
TEST(Vanish, BetweenCyclesThreeLinkMessagesPerCycleUntilReopened) {
    sim::Box *box = StartBox(BoxConfig(sim::Fault::Vanish, 4)); // after cycle 1
    ASSERT_NE(box, nullptr);
    // Cycle 2's 0xC1 may still reach the box before it goes; then it goes unanswered.
    auto heard = std::make_shared<size_t>(0);
    RunSteps(OpenDialog() +
             std::vector<Step>{AnswerUntil(7), Do([box, heard] {
                                   ExpectThreePerCycle(0, LINK);
                                   *heard = sim::RequestCount(box);
                                   EXPECT_TRUE(*heard == 4 || *heard == 5) << *heard;
                                   sim::Reappear(box);
                               }),
                               AnswerUntil(9)} +
             // EX's write failed: it returns the shared buffer, which holds EY's last reply.
             Showing("1110", "1110", NONE) + DismissAndClose(box) +
             std::vector<Step>{Do([box, heard] {
                 EXPECT_EQ(sim::RequestCount(box), *heard);
                 for (const auto &m : Messages())
                     EXPECT_EQ(m.text, LINK);
             })} +
             OpenDialog() + Showing("291", "1110", NONE) + std::vector<Step>{BoxHears(box, 6)} +
             CloseQuietly(box));
    EXPECT_EQ(Messages().size(), 10u); // with the one that came during Showing's pauses
    sim::Stop(box);
}

TEST(Vanish, DuringAnAnalogReadTheAnalogMessageComesFirst) {
    sim::Box *box = StartBox(BoxConfig(sim::Fault::Vanish, 5)); // cycle 2's EX request unanswered
    ASSERT_NE(box, nullptr);
    RunSteps(OpenDialog() +
             std::vector<Step>{AnswerUntil(8), Do([] {
                                   ASSERT_GE(Messages().size(), 2u);
                                   EXPECT_EQ(Messages()[0].text, ANALOG);
                                   EXPECT_EQ(Messages()[1].text, LINK); // EY's write
                                   EXPECT_EQ(Messages()[0].cycle, Messages()[1].cycle);
                                   ExpectThreePerCycle(2, LINK);
                               })} +
             DismissAndClose(box));
    EXPECT_EQ(sim::RequestCount(box), 6u);
    sim::Stop(box);
}

// The device goes and comes back again and again: the link messages go on, also while
// it is back, since the port opened with the dialog stays dead; reopening works.
TEST(Flapping, MessagesWhileGoneAndAfterNoRecoveryUntilReopened) {
    sim::Config cfg = BoxConfig(sim::Fault::Flapping, 4);
    cfg.flap_down_ms = 700;
    cfg.flap_up_ms = 700;
    sim::Box *box = StartBox(cfg);
    ASSERT_NE(box, nullptr);
    auto heard = std::make_shared<size_t>(0);
    RunSteps(OpenDialog() +
             std::vector<Step>{AnswerUntil(1),
                               Do([box, heard] { *heard = sim::RequestCount(box); }),
                               AnswerUntil(7), Do([box, heard] {
                                   // The box may go while an analog reply is
                                   // awaited: that read fails, EY's write then.
                                   for (size_t i = 1; i < Messages().size(); ++i)
                                       EXPECT_EQ(Messages()[i].text, LINK) << i;
                                   // Not a request more, in six seconds of flapping.
                                   EXPECT_EQ(sim::RequestCount(box), *heard);
                                   sim::SetFault(box, sim::Fault::None);
                               }),
                               AnswerUntil(8)} +
             DismissAndClose(box) + OpenDialog() + Showing("291", "1110", NONE) +
             std::vector<Step>{BoxHears(box, 6)} + CloseQuietly(box));
    EXPECT_EQ(Messages().size(), 9u);
    sim::Stop(box);
}

// The box goes while a failure message is open, comes back and goes again: the poll
// thread stays in its message, nothing else is shown meanwhile, and after the dismissal
// the messages go on as before.
TEST(Vanish, WhileAMessageIsOpen) {
    sim::Box *box = StartBox(BoxConfig(sim::Fault::Vanish, 4));
    ASSERT_NE(box, nullptr);
    RunSteps(OpenDialog() +
             std::vector<Step>{
                 WaitUntil(NoteMessage),
                 Do([box] {
                     sim::Reappear(box);
                     sim::Vanish(box);
                     sim::Reappear(box);
                     sim::Vanish(box);
                 }),
                 Pause(2 * DISPLAY_PERIOD_MS + 200),
                 Do([] {
                     EXPECT_EQ(OpenBoxes(), 1);
                     EXPECT_EQ(qtwin::testing::WaitingMessageBoxCallers(), 1);
                     // The displays went on refreshing under the message.
                     EXPECT_EQ(TextOf(1029), "1110");
                     DismissBox();
                     Messages().back().dismissed_ms = NowMs();
                 }),
                 AnswerUntil(4),
             } +
             DismissAndClose(box));
    ExpectThreePerCycle(0, LINK);
    EXPECT_LE(sim::RequestCount(box), 5u);
    sim::Stop(box);
}

// No port to open: the link message once during the opening, before the dialog shows,
// then three per cycle.
TEST(Port, MissingAtStart) {
    PointAtMissingPort();
    RunSteps(OpenDialog() + std::vector<Step>{AnswerUntil(7)} + Showing("8224", "8224", NONE) +
             DismissAndClose(nullptr));
    ASSERT_GE(Messages().size(), 7u);
    EXPECT_FALSE(Messages()[0].dialog_shown);
    EXPECT_EQ(Messages()[0].text, LINK);
    ExpectThreePerCycle(1, LINK);
}

// A port that another program holds is refused (ERROR_ACCESS_DENIED, as on Windows) and
// behaves like a missing one; once it is free, reopening works.
TEST(Port, HeldByAnotherOpener) {
    sim::Box *box = StartBox(BoxConfig());
    ASSERT_NE(box, nullptr);
    HANDLE holder =
        CreateFileA("COM2", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    HANDLE second =
        CreateFileA("COM2", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    RunSteps(OpenDialog() + std::vector<Step>{AnswerUntil(7)} + DismissAndClose(box) +
             std::vector<Step>{Do([holder] { CloseHandle(holder); })} + OpenDialog() +
             Showing("291", "1110", NONE) + CloseQuietly(box));
    ASSERT_EQ(Messages().size(), 8u);
    EXPECT_FALSE(Messages()[0].dialog_shown);
    ExpectThreePerCycle(1, LINK);
    sim::Stop(box);
}

// A device the user may not open. Root may open anything, so as root the dialog runs in
// a child of this test that has become "nobody" (65534) before it opens the port.
TEST(Port, PermissionDenied) {
    const char *child = getenv("IFDIAG_FAULTS_AS_NOBODY");
    if (child == nullptr) {
        sim::Box *box = StartBox(BoxConfig());
        ASSERT_NE(box, nullptr);
        ASSERT_EQ(chmod(sim::SlavePath(box).c_str(), geteuid() == 0 ? 0600 : 0000), 0);
        if (geteuid() != 0) {
            RunSteps(OpenDialog() + std::vector<Step>{AnswerUntil(4)} + DismissAndClose(box));
            EXPECT_EQ(Messages()[0].text, LINK);
            ExpectThreePerCycle(1, LINK);
        } else {
            // Everything the child needs is made before the fork: it only drops its
            // rights and runs this test again.
            std::vector<std::string> env = {"IFDIAG_FAULTS_AS_NOBODY=1",
                                            "XDG_RUNTIME_DIR=/tmp/ifdiag-faults-nobody"};
            for (char **e = environ; *e; ++e)
                if (strncmp(*e, "XDG_RUNTIME_DIR=", 16) != 0)
                    env.push_back(*e);
            std::vector<char *> envp;
            for (auto &e : env)
                envp.push_back(e.data());
            envp.push_back(nullptr);
            char exe[] = "/proc/self/exe", filter[] = "--gtest_filter=Port.PermissionDenied";
            char *argv[] = {exe, filter, nullptr};
            mkdir("/tmp/ifdiag-faults-nobody", 0700);
            ASSERT_EQ(chown("/tmp/ifdiag-faults-nobody", 65534, 65534), 0);
            pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                    setresuid(65534, 65534, 65534) != 0)
                    _exit(77);
                execve(exe, argv, envp.data());
                _exit(78);
            }
            int status = 0;
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
            ASSERT_TRUE(WIFEXITED(status));
            if (WEXITSTATUS(status) == 77 || WEXITSTATUS(status) == 78)
                GTEST_SKIP() << "cannot run a child as nobody (" << WEXITSTATUS(status) << ")";
            EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's test failed; see its output";
        }
        EXPECT_EQ(sim::RequestCount(box), 0u);
        sim::Stop(box);
        return;
    }
    // The child, as nobody.
    ASSERT_EQ(geteuid(), 65534u);
    HANDLE h =
        CreateFileA("COM2", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    RunSteps(OpenDialog() + std::vector<Step>{AnswerUntil(7)} + DismissAndClose(nullptr));
    ASSERT_GE(Messages().size(), 7u);
    EXPECT_FALSE(Messages()[0].dialog_shown);
    ExpectThreePerCycle(1, LINK);
}

// The dialog opened and closed a thousand times against a slow box: nothing leaks, no
// exchange follows a close, nothing hangs. Every opening presses "Rechts" of motor 1,
// so a request that a closed opening still sent would carry 0x02; every other opening
// stays for one cycle, the rest close at once.
TEST(Churn, ThousandOpeningsAgainstASlowBox) {
    constexpr int OPENINGS = 1000, WARM_UP = 20;
    sim::Config cfg = BoxConfig(sim::Fault::Slow);
    cfg.slow_ms = 2;
    sim::Box *box = StartBox(cfg);
    ASSERT_NE(box, nullptr);

    struct State {
        int done = 0, phase = 0;
        size_t first = 0, mark = 0;
        int64_t closed_ms = 0;
        int fds = 0, threads = 0;
        long rss_kb = 0;
    };
    auto st = std::make_shared<State>();
    auto rss = [] {
        long kb = 0;
        if (FILE *f = fopen("/proc/self/status", "r")) {
            char line[256];
            while (fgets(line, sizeof line, f))
                if (strncmp(line, "VmRSS:", 6) == 0)
                    kb = strtol(line + 6, nullptr, 10);
            fclose(f);
        }
        return kb;
    };
    // One opening per step; each returns true once its opening has been checked.
    Step churn = [=] {
        State &s = *st;
        for (;;) {
            switch (s.phase) {
            case 0: // open
                if (s.done == WARM_UP) {
                    s.fds = testbox::OpenFds();
                    s.threads = testbox::Threads();
                    s.rss_kb = rss();
                }
                s.first = sim::RequestCount(box);
                sim::ClearLog(box);
                PostMessageA(MainWindow(), WM_COMMAND, IDM_START, 0);
                s.phase = 1;
                return false;
            case 1:
                if (!Dialog() || !DialogWidget()->isVisible())
                    return false;
                Click(1000);
                s.phase = 2;
                continue;
            case 2:
                if (s.done % 2 == 0 && sim::RequestCount(box) < s.first + 4)
                    return false;
                Click(IDCANCEL);
                s.phase = 3;
                continue;
            case 3:
                if (Dialog() != nullptr)
                    return false;
                s.closed_ms = NowMs();
                s.phase = 4;
                return false;
            case 4: // what was written before the close has reached the box
                if (NowMs() - s.closed_ms < 10)
                    return false;
                s.mark = sim::RequestCount(box);
                s.phase = 5;
                return false;
            default: { // and nothing comes after it, not even when a next cycle was due
                if (NowMs() - s.closed_ms < 15 + int(POLL_DELAY_MS))
                    return false;
                EXPECT_EQ(sim::RequestCount(box), s.mark) << "opening " << s.done;
                const auto log = sim::Log(box); // this opening's requests
                // Opening: 0xC1 with the motors off; then whole cycles, the last maybe
                // cut short; the motor byte goes from 0x00 to 0x02 and never back.
                bool ok = !log.empty() && log[0].code == 0xC1 && log[0].motor == 0x00;
                for (size_t i = 1; ok && i < log.size(); ++i) {
                    const uint8_t want = i % 3 == 1 ? 0xC1 : i % 3 == 2 ? 0xC5 : 0xC9;
                    ok = log[i].code == want && log[i].motor >= log[i - 1].motor &&
                         (log[i].motor == 0x00 || log[i].motor == 0x02);
                }
                EXPECT_TRUE(ok) << "opening " << s.done;
                ++s.done;
                s.phase = 0;
                return true;
            }
            }
        }
    };
    std::vector<Step> steps = {WaitUntil([] { return MainWindow() != nullptr; })};
    steps.insert(steps.end(), OPENINGS, churn);
    RunSteps(steps);
    EXPECT_EQ(st->done, OPENINGS);
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(testbox::OpenFds(), st->fds);
    EXPECT_EQ(testbox::Threads(), st->threads);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // Sanitizers hold freed memory back on purpose; there LeakSanitizer checks instead.
    EXPECT_LT(rss() - st->rss_kb, 4096) << "kB more after " << OPENINGS - WARM_UP << " openings";
#endif
    sim::Stop(box);
}
