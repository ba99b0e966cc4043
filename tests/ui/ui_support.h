// Driving the real program on the Qt layer (offscreen). Its modal loops would block a
// test's own code, so a test is a list of steps run from the event loop, each tried every
// 10 ms until it returns true; the steps after one that came true run in the same turn.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include "platform/qt/qt_testing.h"
#include "tests/support/simbox.h"
#include "ui/ui.h"

namespace uitest {

using namespace qtwin::testing;
using Step = std::function<bool()>;
using Steps = std::vector<Step>;

inline Steps operator+(Steps a, const Steps &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Step Do(std::function<void()> action) {
    return [action] { return action(), true; };
}

inline QMainWindow *MainFrame() { // nullptr until WinMain has made it
    auto all = TopLevelWindows();
    return all.empty() ? nullptr : qobject_cast<QMainWindow *>(WidgetFor(all.front()));
}

// "&Programm": 0 "&Start", 1 "&Beenden", as clicked: it acts once the step has returned.
inline Step Choose(int index) {
    return [=] {
        QAction *item = MainFrame()->menuBar()->actions().value(0)->menu()->actions().value(index);
        return QMetaObject::invokeMethod(item, "trigger", Qt::QueuedConnection);
    };
}

inline QWidget *DialogWidget() { // the open test dialog's, or nullptr
    return WidgetFor(CurrentDialog());
}

inline QWidget *Control(int id) {
    return WidgetFor(GetDlgItem(CurrentDialog(), id));
}

inline QString TextOf(int id) {
    auto *edit = qobject_cast<QLineEdit *>(Control(id));
    return edit ? edit->text() : "<none>";
}

inline void Click(int id) {
    ASSERT_TRUE(Control(id)->inherits("QPushButton")) << id;
    QTest::mouseClick(Control(id), Qt::LeftButton);
}

inline void PressKey(Qt::Key key) { // where a user's key goes: the active modal window's focus
    QWidget *w = QApplication::activeModalWidget();
    ASSERT_NE(w, nullptr);
    QTest::keyClick(w->focusWidget() ? w->focusWidget() : w, key);
}

struct Seen { // a failure message the steps met
    QString text;
    int64_t shown_ms, dismissed_ms;
};
inline std::vector<Seen> Messages;

// Notes the open message, if any (the only one, "Fehler", owned by the dialog), and
// dismisses it if asked.
inline bool NoteMessage(bool dismiss = false) {
    auto boxes = OpenMessageBoxes();
    if (boxes.empty())
        return false;
    EXPECT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "Fehler");
    EXPECT_EQ(boxes[0].owner, CurrentDialog());
    if (Messages.empty() || Messages.back().dismissed_ms != 0)
        Messages.push_back({boxes[0].text, testbox::NowNs() / 1000000, 0});
    if (dismiss) {
        QTest::mouseClick(boxes[0].box->button(QMessageBox::Ok), Qt::LeftButton);
        Messages.back().dismissed_ms = testbox::NowNs() / 1000000;
    }
    return true;
}

inline Steps OpenDialog() { // "Start"; a message while the dialog opens is dismissed
    return {MainFrame, Choose(0),
            [] { return NoteMessage(true), DialogWidget() && DialogWidget()->isVisible(); }};
}

inline Steps Close(std::function<void()> close = [] { Click(IDCANCEL); }) {
    return {Do(close), [] { return !CurrentDialog(); }};
}

// The application object around a process's tests, gone after them while Qt's statics stand.
struct AppEnvironment : ::testing::Environment {
    int argc = 1;
    char name[7] = "ifdiag", *argv[2] = {name, nullptr};
    std::unique_ptr<QApplication> app;
    void SetUp() override { app = std::make_unique<QApplication>(argc, argv); }
    void TearDown() override { app.reset(); }
};
inline auto *const APP_ENVIRONMENT = ::testing::AddGlobalTestEnvironment(new AppEnvironment);

// Forgets the messages seen and runs the program (WinMain) with the steps and `end`; it
// must end with code 0. A step that has not come true for `stuckSeconds` fails the test
// and ends the process.
inline void RunSteps(Steps steps, int stuckSeconds = 60, Step end = Choose(1)) {
    Messages.clear();
    steps.push_back(end);
    size_t next = 0;
    QElapsedTimer sinceProgress;
    sinceProgress.start();
    QTimer tick; // runs in whichever of the program's loops is running
    QObject::connect(&tick, &QTimer::timeout, [&] {
        for (; next < steps.size() && steps[next](); ++next)
            sinceProgress.restart();
        if (next < steps.size() && sinceProgress.hasExpired(stuckSeconds * 1000)) {
            ADD_FAILURE() << "step " << next << " never came true";
            std::_Exit(1); // the program's modal loops would hold the test
        }
    });
    tick.start(10);
    ForgetWindowClasses(); // WinMain may run again in this process
    static char commandLine[] = "";
    EXPECT_EQ(WinMain(qtwin::ModuleInstance(), nullptr, commandLine, SW_SHOWDEFAULT), 0);
    qtwin::DestroyAllWindows();
    EXPECT_EQ(next, steps.size()) << "steps done";
}

} // namespace uitest
