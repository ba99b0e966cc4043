// Faults of the box and its line through the running program: the real link, poll
// cycle and Qt dialog (offscreen) against ifbox-sim. What each fault does to the values
// and messages is the link's table (tests/link); here: what the user meets.
#include <QApplication>
#include <QMessageBox>
#include <QPainter>
#include <gtest/gtest.h>

#include "link/link.h"
#include "monitor/iostate.h"
#include "tests/support/messages.h"
#include "tests/ui/ui_support.h"

using namespace uitest;

namespace {

// Every message the link text, each shown a second or more after the one before was
// dismissed, so that the user can reach "Abbrechen".
void ExpectLinkMessagesPaced() {
    const auto &m = Messages();
    for (size_t i = 0; i < m.size(); ++i) {
        EXPECT_EQ(m[i].text, QString::fromLatin1(LINK_TEXT)) << i;
        EXPECT_TRUE(i == 0 || m[i].shown_ms - m[i - 1].dismissed_ms >= 950) << i;
    }
}

Step AnswerUntil(size_t n) {
    return
        [n] { return AnswerMessage(), Messages().size() >= n && Messages().back().dismissed_ms; };
}

} // namespace

// No device behind "COM2": the link message once while the dialog opens, before it is
// shown, then three per cycle while the displays show what the untouched reply buffers
// hold; the dialog closes quietly in the second after a dismissal.
TEST(PortMissing, MessagesPacedDisplaysRefreshClosingIsQuiet) {
    PointAtMissingPort();
    RunSteps(OpenDialog() +
             std::vector<Step>{
                 AnswerUntil(4),
                 WaitUntil(NoteMessage),
                 WaitUntil([] { return TextOf(IDC_EX) == "8224" && TextOf(IDC_EY) == "8224"; }),
                 Do([] {
                     for (int i = 0; i < 8; ++i)
                         EXPECT_EQ(TextOf(IDC_COUNT1 + i), "0") << i;
                     // The dialog with its message where it stands; offscreen has no frames.
                     QImage shot = DialogWidget()->grab().toImage();
                     QMessageBox *box = qtwin::testing::OpenMessageBoxes().front().box;
                     QPainter(&shot).drawImage(
                         DialogWidget()->mapFromGlobal(box->mapToGlobal(QPoint())),
                         box->grab().toImage());
                     SaveScreenshot(shot, "failure-message.png");
                     AnswerMessage();
                 }),
             } +
             CloseQuietly(nullptr));
    ASSERT_EQ(Messages().size(), 5u);
    EXPECT_FALSE(Messages()[0].dialog_shown);
    ExpectLinkMessagesPaced();
}

// The user dismisses the opening's message and presses Escape at once: that closes the
// dialog, as no message may come up within the second.
TEST(PortMissing, EscapeRightAfterTheOpeningMessageClosesTheDialog) {
    PointAtMissingPort();
    RunSteps(OpenDialog() + std::vector<Step>{Pause(200)} +
                 CloseQuietly(nullptr, [] { PressKey(Qt::Key_Escape); }),
             15);
    EXPECT_EQ(Messages().size(), 1u);
}

// The box goes and comes back while a message is open: the poll thread stays in it, the
// displays go on refreshing; closing the dialog then ends the message and frees the
// poll thread; a new opening works.
TEST(Vanish, ClosingWhileAMessageIsOpen) {
    sim::Config cfg = QuietBox();
    cfg.fault = sim::Fault::Vanish;
    cfg.fault_after = 4;
    sim::Box *box = StartBox(cfg);
    ASSERT_NE(box, nullptr);
    RunSteps(OpenDialog() +
             std::vector<Step>{
                 WaitUntil(NoteMessage),
                 Do([box] {
                     sim::Reappear(box);
                     sim::Vanish(box);
                     sim::Reappear(box);
                 }),
                 Pause(2 * DISPLAY_PERIOD_MS + 200),
                 Do([] {
                     EXPECT_EQ(OpenBoxes(), 1);
                     EXPECT_EQ(qtwin::testing::WaitingMessageBoxCallers(), 1);
                     EXPECT_EQ(TextOf(IDC_EY), "1110");
                 }),
             } +
             CloseQuietly(box, [] { DialogWidget()->close(); }) + OpenDialog() +
             std::vector<Step>{WaitUntil([] { return TextOf(IDC_EX) == "291"; })} +
             CloseQuietly(box));
    EXPECT_EQ(Messages().size(), 1u);
    ExpectLinkMessagesPaced();
    sim::Stop(box);
}

// Opened and closed hundreds of times against a slow box, half of the openings before
// their first cycle: no request after any close (each presses "Rechts" of motor 1, so
// one would carry 0x02), no message, nothing leaks, nothing hangs.
TEST(Churn, HundredsOfOpeningsAgainstASlowBox) {
    constexpr int OPENINGS = 300, WARM_UP = 20;
    sim::Config cfg = QuietBox();
    cfg.fault = sim::Fault::Slow;
    cfg.slow_ms = 2;
    sim::Box *box = StartBox(cfg);
    ASSERT_NE(box, nullptr);
    struct {
        int done = 0, phase = 0, fds = 0, threads = 0;
        size_t mark = 0;
        int64_t closed = 0;
        long rss = 0;
    } s;
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
    Step churn = [&] {
        switch (s.phase) {
        case 0:
            if (s.done == WARM_UP)
                s = {s.done, 0, testbox::OpenFds(), testbox::Threads(), 0, 0, rss()};
            sim::ClearLog(box);
            PostMessageA(MainWindow(), WM_COMMAND, IDM_START, 0);
            return ++s.phase, false;
        case 1:
            if (!Dialog() || !DialogWidget()->isVisible())
                return false;
            Click(IDC_RECHTS1);
            return ++s.phase, false;
        case 2:
            if (s.done % 2 == 0 && sim::RequestCount(box) < 4)
                return false;
            Click(IDCANCEL);
            s.closed = testbox::NowNs();
            return ++s.phase, false;
        case 3: // what was written before the close has reached the box...
            if (testbox::NowNs() - s.closed < 10'000'000)
                return false;
            s.mark = sim::RequestCount(box);
            return ++s.phase, false;
        default: // ...and nothing comes after it, not even when a next cycle was due
            if (testbox::NowNs() - s.closed < 40'000'000)
                return false;
            const auto log = sim::Log(box);
            EXPECT_EQ(log.size(), s.mark) << "opening " << s.done;
            bool ok = !log.empty() && log[0].code == REQ_INPUTS && log[0].motor == 0x00;
            for (size_t i = 1; ok && i < log.size(); ++i)
                ok = log[i].code == (i % 3 == 1   ? 0xC1
                                     : i % 3 == 2 ? 0xC5
                                                  : 0xC9) &&
                     log[i].motor >= log[i - 1].motor && log[i].motor <= 0x02;
            EXPECT_TRUE(ok) << "opening " << s.done;
            s.phase = 0;
            return ++s.done, true;
        }
    };
    std::vector<Step> steps = {WaitUntil(MainWindow)};
    steps.insert(steps.end(), OPENINGS, churn);
    RunSteps(steps, 30);
    EXPECT_EQ(s.done, OPENINGS);
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(testbox::OpenFds(), s.fds);
    EXPECT_EQ(testbox::Threads(), s.threads);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // Sanitizers hold freed memory back on purpose; there LeakSanitizer checks instead.
    EXPECT_LT(rss() - s.rss, 2048) << "kB more after " << OPENINGS - WARM_UP << " openings";
#endif
    sim::Stop(box);
}
