// Inside the Qt layer: the table every part looks its windows up in, and what the parts
// call of each other. GUI thread only, unless a declaration says otherwise.
#pragma once

#include <QCloseEvent>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/qt/rc.h"
#include "platform/win32.h"

namespace qtwin {

enum class Kind { Main, Dialog, Control };

struct Window {
    Kind kind = Kind::Main;
    QPointer<QWidget> widget;
    HWND parent = nullptr;     // control: its dialog
    int id = 0;                // control id
    QWidget *client = nullptr; // main window: the area below the menu bar
    WNDPROC wnd_proc = nullptr;
    DLGPROC dlg_proc = nullptr;
    std::map<UINT_PTR, QTimer *> timers;
    bool ended = false; // dialog: EndDialog has been called, with this result
    INT_PTR result = 0;
};

// Handles are numbers that are never reused (as Win32's are, for practical purposes), so
// a message box raised for a dialog that has since gone finds no owner instead of a
// later dialog.
extern std::map<uintptr_t, Window> windows;
extern std::map<std::string, std::pair<WNDCLASSA, std::string>> classes; // with the menu's name
extern int modalDepth; // dialog loops and GUI-thread message boxes running
Window *Lookup(HWND h);
HWND Register(Kind kind, QWidget *widget, HWND parent = nullptr, int id = 0);
QString FromAnsi(const std::string &s); // the A calls' texts are Windows-1252
LRESULT CallWindow(HWND h, UINT msg, WPARAM wp, LPARAM lp);
void KillTimers(Window *w);
// Unregisters a window with its controls and lets Qt delete the widget once the events
// under way are done with it.
void Forget(HWND h);
bool OnGuiThread();          // any thread
void WakeGuiThread();        // any thread: shows the boxes asked for, dispatches what was posted
extern std::mutex postMutex; // guards the queues other threads fill
template <typename T> bool TakeFirst(std::deque<T> &queue, T *out) {
    std::lock_guard<std::mutex> lock(postMutex);
    if (queue.empty())
        return false;
    *out = queue.front();
    queue.pop_front();
    return true;
}

void CloseBoxesOf(HWND owner); // releases their callers with 0
void ShowRequestedBoxes();
void EndAllBoxes(); // also those asked for and not yet shown

void NameControls(const DialogTemplate &t, const std::vector<std::pair<QWidget *, int>> &widgets);

// The close box sends WM_CLOSE; the window procedure decides (DefWindowProcA destroys).
template <typename Base> class Frame : public Base {
public:
    using Base::Base;
    HWND hwnd = nullptr;

protected:
    void closeEvent(QCloseEvent *e) override {
        e->ignore();
        CallWindow(hwnd, WM_CLOSE, 0, 0);
    }
};

} // namespace qtwin
