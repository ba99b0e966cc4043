// Drives the real ifdiag.exe through its own windows, from another process, as a user
// would. The box is ifbox-sim behind COM2 as run-under-wine starts it: a running motor
// pulses its input (E1..E4), turning right sets E5..E8; the analog values 0x1311 and
// 0x1113 carry XON and XOFF bytes. Its log ("<t_ns> <code> <motor>", hex) tells what
// reached it.   usage: drive_ifdiag IFDIAG.EXE BOX.LOG [FOLDER for windows-*.bmp]
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "resources/resource.h"

namespace {

int Failures = 0;
PROCESS_INFORMATION Program{};
const char *LogPath = nullptr, *ShotFolder = nullptr;

void Check(bool ok, const std::string &what) {
    printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    fflush(stdout);
    Failures += !ok;
}

[[noreturn]] void Abandon(const std::string &what) {
    Check(false, what);
    TerminateProcess(Program.hProcess, 99);
    exit(1);
}

// A guard against hanging for ever, not a timing requirement: generous on purpose.
bool WaitUntil(const std::function<bool()> &done) {
    for (int i = 0; i < 1000 && !done(); ++i)
        Sleep(20);
    return done();
}

// The motor bytes the box has logged so far, 0x100 + motor for each 0xC1; a line still
// being written is left for later.
std::vector<unsigned> Log() {
    std::vector<unsigned> log;
    FILE *f = fopen(LogPath, "r");
    char line[80];
    for (unsigned code, motor; f != nullptr && fgets(line, sizeof line, f) != nullptr;)
        if (strchr(line, '\n') != nullptr && sscanf(line, "%*s %x %x", &code, &motor) == 2)
            log.push_back(code == 0xC1 ? 0x100 + motor : motor);
    if (f != nullptr)
        fclose(f);
    return log;
}

// A display's value once the dialog has written one; -1 while it is empty.
long long Display(HWND dialog, int id) {
    BOOL ok = FALSE;
    UINT v = GetDlgItemInt(dialog, id, &ok, FALSE);
    return ok ? static_cast<long long>(v) : -1;
}

// Every request carries the motor byte: the latest one shows what the click set.
void Click(HWND dialog, int id, unsigned motor, const char *what) {
    SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
    Check(WaitUntil([&] { return (Log().back() & 0xFF) == motor; }),
          std::string(what) + " reaches the box as motor byte " + std::to_string(motor));
}

HWND OpenDialog(HWND main) {
    PostMessageA(main, WM_COMMAND, IDM_START, 0);
    HWND dialog = nullptr;
    // Found as soon as it exists; complete (controls made, initialised) once it shows.
    if (!WaitUntil([&] {
            dialog = FindWindowA("#32770", "Interface testen");
            return dialog != nullptr && IsWindowVisible(dialog);
        }))
        Abandon("the test dialog \"Interface testen\" opens");
    Check(WaitUntil([&] { return Display(dialog, IDC_EY) >= 0; }), "the displays fill in");
    return dialog;
}

// Saves what the screen shows of `window` as FOLDER/windows-NAME.bmp.
void Shot(const char *name, HWND window) {
    if (ShotFolder == nullptr)
        return;
    Sleep(1000); // let it paint
    RECT r;
    GetWindowRect(window, &r);
    const LONG w = r.right - r.left, h = r.bottom - r.top;
    BITMAPINFOHEADER info{sizeof info, w, h, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    const DWORD size = (w * 3 + 3) / 4 * 4 * h, offset = sizeof(BITMAPFILEHEADER) + sizeof info;
    BITMAPFILEHEADER head{0x4D42 /* BM */, offset + size, 0, 0, offset};
    void *pixels = nullptr;
    HDC screen = GetDC(nullptr), memory = CreateCompatibleDC(screen);
    SelectObject(memory, CreateDIBSection(screen, reinterpret_cast<BITMAPINFO *>(&info),
                                          DIB_RGB_COLORS, &pixels, nullptr, 0));
    BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    const std::string path = std::string(ShotFolder) + "/windows-" + name + ".bmp";
    FILE *f = fopen(path.c_str(), "wb");
    Check(f != nullptr && fwrite(&head, sizeof head, 1, f) == 1 &&
              fwrite(&info, sizeof info, 1, f) == 1 && fwrite(pixels, size, 1, f) == 1 &&
              fclose(f) == 0,
          "screenshot " + path);
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3)
        return fprintf(stderr, "usage: drive_ifdiag IFDIAG.EXE BOX.LOG [FOLDER]\n"), 2;
    LogPath = argv[2];
    ShotFolder = argc > 3 ? argv[3] : nullptr;
    const size_t start = Log().size();
    STARTUPINFOA si{};
    si.cb = sizeof si;
    if (!CreateProcessA(argv[1], nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &Program))
        Abandon(std::string("start ") + argv[1] + ": error " + std::to_string(GetLastError()));
    HWND main = nullptr;
    if (!WaitUntil(
            [&] { return (main = FindWindowA("IFdiag", "Interface - Diagnose")) != nullptr; }))
        Abandon("main window \"Interface - Diagnose\" of class IFdiag appears");
    // Menu, icon and background come from the same ifdiag.rc and code as in the Qt build,
    // whose MainWindow test checks them.
    POINT origin{0, 0}, inner{0, 0};
    ClientToScreen(main, &origin);
    Check(Log().size() == start, "nothing is sent before the dialog opens");
    Shot("main", main);

    HWND dialog = OpenDialog(main);
    Check(GetWindow(dialog, GW_OWNER) == main && !IsWindowEnabled(main),
          "the dialog is owned by the main window, which it disables");
    // Template position 0, 0 places the dialog's client area (its frame lies outside).
    ClientToScreen(dialog, &inner);
    Check(inner.x == origin.x && inner.y == origin.y, "the dialog at the main client's origin");
    Check(Display(dialog, IDC_EX) == 0x1311 && Display(dialog, IDC_EY) == 0x1113,
          "EX shows 4881 and EY 4371");
    Check(Log().size() > start && Log()[start] == 0x100, "opening sends 0xC1 with motors off");

    Click(dialog, IDC_RECHTS1, 0x02, "motor 1 Rechts");
    Check(WaitUntil([&] { return Display(dialog, IDC_COUNT1) > 0; }), "E1 counts the pulses");
    Check(WaitUntil([&] { return Display(dialog, IDC_COUNT5) >= 1; }), "E5 changed on");
    Shot("dialog", dialog);
    Click(dialog, IDC_STOP1, 0x00, "motor 1 Stop");
    long long e1 = -2; // settled once unchanged over more than two refreshes
    for (; e1 != Display(dialog, IDC_COUNT1); Sleep(2500))
        e1 = Display(dialog, IDC_COUNT1);
    // At least: under heavy load a reply later than the read time-out may shift the stream.
    const long long e5 = Display(dialog, IDC_COUNT5);
    Check(e1 > 0 && e5 >= 2, "E1 settled, E5 changed on and off: " + std::to_string(e5));
    SendMessageA(GetDlgItem(dialog, IDC_RESET1), BM_CLICK, 0, 0);
    Check(Display(dialog, IDC_COUNT1) == 0, "Reset E1 shows 0 at once");
    Sleep(1500);
    Check(Display(dialog, IDC_COUNT1) == 0 && Display(dialog, IDC_COUNT5) == e5,
          "E1 stays 0 after the next refresh, E5 untouched");

    Click(dialog, IDC_LINKS2, 0x04, "motor 2 Links");
    SendMessageA(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
    Check(WaitUntil([&] { return !IsWindow(dialog) && IsWindowEnabled(main); }),
          "Abbrechen closes the dialog and enables the main window");
    Sleep(300);
    const size_t closed = Log().size();
    Sleep(1000);
    Check(Log().size() == closed && (Log().back() & 0xFF) == 0x04,
          "nothing sent after closing, motor 2 left running");

    // Open again: the first request switches the motors off; the close box closes.
    dialog = OpenDialog(main);
    Check(Log().size() > closed && Log()[closed] == 0x100, "reopening's first request: 0xC1 0x00");
    PostMessageA(dialog, WM_CLOSE, 0, 0);
    Check(WaitUntil([&] { return !IsWindow(dialog); }), "the close box closes the dialog");

    PostMessageA(main, WM_COMMAND, IDM_EXIT, 0);
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(Program.hProcess, 20000) == WAIT_OBJECT_0)
        GetExitCodeProcess(Program.hProcess, &code);
    Check(code == 0, "Beenden: the program ends with exit code " + std::to_string(code));
    TerminateProcess(Program.hProcess, 99); // if still running
    printf("%s: %d failure(s)\n", Failures ? "FAILED" : "PASSED", Failures);
    return Failures ? 1 : 0;
}
