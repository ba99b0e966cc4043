// The Qt layer on its own: the resource script as built in, dialogs built from it and
// their Win32 keyboard, window timers and message boxes from other threads.
#include <QLabel>
#include <QMessageBox>
#include <QTest>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/qt/rc.h"
#include "tests/ui/ui_support.h"

using namespace uitest;
using qtwin::ControlKind;

namespace {

constexpr uint32_t BUTTON = 0x50010000; // WS_CHILD|WS_VISIBLE|WS_TABSTOP
constexpr uint32_t LABEL = 0x50020000;  // WS_CHILD|WS_VISIBLE|WS_GROUP (SS_LEFT)
constexpr uint32_t EDIT = 0x50810080;   // ...|WS_BORDER|WS_TABSTOP|ES_AUTOHSCROLL (ES_LEFT)
constexpr uint32_t DIALOG = 0x90C800C0; // DS_MODALFRAME|WS_POPUP|WS_CAPTION|WS_SYSMENU|
                                        // WS_VISIBLE, and DS_SETFONT for FONT
struct Expected {
    ControlKind kind;
    const char *text;
    int id, x, y, cx, cy;
};

// The test dialog's controls in template order, written out from its tables.
std::vector<Expected> ExpectedControls() {
    std::vector<Expected> e;
    auto mx = [](int m) { return 15 + 75 * (m - 1); };
    auto ix = [](int i) { return 15 + 35 * (i - 1); };
    for (int m = 1; m <= 4; ++m) {
        e.push_back({ControlKind::PushButton, "Rechts", 1000 + 3 * (m - 1), mx(m), 30, 44, 23});
        e.push_back({ControlKind::PushButton, "Stop", 1002 + 3 * (m - 1), mx(m), 60, 44, 23});
    }
    static const char *motors[] = {"Motor 1", "Motor 2", "Motor 3", "Motor 4"};
    for (int m = 1; m <= 4; ++m)
        e.push_back({ControlKind::LText, motors[m - 1], -1, mx(m) + 5, 15, 35, 10});
    e.push_back({ControlKind::PushButton, "Abbrechen", 2, 145, 220, 145, 27});
    for (int i = 1; i <= 4; ++i)
        e.push_back({ControlKind::EditText, "", 1011 + i, ix(i), 165, 25, 13});
    for (int i = 1; i <= 4; ++i)
        e.push_back({ControlKind::PushButton, "Reset", 1019 + i, ix(i), 190, 25, 16});
    for (int m = 1; m <= 4; ++m)
        e.push_back({ControlKind::PushButton, "Links", 1001 + 3 * (m - 1), mx(m), 90, 44, 23});
    for (int i = 5; i <= 8; ++i)
        e.push_back({ControlKind::EditText, "", 1011 + i, ix(i), 165, 25, 13});
    for (int i = 5; i <= 8; ++i)
        e.push_back({ControlKind::PushButton, "Reset", 1019 + i, ix(i), 190, 25, 16});
    static const char *inputs[] = {"E1", "E2", "E3", "E4", "E5", "E6", "E7", "E8"};
    for (int i = 1; i <= 8; ++i)
        e.push_back({ControlKind::LText, inputs[i - 1], -1, ix(i) + 5, 150, 10, 8});
    e.push_back({ControlKind::EditText, "", 1028, 30, 225, 34, 13});
    e.push_back({ControlKind::EditText, "", 1029, 90, 225, 34, 13});
    e.push_back({ControlKind::LText, "EX", -1, 10, 225, 15, 15});
    e.push_back({ControlKind::LText, "EY", -1, 70, 225, 15, 15});
    return e;
}

// A dialog procedure that records what reaches it and ends on IDCANCEL.
struct Received {
    UINT message;
    WPARAM wparam;
    bool visible;
};
std::vector<Received> received;

INT_PTR CALLBACK RecordingProc(HWND dlg, UINT message, WPARAM wparam, LPARAM) {
    QWidget *w = qtwin::testing::WidgetFor(dlg);
    received.push_back({message, wparam, w && w->isVisible()});
    if (message == WM_INITDIALOG)
        SetTimer(dlg, 7, 50, nullptr);
    if (message == WM_COMMAND && wparam == IDCANCEL)
        EndDialog(dlg, 42);
    return FALSE;
}

int Count(UINT message, WPARAM wparam) {
    int n = 0;
    for (auto &r : received)
        n += r.message == message && r.wparam == wparam;
    return n;
}

// The dialog under test runs from a bare window of the test's own class.
LRESULT CALLBACK OwnerProc(HWND h, UINT m, WPARAM w, LPARAM l) {
    return DefWindowProcA(h, m, w, l);
}
HWND MakeOwner() {
    qtwin::testing::ForgetWindowClasses();
    WNDCLASSA wc = {};
    wc.lpfnWndProc = OwnerProc;
    wc.lpszClassName = "Owner";
    RegisterClassA(&wc);
    HWND h = CreateWindowExA(0, "Owner", "owner", WS_OVERLAPPEDWINDOW, 50, 60, 600, 500, nullptr,
                             nullptr, qtwin::ModuleInstance(), nullptr);
    ShowWindow(h, SW_SHOW);
    return h;
}

INT_PTR RunDialog(HWND owner) {
    received.clear();
    return DialogBoxParamA(qtwin::ModuleInstance(), "TERMINAL_DIALOG", owner, RecordingProc, 0);
}

} // namespace

TEST(ResourceScript, DialogTemplateMatchesTheTables) {
    const qtwin::DialogTemplate *t = qtwin::FindDialogTemplate("TERMINAL_DIALOG");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->caption, "Interface testen");
    EXPECT_EQ(t->x, 0);
    EXPECT_EQ(t->y, 0);
    EXPECT_EQ(t->cx, 309);
    EXPECT_EQ(t->cy, 254);
    EXPECT_EQ(t->pointSize, 8);
    EXPECT_EQ(t->face, "MS Sans Serif");
    EXPECT_EQ(t->style, DIALOG);
    auto want = ExpectedControls();
    ASSERT_EQ(t->controls.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        const qtwin::ControlTemplate &c = t->controls[i];
        SCOPED_TRACE("control " + std::to_string(i) + " id " + std::to_string(want[i].id));
        EXPECT_EQ(c.kind, want[i].kind);
        EXPECT_EQ(c.text, want[i].text);
        EXPECT_EQ(c.id, want[i].id);
        EXPECT_EQ(c.x, want[i].x);
        EXPECT_EQ(c.y, want[i].y);
        EXPECT_EQ(c.cx, want[i].cx);
        EXPECT_EQ(c.cy, want[i].cy);
        EXPECT_EQ(c.style, c.kind == ControlKind::PushButton ? BUTTON
                           : c.kind == ControlKind::LText    ? LABEL
                                                             : EDIT);
    }
}

TEST(ResourceScript, MenuAndIcon) {
    const qtwin::MenuTemplate *m = qtwin::FindMenuTemplate("IDR_MENU1");
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(m->items.size(), 1u);
    EXPECT_EQ(m->items[0].text, "&Programm");
    ASSERT_EQ(m->items[0].items.size(), 2u);
    EXPECT_EQ(m->items[0].items[0].text, "&Start");
    EXPECT_EQ(m->items[0].items[0].id, 40001);
    EXPECT_EQ(m->items[0].items[1].text, "&Beenden");
    EXPECT_EQ(m->items[0].items[1].id, 40002);

    HICON icon = LoadIconA(qtwin::ModuleInstance(), "IDI_ICON1");
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(LoadIconA(qtwin::ModuleInstance(), "NO_SUCH_ICON"), nullptr);
}

TEST(ResourceScript, ParserFollowsTheResourceCompiler) {
    qtwin::ResourceScript s;
    std::string error;
    ASSERT_TRUE(
        qtwin::ParseResourceScript("#define IDC_X 77 // from a header\n"
                                   "/* block\n comment */\n"
                                   "D DIALOG 1, 2, 3, 4\n"
                                   "CAPTION \"say \"\"hi\"\"\"\n"
                                   "BEGIN\n"
                                   "  PUSHBUTTON \"\\xFC\", IDC_X, 0, 0, 9, 9, NOT WS_TABSTOP\n"
                                   "  EDITTEXT 5, 0, 0, 9, 9, ES_READONLY | 0x4\n"
                                   "END\n",
                                   &s, &error))
        << error;
    ASSERT_EQ(s.dialogs.size(), 1u);
    EXPECT_EQ(s.dialogs[0].caption, "say \"hi\"");
    ASSERT_EQ(s.dialogs[0].controls.size(), 2u);
    EXPECT_EQ(s.dialogs[0].controls[0].id, 77);
    EXPECT_EQ(s.dialogs[0].controls[0].style, 0x50000000u); // NOT removed the default
    EXPECT_EQ(s.dialogs[0].controls[1].style, EDIT - 0x80 + 0x800 + 0x4);

    EXPECT_FALSE(qtwin::ParseResourceScript("X DIALOG 0,0,1,1\nBEGIN\n  LISTBOX 1,0,0,1,1\nEND\n",
                                            &s, &error));
    EXPECT_NE(error.find("line 3"), std::string::npos) << error;
}

TEST(QtLayer, DialogIsBuiltFromTheTemplateInPixels) {
    HWND owner = MakeOwner();
    std::vector<int> tabOrder;
    Schedule({
        WaitUntil([] { return Dialog() && DialogWidget()->isVisible(); }),
        Do([&] {
            QWidget *dlg = DialogWidget();
            // 6 x 13 base units at 96 dpi: 309 x 254 units are 464 x 413 pixels.
            EXPECT_EQ(dlg->size(), QSize(464, 413));
            EXPECT_EQ(dlg->windowTitle(), "Interface testen");
            QPoint origin = qtwin::testing::ClientAreaFor(owner)->mapToGlobal(QPoint(0, 0));
            EXPECT_EQ(dlg->frameGeometry().topLeft(), origin);
            EXPECT_EQ(Button(2)->geometry(), QRect(218, 358, 218, 44));
            EXPECT_EQ(Edit(1028)->geometry(), QRect(45, 366, 51, 21));
            EXPECT_EQ(Button(1002)->text(), "Stop");
            for (QLabel *l : dlg->findChildren<QLabel *>())
                EXPECT_EQ(l->focusPolicy(), Qt::NoFocus) << l->text().toStdString();
            // Tab walks the tab stops in template order.
            Button(1000)->setFocus();
            for (int i = 0; i < 32; ++i) {
                tabOrder.push_back(qtwin::testing::ControlIdOf(dlg->focusWidget()));
                QTest::keyClick(dlg->focusWidget(), Qt::Key_Tab);
            }
        }),
        Do([] { QTest::keyClick(DialogWidget(), Qt::Key_Escape); }),
    });
    EXPECT_EQ(RunDialog(owner), 42);
    std::vector<int> want;
    for (auto &e : ExpectedControls())
        if (e.kind != ControlKind::LText)
            want.push_back(e.id);
    want.push_back(1000); // and round again
    EXPECT_EQ(tabOrder, want);
    qtwin::DestroyAllWindows();
}

TEST(QtLayer, Win32DialogKeyboardAndNotifications) {
    HWND owner = MakeOwner();
    Schedule({
        WaitUntil([] { return Dialog() && DialogWidget()->isVisible(); }),
        Do([] {
            // Enter on a focused button clicks it; Enter anywhere else is IDOK.
            Button(1003)->setFocus();
            QTest::keyClick(Button(1003), Qt::Key_Return);
            QTest::mouseClick(Edit(1012), Qt::LeftButton);
            QTest::keyClick(Edit(1012), Qt::Key_Return);
            QTest::keyClick(Edit(1012), Qt::Key_Enter);
            // Typing and SetDlgItemInt both report EN_CHANGE with the id.
            QTest::keyClick(Edit(1012), Qt::Key_7);
            SetDlgItemInt(Dialog(), 1013, 4294967295u, FALSE);
        }),
        Do([] {
            EXPECT_EQ(Edit(1013)->text(), "4294967295");
            BOOL ok = FALSE;
            EXPECT_EQ(GetDlgItemInt(Dialog(), 1013, &ok, FALSE), 4294967295u);
            EXPECT_TRUE(ok);
            EXPECT_EQ(GetDlgItemInt(Dialog(), 1014, &ok, FALSE), 0u);
            EXPECT_FALSE(ok); // empty
            EXPECT_EQ(Count(WM_COMMAND, IDCANCEL), 0);
        }),
        WaitUntil([] { return Count(WM_TIMER, 7) >= 2; }),
        // The close box asks the procedure; it decides to end.
        Do([] { DialogWidget()->close(); }),
    });
    EXPECT_EQ(RunDialog(owner), 42);
    EXPECT_EQ(received.front().message, WM_INITDIALOG);
    EXPECT_FALSE(received.front().visible); // initialised before it is shown
    EXPECT_EQ(Count(WM_COMMAND, 1003), 1);
    EXPECT_EQ(Count(WM_COMMAND, IDOK), 2);
    EXPECT_EQ(Count(WM_COMMAND, (0x0300u << 16) | 1012), 1);
    EXPECT_EQ(Count(WM_COMMAND, (0x0300u << 16) | 1013), 1);
    EXPECT_EQ(Count(WM_COMMAND, IDCANCEL), 1);
    EXPECT_EQ(received.back().message, WM_DESTROY);
    qtwin::DestroyAllWindows();
}

TEST(QtLayer, MessageBoxFromAnotherThreadIsModalAndEndsWithItsOwner) {
    HWND owner = MakeOwner();
    std::atomic<int> first{-1}, second{-1}, late{-1};
    std::thread worker;
    HWND dialog = nullptr;
    Schedule({
        WaitUntil([] { return Dialog() && DialogWidget()->isVisible(); }),
        Do([&] {
            dialog = Dialog();
            worker = std::thread([&, dialog] {
                first = MessageBoxA(dialog,
                                    "Eing\xE4nge \xFC"
                                    "berpr\xFC"
                                    "fen",
                                    "Fehler", MB_OK);
                second = MessageBoxA(dialog, "zweite", "Fehler", MB_OK);
            });
        }),
        WaitUntil([] { return OpenBoxes() == 1; }),
        Do([&] {
            auto b = qtwin::testing::OpenMessageBoxes().front();
            EXPECT_EQ(b.owner, dialog);
            EXPECT_EQ(b.title, "Fehler");
            EXPECT_EQ(b.text, QString::fromUtf8("Eingänge überprüfen"));
            EXPECT_EQ(b.box->icon(), QMessageBox::NoIcon);
            EXPECT_EQ(b.box->buttons().size(), 1);
            EXPECT_TRUE(b.box->isModal());
            EXPECT_EQ(b.box->parentWidget(), DialogWidget());
            DismissBox();
        }),
        WaitUntil([&] { return first == IDOK && OpenBoxes() == 1; }),
        // The dialog ends while the second box is open: the box goes, its caller returns.
        Do([] { SendMessageA(Dialog(), WM_COMMAND, IDCANCEL, 0); }),
    });
    RunDialog(owner);
    worker.join();
    EXPECT_EQ(second, 0);
    EXPECT_EQ(OpenBoxes(), 0);
    EXPECT_EQ(qtwin::testing::WaitingMessageBoxCallers(), 0);
    // A box for a dialog that has gone is refused at once, as Win32 refuses a dead owner.
    std::thread refused([&] { late = MessageBoxA(dialog, "x", "Fehler", MB_OK); });
    // The request is answered on this (the GUI) thread, so keep its events running.
    EXPECT_TRUE(QTest::qWaitFor([&] { return late != -1; }, 60000));
    refused.join();
    EXPECT_EQ(late, 0);
    qtwin::DestroyAllWindows();
}
