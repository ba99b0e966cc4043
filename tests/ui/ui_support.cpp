#include "tests/ui/ui_support.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMenu>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include "link/link.h"

namespace uitest {
namespace {

struct Run {
    std::vector<Step> steps;
    size_t next = 0;
    QElapsedTimer sinceProgress;
    int stuckSeconds;
};
std::shared_ptr<Run> Current;

void Tick(std::shared_ptr<Run> run) {
    if (run != Current)
        return;
    for (; run->next < run->steps.size() && run->steps[run->next](); ++run->next)
        run->sinceProgress.restart();
    if (run->next == run->steps.size())
        return;
    if (run->sinceProgress.elapsed() > run->stuckSeconds * 1000) {
        ADD_FAILURE() << "step " << run->next << " never came true";
        Current.reset();
        // Close whatever is open so that every modal loop returns.
        for (auto &b : qtwin::testing::OpenMessageBoxes())
            b.box->accept();
        if (HWND d = qtwin::testing::CurrentDialog())
            EndDialog(d, 0);
        PostQuitMessage(99);
        return;
    }
    QTimer::singleShot(10, [run] { Tick(run); });
}

int64_t NowMs() {
    return testbox::NowNs() / 1000000;
}

} // namespace

void Schedule(std::vector<Step> steps, int stuckSeconds) {
    Current = std::make_shared<Run>(Run{std::move(steps), 0, {}, stuckSeconds});
    Current->sinceProgress.start();
    QTimer::singleShot(0, [run = Current] { Tick(run); });
}

bool AllStepsDone() {
    return Current && Current->next == Current->steps.size();
}

Step Do(std::function<void()> action) {
    return [action] { return action(), true; };
}

Step WaitUntil(std::function<bool()> condition) {
    return condition;
}

Step Pause(int ms) {
    auto timer = std::make_shared<QElapsedTimer>();
    return [timer, ms] {
        if (!timer->isValid())
            timer->start();
        return timer->elapsed() >= ms;
    };
}

std::vector<Step> operator+(std::vector<Step> a, const std::vector<Step> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<Step> ChooseMenu(char letter) {
    QWidget *(*frame)() = [] { return qtwin::testing::WidgetFor(MainWindow()); };
    return {
        WaitUntil([frame] { return frame() && QApplication::activeWindow() == frame(); }),
        Do([frame] { QTest::keyClick(frame(), Qt::Key_P, Qt::AltModifier); }),
        WaitUntil([] { return qobject_cast<QMenu *>(QApplication::activePopupWidget()); }),
        Do([letter] {
            QTest::keyClick(QApplication::activePopupWidget(), Qt::Key(Qt::Key_A + letter - 'A'));
        }),
    };
}

Step Quit() {
    return Do([] { PostMessageA(MainWindow(), WM_COMMAND, IDM_EXIT, 0); });
}

int RunProgram() {
    qtwin::testing::ForgetWindowClasses();
    static char commandLine[] = "";
    int code = WinMain(qtwin::ModuleInstance(), nullptr, commandLine, SW_SHOWDEFAULT);
    qtwin::DestroyAllWindows();
    return code;
}

void RunSteps(std::vector<Step> steps, int stuckSeconds) {
    Messages().clear();
    Schedule(steps + std::vector<Step>{Quit()}, stuckSeconds);
    EXPECT_EQ(RunProgram(), 0);
    EXPECT_TRUE(AllStepsDone());
}

HWND MainWindow() {
    auto all = qtwin::testing::TopLevelWindows();
    return all.empty() ? nullptr : all.front();
}

HWND Dialog() {
    return qtwin::testing::CurrentDialog();
}

QWidget *DialogWidget() {
    return qtwin::testing::WidgetFor(Dialog());
}

QPushButton *Button(int id) {
    return qobject_cast<QPushButton *>(qtwin::testing::WidgetFor(GetDlgItem(Dialog(), id)));
}

QLineEdit *Edit(int id) {
    return qobject_cast<QLineEdit *>(qtwin::testing::WidgetFor(GetDlgItem(Dialog(), id)));
}

QString TextOf(int id) {
    QLineEdit *e = Edit(id);
    return e ? e->text() : QStringLiteral("<none>");
}

const std::vector<int> &DisplayIds() {
    static const std::vector<int> ids = {
        IDC_COUNT1,     IDC_COUNT1 + 1, IDC_COUNT1 + 2, IDC_COUNT1 + 3, IDC_COUNT1 + 4,
        IDC_COUNT1 + 5, IDC_COUNT1 + 6, IDC_COUNT1 + 7, IDC_EX,         IDC_EY};
    return ids;
}

void Click(int id) {
    QPushButton *b = Button(id);
    ASSERT_NE(b, nullptr) << id;
    QTest::mouseClick(b, Qt::LeftButton);
}

void PressKey(Qt::Key key) {
    QWidget *w = QApplication::activeModalWidget();
    ASSERT_NE(w, nullptr);
    QTest::keyClick(w->focusWidget() ? w->focusWidget() : w, key);
}

std::vector<Seen> &Messages() {
    static std::vector<Seen> seen;
    return seen;
}

int OpenBoxes() {
    return int(qtwin::testing::OpenMessageBoxes().size());
}

void DismissBox() {
    auto boxes = qtwin::testing::OpenMessageBoxes();
    ASSERT_FALSE(boxes.empty());
    QTest::mouseClick(boxes.front().box->button(QMessageBox::Ok), Qt::LeftButton);
}

bool NoteMessage() {
    auto boxes = qtwin::testing::OpenMessageBoxes();
    if (boxes.empty())
        return false;
    EXPECT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "Fehler");
    EXPECT_EQ(boxes[0].owner, Dialog());
    EXPECT_EQ(boxes[0].box->icon(), QMessageBox::NoIcon);
    EXPECT_EQ(boxes[0].box->buttons().size(), 1);
    if (Messages().empty() || Messages().back().dismissed_ms != 0)
        Messages().push_back(
            {boxes[0].text, DialogWidget() && DialogWidget()->isVisible(), NowMs(), 0});
    return true;
}

bool AnswerMessage() {
    if (!NoteMessage())
        return false;
    DismissBox();
    Messages().back().dismissed_ms = NowMs();
    return true;
}

std::vector<Step> OpenDialog() {
    return std::vector<Step>{WaitUntil(MainWindow)} + ChooseMenu('S') +
           std::vector<Step>{WaitUntil([] {
               AnswerMessage();
               return Dialog() && DialogWidget()->isVisible();
           })};
}

std::vector<Step> CloseQuietly(sim::Box *box, std::function<void()> close) {
    auto mark = std::make_shared<size_t>(0);
    auto since = std::make_shared<int64_t>(0);
    return {
        Do(close),
        WaitUntil([] { return Dialog() == nullptr; }),
        Pause(100), // requests written before the close reach the box
        Do([=] {
            *mark = box ? sim::RequestCount(box) : 0;
            *since = NowMs();
            EXPECT_EQ(PortHandle.load(), INVALID_HANDLE_VALUE);
        }),
        WaitUntil([=] {
            EXPECT_EQ(OpenBoxes(), 0);
            return NowMs() - *since > 2500;
        }),
        Do([=] {
            EXPECT_EQ(qtwin::testing::WaitingMessageBoxCallers(), 0);
            EXPECT_TRUE(!box || sim::RequestCount(box) == *mark) << "exchange after the close";
        }),
    };
}

void SaveScreenshot(const QImage &image, const char *name) {
    QDir().mkpath(IFDIAG_SCREENSHOT_DIR);
    image.save(QString(IFDIAG_SCREENSHOT_DIR) + "/" + name);
}

} // namespace uitest

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) // test discovery has no display
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
