// The program on the Qt layer (offscreen), driven by mouse and keys as a user drives it,
// against ifbox-sim over a pseudo-terminal.
#include <QApplication>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QTest>
#include <gtest/gtest.h>

#include <map>

#include "link/link.h"
#include "monitor/iostate.h"
#include "platform/qt/rc.h"
#include "tests/ui/ui_support.h"

using namespace uitest;

namespace {

void ExpectDarkGrey() {
    QImage img = qtwin::testing::Grab(MainWindow()).convertToFormat(QImage::Format_RGB32);
    int wrong = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            wrong += img.pixel(x, y) != qRgb(0x40, 0x40, 0x40);
    EXPECT_EQ(wrong, 0) << img.width() << "x" << img.height();
}

} // namespace

TEST(MainWindow, MenuOpensAFreshDialogEachTimeAndEnds) {
    sim::Box *box = StartBox(QuietBox());
    ASSERT_NE(box, nullptr);
    auto first = std::make_shared<HWND>();
    auto mark = std::make_shared<size_t>();
    auto frame = [] {
        return qobject_cast<QMainWindow *>(qtwin::testing::WidgetFor(MainWindow()));
    };
    Schedule(std::vector<Step>{
                 WaitUntil(MainWindow),
                 Do([frame] {
                     EXPECT_EQ(frame()->windowTitle(), "Interface - Diagnose");
                     EXPECT_EQ(qtwin::testing::ClassNameOf(MainWindow()), "IFdiag");
                     EXPECT_FALSE(frame()->windowIcon().isNull());
                     auto menus = frame()->menuBar()->actions();
                     ASSERT_EQ(menus.size(), 1);
                     EXPECT_EQ(menus[0]->text(), "&Programm");
                     auto items = menus[0]->menu()->actions();
                     ASSERT_EQ(items.size(), 2);
                     EXPECT_EQ(items[0]->text(), "&Start");
                     EXPECT_EQ(items[1]->text(), "&Beenden");
                     frame()->resize(700, 520);
                 }),
                 Pause(100),
                 Do([frame] {
                     ExpectDarkGrey();
                     SaveScreenshot(frame()->grab().toImage(), "main-window.png");
                     frame()->resize(300, 200);
                 }),
                 Pause(100),
                 Do(ExpectDarkGrey),
             } +
             OpenDialog() +
             std::vector<Step>{
                 Do([first] {
                     *first = Dialog();
                     // 309 x 254 dialog units at 6 x 13 base units; at the owner's client origin.
                     EXPECT_EQ(DialogWidget()->size(), QSize(464, 413));
                     EXPECT_EQ(DialogWidget()->windowTitle(), "Interface testen");
                     EXPECT_EQ(DialogWidget()->frameGeometry().topLeft(),
                               qtwin::testing::ClientAreaFor(MainWindow())->mapToGlobal(QPoint()));
                 }),
                 WaitUntil([box] { return sim::RequestCount(box) > 3; }),
                 Do([] { Click(IDCANCEL); }),
                 WaitUntil([] { return Dialog() == nullptr; }),
                 Do([box, mark] { *mark = sim::RequestCount(box); }),
             } +
             OpenDialog() +
             std::vector<Step>{
                 Do([first] { EXPECT_NE(Dialog(), *first); }),
                 WaitUntil([box, mark] { return sim::RequestCount(box) > *mark + 3; }),
                 Do([] { Click(IDCANCEL); }),
                 WaitUntil([] { return Dialog() == nullptr; }),
             } +
             ChooseMenu('B'));
    EXPECT_EQ(RunProgram(), 0);
    EXPECT_TRUE(AllStepsDone());
    // Closing the main window ends the program as well.
    Schedule({WaitUntil(MainWindow), Do([frame] { frame()->close(); })});
    EXPECT_EQ(RunProgram(), 0);
    EXPECT_TRUE(AllStepsDone());
    sim::Stop(box);
}

TEST(TestDialog, ButtonsReachTheBoxAndDisplaysRefreshEverySecond) {
    sim::Config cfg = QuietBox();
    cfg.input_mode = sim::InputMode::Flip;
    cfg.flip_mask = 0x21; // E1 and E6 change at every poll
    cfg.analog_ex = 1234;
    cfg.analog_ey = 65535;
    sim::Box *box = StartBox(cfg);
    ASSERT_NE(box, nullptr);
    // From all off, each click changes only its motor's two bits.
    const std::pair<int, BYTE> presses[] = {
        {IDC_RECHTS1, 0x02}, {IDC_RECHTS1, 0x02}, {IDC_LINKS1, 0x01},  {IDC_STOP1, 0x00},
        {IDC_RECHTS2, 0x08}, {IDC_LINKS2, 0x04},  {IDC_STOP2, 0x00},   {IDC_RECHTS3, 0x20},
        {IDC_LINKS3, 0x10},  {IDC_STOP3, 0x00},   {IDC_RECHTS4, 0x80}, {IDC_LINKS4, 0x40},
        {IDC_STOP4, 0x00},   {IDC_RECHTS2, 0x08}, {IDC_LINKS4, 0x48},
    };
    std::vector<Step> steps = OpenDialog() + std::vector<Step>{Do([] {
                                  for (int id : DisplayIds())
                                      EXPECT_EQ(TextOf(id), "") << id;
                              })};
    auto mark = std::make_shared<size_t>(0);
    auto before = std::make_shared<BYTE>(0);
    for (const auto &[id, motors] : presses) {
        steps.push_back(Do([=] {
            *mark = sim::RequestCount(box);
            *before = MotorByte.load();
            Click(id);
            EXPECT_EQ(MotorByte.load(), motors) << id;
        }));
        steps.push_back(WaitUntil([=] { return sim::RequestCount(box) >= *mark + 4; }));
        steps.push_back(Do([=] {
            auto log = sim::Log(box);
            EXPECT_EQ(log.back().motor, motors) << id;
            for (size_t i = *mark; i < log.size(); ++i) // straight from old to new
                EXPECT_TRUE(log[i].motor == *before || log[i].motor == motors) << id;
        }));
    }
    auto seen = std::make_shared<QString>();
    RunSteps(steps + std::vector<Step>{
                         Do([] {
                             // Only plain clicks act: other notifications carry the id too.
                             for (WPARAM code : {1u, 5u, 6u, 7u})
                                 for (WPARAM id : {IDC_RECHTS1, IDC_RESET1 + 1, IDCANCEL})
                                     SendMessageA(Dialog(), WM_COMMAND, code << 16 | id, 0);
                             SendMessageA(Dialog(), WM_COMMAND, IDOK, 0);
                             QTest::mouseClick(Edit(IDC_COUNT1), Qt::LeftButton);
                             QTest::keyClick(Edit(IDC_COUNT1), Qt::Key_Return);
                             QTest::keyClick(Edit(IDC_EX), Qt::Key_Enter);
                             EXPECT_EQ(MotorByte.load(), 0x48);
                             Button(IDC_STOP2)->setFocus(); // Enter on a button clicks it
                             QTest::keyClick(Button(IDC_STOP2), Qt::Key_Return);
                             EXPECT_EQ(MotorByte.load(), 0x40);
                         }),
                         WaitUntil([] { return TextOf(IDC_EX) == "1234"; }),
                         Do([seen] {
                             EXPECT_NE(Dialog(), nullptr);
                             EXPECT_EQ(TextOf(IDC_EY), "65535");
                             for (int i = 0; i < 8; ++i)
                                 EXPECT_EQ(TextOf(IDC_COUNT1 + i) == "0", i != 0 && i != 5) << i;
                             *seen = TextOf(IDC_COUNT1);
                         }),
                         WaitUntil([seen] { return TextOf(IDC_COUNT1) != *seen; }),
                         Do([seen] {
                             EXPECT_GT(TextOf(IDC_COUNT1).toUInt(), seen->toUInt());
                             // Reset under E6 shows 0 at once; the other displays stay.
                             std::map<int, QString> shown;
                             for (int id : DisplayIds())
                                 shown[id] = TextOf(id);
                             Click(IDC_RESET1 + 5);
                             for (int id : DisplayIds())
                                 EXPECT_EQ(TextOf(id), id == IDC_COUNT1 + 5 ? "0" : shown[id]);
                             EXPECT_LE(EdgeCounters[5].load(), 2u);
                             EdgeCounters[2] = 4294967295u; // shown unsigned, in full
                         }),
                         WaitUntil([] { return TextOf(IDC_COUNT1 + 2) == "4294967295"; }),
                         Do([] { Click(IDCANCEL); }),
                         WaitUntil([] { return Dialog() == nullptr; }),
                     });
    sim::Stop(box);
}

// Nothing is sent when the dialog closes: the motors keep their byte; the next opening
// sends 0 first, on a fresh connection, into empty displays.
TEST(TestDialog, AbbrechenEscapeAndTheCloseBoxCloseAlike) {
    sim::Box *box = StartBox(QuietBox());
    ASSERT_NE(box, nullptr);
    std::vector<Step> steps = OpenDialog();
    auto mark = std::make_shared<size_t>();
    for (auto close : std::vector<std::function<void()>>{[] { Click(IDCANCEL); },
                                                         [] { PressKey(Qt::Key_Escape); },
                                                         [] { DialogWidget()->close(); }}) {
        steps = steps +
                std::vector<Step>{Do([] { Click(IDC_RECHTS2); }),
                                  WaitUntil([box] { return sim::Motors(box) == 0x08; })} +
                CloseQuietly(box, close) + std::vector<Step>{Do([box, mark] {
                    EXPECT_EQ(MotorByte.load(), 0x08);
                    *mark = sim::RequestCount(box);
                })} +
                OpenDialog() +
                std::vector<Step>{WaitUntil([box, mark] { return sim::RequestCount(box) > *mark; }),
                                  Do([box, mark] {
                                      EXPECT_EQ(sim::Log(box)[*mark].code, REQ_INPUTS);
                                      EXPECT_EQ(sim::Log(box)[*mark].motor, 0x00);
                                      for (int id : DisplayIds())
                                          EXPECT_EQ(TextOf(id), "") << id;
                                  })};
    }
    RunSteps(steps + std::vector<Step>{Do([] { Click(IDCANCEL); })});
    EXPECT_TRUE(Messages().empty());
    sim::Stop(box);
}

TEST(ResourceScript, AnythingUnsupportedIsRefusedWithItsLine) {
    qtwin::ResourceScript s;
    std::string error;
    EXPECT_FALSE(qtwin::ParseResourceScript("X DIALOG 0,0,1,1\nBEGIN\n  LISTBOX 1,0,0,1,1\nEND\n",
                                            &s, &error));
    EXPECT_NE(error.find("line 3"), std::string::npos) << error;
}
