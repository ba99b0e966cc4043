#include "tests/ui/ui_support.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

namespace uitest {
namespace {

struct Run {
    Steps steps;
    size_t next;
    int stuckSeconds;
    QElapsedTimer sinceProgress;
};
std::shared_ptr<Run> Current;

void Tick(std::shared_ptr<Run> run) {
    if (run != Current)
        return;
    for (; run->next < run->steps.size() && run->steps[run->next](); ++run->next)
        run->sinceProgress.restart();
    if (run->next < run->steps.size() && run->sinceProgress.hasExpired(run->stuckSeconds * 1000)) {
        ADD_FAILURE() << "step " << run->next << " never came true";
        Current.reset();
        for (auto &b : OpenMessageBoxes()) // let every modal loop return
            b.box->accept();
        if (CurrentDialog())
            EndDialog(CurrentDialog(), 0);
        PostQuitMessage(99);
    } else if (run->next < run->steps.size()) {
        QTimer::singleShot(10, [run] { Tick(run); });
    }
}

} // namespace

Steps operator+(Steps a, const Steps &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Step Do(std::function<void()> action) {
    return [action] { return action(), true; };
}

Step Pause(int ms) {
    auto timer = std::make_shared<QElapsedTimer>();
    return
        [timer, ms] { return timer->isValid() ? timer->hasExpired(ms) : (timer->start(), false); };
}

void RunSteps(Steps steps, int stuckSeconds, Step end) {
    Messages().clear();
    Current = std::make_shared<Run>(Run{steps + Steps{end}, 0, stuckSeconds, {}});
    Current->sinceProgress.start();
    QTimer::singleShot(0, [run = Current] { Tick(run); });
    ForgetWindowClasses(); // WinMain may run again in this process
    static char commandLine[] = "";
    EXPECT_EQ(WinMain(qtwin::ModuleInstance(), nullptr, commandLine, SW_SHOWDEFAULT), 0);
    qtwin::DestroyAllWindows();
    EXPECT_EQ(Current ? Current->next : 0, Current ? Current->steps.size() : 1) << "steps done";
}

QMainWindow *MainFrame() {
    auto all = TopLevelWindows();
    return all.empty() ? nullptr : qobject_cast<QMainWindow *>(WidgetFor(all.front()));
}

Step Choose(int index) { // queued: the menu acts once the step has returned
    return [=] {
        QAction *item = MainFrame()->menuBar()->actions().value(0)->menu()->actions().value(index);
        return QMetaObject::invokeMethod(item, "trigger", Qt::QueuedConnection);
    };
}

QWidget *DialogWidget() {
    return WidgetFor(CurrentDialog());
}

QWidget *Control(int id) {
    return WidgetFor(GetDlgItem(CurrentDialog(), id));
}

QString TextOf(int id) {
    auto *edit = qobject_cast<QLineEdit *>(Control(id));
    return edit ? edit->text() : "<none>";
}

void Click(int id) {
    ASSERT_TRUE(Control(id)->inherits("QPushButton")) << id;
    QTest::mouseClick(Control(id), Qt::LeftButton);
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

bool NoteMessage(bool dismiss) {
    auto boxes = OpenMessageBoxes();
    if (boxes.empty())
        return false;
    EXPECT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "Fehler");
    EXPECT_EQ(boxes[0].owner, CurrentDialog());
    EXPECT_EQ(boxes[0].box->icon(), QMessageBox::NoIcon);
    EXPECT_EQ(boxes[0].box->buttons().size(), 1);
    if (Messages().empty() || Messages().back().dismissed_ms != 0)
        Messages().push_back(
            {boxes[0].text, DialogWidget()->isVisible(), testbox::NowNs() / 1000000, 0});
    if (dismiss) {
        QTest::mouseClick(boxes[0].box->button(QMessageBox::Ok), Qt::LeftButton);
        Messages().back().dismissed_ms = testbox::NowNs() / 1000000;
    }
    return true;
}

Steps OpenDialog() {
    return {[] { return MainFrame() != nullptr; }, Choose(0),
            [] { return NoteMessage(true), DialogWidget() && DialogWidget()->isVisible(); }};
}

Steps Close(std::function<void()> close) {
    return {Do(close), [] { return !CurrentDialog(); }};
}

} // namespace uitest

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) // test discovery has no display
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
