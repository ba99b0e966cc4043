// user32/gdi32 on Qt 6 Widgets: windows, menus, modal dialogs from ifdiag.rc, window
// timers, message boxes and the message loop, for the way ifdiag uses them.
//
// Handles are numbers that are never reused (as Win32's are, for practical purposes),
// so a message box raised for a dialog that has since gone finds no owner instead of a
// later dialog. All window state lives on the GUI thread; only PostMessageA,
// PostQuitMessage and MessageBoxA may be called from other threads.
#include <QApplication>
#include <QCloseEvent>
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
#include <QThread>
#include <QTimer>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "platform/qt/qt_testing.h"
#include "platform/qt/rc.h"
#include "platform/win32.h"

namespace qtwin {
namespace {

constexpr UINT EN_CHANGE = 0x0300;
constexpr UINT BN_CLICKED = 0;

enum class Kind { Main, Dialog, Control };

struct Window {
    Kind kind = Kind::Main;
    QPointer<QWidget> widget;
    QWidget *client = nullptr; // main window: the area below the menu bar
    WNDPROC wndProc = nullptr;
    DLGPROC dlgProc = nullptr;
    HWND parent = nullptr; // control: its dialog
    int id = 0;            // control id
    std::string className;
    std::map<UINT_PTR, QTimer *> timers;
    // dialogs
    bool ended = false;
    INT_PTR result = 0;
    QEventLoop *loop = nullptr;
};

struct ClassInfo {
    WNDCLASSA wc;
    std::string name, menu;
};

struct BoxWait {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    int result = 0;
    QEventLoop *loop = nullptr; // set when the caller is the GUI thread
};

struct OpenBox {
    HWND owner;
    QPointer<QMessageBox> box;
    std::shared_ptr<BoxWait> wait;
};

struct Brush {
    QColor color;
};
struct Icon {
    QImage image;
};
struct Cursor {
    Qt::CursorShape shape;
};

// GUI thread only.
std::map<uintptr_t, Window> windows;
uintptr_t nextHandle = 0x10000;
std::map<std::string, ClassInfo> classes;
std::vector<HWND> dialogStack;
std::vector<OpenBox> boxes;
int modalDepth = 0;            // dialog loops and GUI-thread message boxes running
QEventLoop *getLoop = nullptr; // GetMessageA waiting

// Any thread.
std::mutex postMutex;
std::deque<MSG> posted;
bool quitPosted = false;
int quitCode = 0;
std::atomic<int> waitingCallers{0};

bool OnGuiThread() {
    return QCoreApplication::instance() &&
           QThread::currentThread() == QCoreApplication::instance()->thread();
}

Window *Lookup(HWND h) {
    auto it = windows.find(reinterpret_cast<uintptr_t>(h));
    return it == windows.end() ? nullptr : &it->second;
}

HWND Register(Window w) {
    HWND h = reinterpret_cast<HWND>(nextHandle);
    nextHandle += 4;
    w.widget->setProperty("ifdiag_hwnd", QVariant::fromValue(reinterpret_cast<quintptr>(h)));
    windows.emplace(reinterpret_cast<uintptr_t>(h), std::move(w));
    return h;
}

// Windows-1252 to Unicode: Latin-1 except for 0x80..0x9F.
QString FromAnsi(const char *s) {
    static const char16_t high[32] = {
        0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};
    QString out;
    for (; s && *s; ++s) {
        unsigned char c = static_cast<unsigned char>(*s);
        out += c >= 0x80 && c < 0xA0 ? QChar(high[c - 0x80]) : QChar(c);
    }
    return out;
}
QString FromAnsi(const std::string &s) {
    return FromAnsi(s.c_str());
}

void FinishWait(const std::shared_ptr<BoxWait> &wait, int result) {
    std::lock_guard<std::mutex> lock(wait->mutex);
    if (wait->done)
        return;
    wait->done = true;
    wait->result = result;
    wait->cv.notify_all();
    if (wait->loop)
        wait->loop->quit();
}

LRESULT CallWindow(HWND h, UINT msg, WPARAM wp, LPARAM lp);

// What DefDlgProc does for the messages a dialog procedure leaves alone.
LRESULT CallDialog(HWND h, Window *w, UINT msg, WPARAM wp, LPARAM lp) {
    INT_PTR handled = w->dlgProc ? w->dlgProc(h, msg, wp, lp) : FALSE;
    if (!handled && msg == WM_CLOSE)
        return CallWindow(h, WM_COMMAND, IDCANCEL,
                          reinterpret_cast<LPARAM>(GetDlgItem(h, IDCANCEL)));
    return handled;
}

LRESULT CallWindow(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    Window *w = Lookup(h);
    if (!w)
        return 0;
    switch (w->kind) {
    case Kind::Main:
        return w->wndProc ? w->wndProc(h, msg, wp, lp) : DefWindowProcA(h, msg, wp, lp);
    case Kind::Dialog:
        return CallDialog(h, w, msg, wp, lp);
    case Kind::Control:
        return 0;
    }
    return 0;
}

void SendCommand(HWND dialog, int id, UINT code, HWND control) {
    CallWindow(dialog, WM_COMMAND, (static_cast<WPARAM>(code) << 16) | static_cast<WORD>(id),
               reinterpret_cast<LPARAM>(control));
}

// Posted messages reach the innermost loop: GetMessageA returns them, a dialog's loop
// (or a box's) dispatches them itself, as the Win32 modal loops do.
void OnPosted() {
    if (modalDepth > 0) {
        for (;;) {
            MSG m;
            {
                std::lock_guard<std::mutex> lock(postMutex);
                if (posted.empty())
                    return;
                m = posted.front();
                posted.pop_front();
            }
            DispatchMessageA(&m);
        }
    }
    if (getLoop)
        getLoop->quit();
}

void KillTimers(Window *w) {
    for (auto &t : w->timers) {
        t.second->stop();
        t.second->deleteLater(); // it may be the timer whose tick is being handled
    }
    w->timers.clear();
}

void CloseBoxesOf(HWND owner) {
    for (size_t i = 0; i < boxes.size();) {
        if (boxes[i].owner != owner) {
            ++i;
            continue;
        }
        OpenBox b = boxes[i];
        boxes.erase(boxes.begin() + static_cast<long>(i));
        if (b.box) {
            b.box->disconnect();
            b.box->hide();
            b.box->deleteLater();
        }
        FinishWait(b.wait, 0);
    }
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

void ShowBox(HWND owner, const QString &text, const QString &title,
             const std::shared_ptr<BoxWait> &wait) {
    Window *w = owner ? Lookup(owner) : nullptr;
    if (owner && !w) { // the owner has gone: Win32 fails the call
        FinishWait(wait, 0);
        return;
    }
    QWidget *parent = w ? w->widget->window() : nullptr;
    auto *box = new QMessageBox(QMessageBox::NoIcon, title, text, QMessageBox::Ok, parent);
    box->setTextFormat(Qt::PlainText);
    box->setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);
    boxes.push_back({owner, box, wait});
    QObject::connect(box, &QMessageBox::finished, box, [box, wait] {
        for (size_t i = 0; i < boxes.size(); ++i)
            if (boxes[i].box == box)
                boxes.erase(boxes.begin() + static_cast<long>(i));
        box->deleteLater();
        FinishWait(wait, IDOK);
    });
    box->show();
    box->activateWindow();
}

// Requests for boxes from other threads, handed over under a lock of our own (Qt's
// event queue hands over no data here, so ThreadSanitizer sees every hand-over).
struct BoxRequest {
    HWND owner;
    std::string text, title; // Windows-1252, converted on the GUI thread
    std::shared_ptr<BoxWait> wait;
};
std::mutex requestMutex;
std::deque<BoxRequest> requests;

void ShowRequestedBoxes() {
    for (;;) {
        BoxRequest r;
        {
            std::lock_guard<std::mutex> lock(requestMutex);
            if (requests.empty())
                return;
            r = requests.front();
            requests.pop_front();
        }
        ShowBox(r.owner, FromAnsi(r.text), FromAnsi(r.title), r.wait);
    }
}

// Calls from other threads reach the GUI thread as a bare posted event; what they
// carry goes through our own locked queues. (A queued functor would be shared between
// the threads through Qt's own reference counting, which ThreadSanitizer cannot see.)
class GuiWaker : public QObject {
public:
    enum Call { POSTED = QEvent::User + 1, BOXES };
    bool event(QEvent *e) override {
        if (e->type() == static_cast<QEvent::Type>(POSTED))
            OnPosted();
        else if (e->type() == static_cast<QEvent::Type>(BOXES))
            ShowRequestedBoxes();
        else
            return QObject::event(e);
        return true;
    }
};

void WakeGuiThread(GuiWaker::Call call) {
    static GuiWaker *waker = [] {
        auto *w = new GuiWaker;
        w->moveToThread(QCoreApplication::instance()->thread());
        return w;
    }();
    QCoreApplication::postEvent(waker, new QEvent(static_cast<QEvent::Type>(call)));
}

class MainFrame : public QMainWindow {
public:
    HWND hwnd = nullptr;

protected:
    void closeEvent(QCloseEvent *e) override {
        e->ignore(); // the window procedure decides; DefWindowProcA destroys
        CallWindow(hwnd, WM_CLOSE, 0, 0);
    }
};

// Keyboard of a Win32 dialog: no button is ever default; Enter clicks a focused button
// and otherwise sends IDOK; Escape and the close box send IDCANCEL. The dialog procedure
// decides whether the dialog ends.
class DialogFrame : public QDialog {
public:
    using QDialog::QDialog;
    HWND hwnd = nullptr;

protected:
    void keyPressEvent(QKeyEvent *e) override {
        switch (e->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if (auto *b = qobject_cast<QPushButton *>(focusWidget()))
                b->click();
            else
                SendCommand(hwnd, IDOK, BN_CLICKED, GetDlgItem(hwnd, IDOK));
            break;
        case Qt::Key_Escape:
            SendCommand(hwnd, IDCANCEL, BN_CLICKED, GetDlgItem(hwnd, IDCANCEL));
            break;
        default:
            QDialog::keyPressEvent(e);
        }
    }
    void closeEvent(QCloseEvent *e) override {
        e->ignore();
        CallWindow(hwnd, WM_CLOSE, 0, 0);
    }
};

QMenuBar *BuildMenu(QMainWindow *frame, HWND h, const MenuTemplate &menu) {
    QMenuBar *bar = frame->menuBar();
    std::function<void(QMenu *, const std::vector<MenuItemTemplate> &)> fill =
        [&](QMenu *into, const std::vector<MenuItemTemplate> &items) {
            for (const MenuItemTemplate &item : items) {
                if (!item.items.empty()) {
                    fill(into->addMenu(FromAnsi(item.text)), item.items);
                } else {
                    int id = item.id;
                    // A menu choice is posted, so it is acted on from the message loop
                    // once the menu has closed, as on Windows.
                    QObject::connect(into->addAction(FromAnsi(item.text)), &QAction::triggered,
                                     frame, [h, id] { PostMessageA(h, WM_COMMAND, id, 0); });
                }
            }
        };
    for (const MenuItemTemplate &item : menu.items) {
        if (!item.items.empty()) {
            fill(bar->addMenu(FromAnsi(item.text)), item.items);
        } else {
            int id = item.id;
            QObject::connect(bar->addAction(FromAnsi(item.text)), &QAction::triggered, frame,
                             [h, id] { PostMessageA(h, WM_COMMAND, id, 0); });
        }
    }
    return bar;
}

QWidget *BuildControl(DialogFrame *dlg, const ControlTemplate &c, HWND dh) {
    const bool tabStop = c.style & 0x00010000u;
    QWidget *widget = nullptr;
    HWND *self = new HWND(nullptr); // filled in once registered; owned by the widget below
    switch (c.kind) {
    case ControlKind::PushButton: {
        auto *b = new QPushButton(FromAnsi(c.text), dlg);
        b->setAutoDefault(false);
        b->setDefault(false);
        b->setFocusPolicy(tabStop ? Qt::StrongFocus : Qt::ClickFocus);
        int id = c.id;
        QObject::connect(b, &QPushButton::clicked, b,
                         [dh, id, self] { SendCommand(dh, id, BN_CLICKED, *self); });
        widget = b;
        break;
    }
    case ControlKind::LText: {
        auto *l = new QLabel(FromAnsi(c.text), dlg);
        l->setTextFormat(Qt::PlainText);
        l->setAlignment(Qt::AlignTop | Qt::AlignLeft);
        l->setFocusPolicy(Qt::NoFocus);
        widget = l;
        break;
    }
    case ControlKind::EditText: {
        auto *e = new QLineEdit(dlg);
        e->setFrame(c.style & 0x00800000u);
        e->setReadOnly(c.style & 0x0800u);
        e->setAlignment((c.style & 2u)   ? Qt::AlignRight
                        : (c.style & 1u) ? Qt::AlignHCenter
                                         : Qt::AlignLeft);
        e->setFocusPolicy(tabStop ? Qt::StrongFocus : Qt::ClickFocus);
        e->setTextMargins(0, 0, 0, 0);
        int id = c.id;
        // Win32 edits report every change, also those made with SetDlgItemInt.
        QObject::connect(e, &QLineEdit::textChanged, e,
                         [dh, id, self] { SendCommand(dh, id, EN_CHANGE, *self); });
        widget = e;
        break;
    }
    }
    QObject::connect(widget, &QObject::destroyed, [self] { delete self; });
    widget->setEnabled(!(c.style & 0x08000000u));
    widget->setVisible(c.style & 0x10000000u);
    Window w;
    w.kind = Kind::Control;
    w.widget = widget;
    w.parent = dh;
    w.id = c.id;
    *self = Register(std::move(w));
    return widget;
}

} // namespace

HINSTANCE ModuleInstance() {
    static char module;
    return reinterpret_cast<HINSTANCE>(&module);
}

void DestroyAllWindows() {
    {
        std::lock_guard<std::mutex> lock(requestMutex);
        for (BoxRequest &r : requests)
            FinishWait(r.wait, 0);
        requests.clear();
    }
    while (!boxes.empty())
        CloseBoxesOf(boxes.front().owner);
    std::vector<QPointer<QWidget>> widgets;
    for (auto &w : windows)
        if (w.second.kind != Kind::Control)
            widgets.push_back(w.second.widget);
    for (auto &w : windows)
        KillTimers(&w.second);
    windows.clear();
    dialogStack.clear();
    for (auto &w : widgets)
        delete w.data();
    {
        std::lock_guard<std::mutex> lock(postMutex);
        posted.clear();
        quitPosted = false;
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
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
HWND HandleFor(QWidget *widget) {
    if (!widget)
        return nullptr;
    HWND h = reinterpret_cast<HWND>(widget->property("ifdiag_hwnd").value<quintptr>());
    return Lookup(h) ? h : nullptr;
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
    return w ? w->className : std::string();
}
HWND CurrentDialog() {
    return dialogStack.empty() ? nullptr : dialogStack.back();
}
int ControlIdOf(QWidget *widget) {
    Window *w = Lookup(HandleFor(widget));
    return w && w->kind == Kind::Control ? w->id : 0;
}
std::vector<MessageBoxInfo> OpenMessageBoxes() {
    std::vector<MessageBoxInfo> out;
    for (auto &b : boxes)
        if (b.box)
            out.push_back({b.owner, b.box->windowTitle(), b.box->text(), b.box.data()});
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
    ClassInfo info{*wc, wc->lpszClassName, wc->lpszMenuName ? wc->lpszMenuName : ""};
    classes[info.name] = info;
    return static_cast<ATOM>(0xC000 + classes.size());
}

HWND WINAPI CreateWindowExA(DWORD, LPCSTR className, LPCSTR title, DWORD style, int x, int y,
                            int width, int height, HWND, HMENU, HINSTANCE, LPVOID param) {
    auto cls = className ? classes.find(className) : classes.end();
    if (cls == classes.end())
        return nullptr;
    const WNDCLASSA &wc = cls->second.wc;
    auto *frame = new MainFrame;
    frame->setWindowTitle(FromAnsi(title));
    auto *client = new QWidget(frame);
    if (wc.hbrBackground) {
        QPalette pal = client->palette();
        pal.setColor(QPalette::Window, reinterpret_cast<Brush *>(wc.hbrBackground)->color);
        client->setPalette(pal);
        client->setAutoFillBackground(true);
    }
    if (wc.hCursor)
        client->setCursor(reinterpret_cast<Cursor *>(wc.hCursor)->shape);
    frame->setCentralWidget(client);
    if (wc.hIcon && !reinterpret_cast<Icon *>(wc.hIcon)->image.isNull())
        frame->setWindowIcon(QPixmap::fromImage(reinterpret_cast<Icon *>(wc.hIcon)->image));

    QRect avail = QGuiApplication::primaryScreen()->availableGeometry();
    if (width == CW_USEDEFAULT)
        frame->resize(std::min(800, avail.width() * 3 / 4), std::min(600, avail.height() * 3 / 4));
    else
        frame->resize(width, height);
    if (x == CW_USEDEFAULT)
        frame->move(avail.topLeft() + QPoint(32, 32));
    else
        frame->move(x, y);

    Window w;
    w.kind = Kind::Main;
    w.widget = frame;
    w.client = client;
    w.wndProc = wc.lpfnWndProc;
    w.className = cls->first;
    HWND h = Register(std::move(w));
    frame->hwnd = h;
    if (const MenuTemplate *menu = FindMenuTemplate(cls->second.menu.c_str()))
        BuildMenu(frame, h, *menu);

    // WM_CREATE before the window is shown; -1 refuses the window.
    if (CallWindow(h, WM_CREATE, 0, reinterpret_cast<LPARAM>(param)) == -1) {
        Forget(h);
        return nullptr;
    }
    if (style & WS_VISIBLE)
        ShowWindow(h, SW_SHOW);
    return h;
}

BOOL WINAPI ShowWindow(HWND h, int) {
    Window *w = Lookup(h);
    if (!w || !w->widget)
        return FALSE;
    BOOL wasVisible = w->widget->isVisible();
    w->widget->show();
    w->widget->activateWindow(); // nothing else activates it without a window manager
    return wasVisible;
}

BOOL WINAPI UpdateWindow(HWND h) {
    Window *w = Lookup(h);
    if (!w || !w->widget)
        return FALSE;
    if (w->widget->isVisible())
        w->widget->repaint();
    return TRUE;
}

BOOL WINAPI GetMessageA(LPMSG msg, HWND, UINT, UINT) {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(postMutex);
            if (!posted.empty()) {
                *msg = posted.front();
                posted.pop_front();
                return TRUE;
            }
            if (quitPosted) {
                quitPosted = false;
                *msg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(quitCode), 0, 0, {0, 0}};
                return FALSE;
            }
        }
        // Input, painting and timers are Qt's events; they are handled inside exec().
        QEventLoop loop;
        QEventLoop *outer = getLoop;
        getLoop = &loop;
        loop.exec();
        getLoop = outer;
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
    if (msg == WM_CLOSE) { // DestroyWindow: hidden, WM_DESTROY, then gone
        Window *w = Lookup(h);
        if (w && w->widget)
            w->widget->hide();
        CallWindow(h, WM_DESTROY, 0, 0);
        Forget(h);
    }
    return 0;
}

void WINAPI PostQuitMessage(int code) {
    {
        std::lock_guard<std::mutex> lock(postMutex);
        quitPosted = true;
        quitCode = code;
    }
    if (QCoreApplication::instance())
        WakeGuiThread(GuiWaker::POSTED);
}

BOOL WINAPI PostMessageA(HWND h, UINT message, WPARAM wp, LPARAM lp) {
    if (!QCoreApplication::instance() || (h && OnGuiThread() && !Lookup(h)))
        return FALSE;
    {
        std::lock_guard<std::mutex> lock(postMutex);
        posted.push_back(MSG{h, message, wp, lp, 0, {0, 0}});
    }
    WakeGuiThread(GuiWaker::POSTED);
    return TRUE;
}

LRESULT WINAPI SendMessageA(HWND h, UINT message, WPARAM wp, LPARAM lp) {
    return CallWindow(h, message, wp, lp);
}

HICON WINAPI LoadIconA(HINSTANCE, LPCSTR name) {
    static std::map<std::string, Icon> icons;
    auto res = ProgramResources().icons.find(name ? name : "");
    if (res == ProgramResources().icons.end())
        return nullptr;
    auto it = icons.find(res->first);
    if (it == icons.end()) {
        const EmbeddedFile *f = FindEmbeddedFile(res->second);
        QImage image;
        if (f)
            image.loadFromData(f->data, static_cast<int>(f->size), "ICO");
        it = icons.emplace(res->first, Icon{image}).first;
    }
    return reinterpret_cast<HICON>(&it->second);
}

HCURSOR WINAPI LoadCursorA(HINSTANCE instance, LPCSTR name) {
    static Cursor arrow{Qt::ArrowCursor};
    if (!instance && name == IDC_ARROW)
        return reinterpret_cast<HCURSOR>(&arrow);
    return nullptr;
}

HGDIOBJ WINAPI GetStockObject(int object) {
    static Brush brushes[] = {{QColor(0xFF, 0xFF, 0xFF)},
                              {QColor(0xC0, 0xC0, 0xC0)},
                              {QColor(0x80, 0x80, 0x80)},
                              {QColor(0x40, 0x40, 0x40)},
                              {QColor(0x00, 0x00, 0x00)}};
    if (object < 0 || object > 4) // WHITE_BRUSH .. BLACK_BRUSH
        return nullptr;
    return reinterpret_cast<HGDIOBJ>(&brushes[object]);
}

INT_PTR WINAPI DialogBoxParamA(HINSTANCE, LPCSTR name, HWND owner, DLGPROC proc, LPARAM param) {
    const DialogTemplate *t = FindDialogTemplate(name);
    Window *ow = owner ? Lookup(owner) : nullptr;
    if (!t || (owner && !ow))
        return -1;
    QWidget *ownerTop = ow ? ow->widget->window() : nullptr;
    QPointer<QWidget> ownerGuard = ownerTop;

    auto *dlg = new DialogFrame(ownerTop);
    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint;
    if (t->style & 0x00C00000u)
        flags |= Qt::WindowTitleHint;
    if (t->style & WS_SYSMENU)
        flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    dlg->setWindowFlags(flags);
    dlg->setWindowTitle(FromAnsi(t->caption));
    dlg->setWindowModality(ownerTop ? Qt::WindowModal : Qt::ApplicationModal);
    // The template's font, or the platform's sans serif at its size where it is missing.
    QFont font(FromAnsi(t->face), t->pointSize > 0 ? t->pointSize : 8);
    font.setStyleHint(QFont::SansSerif);
    dlg->setFont(font);

    // Dialog units: base units of 6 x 13 pixels at 96 dpi (the template font's), scaled
    // with the screen's logical dpi; a unit is a quarter / an eighth of them.
    QScreen *screen = ownerTop ? ownerTop->screen() : QGuiApplication::primaryScreen();
    const double bx = 6.0 * screen->logicalDotsPerInchX() / 96.0;
    const double by = 13.0 * screen->logicalDotsPerInchY() / 96.0;
    auto px = [&](int du, bool horizontal) {
        return static_cast<int>(std::lround(du * (horizontal ? bx / 4.0 : by / 8.0)));
    };
    dlg->setFixedSize(px(t->cx, true), px(t->cy, false));

    Window dw;
    dw.kind = Kind::Dialog;
    dw.widget = dlg;
    dw.dlgProc = proc;
    HWND dh = Register(std::move(dw));
    dlg->hwnd = dh;
    HWND firstTab = nullptr;
    for (const ControlTemplate &c : t->controls) {
        QWidget *cw = BuildControl(dlg, c, dh);
        cw->setGeometry(px(c.x, true), px(c.y, false), px(c.cx, true), px(c.cy, false));
        if (!firstTab && (c.style & 0x00010000u))
            firstTab = testing::HandleFor(cw);
    }
    // Placed relative to the owner's client area, not centred.
    QWidget *origin = ow ? (ow->client ? ow->client : ow->widget.data()) : nullptr;
    QPoint at = origin ? origin->mapToGlobal(QPoint(0, 0)) : QPoint(0, 0);
    dlg->move(at + QPoint(px(t->x, true), px(t->y, false)));

    dialogStack.push_back(dh);
    ++modalDepth;
    CallWindow(dh, WM_INITDIALOG, reinterpret_cast<WPARAM>(firstTab), param);
    Window *w = Lookup(dh);
    if (w && !w->ended) {
        if (t->style & WS_VISIBLE) {
            dlg->show();
            dlg->activateWindow();
        }
        QEventLoop loop;
        w->loop = &loop;
        loop.exec();
        w = Lookup(dh);
    }
    INT_PTR result = w ? w->result : -1;
    CallWindow(dh, WM_DESTROY, 0, 0);
    --modalDepth;
    dialogStack.pop_back();
    Forget(dh);
    if (ownerGuard) {
        ownerGuard->activateWindow();
    }
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
    if (w->loop)
        w->loop->quit();
    return TRUE;
}

HWND WINAPI GetDlgItem(HWND dialog, int id) {
    for (auto &w : windows)
        if (w.second.kind == Kind::Control && w.second.parent == dialog && w.second.id == id)
            return reinterpret_cast<HWND>(w.first);
    return nullptr;
}

BOOL WINAPI SetDlgItemInt(HWND dialog, int id, UINT value, BOOL isSigned) {
    Window *w = Lookup(GetDlgItem(dialog, id));
    if (!w || !w->widget)
        return FALSE;
    QString text = isSigned ? QString::number(static_cast<int>(value)) : QString::number(value);
    if (auto *e = qobject_cast<QLineEdit *>(w->widget.data()))
        e->setText(text);
    else if (auto *l = qobject_cast<QLabel *>(w->widget.data()))
        l->setText(text);
    else if (auto *b = qobject_cast<QPushButton *>(w->widget.data()))
        b->setText(text);
    return TRUE;
}

UINT WINAPI GetDlgItemInt(HWND dialog, int id, BOOL *translated, BOOL isSigned) {
    if (translated)
        *translated = FALSE;
    Window *w = Lookup(GetDlgItem(dialog, id));
    if (!w || !w->widget)
        return 0;
    QString text;
    if (auto *e = qobject_cast<QLineEdit *>(w->widget.data()))
        text = e->text();
    else if (auto *l = qobject_cast<QLabel *>(w->widget.data()))
        text = l->text();
    else if (auto *b = qobject_cast<QAbstractButton *>(w->widget.data()))
        text = b->text();
    // As Win32: leading blanks, an optional minus when signed, then digits only.
    int start = 0;
    while (start < text.size() && text[start].isSpace())
        ++start;
    QString s = text.mid(start);
    bool ok = false;
    bool digits = !s.isEmpty() && s.back().isDigit() &&
                  (s[0].isDigit() || (isSigned && s[0] == QLatin1Char('-')));
    if (isSigned) {
        int v = s.toInt(&ok);
        if (ok && digits && translated)
            *translated = TRUE;
        return ok && digits ? static_cast<UINT>(v) : 0;
    }
    uint v = s.toUInt(&ok);
    if (ok && digits && translated)
        *translated = TRUE;
    return ok && digits ? v : 0;
}

UINT_PTR WINAPI SetTimer(HWND h, UINT_PTR id, UINT elapse, TIMERPROC proc) {
    Window *w = Lookup(h);
    if (!w || !w->widget)
        return 0;
    QTimer *&timer = w->timers[id];
    if (!timer) {
        timer = new QTimer(w->widget);
        QObject::connect(timer, &QTimer::timeout, timer, [h, id, proc] {
            if (proc)
                proc(h, WM_TIMER, id, 0);
            else
                CallWindow(h, WM_TIMER, id, 0);
        });
    }
    timer->start(static_cast<int>(std::max<UINT>(elapse, 10)));
    return id ? id : 1;
}

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT) {
    if (!QCoreApplication::instance())
        return 0;
    auto wait = std::make_shared<BoxWait>();
    std::string body = text ? text : "";
    std::string title = caption ? caption : "Error";
    ++waitingCallers;
    if (OnGuiThread()) {
        ShowBox(owner, FromAnsi(body), FromAnsi(title), wait);
        bool done;
        {
            std::lock_guard<std::mutex> lock(wait->mutex);
            done = wait->done;
        }
        if (!done) {
            QEventLoop loop;
            wait->loop = &loop;
            ++modalDepth;
            loop.exec();
            --modalDepth;
            wait->loop = nullptr;
        }
    } else {
        // Widgets belong to the GUI thread: the box is put up there and this thread
        // waits until it has been dismissed or its owner has gone.
        {
            std::lock_guard<std::mutex> lock(requestMutex);
            requests.push_back(BoxRequest{owner, body, title, wait});
        }
        WakeGuiThread(GuiWaker::BOXES);
        std::unique_lock<std::mutex> lock(wait->mutex);
        wait->cv.wait(lock, [&] { return wait->done; });
    }
    --waitingCallers;
    std::lock_guard<std::mutex> lock(wait->mutex);
    return wait->result;
}
