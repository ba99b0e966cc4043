// Drives the real ifdiag.exe through its own windows, from another process, as a user would,
// against ifbox-sim behind COM2 (run-under-wine): its analog values 0x1311 and 0x1113 carry
// XON and XOFF, its reply to the second cycle's 0xC1 comes late (the displays are right only
// if unasked input is dropped before each request), its log ("<t_ns> <code> <motor>", hex)
// tells what reached it.   usage: drive_ifdiag IFDIAG.EXE BOX.LOG
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "resources/resource.h"

namespace {

int Failures = 0;
PROCESS_INFORMATION Program{};
const char *LogPath = nullptr;

// A failed step that later ones need (`needed`) ends the run.
void Check(bool ok, const std::string &what, bool needed = false) {
    printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    fflush(stdout);
    Failures += !ok;
    if (!ok && needed)
        TerminateProcess(Program.hProcess, 99), exit(1);
}

// A guard against hanging for ever, not a timing requirement: generous on purpose.
bool WaitUntil(const std::function<bool()> &done) {
    for (int i = 0; i < 1000 && !done(); ++i)
        Sleep(20);
    return done();
}

// The motor byte of the box's last whole log line (0x100 before the first).
unsigned LastMotor() {
    unsigned last = 0x100, motor;
    char line[80];
    FILE *f = fopen(LogPath, "r");
    while (f != nullptr && fgets(line, sizeof line, f) != nullptr)
        if (strchr(line, '\n') != nullptr && sscanf(line, "%*s %*x %x", &motor) == 1)
            last = motor;
    return f != nullptr && fclose(f), last;
}

// Every request carries the motor byte: the latest one shows what the click set.
void Click(HWND dialog, int id, unsigned motor, const char *what) {
    SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
    Check(WaitUntil([&] { return LastMotor() == motor; }),
          std::string(what) + " reaches the box as motor byte " + std::to_string(motor));
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3)
        return fprintf(stderr, "usage: drive_ifdiag IFDIAG.EXE BOX.LOG\n"), 2;
    LogPath = argv[2];
    STARTUPINFOA si{};
    si.cb = sizeof si;
    if (!CreateProcessA(argv[1], nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &Program))
        Check(false, std::string("start ") + argv[1] + ": error " + std::to_string(GetLastError()),
              true);
    HWND main = nullptr, dialog = nullptr;
    Check(WaitUntil(
              [&] { return (main = FindWindowA("IFdiag", "Interface - Diagnose")) != nullptr; }),
          "main window \"Interface - Diagnose\" of class IFdiag appears", true);
    // Looks, counters and what the link sends at opening and closing come from the same
    // ifdiag.rc and code as in the Qt build, whose tests check them. Here: the windres
    // dialog's ids, the motor bits, XON and XOFF through Wine's serial port, the exit code.
    PostMessageA(main, WM_COMMAND, IDM_START, 0);
    // Found as soon as it exists; complete (controls made, initialised) once it shows.
    Check(WaitUntil([&] {
              dialog = FindWindowA("#32770", "Interface testen");
              return dialog != nullptr && IsWindowVisible(dialog);
          }),
          "the test dialog \"Interface testen\" opens", true);
    Check(WaitUntil([&] {
              return GetDlgItemInt(dialog, IDC_EX, nullptr, FALSE) == 0x1311 &&
                     GetDlgItemInt(dialog, IDC_EY, nullptr, FALSE) == 0x1113;
          }),
          "the displays show EX 4881 and EY 4371");

    Click(dialog, IDC_RECHTS1, 0x02, "motor 1 Rechts");
    Click(dialog, IDC_LINKS2, 0x06, "motor 2 Links");
    Click(dialog, IDC_STOP1, 0x04, "motor 1 Stop");
    SendMessageA(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
    Check(WaitUntil([&] { return !IsWindow(dialog) && IsWindowEnabled(main); }),
          "Abbrechen closes the dialog and enables the main window");
    PostMessageA(main, WM_COMMAND, IDM_EXIT, 0);
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(Program.hProcess, 20000) == WAIT_OBJECT_0)
        GetExitCodeProcess(Program.hProcess, &code);
    Check(code == 0, "Beenden: the program ends with exit code " + std::to_string(code));
    TerminateProcess(Program.hProcess, 99); // if still running
    printf("%s: %d failure(s)\n", Failures ? "FAILED" : "PASSED", Failures);
    return Failures ? 1 : 0;
}
