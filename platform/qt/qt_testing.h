// Test access to the Qt layer: the widgets behind handles, the open message boxes, and
// a way to run WinMain more than once in one process. Only tests include this and link
// ifdiag_qt_testing.
#pragma once

#include <QString>
#include <vector>

#include "platform/qt/qtwin.h"

class QMessageBox;
class QWidget;

namespace qtwin::testing {

// The widget behind a window, dialog or control handle (nullptr for a dead handle).
QWidget *WidgetFor(HWND window);
// Live top-level windows made by CreateWindowExA, in creation order.
std::vector<HWND> TopLevelWindows();

using qtwin::CurrentDialog;

struct MessageBoxInfo {
    HWND owner;
    QString title, text;
    QMessageBox *box;
};
// Boxes on screen now.
std::vector<MessageBoxInfo> OpenMessageBoxes();

// Forgets the registered window classes, so a test can run WinMain again.
void ForgetWindowClasses();

} // namespace qtwin::testing
