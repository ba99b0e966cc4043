// A dialog run modal (DialogBoxParamA until EndDialog) and the calls on its controls.
#include <QDialog>
#include <QLineEdit>

#include "platform/qt/window_table.h"

using namespace qtwin;

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
