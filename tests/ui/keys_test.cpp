// The dialog's frame and arrow keys as in Win32.
#include <gtest/gtest.h>
#include <tuple>

#include "link/link.h"
#include "tests/ui/ui_support.h"

using namespace uitest;

TEST(DialogKeys, ArrowsMoveWithinTheGroupWithoutClickingAndTheFrameCannotBeMinimised) {
    sim::Box *box = testbox::Start(testbox::Fast());
    ASSERT_NE(box, nullptr);
    // The buttons before the first label are one group; "Motor 4" starts the one with
    // Abbrechen, the displays and Resets; labels are skipped; an edit keeps its arrows.
    const std::tuple<int, Qt::Key, int> moves[] = {
        {IDC_RECHTS1, Qt::Key_Right, IDC_STOP1}, {IDC_STOP4, Qt::Key_Down, IDC_RECHTS1},
        {IDC_RECHTS1, Qt::Key_Up, IDC_STOP4},    {IDCANCEL, Qt::Key_Right, IDC_COUNT1},
        {IDCANCEL, Qt::Key_Left, IDC_RESET8},    {IDC_COUNT1, Qt::Key_Down, IDC_COUNT1}};
    Steps steps = OpenDialog();
    for (auto move : moves)
        steps.push_back(Do([move] {
            auto [from, key, to] = move;
            qtwin::testing::WidgetFor(GetDlgItem(Dialog(), from))->setFocus();
            PressKey(key);
            EXPECT_EQ(qtwin::testing::ControlIdOf(DialogWidget()->focusWidget()), to) << from;
        }));
    steps =
        steps +
        Steps{Do([] {
                  Qt::WindowFlags f = DialogWidget()->windowFlags();
                  EXPECT_TRUE(f & Qt::WindowCloseButtonHint);
                  EXPECT_FALSE(f & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
                  EXPECT_EQ(MotorByte, 0); // no button was clicked
                  DialogWidget()->showMinimized();
              }),
              [] { return !DialogWidget()->isMinimized(); }} +
        CloseQuietly(box);
    RunSteps(steps);
    sim::Stop(box);
}
