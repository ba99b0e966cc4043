// Test access to the Qt layer: the widgets behind handles, the open message boxes, and
// a way to run WinMain more than once in one process. Only tests include this.
#pragma once

#include <QImage>
#include <QString>
#include <string>
#include <vector>

#include "platform/qt/qtwin.h"

class QMessageBox;
class QWidget;

namespace qtwin::testing {

// The widget behind a window, dialog or control handle (nullptr for a dead handle). For
// a main window ClientAreaFor gives the part below the menu bar.
QWidget *WidgetFor(HWND window);
QWidget *ClientAreaFor(HWND window);

// Live top-level windows made by CreateWindowExA, in creation order, and their class.
std::vector<HWND> TopLevelWindows();
std::string ClassNameOf(HWND window);

using qtwin::CurrentDialog;
// Control id of a dialog control's widget (0 when it is none).
int ControlIdOf(QWidget *widget);

struct MessageBoxInfo {
    HWND owner;
    QString title;
    QString text;
    QMessageBox *box;
};
// Boxes on screen now, oldest first.
std::vector<MessageBoxInfo> OpenMessageBoxes();
// Callers of MessageBoxA (any thread) that have not yet returned.
int WaitingMessageBoxCallers();

// Forgets the registered window classes, so a test can run WinMain again.
void ForgetWindowClasses();

// The window's client area as it is painted now.
QImage Grab(HWND window);

} // namespace qtwin::testing
