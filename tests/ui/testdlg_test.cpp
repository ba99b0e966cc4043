// The test dialog in the running program, against ifbox-sim over a pseudo-terminal,
// driven with key and mouse events.
#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <gtest/gtest.h>

#include "link/link.h"
#include "monitor/iostate.h"
#include "tests/ui/ui_support.h"
#include "ui/ui.h"

using namespace uitest;

namespace {

// Requests the box received from index `from` on.
std::vector<sim::Request> LogFrom(sim::Box *box, size_t from) {
    auto log = sim::Log(box);
    return from < log.size()
               ? std::vector<sim::Request>(log.begin() + static_cast<long>(from), log.end())
               : std::vector<sim::Request>();
}

// Open the dialog as a user does: Alt+P, S.
std::vector<Step> OpenDialogSteps() {
    return std::vector<Step>{WaitUntil([] { return MainWindow() != nullptr; })} + ChooseMenu('S') +
           std::vector<Step>{WaitUntil([] { return Dialog() && DialogWidget()->isVisible(); })};
}

} // namespace

TEST(TestDialog, EachMotorButtonReachesTheBoxAsItsMotorByte) {
    sim::Box *box = StartBox(QuietBox());
    ASSERT_NE(box, nullptr);
    struct Press {
        int id;
        BYTE motors;
    };
    // From all off: each click changes only its motor's two bits.
    const Press presses[] = {
        {1000, 0x02}, {1000, 0x02}, {1001, 0x01}, {1002, 0x00}, {1003, 0x08},
        {1004, 0x04}, {1005, 0x00}, {1006, 0x20}, {1007, 0x10}, {1008, 0x00},
        {1009, 0x80}, {1010, 0x40}, {1011, 0x00}, {1003, 0x08}, {1010, 0x48},
    };
    std::vector<Step> steps = OpenDialogSteps();
    auto mark = std::make_shared<size_t>(0);
    auto before = std::make_shared<BYTE>(0);
    for (const Press &p : presses) {
        steps.push_back(Do([p, mark, before, box] {
            *mark = sim::RequestCount(box);
            *before = MotorByte.load();
            Click(p.id);
            EXPECT_EQ(MotorByte.load(), p.motors) << p.id;
        }));
        // Three requests later the box has surely been told (one cycle carries it).
        steps.push_back(WaitUntil([mark, box] { return sim::RequestCount(box) >= *mark + 4; }));
        steps.push_back(Do([p, mark, before, box] {
            auto log = LogFrom(box, *mark);
            EXPECT_EQ(log.back().motor, p.motors) << p.id;
            // Straight from the old byte to the new one, nothing in between.
            for (auto &r : log)
                EXPECT_TRUE(r.motor == *before || r.motor == p.motors)
                    << p.id << ": " << int(r.motor);
        }));
    }
    steps.push_back(Do([] { Click(IDCANCEL); }));
    steps.push_back(Quit());
    Schedule(steps);
    EXPECT_EQ(RunProgram(), 0);
    EXPECT_TRUE(AllStepsDone());
    auto log = sim::Log(box);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front().code, 0xC1); // the opening's exchange, all motors off
    EXPECT_EQ(log.front().motor, 0x00);
    sim::Stop(box);
}

TEST(TestDialog, OnlyPlainClicksAct) {
    sim::Box *box = StartBox(QuietBox());
    ASSERT_NE(box, nullptr);
    Schedule(OpenDialogSteps() +
             std::vector<Step>{
                 Do([] {
                     EdgeCounters[0] = 7;
                     // A control's other notifications carry its id in the low word
                     // too; acting on them would switch motors on focus changes.
                     for (WPARAM code : {1u, 5u, 6u, 7u}) {
                         SendMessageA(Dialog(), WM_COMMAND, code << 16 | 1000, 0);
                         SendMessageA(Dialog(), WM_COMMAND, code << 16 | 1020, 0);
                         SendMessageA(Dialog(), WM_COMMAND, code << 16 | IDCANCEL, 0);
                     }
                     SendMessageA(Dialog(), WM_COMMAND, IDOK, 0);
                     EXPECT_EQ(MotorByte.load(), 0x00);
                     EXPECT_EQ(EdgeCounters[0].load(), 7u);
                     EXPECT_NE(Dialog(), nullptr);
                 }),
                 Pause(100),
                 Do([] { EXPECT_NE(Dialog(), nullptr); }),
                 Do([] { Click(IDCANCEL); }),
                 Quit(),
             });
    EXPECT_EQ(RunProgram(), 0);
    EXPECT_TRUE(AllStepsDone());
    sim::Stop(box);
}

TEST(TestDialog, DisplaysShowCountersAndAnalogValuesEverySecond) {
    sim::Config cfg = QuietBox();
    cfg.input_mode = sim::InputMode::Flip;
    cfg.flip_mask = 0x21; // E1 and E6 change at every poll
    cfg.analog_ex = 1234;
    cfg.analog_ey = 65535;
    sim::Box *box = StartBox(cfg);
    ASSERT_NE(box, nullptr);
    auto seen = std::make_shared<QString>();
    Schedule(OpenDialogSteps() +
             std::vector<Step>{
                 // Empty until the first refresh.
                 Do([] {
                     for (int id : DisplayIds())
                         EXPECT_EQ(TextOf(id), "") << id;
                 }),
                 WaitUntil([] { return TextOf(1028) == "1234"; }),
                 Do([seen] {
                     EXPECT_EQ(TextOf(1029), "65535");
                     EXPECT_NE(TextOf(1012), "0");
                     EXPECT_NE(TextOf(1017), "0");
                     for (int id : {1013, 1014, 1015, 1016, 1018, 1019})
                         EXPECT_EQ(TextOf(id), "0") << id;
                     *seen = TextOf(1012);
                 }),
                 // The next refresh shows the counts grown.
                 WaitUntil([seen] { return TextOf(1012) != *seen; }),
                 Do([seen] { EXPECT_GT(TextOf(1012).toUInt(), seen->toUInt()); }),
                 // Reset under E6 shows 0 at once and leaves the others as they were.
                 Do([] {
                     std::map<int, QString> before;
                     for (int id : DisplayIds())
                         before[id] = TextOf(id);
                     Click(1025);
                     for (int id : DisplayIds())
                         EXPECT_EQ(TextOf(id), id == 1017 ? "0" : before[id]) << id;
                     EXPECT_LE(EdgeCounters[5].load(), 2u);
                 }),
                 // A counter shows its full unsigned range.
                 Do([] { EdgeCounters[2] = 4294967295u; }),
                 WaitUntil([] { return TextOf(1014) == "4294967295"; }),
                 Do([] { Click(IDCANCEL); }),
                 Quit(),
             });
    EXPECT_EQ(RunProgram(), 0);
    EXPECT_TRUE(AllStepsDone());
    sim::Stop(box);
}

TEST(TestDialog, EnterInADisplayDoesNothing) {
    sim::Box *box = StartBox(QuietBox());
    ASSERT_NE(box, nullptr);
    Schedule(OpenDialogSteps() + std::vector<Step>{
                                     Do([] { Click(1003); }),
                                     Do([] {
                                         QTest::mouseClick(Edit(1012), Qt::LeftButton);
                                         QTest::keyClick(Edit(1012), Qt::Key_Return);
                                         QTest::keyClick(Edit(1028), Qt::Key_Enter);
                                     }),
                                     Pause(300),
                                     Do([] {
                                         EXPECT_NE(Dialog(), nullptr);
                                         EXPECT_TRUE(DialogWidget()->isVisible());
                                         EXPECT_EQ(MotorByte.load(), 0x08);
                                         EXPECT_EQ(OpenBoxes(), 0);
                                     }),
                                     Do([] { Click(IDCANCEL); }),
                                     Quit(),
                                 });
    EXPECT_EQ(RunProgram(), 0);
    EXPECT_TRUE(AllStepsDone());
    sim::Stop(box);
}

// Escape, the close box and "Abbrechen" close alike: polling stops, nothing is sent,
// the motors keep their byte; the next opening sends 0 first, on a fresh connection.
void CloseAndReopen(std::function<void()> close) {
    sim::Box *box = StartBox(QuietBox());
    ASSERT_NE(box, nullptr);
    auto first = std::make_shared<HWND>();
    auto atClose = std::make_shared<size_t>();
    Schedule(OpenDialogSteps() +
             std::vector<Step>{
                 Do([first] {
                     *first = Dialog();
                     Click(1003); // motor 2 right
                 }),
                 WaitUntil([box] { return sim::Motors(box) == 0x08; }),
                 Do(close),
                 WaitUntil([] { return Dialog() == nullptr; }),
                 Do([box, atClose] {
                     EXPECT_EQ(MotorByte.load(), 0x08);
                     EXPECT_EQ(PortHandle.load(), INVALID_HANDLE_VALUE);
                     *atClose = sim::RequestCount(box);
                 }),
                 Pause(500),
                 Do([box, atClose] {
                     EXPECT_EQ(sim::RequestCount(box), *atClose); // polling has stopped
                 }),
             } +
             OpenDialogSteps() +
             std::vector<Step>{
                 WaitUntil([box, atClose] { return sim::RequestCount(box) > *atClose; }),
                 Do([box, atClose, first] {
                     EXPECT_NE(Dialog(), *first);
                     auto log = LogFrom(box, *atClose);
                     EXPECT_EQ(log.front().code, 0xC1);
                     EXPECT_EQ(log.front().motor, 0x00);
                     for (int id : DisplayIds())
                         EXPECT_EQ(TextOf(id), "") << id; // a fresh dialog
                 }),
                 Do([] { Click(IDCANCEL); }),
                 Quit(),
             });
    EXPECT_EQ(RunProgram(), 0);
    EXPECT_TRUE(AllStepsDone());
    sim::Stop(box);
}

TEST(TestDialog, AbbrechenClosesAndReopeningSendsZeroFirst) {
    CloseAndReopen([] { Click(IDCANCEL); });
}

TEST(TestDialog, EscapeClosesLikeAbbrechen) {
    CloseAndReopen([] { QTest::keyClick(Button(1003), Qt::Key_Escape); });
}

TEST(TestDialog, CloseBoxClosesLikeAbbrechen) {
    CloseAndReopen([] { DialogWidget()->close(); });
}

TEST(TestDialog, Screenshot) {
    sim::Config cfg = QuietBox();
    cfg.input_mode = sim::InputMode::Flip;
    cfg.flip_mask = 0x05;
    sim::Box *box = StartBox(cfg);
    ASSERT_NE(box, nullptr);
    Schedule(OpenDialogSteps() + std::vector<Step>{
                                     Do([] { EdgeCounters[7] = 4294967295u; }),
                                     WaitUntil([] { return TextOf(1028) == "291"; }),
                                     Do([] {
                                         SaveScreenshot(DialogWidget()->grab().toImage(),
                                                        "test-dialog.png");
                                         Click(IDCANCEL);
                                     }),
                                     Quit(),
                                 });
    EXPECT_EQ(RunProgram(), 0);
    EXPECT_TRUE(AllStepsDone());
    sim::Stop(box);
}
