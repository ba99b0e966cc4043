// Drives the real ifdiag.exe through its own windows, from another process, as
// a user would: the menu command, button clicks, reading the displays, closing.
// The box is the native ifbox-sim behind COM2; its log tells what reached it.
//
// usage: drive_ifdiag IFDIAG.EXE [--shots]
// With --shots it stops twice, printing "SHOT main L T R B" and then
// "SHOT dialog L T R B" (screen rectangles), and goes on after a line on stdin.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tests/windows/remote_box.h"

namespace {

int Failures = 0;
PROCESS_INFORMATION Program{};
bool Shots = false;

void Check(bool ok, const std::string &what) {
    printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    fflush(stdout);
    if (!ok)
        ++Failures;
}

[[noreturn]] void Abandon(const std::string &what) {
    Check(false, what);
    if (Program.hProcess != nullptr)
        TerminateProcess(Program.hProcess, 99);
    exit(1);
}

// A guard against hanging for ever, not a timing requirement: generous on purpose.
bool WaitUntil(const std::function<bool()> &done, int seconds = 20) {
    for (int i = 0; i < seconds * 50; ++i) {
        if (done())
            return true;
        Sleep(20);
    }
    return done();
}

std::string Text(HWND window) {
    char buf[256] = {};
    GetWindowTextA(window, buf, sizeof buf);
    return buf;
}

// A display's value once the dialog has written one; -1 while it is empty.
long long Display(HWND dialog, int id) {
    BOOL ok = FALSE;
    UINT v = GetDlgItemInt(dialog, id, &ok, FALSE);
    return ok ? static_cast<long long>(v) : -1;
}

void Click(HWND dialog, int id) {
    HWND button = GetDlgItem(dialog, id);
    if (button == nullptr)
        Abandon("no button " + std::to_string(id));
    SendMessageA(button, BM_CLICK, 0, 0);
}

bool LogHas(size_t from, BYTE motor, size_t *at = nullptr) {
    auto log = sim::Log(nullptr);
    for (size_t i = from; i < log.size(); ++i)
        if (log[i].motor == motor) {
            if (at != nullptr)
                *at = i;
            return true;
        }
    return false;
}

// Waits until a display shows the same value for a few refreshes in a row.
long long Settled(HWND dialog, int id) {
    long long last = Display(dialog, id);
    int same = 0;
    while (same < 25) { // 2.5 s: more than two refreshes
        Sleep(100);
        long long now = Display(dialog, id);
        same = now == last ? same + 1 : 0;
        last = now;
    }
    return last;
}

// Lets the caller take a screenshot of `window`.
void Shot(const char *name, HWND window) {
    if (!Shots)
        return;
    RECT r;
    GetWindowRect(window, &r);
    printf("SHOT %s %ld %ld %ld %ld\n", name, r.left, r.top, r.right, r.bottom);
    fflush(stdout);
    char line[64];
    if (fgets(line, sizeof line, stdin) == nullptr)
        Abandon("no answer to SHOT");
}

HWND FindDialog() {
    HWND dialog = nullptr;
    // Found as soon as it exists; complete (controls made, initialised) once it shows.
    WaitUntil([&] {
        dialog = FindWindowA("#32770", "Interface testen");
        return dialog != nullptr && IsWindowVisible(dialog);
    });
    if (dialog == nullptr)
        Abandon("the test dialog \"Interface testen\" opens");
    return dialog;
}

// The template's control order is the order of the dialog's child windows.
void CheckControls(HWND dialog) {
    const int order[] = {1000, 1002, 1003, 1005, 1006, 1008, 1009, 1011, -1,   -1,   -1,   -1,
                         2,    1012, 1013, 1014, 1015, 1020, 1021, 1022, 1023, 1001, 1004, 1007,
                         1010, 1016, 1017, 1018, 1019, 1024, 1025, 1026, 1027, -1,   -1,   -1,
                         -1,   -1,   -1,   -1,   -1,   1028, 1029, -1,   -1};
    std::vector<int> ids;
    for (HWND c = GetWindow(dialog, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT))
        ids.push_back(static_cast<int>(static_cast<short>(GetDlgCtrlID(c))));
    Check(ids == std::vector<int>(std::begin(order), std::end(order)),
          "controls in template order (" + std::to_string(ids.size()) + " controls)");
    bool texts = true;
    for (int m = 0; m < 4; ++m) {
        texts &= Text(GetDlgItem(dialog, 1000 + 3 * m)) == "Rechts";
        texts &= Text(GetDlgItem(dialog, 1001 + 3 * m)) == "Links";
        texts &= Text(GetDlgItem(dialog, 1002 + 3 * m)) == "Stop";
    }
    for (int i = 0; i < 8; ++i)
        texts &= Text(GetDlgItem(dialog, 1020 + i)) == "Reset";
    texts &= Text(GetDlgItem(dialog, IDCANCEL)) == "Abbrechen";
    Check(texts, "button texts Rechts/Links/Stop/Reset/Abbrechen");
}

// Wine keeps menus in the owning process, so the menu is read from the program's
// resources as loaded data, and only its presence on the window is checked.
void CheckMenu(HWND main, const char *exe) {
    Check(GetMenu(main) != nullptr, "the main window has a menu");
    HMODULE program_file = LoadLibraryExA(exe, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    HMENU bar = LoadMenuA(program_file, "IDR_MENU1");
    if (bar == nullptr)
        Abandon("menu IDR_MENU1 in the program's resources");
    HMENU program = GetSubMenu(bar, 0);
    char text[64] = {};
    GetMenuStringA(bar, 0, text, sizeof text, MF_BYPOSITION);
    Check(std::string(text) == "&Programm", "menu bar \"&Programm\"");
    Check(GetMenuItemCount(program) == 2, "two menu entries");
    GetMenuStringA(program, 0, text, sizeof text, MF_BYPOSITION);
    Check(std::string(text) == "&Start" && GetMenuItemID(program, 0) == 40001, "&Start is 40001");
    GetMenuStringA(program, 1, text, sizeof text, MF_BYPOSITION);
    Check(std::string(text) == "&Beenden" && GetMenuItemID(program, 1) == 40002,
          "&Beenden is 40002");
    DestroyMenu(bar);
    Check(LoadIconA(program_file, "IDI_ICON1") != nullptr, "icon IDI_ICON1 in the resources");
    FreeLibrary(program_file);
}

// Only with a display: the client area is painted with the dark-grey stock brush.
// (Wine keeps window classes in the owning process, so the class cannot be asked.)
void CheckBackground(HWND main) {
    RECT client;
    GetClientRect(main, &client);
    POINT mid{client.right / 2, client.bottom / 2};
    ClientToScreen(main, &mid);
    HDC screen = GetDC(nullptr);
    COLORREF c = GetPixel(screen, mid.x, mid.y);
    ReleaseDC(nullptr, screen);
    char buf[64];
    snprintf(buf, sizeof buf, "client area dark grey (RGB %d,%d,%d)", GetRValue(c), GetGValue(c),
             GetBValue(c));
    Check(c == RGB(0x40, 0x40, 0x40), buf);
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: drive_ifdiag IFDIAG.EXE [--shots]\n");
        return 2;
    }
    Shots = argc > 2 && strcmp(argv[2], "--shots") == 0;

    // Motors drive the inputs: a running motor toggles its pulse input (E1..E4),
    // turning right sets E5..E8; nothing changes while all stand still.
    sim::Config cfg;
    cfg.input_mode = sim::InputMode::Lively;
    cfg.analog_ex = 1234;
    cfg.analog_ey = 54321;
    sim::Box *box = sim::Start(cfg);

    STARTUPINFOA si{};
    si.cb = sizeof si;
    std::string command = std::string("\"") + argv[1] + "\"";
    if (!CreateProcessA(argv[1], &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &Program))
        Abandon(std::string("start ") + argv[1] + ": error " + std::to_string(GetLastError()));
    WaitForInputIdle(Program.hProcess, 20000);

    HWND main = nullptr;
    WaitUntil([&] { return (main = FindWindowA("IFdiag", nullptr)) != nullptr; });
    if (main == nullptr)
        Abandon("main window of class IFdiag appears");
    Check(Text(main) == "Interface - Diagnose", "main window title \"Interface - Diagnose\"");
    CheckMenu(main, argv[1]);
    Sleep(300);
    Check(sim::RequestCount(box) == 0, "nothing is sent before the dialog opens");
    if (Shots)
        CheckBackground(main);
    Shot("main", main);

    // "&Start"
    PostMessageA(main, WM_COMMAND, 40001, 0);
    HWND dialog = FindDialog();
    Check(GetWindow(dialog, GW_OWNER) == main, "the dialog is owned by the main window");
    Check(!IsWindowEnabled(main), "the main window is disabled while the dialog is open");
    // Template position 0, 0 places the dialog's client area (its frame lies outside).
    POINT origin{0, 0}, inner{0, 0};
    ClientToScreen(main, &origin);
    ClientToScreen(dialog, &inner);
    Check(inner.x == origin.x && inner.y == origin.y,
          "the dialog's client area starts at the main window's client origin (" +
              std::to_string(inner.x) + "," + std::to_string(inner.y) + " vs " +
              std::to_string(origin.x) + "," + std::to_string(origin.y) + ")");
    CheckControls(dialog);

    Check(WaitUntil([&] { return Display(dialog, 1028) >= 0; }), "the displays fill in");
    Check(Display(dialog, 1028) == 1234, "EX shows 1234");
    Check(Display(dialog, 1029) == 54321, "EY shows 54321");
    bool zero = true;
    for (int id = 1012; id <= 1019; ++id)
        zero &= Display(dialog, id) == 0;
    Check(zero, "all counters 0 while the motors stand still");
    Check(LogHas(0, 0x00) && sim::Log(box)[0].code == 0xC1, "opening sends 0xC1 with motors off");

    // Motor 1 "Rechts": the box gets 0x02, E1 pulses, E5 goes on once.
    size_t before = sim::RequestCount(box);
    Click(dialog, 1000);
    Check(WaitUntil([&] { return LogHas(before, 0x02); }),
          "motor 1 Rechts reaches the box as 0x02");
    Check(WaitUntil([&] { return Display(dialog, 1012) > 0; }), "E1 counts the motor's pulses");
    Check(WaitUntil([&] { return Display(dialog, 1016) == 1; }), "E5 changed once");

    // Motor 2 "Links" as well: 0x06.
    before = sim::RequestCount(box);
    Click(dialog, 1004);
    Check(WaitUntil([&] { return LogHas(before, 0x06); }), "motor 2 Links adds 0x04: 0x06");
    Check(WaitUntil([&] { return Display(dialog, 1013) > 0; }), "E2 counts motor 2's pulses");
    Shot("dialog", dialog);

    // Both "Stop": the inputs stand still again, so the counters settle.
    before = sim::RequestCount(box);
    Click(dialog, 1002);
    Click(dialog, 1005);
    Check(WaitUntil([&] { return LogHas(before, 0x00); }), "Stop reaches the box as 0x00");
    const long long e1 = Settled(dialog, 1012);
    const long long e2 = Settled(dialog, 1013);
    Check(e1 > 0 && e2 > 0,
          "E1 and E2 settled at " + std::to_string(e1) + " and " + std::to_string(e2));
    Check(Display(dialog, 1016) == 2, "E5 changed twice (on, off)");

    // "Reset" under E1: 0 at once and after the next refresh; E2 untouched.
    Click(dialog, 1020);
    Check(Display(dialog, 1012) == 0, "Reset E1 shows 0 at once");
    Sleep(1500);
    Check(Display(dialog, 1012) == 0, "E1 stays 0 after the next refresh");
    Check(Display(dialog, 1013) == e2, "E2 is untouched by Reset E1");

    // Motor 2 "Rechts" (0x08), then "Abbrechen": nothing more reaches the box.
    before = sim::RequestCount(box);
    Click(dialog, 1003);
    Check(WaitUntil([&] { return LogHas(before, 0x08); }),
          "motor 2 Rechts reaches the box as 0x08");
    Click(dialog, IDCANCEL);
    Check(WaitUntil([&] { return !IsWindow(dialog); }), "Abbrechen closes the dialog");
    Check(IsWindowEnabled(main), "the main window is enabled again");
    Sleep(300);
    const size_t closed = sim::RequestCount(box);
    Sleep(1000);
    Check(sim::RequestCount(box) == closed, "nothing is sent after closing");
    Check(sim::Motors(box) == 0x08, "closing sends no motor change");

    // Open again: the first request switches the motors off; the close box closes.
    PostMessageA(main, WM_COMMAND, 40001, 0);
    dialog = FindDialog();
    Check(WaitUntil([&] { return sim::RequestCount(box) > closed; }), "reopening polls again");
    Check(sim::Log(box)[closed].code == 0xC1 && sim::Log(box)[closed].motor == 0x00,
          "reopening's first request carries 0x00");
    Check(WaitUntil([&] { return Display(dialog, 1028) >= 0; }),
          "the new dialog's displays fill in");
    PostMessageA(dialog, WM_CLOSE, 0, 0);
    Check(WaitUntil([&] { return !IsWindow(dialog); }), "the close box closes the dialog");

    // "&Beenden": the program ends with exit code 0.
    PostMessageA(main, WM_COMMAND, 40002, 0);
    DWORD code = 259;
    if (WaitForSingleObject(Program.hProcess, 20000) == WAIT_OBJECT_0)
        GetExitCodeProcess(Program.hProcess, &code);
    Check(code == 0,
          "Beenden ends the program with exit code 0 (got " + std::to_string(code) + ")");
    if (code == 259)
        TerminateProcess(Program.hProcess, 99);
    CloseHandle(Program.hThread);
    CloseHandle(Program.hProcess);

    sim::Stop(box);
    printf("%s: %d failure(s)\n", Failures ? "FAILED" : "PASSED", Failures);
    return Failures ? 1 : 0;
}
