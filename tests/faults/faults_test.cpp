// Faults of the box and its line through the running program: the real link, poll cycle
// and Qt dialog (offscreen) against ifbox-sim. What each fault does to the values and
// messages is the link's table (tests/link); here is what the user meets.
#include "monitor/poll.h"
#include "tests/support/messages.h"
#include "tests/ui/ui_support.h"

using namespace uitest;

// No device behind "COM2": the link message while the dialog opens, then one per exchange, each a
// second or more after the one before was dismissed, so that the user can reach "Abbrechen" in
// between; the displays refresh on meanwhile. Closed while a message is open, the dialog takes
// it along, frees the poll thread (the only timer thread) and ends its wait: it polls at once.
TEST(PortMissing, MessagesArePacedSoTheUserCanClose) {
    sim::Box *box = testbox::Start(testbox::Fast());
    ASSERT_NE(box, nullptr);
    testbox::PointAtMissingPort();
    RunSteps(OpenDialog() +
             Steps{[] { return NoteMessage(true) && Messages.size() == 2; },
                   [] { return NoteMessage() && Messages.size() == 3; },
                   Do([] { static_cast<QLineEdit *>(Control(IDC_EY))->clear(); }),
                   [] { return TextOf(IDC_EY) != ""; }} +
             Close([] { DialogWidget()->close(); }) +
             Steps{Do([=] { setenv("IFDIAG_PORT", sim::SlavePath(box).c_str(), 1); })} +
             OpenDialog() + Steps{[=] { return sim::RequestCount(box) >= 2; }} + Close());
    EXPECT_LT(sim::Log(box)[1].t_ns - sim::Log(box)[0].t_ns, 700e6); // the opening's, a cycle's
    ASSERT_EQ(Messages.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(Messages[i].text, QString::fromLatin1(LINK_TEXT)) << i;
        EXPECT_TRUE(i == 0 || Messages[i].shown_ms - Messages[i - 1].dismissed_ms >= 950) << i;
    }
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
    size_t start = 0;
    Steps steps;
    for (int i = 0; i < OPENINGS; ++i)
        steps = steps + Steps{Do([&] {
                    if (done == WARM_UP)
                        fds = testbox::Entries("/proc/self/fd"),
                        threads = testbox::Entries("/proc/self/task"), sim::ClearLog(box);
                    start = sim::RequestCount(box);
                })} +
                OpenDialog() +
                Steps{Do([] { Click(IDC_RECHTS1); }),
                      [&] { return done % 2 || sim::RequestCount(box) >= 4; }} +
                Close() + Steps{Do([&] {
                    QTest::qSleep(10); // what was written before the close reaches the box
                    size_t mark = sim::RequestCount(box);
                    QTest::qSleep(POLL_DELAY_MS + 5); // and a cycle due after it would begin
                    const auto log = sim::Log(box);   // the opening switched the motors off
                    EXPECT_TRUE(log.size() == mark && mark > start && log[start].code == 0xC1 &&
                                log[start].motor == 0)
                        << "opening " << done;
                    ++done;
                })};
    RunSteps(steps, 30);
    EXPECT_TRUE(Messages.empty());
    EXPECT_EQ(testbox::Entries("/proc/self/fd"), fds);
    EXPECT_EQ(testbox::Entries("/proc/self/task"), threads);
    sim::Stop(box);
}
