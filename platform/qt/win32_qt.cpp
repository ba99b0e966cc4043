// user32/gdi32 on Qt 6 Widgets: windows, menus, modal dialogs from ifdiag.rc, window
// timers, message boxes and the message loop, for the way ifdiag uses them and no more.
// Handles are numbers that are never reused (as Win32's are, for practical purposes),
// so a message box raised for a dialog that has since gone finds no owner instead of a
// later dialog. All window state lives on the GUI thread; only PostMessageA,
// PostQuitMessage and MessageBoxA may be called from other threads.
#include <QApplication>
#include <QDialog>
#include <QEventLoop>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QStringDecoder>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "platform/posix/trace.h"
#include "platform/qt/qt_testing.h"
#include "platform/qt/rc.h"
#include "platform/win32.h"

namespace qtwin {
namespace {

// Notification codes, in the high word of WM_COMMAND's wparam.
constexpr UINT BN_CLICKED = 0;
constexpr UINT EN_CHANGE = 0x0300;

enum class Kind { Main, Dialog, Control };

struct Window {
    Window(Kind k = Kind::Main, QWidget *w = nullptr, HWND p = nullptr, int i = 0)
        : kind(k), widget(w), parent(p), id(i) {}
    Kind kind;
    QPointer<QWidget> widget;
    HWND parent;               // control: its dialog
    int id;                    // control id
    QWidget *client = nullptr; // main window: the area below the menu bar
    WNDPROC wnd_proc = nullptr;
    DLGPROC dlg_proc = nullptr;
    std::string class_name;
    std::map<UINT_PTR, QTimer *> timers;
    bool ended = false; // dialog: EndDialog has been called, with this result
    INT_PTR result = 0;
};

// One MessageBoxA call: what it shows and how its caller waits. No Qt object in it: the
// caller's thread may be the one that destroys it.
struct BoxCall {
    HWND owner;
    std::string text, title; // Windows-1252, converted on the GUI thread
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    int result = 0;
};
using BoxCallPtr = std::shared_ptr<BoxCall>;

// GUI thread only.
std::map<uintptr_t, Window> windows;
uintptr_t nextHandle = 0x10000;
std::map<std::string, std::pair<WNDCLASSA, std::string>> classes; // with the menu's name
std::vector<std::pair<BoxCallPtr, QPointer<QMessageBox>>> boxes;  // on screen, oldest first
int modalDepth = 0;            // dialog loops and GUI-thread message boxes running
QEventLoop *getLoop = nullptr; // GetMessageA waiting

// Any thread, under postMutex: posted messages and boxes asked for by other threads.
std::mutex postMutex;
std::deque<MSG> posted;
std::deque<BoxCallPtr> requests;
std::deque<MSG> quit; // WM_QUIT once PostQuitMessage was called, after all posted ones
std::atomic<int> waitingCallers{0};

bool OnGuiThread() {
    return QThread::currentThread() == QCoreApplication::instance()->thread();
}

// Takes the oldest entry of a queue shared under postMutex.
template <typename T> bool TakeFirst(std::deque<T> &queue, T *out) {
    std::lock_guard<std::mutex> lock(postMutex);
    if (queue.empty())
        return false;
    *out = queue.front();
    queue.pop_front();
    return true;
}

Window *Lookup(HWND h) {
    auto it = windows.find(reinterpret_cast<uintptr_t>(h));
    return it == windows.end() ? nullptr : &it->second;
}

HWND Register(Kind kind, QWidget *widget, HWND parent = nullptr, int id = 0) {
    nextHandle += 4;
    windows[nextHandle] = Window(kind, widget, parent, id);
    return reinterpret_cast<HWND>(nextHandle);
}

// The texts of the A calls are Windows-1252. (GUI thread only: the decoder has state.)
QString FromAnsi(const std::string &s) {
    static QStringDecoder decode("windows-1252");
    return decode(QByteArray::fromStdString(s));
}

void Finish(BoxCall &call, int result) {
    std::lock_guard<std::mutex> lock(call.mutex);
    if (call.done)
        return;
    // Traced here, on the GUI thread, before a signal's exit can stop the trace.
    Trace("msg", "dismissed; the next exchange waits up to 1 s, so \"Abbrechen\" can be reached");
    call.done = true;
    call.result = result;
    call.cv.notify_all();
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

void SendCommand(HWND dialog, int id, UINT code, HWND control) {
    CallWindow(dialog, WM_COMMAND, (static_cast<WPARAM>(code) << 16) | static_cast<WORD>(id),
               reinterpret_cast<LPARAM>(control));
}

void KillTimers(Window *w) {
    for (auto &t : w->timers) {
        t.second->stop();
        t.second->deleteLater(); // it may be the timer whose tick is being handled
    }
    w->timers.clear();
}

void EndBox(BoxCallPtr call, int result) { // by value: the entry holding it goes
    auto it = std::find_if(boxes.begin(), boxes.end(), [&](auto &b) { return b.first == call; });
    if (it != boxes.end() && it->second) {
        it->second->disconnect();
        it->second->hide();
        it->second->deleteLater();
    }
    if (it != boxes.end())
        boxes.erase(it);
    Finish(*call, result);
}

void CloseBoxesOf(HWND owner) {
    for (auto &b : decltype(boxes)(boxes))
        if (b.first->owner == owner)
            EndBox(b.first, 0);
}

// Unregisters a window with its controls and lets Qt delete the widget once the events
// under way are done with it.
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

QMessageBox *ShowBox(const BoxCallPtr &call) {
    Window *w = call->owner ? Lookup(call->owner) : nullptr;
    if (call->owner && (!w || w->ended)) { // the owner has gone: Win32 fails the call
        Finish(*call, 0);
        return nullptr;
    }
    QWidget *parent = w ? w->widget->window() : nullptr;
    auto *box = new QMessageBox(QMessageBox::NoIcon, FromAnsi(call->title), FromAnsi(call->text),
                                QMessageBox::Ok, parent);
    box->setTextFormat(Qt::PlainText);
    box->setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);
    boxes.push_back({call, box});
    QObject::connect(box, &QMessageBox::finished, [call] { EndBox(call, IDOK); });
    box->show();
    box->activateWindow();
    return box;
}

// Wakes the GUI thread for what other threads queued under postMutex. Qt's event queue
// carries only the bare wake-up, so ThreadSanitizer sees every hand-over (a queued
// functor would be shared through Qt's reference counting, which it cannot see).
class GuiWaker : public QObject {
public:
    bool event(QEvent *e) override {
        if (e->type() != QEvent::User)
            return QObject::event(e);
        for (BoxCallPtr call; TakeFirst(requests, &call);)
            ShowBox(call);
        // Posted messages reach the innermost loop: GetMessageA returns them, a dialog's
        // loop (or a box's) dispatches them itself, as the Win32 modal loops do.
        for (MSG m; modalDepth > 0 && TakeFirst(posted, &m);)
            DispatchMessageA(&m);
        if (modalDepth == 0 && getLoop)
            getLoop->quit();
        return true;
    }
};

void WakeGuiThread() {
    static GuiWaker *waker = [] {
        auto *w = new GuiWaker;
        w->moveToThread(QCoreApplication::instance()->thread());
        return w;
    }();
    QCoreApplication::postEvent(waker, new QEvent(QEvent::User));
}

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

// Keyboard of a Win32 dialog: no button is ever default; Enter clicks a focused button
// and otherwise sends IDOK; Escape and the close box send IDCANCEL (the dialog procedure
// decides). An arrow on a button moves the focus within its group (a WS_GROUP control
// starts one) to the next or previous control that is visible, enabled and not a label,
// wrapping round, without clicking; Qt's own arrow handling never sees it. Edits keep
// the arrows for their caret.
class DialogFrame : public Frame<QDialog> {
public:
    using Frame::Frame;
    std::vector<std::pair<QWidget *, int>> controls; // template order, with group number

protected:
    void keyPressEvent(QKeyEvent *e) override {
        if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) {
            if (auto *b = qobject_cast<QPushButton *>(focusWidget()))
                b->click();
            else
                SendCommand(hwnd, IDOK, BN_CLICKED, GetDlgItem(hwnd, IDOK));
        } else if (e->key() == Qt::Key_Escape) {
            SendCommand(hwnd, IDCANCEL, BN_CLICKED, GetDlgItem(hwnd, IDCANCEL));
        } // and nothing else: QDialog's own keys (Escape rejects) would bypass the procedure
    }
    bool eventFilter(QObject *o, QEvent *e) override { // installed on the buttons
        int key = e->type() == QEvent::KeyPress ? static_cast<QKeyEvent *>(e)->key() : 0;
        bool back = key == Qt::Key_Left || key == Qt::Key_Up;
        if (!back && key != Qt::Key_Right && key != Qt::Key_Down)
            return false;
        size_t n = controls.size(), at = 0;
        while (at < n && controls[at].first != o)
            ++at;
        for (size_t i = (at + (back ? n - 1 : 1)) % n; at < n && i != at;
             i = (i + (back ? n - 1 : 1)) % n) {
            QWidget *w = controls[i].first;
            if (controls[i].second == controls[at].second && w->isVisible() && w->isEnabled() &&
                !qobject_cast<QLabel *>(w)) {
                w->setFocus(Qt::TabFocusReason); // an edit selects its text, as in Win32
                break;
            }
        }
        return true;
    }
    void changeEvent(QEvent *e) override {
        // Some window managers (openbox) offer minimising whatever the window's hints say.
        // A Win32 dialog without a minimise box cannot be minimised: it comes straight
        // back (and the window manager brings back the owner it minimised along with it).
        if (e->type() == QEvent::WindowStateChange && isMinimized())
            QTimer::singleShot(0, this, [this] { showNormal(); });
        Frame::changeEvent(e);
    }
};

// A menu choice is posted, so it is acted on from the message loop once the menu has
// closed, as on Windows.
void BuildMenu(QMainWindow *frame, HWND h, const MenuTemplate &menu) {
    for (const MenuItemTemplate &popup : menu.items) {
        QMenu *into = frame->menuBar()->addMenu(FromAnsi(popup.text));
        for (const MenuItemTemplate &item : popup.items)
            QObject::connect(into->addAction(FromAnsi(item.text)), &QAction::triggered, frame,
                             [h, id = item.id] { PostMessageA(h, WM_COMMAND, id, 0); });
    }
}

QWidget *BuildControl(DialogFrame *dlg, const ControlTemplate &c, HWND dh) {
    HWND ch = Register(Kind::Control, nullptr, dh, c.id);
    QWidget *widget = nullptr;
    if (c.kind == ControlKind::PushButton) {
        auto *b = new QPushButton(FromAnsi(c.text), dlg);
        b->setAutoDefault(false);
        QObject::connect(b, &QPushButton::clicked, b,
                         [dh, ch, id = c.id] { SendCommand(dh, id, BN_CLICKED, ch); });
        b->installEventFilter(dlg);
        widget = b;
    } else if (c.kind == ControlKind::LText) {
        auto *l = new QLabel(FromAnsi(c.text), dlg);
        l->setAlignment(Qt::AlignTop | Qt::AlignLeft);
        widget = l;
    } else {
        auto *e = new QLineEdit(dlg);
        e->setFrame(c.style & WS_BORDER);
        // Win32 edits report every change, also those made with SetDlgItemInt.
        QObject::connect(e, &QLineEdit::textChanged, e,
                         [dh, ch, id = c.id] { SendCommand(dh, id, EN_CHANGE, ch); });
        widget = e;
    }
    widget->setFocusPolicy(c.kind == ControlKind::LText ? Qt::NoFocus
                           : (c.style & WS_TABSTOP)     ? Qt::StrongFocus
                                                        : Qt::ClickFocus);
    widget->setVisible(c.style & WS_VISIBLE);
    Lookup(ch)->widget = widget;
    return widget;
}

// Accessible names as Win32 gives them, so that a screen reader can tell every control
// apart. Win32 names a control that has no text of its own (an edit) after the static
// text just before it in the template, and a button after its text. ifdiag.rc puts the
// labels after their controls (its order is the tab order), so the label is found by
// position instead, as the eye reads it: the nearest label wholly above the control that
// overlaps it across (its column), or wholly left of it that overlaps it down (its row).
// A button whose text repeats in the dialog takes its label too: first ("Motor 2
// Rechts"), or after its text when that label names an edit as well, whose value the
// button acts on ("Reset E6"). A button whose text is its own ("Abbrechen") keeps it.
void NameControls(const DialogTemplate &t, const std::vector<std::pair<QWidget *, int>> &widgets) {
    auto labelOf = [&t](const ControlTemplate &c) {
        const ControlTemplate *best = nullptr;
        int bestGap = 0;
        for (const ControlTemplate &l : t.controls) {
            bool above = l.y + l.cy <= c.y && l.x < c.x + c.cx && c.x < l.x + l.cx;
            bool left = l.x + l.cx <= c.x && l.y < c.y + c.cy && c.y < l.y + l.cy;
            int gap = above ? c.y - l.y - l.cy : c.x - l.x - l.cx;
            if (l.kind == ControlKind::LText && (above || left) && (!best || gap < bestGap))
                best = &l, bestGap = gap;
        }
        return best;
    };
    for (size_t i = 0; i < t.controls.size(); ++i) {
        const ControlTemplate &c = t.controls[i];
        const ControlTemplate *label = labelOf(c);
        auto same = [&c](const ControlTemplate &o) { return o.kind == c.kind && o.text == c.text; };
        auto namesEdit = [&](const ControlTemplate &o) {
            return o.kind == ControlKind::EditText && labelOf(o) == label;
        };
        std::string name = c.text;
        if (label && c.kind == ControlKind::EditText)
            name = label->text;
        else if (label && c.kind == ControlKind::PushButton &&
                 std::count_if(t.controls.begin(), t.controls.end(), same) > 1)
            name = std::any_of(t.controls.begin(), t.controls.end(), namesEdit)
                       ? c.text + " " + label->text
                       : label->text + " " + c.text;
        widgets[i].first->setAccessibleName(FromAnsi(name));
    }
}

} // namespace

HINSTANCE ModuleInstance() {
    static char module;
    return reinterpret_cast<HINSTANCE>(&module);
}

void DestroyAllWindows() {
    {
        std::lock_guard<std::mutex> lock(postMutex);
        for (const BoxCallPtr &call : requests)
            Finish(*call, 0);
        requests.clear();
        posted.clear();
        quit.clear();
    }
    while (!boxes.empty())
        EndBox(boxes.front().first, 0);
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

namespace testing {
QWidget *WidgetFor(HWND h) {
    Window *w = Lookup(h);
    return w ? w->widget.data() : nullptr;
}
QWidget *ClientAreaFor(HWND h) {
    Window *w = Lookup(h);
    return !w ? nullptr : w->client ? w->client : w->widget.data();
}
std::vector<HWND> TopLevelWindows() {
    std::vector<HWND> out;
    for (auto &w : windows)
        if (w.second.kind == Kind::Main)
            out.push_back(reinterpret_cast<HWND>(w.first));
    return out;
}
std::string ClassNameOf(HWND h) {
    Window *w = Lookup(h);
    return w ? w->class_name : std::string();
}
int ControlIdOf(QWidget *widget) {
    for (auto &w : windows)
        if (w.second.kind == Kind::Control && widget && w.second.widget == widget)
            return w.second.id;
    return 0;
}
std::vector<MessageBoxInfo> OpenMessageBoxes() {
    std::vector<MessageBoxInfo> out;
    for (auto &b : boxes)
        if (b.second)
            out.push_back({b.first->owner, b.second->windowTitle(), b.second->text(), b.second});
    return out;
}
int WaitingMessageBoxCallers() {
    return waitingCallers.load();
}
void ForgetWindowClasses() {
    classes.clear();
}
QImage Grab(HWND h) {
    QWidget *w = ClientAreaFor(h);
    return w ? w->grab().toImage() : QImage();
}

} // namespace testing
} // namespace qtwin

using namespace qtwin;

ATOM WINAPI RegisterClassA(const WNDCLASSA *wc) {
    if (!wc || !wc->lpszClassName || classes.count(wc->lpszClassName))
        return 0; // ERROR_CLASS_ALREADY_EXISTS on Windows
    classes[wc->lpszClassName] = {*wc, wc->lpszMenuName ? wc->lpszMenuName : ""};
    return static_cast<ATOM>(0xC000 + classes.size());
}

// ifdiag's main window: placed and sized by default, shown by ShowWindow. The class's
// cursor is not applied: the arrow, the only one LoadCursorA gives, is Qt's default.
HWND WINAPI CreateWindowExA(DWORD, LPCSTR class_name, LPCSTR title, DWORD, int, int, int, int, HWND,
                            HMENU, HINSTANCE, LPVOID param) {
    auto cls = class_name ? classes.find(class_name) : classes.end();
    if (cls == classes.end())
        return nullptr;
    const WNDCLASSA &wc = cls->second.first;
    auto *frame = new Frame<QMainWindow>;
    frame->setWindowTitle(FromAnsi(title ? title : ""));
    auto *client = new QWidget(frame);
    if (wc.hbrBackground) {
        QPalette pal = client->palette();
        pal.setColor(QPalette::Window, *reinterpret_cast<QColor *>(wc.hbrBackground));
        client->setPalette(pal);
        client->setAutoFillBackground(true);
    }
    frame->setCentralWidget(client);
    if (wc.hIcon)
        frame->setWindowIcon(*reinterpret_cast<QIcon *>(wc.hIcon));

    QRect avail = QGuiApplication::primaryScreen()->availableGeometry();
    frame->resize(std::min(800, avail.width() * 3 / 4), std::min(600, avail.height() * 3 / 4));
    frame->move(avail.topLeft() + QPoint(32, 32));

    HWND h = Register(Kind::Main, frame);
    Lookup(h)->client = client;
    Lookup(h)->wnd_proc = wc.lpfnWndProc;
    Lookup(h)->class_name = cls->first;
    frame->hwnd = h;
    if (const MenuTemplate *menu = FindMenuTemplate(cls->second.second.c_str()))
        BuildMenu(frame, h, *menu);

    CallWindow(h, WM_CREATE, 0, reinterpret_cast<LPARAM>(param));
    return h;
}

// Every show command shows: ifdiag hides nothing.
BOOL WINAPI ShowWindow(HWND h, int) {
    Window *w = Lookup(h);
    if (!w || !w->widget)
        return FALSE;
    BOOL wasVisible = w->widget->isVisible();
    w->widget->show();
    w->widget->activateWindow(); // nothing else activates it without a window manager
    return wasVisible;
}

// Qt paints a shown window from its event loop, before any input is handled.
BOOL WINAPI UpdateWindow(HWND h) {
    return Lookup(h) != nullptr;
}

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

HICON WINAPI LoadIconA(HINSTANCE, LPCSTR name) {
    static std::map<std::string, QIcon> icons;
    auto res = ProgramResources().icons.find(name ? name : "");
    if (res == ProgramResources().icons.end())
        return nullptr;
    QIcon &icon = icons[res->first];
    const EmbeddedFile *f = FindEmbeddedFile(res->second);
    QPixmap pixmap;
    if (icon.isNull() && f && pixmap.loadFromData(f->data, static_cast<uint>(f->size), "ICO"))
        icon = QIcon(pixmap);
    return reinterpret_cast<HICON>(&icon);
}

HCURSOR WINAPI LoadCursorA(HINSTANCE instance, LPCSTR name) {
    static char arrow;
    return !instance && name == IDC_ARROW ? reinterpret_cast<HCURSOR>(&arrow) : nullptr;
}

HGDIOBJ WINAPI GetStockObject(int object) {
    static QColor darkGray(0x40, 0x40, 0x40);
    return object == DKGRAY_BRUSH ? reinterpret_cast<HGDIOBJ>(&darkGray) : nullptr;
}

// ifdiag's dialogs are modal to its main window.
INT_PTR WINAPI DialogBoxParamA(HINSTANCE, LPCSTR name, HWND owner, DLGPROC proc, LPARAM param) {
    const DialogTemplate *t = FindDialogTemplate(name);
    Window *ow = Lookup(owner);
    if (!t || !ow || !ow->client)
        return -1;
    QPointer<QWidget> ownerTop = ow->widget;
    QPoint origin = ow->client->mapToGlobal(QPoint(0, 0)); // placed from here, not centred

    // A fixed frame with a title and, with WS_SYSMENU, a close box: no minimise or
    // maximise box, as the Win32 dialog has.
    auto *dlg = new DialogFrame(ownerTop);
    dlg->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                        ((t->style & WS_SYSMENU) ? Qt::WindowCloseButtonHint : Qt::Widget));
    dlg->setWindowTitle(FromAnsi(t->caption));
    dlg->setWindowModality(Qt::WindowModal);
    // The template's font, or the platform's sans serif at its size where it is missing.
    QFont font(FromAnsi(t->face), t->pointSize > 0 ? t->pointSize : 8);
    font.setStyleHint(QFont::SansSerif);
    dlg->setFont(font);

    // Dialog units: base units of 6 x 13 pixels at 96 dpi (the template font's), scaled
    // with the screen's logical dpi; a unit is a quarter / an eighth of them.
    QScreen *screen = ownerTop->screen();
    const double bx = 6.0 * screen->logicalDotsPerInchX() / 96.0 / 4.0;
    const double by = 13.0 * screen->logicalDotsPerInchY() / 96.0 / 8.0;
    auto rect = [&](int x, int y, int cx, int cy) {
        return QRect(int(std::lround(x * bx)), int(std::lround(y * by)), int(std::lround(cx * bx)),
                     int(std::lround(cy * by)));
    };
    QRect frame = rect(t->x, t->y, t->cx, t->cy);
    dlg->setFixedSize(frame.size());
    dlg->move(origin + frame.topLeft());

    HWND dh = Register(Kind::Dialog, dlg);
    Lookup(dh)->dlg_proc = proc;
    dlg->hwnd = dh;
    HWND firstTab = nullptr;
    int group = 0;
    for (const ControlTemplate &c : t->controls) {
        QWidget *cw = BuildControl(dlg, c, dh);
        cw->setGeometry(rect(c.x, c.y, c.cx, c.cy));
        group += (c.style & WS_GROUP) != 0;
        dlg->controls.push_back({cw, group});
        if (!firstTab && (c.style & WS_TABSTOP))
            firstTab = GetDlgItem(dh, c.id);
    }
    NameControls(*t, dlg->controls);

    ++modalDepth;
    CallWindow(dh, WM_INITDIALOG, reinterpret_cast<WPARAM>(firstTab), param);
    Window *w = Lookup(dh);
    if (w && !w->ended) { // shown (ifdiag's template is WS_VISIBLE) until EndDialog hides it
        // Win32 frames the focused button from the start, showing what Enter will press;
        // Qt's styles frame it once the keyboard has moved the focus in that window.
        QTimer::singleShot(0, dlg, [dlg] {
            dlg->activateWindow();
            dlg->setAttribute(Qt::WA_KeyboardFocusChange);
        });
        dlg->exec();
        w = Lookup(dh);
    }
    INT_PTR result = w ? w->result : -1;
    CallWindow(dh, WM_DESTROY, 0, 0);
    --modalDepth;
    Forget(dh);
    if (ownerTop)
        ownerTop->activateWindow();
    return result;
}

BOOL WINAPI EndDialog(HWND h, INT_PTR result) {
    Window *w = Lookup(h);
    if (!w || w->kind != Kind::Dialog)
        return FALSE;
    w->ended = true;
    w->result = result;
    // The dialog's window goes now: its timers stop and the boxes it owns close, which
    // releases whichever thread is waiting in them.
    KillTimers(w);
    CloseBoxesOf(h);
    if (w->widget)
        w->widget->hide();
    return TRUE;
}

HWND WINAPI GetDlgItem(HWND dialog, int id) {
    for (auto &w : windows)
        if (w.second.kind == Kind::Control && w.second.parent == dialog && w.second.id == id)
            return reinterpret_cast<HWND>(w.first);
    return nullptr;
}

// ifdiag shows numbers in edits only; other controls are refused.
BOOL WINAPI SetDlgItemInt(HWND dialog, int id, UINT value, BOOL isSigned) {
    Window *w = Lookup(GetDlgItem(dialog, id));
    auto *e = w ? qobject_cast<QLineEdit *>(w->widget.data()) : nullptr;
    if (!e)
        return FALSE;
    e->setText(isSigned ? QString::number(static_cast<int>(value)) : QString::number(value));
    return TRUE;
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

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT) {
    if (!QCoreApplication::instance())
        return 0;
    auto call = std::make_shared<BoxCall>();
    call->owner = owner;
    call->text = text ? text : "";
    call->title = caption ? caption : "Error";
    if (Tracing()) // why the cycle stops for a second, in the --trace of the port calls
        Trace("msg", "\"%s\" shown", QString::fromLatin1(call->text.c_str()).toUtf8().constData());
    ++waitingCallers;
    if (OnGuiThread()) {
        QPointer<QMessageBox> box = ShowBox(call);
        ++modalDepth;
        if (box && !call->done) // until dismissed or closed with its owner
            box->exec();
        --modalDepth;
    } else {
        // Widgets belong to the GUI thread: the box is put up there and this thread
        // waits until it has been dismissed or its owner has gone.
        {
            std::lock_guard<std::mutex> lock(postMutex);
            requests.push_back(call);
        }
        WakeGuiThread();
        std::unique_lock<std::mutex> lock(call->mutex);
        call->cv.wait(lock, [&] { return call->done; });
    }
    --waitingCallers;
    std::lock_guard<std::mutex> lock(call->mutex);
    return call->result;
}
