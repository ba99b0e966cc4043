// Accessible names as Win32 gives them, so that a screen reader can tell every dialog
// control apart.
#include <QWidget>
#include <algorithm>

#include "platform/qt/window_table.h"

namespace qtwin {

// Win32 names a control that has no text of its own (an edit) after the static
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

} // namespace qtwin
