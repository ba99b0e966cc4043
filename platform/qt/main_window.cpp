// ifdiag's main window on Qt 6 Widgets: its class, menu, icon, cursor and background.
#include <QGuiApplication>
#include <QMainWindow>
#include <QMenuBar>
#include <QScreen>

#include "platform/qt/window_table.h"

using namespace qtwin;

std::map<std::string, std::pair<WNDCLASSA, std::string>> qtwin::classes;

// A menu choice is posted, so it is acted on from the message loop once the menu has
// closed, as on Windows.
static void BuildMenu(QMainWindow *frame, HWND h, const MenuTemplate &menu) {
    for (const MenuItemTemplate &popup : menu.items) {
        QMenu *into = frame->menuBar()->addMenu(FromAnsi(popup.text));
        for (const MenuItemTemplate &item : popup.items)
            QObject::connect(into->addAction(FromAnsi(item.text)), &QAction::triggered, frame,
                             [h, id = item.id] { PostMessageA(h, WM_COMMAND, id, 0); });
    }
}

ATOM WINAPI RegisterClassA(const WNDCLASSA *wc) {
    if (!wc || !wc->lpszClassName || classes.count(wc->lpszClassName))
        return 0; // ERROR_CLASS_ALREADY_EXISTS on Windows
    classes[wc->lpszClassName] = {*wc, wc->lpszMenuName ? wc->lpszMenuName : ""};
    return static_cast<ATOM>(0xC000 + classes.size());
}

// Placed and sized by default, shown by ShowWindow. The class's cursor is not applied:
// the arrow, the only one LoadCursorA gives, is Qt's default.
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

HICON WINAPI LoadIconA(HINSTANCE, LPCSTR name) {
    static std::map<std::string, QIcon> icons;
    auto res = ProgramResources().icons.find(name ? name : "");
    if (res == ProgramResources().icons.end())
        return nullptr;
    QIcon &icon = icons[res->first];
    if (icon.isNull())
        icon = QIcon(QPixmap(QString::fromStdString(":/" + res->second), "ICO"));
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
