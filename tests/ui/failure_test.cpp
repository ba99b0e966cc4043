// Failure messages in the running program: no device behind "COM2".
#include <QApplication>
#include <QMessageBox>
#include <QPainter>
#include <QTest>
#include <gtest/gtest.h>

#include "link/link.h"
#include "monitor/iostate.h"
#include "tests/ui/ui_support.h"
#include "ui/ui.h"

using namespace uitest;

namespace {

const QString LINK_TEXT =
    QString::fromUtf8("Bitte überprüfen Sie die serielle Verbindung zum Interface");

bool LinkMessageFromDialog() {
    auto boxes = qtwin::testing::OpenMessageBoxes();
    if (boxes.size() != 1)
        return false;
    EXPECT_EQ(boxes[0].title, "Fehler");
    EXPECT_EQ(boxes[0].text, LINK_TEXT);
    EXPECT_EQ(boxes[0].owner, Dialog());
    EXPECT_EQ(boxes[0].box->icon(), QMessageBox::NoIcon);
    return true;
}

// Once the dialog has closed nothing more may come up, and no thread may be left
// waiting in a message; then the program ends.
std::vector<Step> QuietAfterClosing() {
    return {
        Pause(2500),
        Do([] {
            EXPECT_EQ(OpenBoxes(), 0);
            EXPECT_EQ(qtwin::testing::WaitingMessageBoxCallers(), 0);
        }),
        Quit(),
    };
}

std::vector<Step> OpenDialogWithoutPort() {
    return {
        WaitUntil([] { return MainWindow() != nullptr; }),
        Do([] { PostMessageA(MainWindow(), WM_COMMAND, IDM_START, 0); }),
        // The opening's own exchange fails before the dialog is shown.
        WaitUntil([] { return Dialog() && OpenBoxes() == 1; }),
        Do([] {
            EXPECT_TRUE(LinkMessageFromDialog());
            EXPECT_FALSE(DialogWidget()->isVisible());
            DismissBox();
        }),
        WaitUntil([] { return DialogWidget()->isVisible(); }),
    };
}

} // namespace

TEST(FailureMessages, NoPortThreePerCycleWhileDisplaysRefresh) {
    PointAtMissingPort();
    auto dismissed = std::make_shared<int>(0);
    auto dismissOne = [dismissed] {
        return std::vector<Step>{
            WaitUntil([] { return OpenBoxes() == 1; }),
            Do([dismissed] {
                EXPECT_TRUE(LinkMessageFromDialog());
                DismissBox();
                ++*dismissed;
            }),
        };
    };
    std::vector<Step> steps =
        OpenDialogWithoutPort() +
        std::vector<Step>{
            // Empty until the first refresh, which comes while the first cycle's first
            // message is open: the poll thread's box does not hold the dialog's timer.
            Do([] {
                EXPECT_EQ(TextOf(1028), "");
                EXPECT_EQ(TextOf(1029), "");
            }),
            WaitUntil([] { return OpenBoxes() == 1; }),
            WaitUntil([] { return TextOf(1028) == "0"; }),
            Do([] {
                EXPECT_EQ(OpenBoxes(), 1);
                EXPECT_EQ(TextOf(1029), "0");
                EXPECT_EQ(qtwin::testing::WaitingMessageBoxCallers(), 1);
            }),
        };
    // The cycle's three messages, one after the other; then the next cycle's first.
    for (int i = 0; i < 4; ++i)
        steps = steps + dismissOne();
    steps = steps +
            std::vector<Step>{
                WaitUntil([] { return OpenBoxes() == 1; }),
                // Analog values from the untouched reply buffer; no input change counted.
                WaitUntil([] { return TextOf(1028) == "8224" && TextOf(1029) == "8224"; }),
                Do([] {
                    for (int id = 1012; id <= 1019; ++id)
                        EXPECT_EQ(TextOf(id), "0") << id;
                    SaveScreenshot(qtwin::testing::Grab(Dialog()), "test-dialog-no-port.png");
                    // The dialog with its message on top, where the box stands.
                    // Offscreen windows have no frames: a plain caption bar stands in for them.
                    QImage shot = DialogWidget()->grab().toImage();
                    QMessageBox *box = qtwin::testing::OpenMessageBoxes().front().box;
                    QPainter p(&shot);
                    QPoint at = DialogWidget()->mapFromGlobal(box->mapToGlobal(QPoint(0, 0)));
                    QRect caption(at.x(), at.y() - 20, box->width(), 20);
                    p.fillRect(caption, QColor(0x30, 0x50, 0x90));
                    p.setPen(Qt::white);
                    p.drawText(caption.adjusted(6, 0, 0, 0), Qt::AlignVCenter, box->windowTitle());
                    p.drawImage(at, box->grab().toImage());
                    p.setPen(Qt::black);
                    p.drawRect(caption.united(QRect(at, box->size())).adjusted(0, 0, -1, -1));
                    p.end();
                    SaveScreenshot(shot, "failure-message.png");
                    SaveScreenshot(box->grab().toImage(), "failure-message-box.png");
                }),
            } +
            dismissOne();
    steps.push_back(Do([] { Click(IDCANCEL); }));
    steps.push_back(Quit());
    Schedule(steps);
    EXPECT_EQ(RunProgram(), 0);
    EXPECT_TRUE(AllStepsDone());
    EXPECT_EQ(*dismissed, 5);
}

TEST(FailureMessages, UserClosesInTheSecondAfterDismissing) {
    PointAtMissingPort();
    Schedule(OpenDialogWithoutPort() +
             std::vector<Step>{
                 WaitUntil([] { return OpenBoxes() == 1; }),
                 Do([] {
                     DismissBox();
                     Click(IDCANCEL); // the dialog takes input again at once
                 }),
                 WaitUntil([] { return Dialog() == nullptr; }),
             } +
             QuietAfterClosing());
    EXPECT_EQ(RunProgram(), 0);
    EXPECT_TRUE(AllStepsDone());
}

TEST(FailureMessages, ClosingWhileAMessageIsOpenReleasesThePollThread) {
    PointAtMissingPort();
    Schedule(OpenDialogWithoutPort() +
             std::vector<Step>{
                 WaitUntil([] { return OpenBoxes() == 1; }),
                 Do([] {
                     // The box takes the input; the dialog's close box still reaches it.
                     EXPECT_EQ(qtwin::testing::WaitingMessageBoxCallers(), 1);
                     EXPECT_TRUE(QApplication::activeModalWidget() != DialogWidget());
                     DialogWidget()->close();
                 }),
                 WaitUntil([] { return Dialog() == nullptr; }),
                 WaitUntil([] { return qtwin::testing::WaitingMessageBoxCallers() == 0; }),
             } +
             QuietAfterClosing());
    EXPECT_EQ(RunProgram(), 0);
    EXPECT_TRUE(AllStepsDone());
}
