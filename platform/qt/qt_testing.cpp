// qt_testing.h, in a library of its own that only tests link: the program carries none of it.
#include "platform/qt/qt_testing.h"

#include <QApplication>
#include <QMessageBox>

#include "platform/qt/window_table.h"

namespace qtwin::testing {

QWidget *WidgetFor(HWND h) {
    Window *w = Lookup(h);
    return w ? w->widget.data() : nullptr;
}
std::vector<HWND> TopLevelWindows() {
    std::vector<HWND> out;
    for (auto &w : windows)
        if (w.second.kind == Kind::Main)
            out.push_back(reinterpret_cast<HWND>(w.first));
    return out;
}
std::vector<MessageBoxInfo> OpenMessageBoxes() {
    std::vector<MessageBoxInfo> out;
    for (QWidget *top : QApplication::topLevelWidgets()) {
        auto *box = qobject_cast<QMessageBox *>(top);
        HWND owner = nullptr;
        for (auto &w : windows)
            owner = box && w.second.widget == box->parentWidget() ? HWND(w.first) : owner;
        if (box && box->isVisible())
            out.push_back({owner, box->windowTitle(), box->text(), box});
    }
    return out;
}
void ForgetWindowClasses() {
    classes.clear();
}

} // namespace qtwin::testing
