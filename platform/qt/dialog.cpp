// Dialogs from their templates in ifdiag.rc, with the keyboard of a Win32 dialog. Building
// one (BuildDialog) is kept apart from running it modal (DialogBoxParamA until EndDialog).
#include <QDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <cmath>

#include "platform/qt/window_table.h"

using namespace qtwin;

namespace {

constexpr UINT BN_CLICKED = 0; // in the high word of WM_COMMAND's wparam

void SendCommand(HWND dialog, int id, HWND control) {
    CallWindow(dialog, WM_COMMAND, (static_cast<WPARAM>(BN_CLICKED) << 16) | static_cast<WORD>(id),
               reinterpret_cast<LPARAM>(control));
}

// No button is ever default; Enter clicks a focused button and otherwise sends IDOK;
// Escape and the close box send IDCANCEL (the dialog procedure decides). An arrow on a
// button moves the focus within its group (a WS_GROUP control starts one) to the next or
// previous control that is visible, enabled and not a label, wrapping round, without
// clicking; Qt's own arrow handling never sees it. Edits keep the arrows for their caret.
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
                SendCommand(hwnd, IDOK, GetDlgItem(hwnd, IDOK));
        } else if (e->key() == Qt::Key_Escape) {
            SendCommand(hwnd, IDCANCEL, GetDlgItem(hwnd, IDCANCEL));
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

QWidget *BuildControl(DialogFrame *dlg, const ControlTemplate &c, HWND dh) {
    HWND ch = Register(Kind::Control, nullptr, dh, c.id);
    QWidget *widget = nullptr;
    if (c.kind == ControlKind::PushButton) {
        auto *b = new QPushButton(FromAnsi(c.text), dlg);
        b->setAutoDefault(false);
        QObject::connect(b, &QPushButton::clicked, b,
                         [dh, ch, id = c.id] { SendCommand(dh, id, ch); });
        b->installEventFilter(dlg);
        widget = b;
    } else if (c.kind == ControlKind::LText) {
        auto *l = new QLabel(FromAnsi(c.text), dlg);
        l->setAlignment(Qt::AlignTop | Qt::AlignLeft);
        widget = l;
    } else {
        auto *e = new QLineEdit(dlg);
        e->setFrame(c.style & WS_BORDER);
        widget = e;
    }
    widget->setFocusPolicy(c.kind == ControlKind::LText ? Qt::NoFocus
                           : (c.style & WS_TABSTOP)     ? Qt::StrongFocus
                                                        : Qt::ClickFocus);
    widget->setVisible(c.style & WS_VISIBLE);
    Lookup(ch)->widget = widget;
    return widget;
}

// The dialog's widgets and handles, hidden, at the owner's client origin (not centred).
HWND BuildDialog(const DialogTemplate &t, QWidget *owner, DLGPROC proc, HWND *firstTab) {
    // A fixed frame with a title and, with WS_SYSMENU, a close box: no minimise or
    // maximise box, as the Win32 dialog has.
    auto *dlg = new DialogFrame(owner->window());
    dlg->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                        ((t.style & WS_SYSMENU) ? Qt::WindowCloseButtonHint : Qt::Widget));
    dlg->setWindowTitle(FromAnsi(t.caption));
    dlg->setWindowModality(Qt::WindowModal);
    // The template's font, or the platform's sans serif at its size where it is missing.
    QFont font(FromAnsi(t.face), t.pointSize > 0 ? t.pointSize : 8);
    font.setStyleHint(QFont::SansSerif);
    dlg->setFont(font);

    // Dialog units: base units of 6 x 13 pixels at 96 dpi (the template font's), scaled
    // with the screen's logical dpi; a unit is a quarter / an eighth of them.
    QScreen *screen = owner->screen();
    const double bx = 6.0 * screen->logicalDotsPerInchX() / 96.0 / 4.0;
    const double by = 13.0 * screen->logicalDotsPerInchY() / 96.0 / 8.0;
    auto rect = [&](int x, int y, int cx, int cy) {
        return QRect(int(std::lround(x * bx)), int(std::lround(y * by)), int(std::lround(cx * bx)),
                     int(std::lround(cy * by)));
    };
    QRect frame = rect(t.x, t.y, t.cx, t.cy);
    dlg->setFixedSize(frame.size());
    dlg->move(owner->mapToGlobal(QPoint(0, 0)) + frame.topLeft());

    HWND dh = Register(Kind::Dialog, dlg);
    Lookup(dh)->dlg_proc = proc;
    dlg->hwnd = dh;
    *firstTab = nullptr;
    int group = 0;
    for (const ControlTemplate &c : t.controls) {
        QWidget *cw = BuildControl(dlg, c, dh);
        cw->setGeometry(rect(c.x, c.y, c.cx, c.cy));
        group += (c.style & WS_GROUP) != 0;
        dlg->controls.push_back({cw, group});
        if (!*firstTab && (c.style & WS_TABSTOP))
            *firstTab = GetDlgItem(dh, c.id);
    }
    NameControls(t, dlg->controls);
    return dh;
}

} // namespace

// ifdiag's dialogs are modal to its main window.
INT_PTR WINAPI DialogBoxParamA(HINSTANCE, LPCSTR name, HWND owner, DLGPROC proc, LPARAM param) {
    const DialogTemplate *t = FindDialogTemplate(name);
    Window *ow = Lookup(owner);
    if (!t || !ow || !ow->client)
        return -1;
    QPointer<QWidget> ownerTop = ow->widget;
    HWND firstTab;
    HWND dh = BuildDialog(*t, ow->client, proc, &firstTab);
    auto *dlg = static_cast<QDialog *>(Lookup(dh)->widget.data());

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
