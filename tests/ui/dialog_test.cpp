// The program on the Qt layer (offscreen), driven by mouse and keys as a user drives it,
// against ifbox-sim over a pseudo-terminal.
#include <QStyle>
#include <tuple>

#include "link/link.h"
#include "monitor/iostate.h"
#include "tests/ui/ui_support.h"

using namespace uitest;

TEST(MainWindow, LooksAsItShouldBeendenAndTheCloseBoxEndIt) {
    RunSteps({MainFrame, Do([] { // with its icon, the client area dark grey all over
                  EXPECT_FALSE(MainFrame()->windowIcon().isNull());
                  QImage img = MainFrame()->centralWidget()->grab().toImage();
                  for (int y = 0; y < img.height(); ++y)
                      for (int x = 0; x < img.width(); ++x)
                          ASSERT_EQ(img.pixel(x, y), qRgb(0x40, 0x40, 0x40)) << x << "," << y;
              })});
    RunSteps({MainFrame}, 60, Do([] { MainFrame()->close(); }));
}

// Only plain clicks act: other notifications carry the id too; Enter in an edit sends IDOK,
// Enter on a button clicks it.
static void ExpectOnlyClicksAct() {
    for (WPARAM code : {1u, 5u, 6u, 7u})
        for (WPARAM id : {IDC_RECHTS1, IDC_RESET1 + 1, IDCANCEL})
            SendMessageA(CurrentDialog(), WM_COMMAND, code << 16 | id, 0);
    Control(IDC_EX)->setFocus();
    QTest::keyClick(Control(IDC_EX), Qt::Key_Enter);
    EXPECT_EQ(MotorByte.load(), 0x48);
    Control(IDC_STOP2)->setFocus();
    QTest::keyClick(Control(IDC_STOP2), Qt::Key_Return);
    EXPECT_EQ(MotorByte.load(), 0x40);
}

// No text clipped: its font metrics fit inside the frame (an edit keeps 2 and 1 more
// pixels free, as QLineEdit draws its text).
static void ExpectNoTextClipped() {
    for (QWidget *w : DialogWidget()->findChildren<QWidget *>()) {
        int f = w->inherits("QLabel") ? 0 : w->style()->pixelMetric(QStyle::PM_DefaultFrameWidth);
        int edit = w->inherits("QLineEdit");
        QString text = w->property("text").toString();
        QSize need = w->fontMetrics().size(0, text) + QSize(2 * f + 4 * edit, 2 * f + edit * 2);
        EXPECT_EQ(need.boundedTo(w->size()), need) << qPrintable(text);
    }
}

// An opening counts edges from the box's inputs then, whatever counts and inputs came before.
TEST(TestDialog, ButtonsReachTheBoxAndDisplaysRefreshEverySecond) {
    sim::Config cfg = testbox::Fast();
    cfg.input_mode = sim::InputMode::Flip;
    cfg.input_byte = 0xA5;
    cfg.flip_mask = 0x21; // E1 and E6 change at every poll
    cfg.analog_ex = 1234;
    cfg.analog_ey = 65535;
    sim::Box *box = testbox::Start(cfg);
    ASSERT_NE(box, nullptr);
    for (auto &counter : EdgeCounters)
        counter = 7;
    PreviousInputs = 0x5A; // every input differs from the box's
    // From all off, each click changes only its motor's two bits.
    const std::pair<int, BYTE> presses[] = {
        {IDC_RECHTS1, 0x02}, {IDC_RECHTS1, 0x02}, {IDC_LINKS1, 0x01},  {IDC_STOP1, 0x00},
        {IDC_RECHTS2, 0x08}, {IDC_LINKS2, 0x04},  {IDC_STOP2, 0x00},   {IDC_RECHTS3, 0x20},
        {IDC_LINKS3, 0x10},  {IDC_STOP3, 0x00},   {IDC_RECHTS4, 0x80}, {IDC_LINKS4, 0x40},
        {IDC_STOP4, 0x00},   {IDC_RECHTS2, 0x08}, {IDC_LINKS4, 0x48},
    };
    auto shown = std::make_shared<std::vector<int64_t>>(); // E1's refreshes (E1 always changes)
    Steps steps =
        OpenDialog() + Steps{Do([=] {
            QObject::connect(static_cast<QLineEdit *>(Control(IDC_COUNT1)), &QLineEdit::textChanged,
                             [=] { shown->push_back(testbox::NowNs()); });
        })};
    for (const auto &[id, motors] : presses) // each reaches the box with the next request
        steps = steps + Steps{Do([id = id] { Click(id); }),
                              [=, motors = motors] { return sim::Motors(box) == motors; }};
    steps = steps + Steps{Do(ExpectOnlyClicksAct), [] { return TextOf(IDC_EX) == "1234"; }, Do([] {
                              EXPECT_EQ(TextOf(IDC_EY), "65535");
                              ExpectNoTextClipped();
                              for (int i = 0; i < 8; ++i)
                                  EXPECT_EQ(TextOf(IDC_COUNT1 + i) == "0", i != 0 && i != 5) << i;
                              Click(IDC_RESET1 + 5); // E6 shows 0 at once
                              EXPECT_EQ(TextOf(IDC_COUNT1 + 5), "0");
                              EdgeCounters[2] = 4294967295u; // shown unsigned, in full
                          }),
                          [] { return TextOf(IDC_COUNT1 + 2) == "4294967295"; }};
    // A late refresh may be followed by one on time, as in Win32: the k-th comes no sooner
    // than k x 0.9 s after the opening's request.
    RunSteps(steps + Steps{[=] { return shown->size() >= 4; }, Do([=] {
                               for (size_t k = 1; k <= shown->size(); ++k)
                                   EXPECT_GE((*shown)[k - 1] - sim::Log(box)[0].t_ns, k * 900e6)
                                       << k;
                           })} +
             Close());
    // A cycle starts 20 ms after the last EY reply: never sooner than 19 ms (no timer fires early).
    const auto log = sim::Log(box);
    for (size_t i = 4; i < log.size(); i += 3)
        EXPECT_GE(log[i].t_ns - log[i - 1].t_ns, 19e6) << i;
    sim::Stop(box);
}

// Its frame and keys as in Win32; each way of closing runs the dialog procedure.
TEST(TestDialog, AbbrechenEscapeAndTheCloseBoxCloseAlike) {
    sim::Box *box = testbox::Start(testbox::Fast());
    ASSERT_NE(box, nullptr);
    // The buttons before the first label are one group; "Motor 4" starts the one with
    // Abbrechen, the displays and Resets; labels are skipped; an edit keeps its arrows.
    const std::tuple<int, Qt::Key, int> moves[] = {
        {IDC_RECHTS1, Qt::Key_Right, IDC_STOP1}, {IDC_STOP4, Qt::Key_Down, IDC_RECHTS1},
        {IDC_RECHTS1, Qt::Key_Up, IDC_STOP4},    {IDCANCEL, Qt::Key_Right, IDC_COUNT1},
        {IDCANCEL, Qt::Key_Left, IDC_RESET8},    {IDC_COUNT1, Qt::Key_Down, IDC_COUNT1}};
    Steps steps = OpenDialog();
    steps.push_back([] { // what Enter presses is framed, as in Win32
        return DialogWidget()->testAttribute(Qt::WA_KeyboardFocusChange) &&
               Control(IDC_RECHTS1)->hasFocus();
    });
    for (auto [from, key, to] : moves)
        steps.push_back(Do([from = from, key = key, to = to] {
            Control(from)->setFocus();
            PressKey(key);
            EXPECT_EQ(DialogWidget()->focusWidget(), Control(to)) << from;
        }));
    // 309 x 254 units at 6 x 13 base units, at the owner's client origin; never minimised.
    steps.push_back(Do([] {
        EXPECT_EQ(DialogWidget()->size(), QSize(464, 413));
        EXPECT_EQ(DialogWidget()->frameGeometry().topLeft(),
                  MainFrame()->centralWidget()->mapToGlobal(QPoint()));
        EXPECT_EQ(MotorByte, 0); // no arrow clicked a button
        DialogWidget()->showMinimized();
    }));
    steps.push_back([] { return !DialogWidget()->isMinimized(); });
    for (auto close : std::vector<std::function<void()>>{[] { Click(IDCANCEL); },
                                                         [] { PressKey(Qt::Key_Escape); },
                                                         [] { DialogWidget()->close(); }})
        steps = steps + Close(close) +
                Steps{Do([] { EXPECT_EQ(PortHandle.load(), INVALID_HANDLE_VALUE); })} +
                OpenDialog();
    RunSteps(steps + Close());
    sim::Stop(box);
}
