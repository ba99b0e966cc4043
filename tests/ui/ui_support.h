// Driving the real Qt layer from tests. Modal loops (WinMain's, the dialog's, a box's)
// block the test's own code, so a test is a list of steps run from the event loop:
// each step is tried every 10 ms until it returns true.
#pragma once

#include <QLineEdit>
#include <QPushButton>
#include <QString>
#include <functional>
#include <string>
#include <vector>

#include "platform/qt/qt_testing.h"
#include "sim/ifbox_sim.h"

namespace uitest {

using Step = std::function<bool()>;

// Runs the steps from the event loop; when a step has not succeeded for `stuckSeconds`
// the test fails and the program is ended, so a fault cannot hang the suite.
void Schedule(std::vector<Step> steps, int stuckSeconds = 60);
bool AllStepsDone();

Step Do(std::function<void()> action);
Step WaitUntil(std::function<bool()> condition);
// Lets at least `ms` pass (to show that something does NOT happen).
Step Pause(int ms);
// One list of steps after another.
std::vector<Step> operator+(std::vector<Step> a, const std::vector<Step> &b);
// Alt+P, then the entry's letter, once the main window is active.
std::vector<Step> ChooseMenu(char letter);
// "Beenden" as the menu sends it.
Step Quit();

// WinMain as main() calls it; returns its exit code.
int RunProgram();

// A simulated box on its own link under the build folder, with IFDIAG_PORT at it.
sim::Box *StartBox(sim::Config cfg);
sim::Config QuietBox(); // fixed inputs 0, fixed analog values, no pacing
void PointAtMissingPort();

HWND MainWindow();
HWND Dialog(); // the open test dialog, or nullptr
QWidget *DialogWidget();
QPushButton *Button(int id);
QLineEdit *Edit(int id);
QString TextOf(int id);
// The ten displays: counters of E1..E8, then EX and EY.
const std::vector<int> &DisplayIds();
void Click(int id);

// Alt+P, then the entry's letter, as a user types it. Keys reach the menu bar only
// once the window is active.
bool MainWindowActive();
void OpenMenu();
bool MenuOpen();
void ChooseFromMenu(char letter);

int OpenBoxes();
// Clicks OK on the oldest open box.
void DismissBox();

// Saves a picture under <build>/screenshots/.
void SaveScreenshot(const QImage &image, const char *name);

} // namespace uitest
