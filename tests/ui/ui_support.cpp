#include "tests/ui/ui_support.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMenu>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <unistd.h>

#include "platform/win32.h"
#include "ui/ui.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show);

namespace uitest {
namespace {

struct Run {
    std::vector<Step> steps;
    size_t next = 0;
    QElapsedTimer sinceProgress;
    int stuckSeconds = 60;
};
std::shared_ptr<Run> current;

void Bail() {
    // Close whatever is open so every modal loop returns and the test can report.
    for (auto &b : qtwin::testing::OpenMessageBoxes())
        b.box->accept();
    if (HWND d = qtwin::testing::CurrentDialog())
        EndDialog(d, 0);
    PostQuitMessage(99);
}

void Tick(std::shared_ptr<Run> run) {
    if (run != current)
        return;
    while (run->next < run->steps.size() && run->steps[run->next]()) {
        ++run->next;
        run->sinceProgress.restart();
    }
    if (run->next == run->steps.size())
        return;
    if (run->sinceProgress.elapsed() > run->stuckSeconds * 1000) {
        ADD_FAILURE() << "step " << run->next << " never came true";
        current.reset();
        Bail();
        return;
    }
    QTimer::singleShot(10, [run] { Tick(run); });
}

} // namespace

void Schedule(std::vector<Step> steps, int stuckSeconds) {
    auto run = std::make_shared<Run>();
    run->steps = std::move(steps);
    run->stuckSeconds = stuckSeconds;
    run->sinceProgress.start();
    current = run;
    QTimer::singleShot(0, [run] { Tick(run); });
}

bool AllStepsDone() {
    return current && current->next == current->steps.size();
}

Step Do(std::function<void()> action) {
    return [action] {
        action();
        return true;
    };
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

int RunProgram() {
    qtwin::testing::ForgetWindowClasses();
    static char commandLine[] = "";
    int code = WinMain(qtwin::ModuleInstance(), nullptr, commandLine, SW_SHOWDEFAULT);
    qtwin::DestroyAllWindows();
    return code;
}

sim::Box *StartBox(sim::Config cfg) {
    static int n = 0;
    cfg.link = std::string(IFDIAG_TEST_DIR) + "/link-" + std::to_string(getpid()) + "-" +
               std::to_string(n++);
    sim::Box *box = sim::Start(cfg);
    if (box)
        setenv("IFDIAG_PORT", cfg.link.c_str(), 1);
    return box;
}

sim::Config QuietBox() {
    sim::Config cfg;
    cfg.pacing = false;
    cfg.input_mode = sim::InputMode::Fixed;
    cfg.input_byte = 0;
    cfg.analog_mode = sim::AnalogMode::Fixed;
    return cfg;
}

void PointAtMissingPort() {
    std::string path = std::string(IFDIAG_TEST_DIR) + "/no-such-port-" + std::to_string(getpid());
    setenv("IFDIAG_PORT", path.c_str(), 1);
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
    static const std::vector<int> ids = {1012, 1013, 1014, 1015, 1016,
                                         1017, 1018, 1019, 1028, 1029};
    return ids;
}

void Click(int id) {
    QPushButton *b = Button(id);
    ASSERT_NE(b, nullptr) << id;
    QTest::mouseClick(b, Qt::LeftButton);
}

bool MainWindowActive() {
    QWidget *w = qtwin::testing::WidgetFor(MainWindow());
    return w && QApplication::activeWindow() == w;
}

void OpenMenu() {
    QWidget *w = qtwin::testing::WidgetFor(MainWindow());
    ASSERT_NE(w, nullptr);
    w->activateWindow();
    QTest::keyClick(w, Qt::Key_P, Qt::AltModifier);
}

bool MenuOpen() {
    return qobject_cast<QMenu *>(QApplication::activePopupWidget()) != nullptr;
}

void ChooseFromMenu(char letter) {
    QWidget *menu = QApplication::activePopupWidget();
    ASSERT_NE(menu, nullptr);
    QTest::keyClick(menu, static_cast<Qt::Key>(Qt::Key_A + (letter - 'A')));
}

int OpenBoxes() {
    return static_cast<int>(qtwin::testing::OpenMessageBoxes().size());
}

void DismissBox() {
    auto boxes = qtwin::testing::OpenMessageBoxes();
    ASSERT_FALSE(boxes.empty());
    QAbstractButton *ok = boxes.front().box->button(QMessageBox::Ok);
    ASSERT_NE(ok, nullptr);
    QTest::mouseClick(ok, Qt::LeftButton);
}

void SaveScreenshot(const QImage &image, const char *name) {
    QDir().mkpath(IFDIAG_SCREENSHOT_DIR);
    image.save(QString(IFDIAG_SCREENSHOT_DIR) + "/" + name);
}

std::vector<Step> operator+(std::vector<Step> a, const std::vector<Step> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<Step> ChooseMenu(char letter) {
    return {
        WaitUntil(MainWindowActive),
        Do([] { OpenMenu(); }),
        WaitUntil([] { return MenuOpen(); }),
        Do([letter] { ChooseFromMenu(letter); }),
    };
}

Step Quit() {
    return Do([] { PostMessageA(MainWindow(), WM_COMMAND, IDM_EXIT, 0); });
}

} // namespace uitest
