// Faults of the box and its line through the running program: the real link, poll cycle
// and Qt dialog (offscreen) against ifbox-sim. What each fault does to the values and
// messages is the link's table (tests/link); here is what the user meets.
#include <QMessageBox>
#include <QPainter>
#include <gtest/gtest.h>

#include "link/link.h"
#include "monitor/poll.h"
#include "tests/support/messages.h"
#include "tests/ui/ui_support.h"

using namespace uitest;

namespace {

// All link messages; after the one at `from`, each shown a second or more after the one
// before was dismissed, so that the user can reach "Abbrechen".
void ExpectLinkMessagesPaced(size_t from) {
    const auto &m = Messages();
    for (size_t i = 0; i < m.size(); ++i) {
        EXPECT_EQ(m[i].text, QString::fromLatin1(LINK_TEXT)) << i;
        EXPECT_TRUE(i <= from || m[i].shown_ms - m[i - 1].dismissed_ms >= 950) << i;
    }
}

} // namespace

// No device behind "COM2": the link message once while the dialog opens, before it is
// shown, then three per cycle while the displays show the untouched reply buffers. The
// next exchange waits a second after each dismissal, so Escape or "Abbrechen" 0.2 s later
// closes the dialog; the close ends that wait at once: a new opening polls without delay.
TEST(PortMissing, MessagesArePacedSoTheUserCanClose) {
    sim::Box *box = testbox::Start(testbox::Fast());
    ASSERT_NE(box, nullptr);
    testbox::PointAtMissingPort();
    auto reopened = std::make_shared<int64_t>();
    RunSteps(OpenDialog() +
             Steps{Pause(200), Do([] { PressKey(Qt::Key_Escape); }),
                   [] { return Dialog() == nullptr; }} +
             OpenDialog() +
             Steps{[] {
                       return NoteMessage(true),
                              Messages().size() == 5 && qtwin::testing::OpenMessageBoxes().empty();
                   },
                   [] { return NoteMessage(); },
                   [] { return TextOf(IDC_EX) == "8224" && TextOf(IDC_EY) == "8224"; }, Do([] {
                       // The dialog with its message where it stands (offscreen: no frames).
                       QImage shot = DialogWidget()->grab().toImage();
                       QMessageBox *box = qtwin::testing::OpenMessageBoxes().front().box;
                       QPainter(&shot).drawImage(
                           DialogWidget()->mapFromGlobal(box->mapToGlobal(QPoint())),
                           box->grab().toImage());
                       SaveScreenshot(shot, "failure-message.png");
                       NoteMessage(true);
                   }),
                   Pause(200), Do([] { Click(IDCANCEL); }), [] { return Dialog() == nullptr; },
                   Do([=] {
                       setenv("IFDIAG_PORT", sim::SlavePath(box).c_str(), 1);
                       *reopened = testbox::NowNs();
                   })} +
             OpenDialog() + Steps{[=] { return sim::RequestCount(box) >= 2; }, Do([=] {
                                      EXPECT_LT(sim::Log(box)[1].t_ns - *reopened, 700e6);
                                  })} +
             CloseQuietly(box));
    ASSERT_EQ(Messages().size(), 6u);
    EXPECT_FALSE(Messages()[0].dialog_shown || Messages()[1].dialog_shown);
    ExpectLinkMessagesPaced(1);
    sim::Stop(box);
}

// The device goes: while its message is open the displays go on refreshing; closing the
// dialog then ends the message and frees the poll thread; a new opening works.
TEST(Vanish, ClosingWhileAMessageIsOpen) {
    sim::Config cfg = testbox::Fast();
    cfg.fault = sim::Fault::Vanish;
    cfg.fault_after = 4;
    sim::Box *box = testbox::Start(cfg);
    ASSERT_NE(box, nullptr);
    RunSteps(OpenDialog() +
             Steps{[] { return NoteMessage(); }, Do([box] { sim::Reappear(box); }),
                   Pause(2 * DISPLAY_PERIOD_MS + 200), Do([] {
                       EXPECT_EQ(qtwin::testing::OpenMessageBoxes().size(), 1u);
                       EXPECT_EQ(TextOf(IDC_EY), "1110");
                   })} +
             CloseQuietly(box, [] { DialogWidget()->close(); }) + OpenDialog() +
             Steps{[] { return TextOf(IDC_EX) == "291"; }} + CloseQuietly(box));
    EXPECT_EQ(Messages().size(), 1u);
    ExpectLinkMessagesPaced(0);
    sim::Stop(box);
}

// Opened and closed hundreds of times against a slow box, every other time before the
// first cycle: no request after a close, no message, no descriptor or thread left over,
// nothing hangs (LeakSanitizer, in the sanitizer build, checks memory).
TEST(Churn, HundredsOfOpeningsAgainstASlowBox) {
    constexpr int OPENINGS = 300, WARM_UP = 20;
    sim::Config cfg = testbox::Fast();
    cfg.fault = sim::Fault::Slow;
    cfg.slow_ms = 2;
    sim::Box *box = testbox::Start(cfg);
    ASSERT_NE(box, nullptr);
    int done = 0, fds = 0, threads = 0;
    size_t mark = 0, start = 0;
    Steps steps = {MainWindow};
    for (int i = 0; i < OPENINGS; ++i)
        steps = steps +
                Steps{Do([&] {
                          if (done == WARM_UP)
                              fds = testbox::Entries("/proc/self/fd"),
                              threads = testbox::Entries("/proc/self/task"), sim::ClearLog(box);
                          start = sim::RequestCount(box);
                          PostMessageA(MainWindow(), WM_COMMAND, IDM_START, 0);
                      }),
                      [] { return Dialog() && DialogWidget()->isVisible(); },
                      Do([] { Click(IDC_RECHTS1); }),
                      [&] { return done % 2 || sim::RequestCount(box) >= 4; },
                      Do([] { Click(IDCANCEL); }),
                      Pause(10), // what was written before the close reaches the box
                      Do([&] { mark = sim::RequestCount(box); }),
                      Pause(POLL_DELAY_MS + 5), // and a cycle due after the close would have begun
                      Do([&] {
                          const auto log = sim::Log(box); // the opening switched the motors off
                          EXPECT_TRUE(log.size() == mark && mark > start &&
                                      log[start].code == 0xC1 && log[start].motor == 0)
                              << "opening " << done;
                          ++done;
                      })};
    RunSteps(steps, 30);
    EXPECT_EQ(done, OPENINGS);
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(testbox::Entries("/proc/self/fd"), fds);
    EXPECT_EQ(testbox::Entries("/proc/self/task"), threads);
    sim::Stop(box);
}
