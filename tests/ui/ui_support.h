// Driving the real program on the Qt layer (offscreen). Its modal loops would block a
// test's own code, so a test is a list of steps run from the event loop, each tried every
// 10 ms until it returns true; the steps after one that came true run in the same turn.
#pragma once

#include <QMainWindow>
#include <functional>
#include <vector>

#include "platform/qt/qt_testing.h"
#include "tests/support/simbox.h"
#include "ui/ui.h"

namespace uitest {

using namespace qtwin::testing;
using Step = std::function<bool()>;
using Steps = std::vector<Step>;
Steps operator+(Steps a, const Steps &b);
Step Do(std::function<void()> action);
Step Pause(int ms); // lets at least `ms` pass, to show that something does NOT happen

QMainWindow *MainFrame(); // nullptr until WinMain has made it
Step Choose(int index);   // "&Programm": 0 "&Start", 1 "&Beenden", as clicked
// Forgets the messages seen and runs the program (WinMain) with the steps and `end`; it
// must end with code 0. A step that has not come true for `stuckSeconds` fails the test
// and ends the program.
void RunSteps(Steps steps, int stuckSeconds = 60, Step end = Choose(1));
QWidget *DialogWidget(); // the open test dialog's, or nullptr
QWidget *Control(int id);
QString TextOf(int id);
void Click(int id);
void PressKey(Qt::Key key); // where a user's key goes: the active modal window's focus

struct Seen { // a failure message the steps met
    QString text;
    bool dialog_shown;
    int64_t shown_ms, dismissed_ms;
};
std::vector<Seen> &Messages();
// Notes the open message, if any (the only one, "Fehler", OK only, no icon, owned by the
// dialog), and dismisses it if asked.
bool NoteMessage(bool dismiss = false);
Steps OpenDialog(); // "Start"; a message while the dialog opens is dismissed
Steps Close(std::function<void()> close = [] { Click(IDCANCEL); });

} // namespace uitest
