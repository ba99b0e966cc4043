// user32 on Qt 6 Widgets, for the way ifdiag uses it and no more: the window table, the
// message loop and window timers. All window state lives on the GUI thread; only
// PostMessageA, PostQuitMessage and MessageBoxA may be called from other threads.
#include <QCoreApplication>
#include <QEventLoop>
#include <QStringDecoder>
#include <QThread>

#include "platform/qt/qtwin.h"
#include "platform/qt/window_table.h"

namespace qtwin {

std::map<uintptr_t, Window> windows;
int modalDepth = 0;
std::mutex postMutex;

namespace {

uintptr_t nextHandle = 0x10000;
QEventLoop *getLoop = nullptr; // GetMessageA waiting

std::deque<MSG> posted; // under postMutex, as quit
std::deque<MSG> quit;   // WM_QUIT once PostQuitMessage was called, after all posted ones

// Wakes the GUI thread for what other threads queued. Qt's event queue carries only the
// bare wake-up, so ThreadSanitizer sees every hand-over (a queued functor would be
// shared through Qt's reference counting, which it cannot see).
class GuiWaker : public QObject {
public:
    bool event(QEvent *e) override {
        if (e->type() != QEvent::User)
            return QObject::event(e);
        ShowRequestedBoxes();
        // Posted messages reach the innermost loop: GetMessageA returns them, a dialog's
        // loop (or a box's) dispatches them itself, as the Win32 modal loops do.
        for (MSG m; modalDepth > 0 && TakeFirst(posted, &m);)
            DispatchMessageA(&m);
        if (modalDepth == 0 && getLoop)
            getLoop->quit();
        return true;
    }
};

} // namespace

bool OnGuiThread() {
    return QThread::currentThread() == QCoreApplication::instance()->thread();
}

void WakeGuiThread() {
    static GuiWaker *waker = [] {
        auto *w = new GuiWaker;
        w->moveToThread(QCoreApplication::instance()->thread());
        return w;
    }();
    QCoreApplication::postEvent(waker, new QEvent(QEvent::User));
}

Window *Lookup(HWND h) {
    auto it = windows.find(reinterpret_cast<uintptr_t>(h));
    return it == windows.end() ? nullptr : &it->second;
}

HWND Register(Kind kind, QWidget *widget, HWND parent, int id) {
    nextHandle += 4;
    Window &w = windows[nextHandle];
    w.kind = kind, w.widget = widget, w.parent = parent, w.id = id;
    return reinterpret_cast<HWND>(nextHandle);
}

QString FromAnsi(const std::string &s) { // GUI thread only: the decoder has state
    static QStringDecoder decode("windows-1252");
    return decode(QByteArray::fromStdString(s));
}

LRESULT CallWindow(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    Window *w = Lookup(h);
    if (!w || w->kind == Kind::Control)
        return 0;
    if (w->kind == Kind::Main)
        return w->wnd_proc ? w->wnd_proc(h, msg, wp, lp) : DefWindowProcA(h, msg, wp, lp);
    // What DefDlgProc does for the messages a dialog procedure leaves alone.
    INT_PTR handled = w->dlg_proc ? w->dlg_proc(h, msg, wp, lp) : FALSE;
    if (!handled && msg == WM_CLOSE)
        return CallWindow(h, WM_COMMAND, IDCANCEL,
                          reinterpret_cast<LPARAM>(GetDlgItem(h, IDCANCEL)));
    return handled;
}

void KillTimers(Window *w) {
    for (auto &t : w->timers) {
        t.second->stop();
        t.second->deleteLater(); // it may be the timer whose tick is being handled
    }
    w->timers.clear();
}

void Forget(HWND h) {
    Window *w = Lookup(h);
    if (!w)
        return;
    CloseBoxesOf(h);
    KillTimers(w);
    QPointer<QWidget> widget = w->widget;
    for (auto it = windows.begin(); it != windows.end();)
        it = it->second.parent == h ? windows.erase(it) : std::next(it);
    windows.erase(reinterpret_cast<uintptr_t>(h));
    if (widget) {
        widget->hide();
        widget->deleteLater();
    }
}

HINSTANCE ModuleInstance() {
    static char module;
    return reinterpret_cast<HINSTANCE>(&module);
}

void DestroyAllWindows() {
    {
        std::lock_guard<std::mutex> lock(postMutex);
        posted.clear();
        quit.clear();
    }
    EndAllBoxes();
    while (!windows.empty())
        Forget(reinterpret_cast<HWND>(windows.begin()->first));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

HWND CurrentDialog() { // the newest, as dialogs nest
    HWND last = nullptr;
    for (auto &w : windows)
        last = w.second.kind == Kind::Dialog ? reinterpret_cast<HWND>(w.first) : last;
    return last;
}

} // namespace qtwin

using namespace qtwin;

BOOL WINAPI GetMessageA(LPMSG msg, HWND, UINT, UINT) {
    for (;;) {
        if (TakeFirst(posted, msg))
            return TRUE;
        if (TakeFirst(quit, msg))
            return FALSE;
        // Input, painting and timers are Qt's events; they are handled inside exec().
        QEventLoop loop;
        getLoop = &loop;
        loop.exec();
        getLoop = nullptr;
    }
}

// Qt delivers characters with the key events already; there is nothing to translate.
BOOL WINAPI TranslateMessage(const MSG *) {
    return FALSE;
}

LRESULT WINAPI DispatchMessageA(const MSG *msg) {
    return msg ? CallWindow(msg->hwnd, msg->message, msg->wParam, msg->lParam) : 0;
}

LRESULT WINAPI DefWindowProcA(HWND h, UINT msg, WPARAM, LPARAM) {
    if (msg == WM_CLOSE) { // DestroyWindow: WM_DESTROY, then gone
        CallWindow(h, WM_DESTROY, 0, 0);
        Forget(h);
    }
    return 0;
}

void WINAPI PostQuitMessage(int code) {
    {
        std::lock_guard<std::mutex> lock(postMutex);
        quit.assign(1, MSG{nullptr, WM_QUIT, static_cast<WPARAM>(code), 0});
    }
    if (QCoreApplication::instance())
        WakeGuiThread();
}

BOOL WINAPI PostMessageA(HWND h, UINT message, WPARAM wp, LPARAM lp) {
    if (!QCoreApplication::instance() || (h && OnGuiThread() && !Lookup(h)))
        return FALSE;
    {
        std::lock_guard<std::mutex> lock(postMutex);
        posted.push_back(MSG{h, message, wp, lp});
    }
    WakeGuiThread();
    return TRUE;
}

LRESULT WINAPI SendMessageA(HWND h, UINT message, WPARAM wp, LPARAM lp) {
    return CallWindow(h, message, wp, lp);
}

// ifdiag's timers go to the window procedure: a TIMERPROC is not called.
UINT_PTR WINAPI SetTimer(HWND h, UINT_PTR id, UINT elapse, TIMERPROC) {
    Window *w = Lookup(h);
    if (!w || !w->widget)
        return 0;
    QTimer *&timer = w->timers[id];
    if (!timer) {
        timer = new QTimer(w->widget);
        QObject::connect(timer, &QTimer::timeout, timer,
                         [h, id] { CallWindow(h, WM_TIMER, id, 0); });
    }
    timer->start(static_cast<int>(std::max<UINT>(elapse, 10)));
    return id ? id : 1;
}
