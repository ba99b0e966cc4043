// The test dialog: connects the box while it is open, turns button clicks into motor
// commands and counter resets, and shows the counters and analog values every second.
#include "ui/ui.h"

#include "link/link.h"
#include "monitor/iostate.h"
#include "monitor/poll.h"

namespace {

// Display ids: counters of E1..E8 are 1012..1019, then EX and EY.
constexpr int COUNTER_DISPLAY_BASE = 1011;
constexpr int EX_DISPLAY = 1028;
constexpr int EY_DISPLAY = 1029;
constexpr int RESET_BASE = 1019; // Reset under Ei is 1019 + i

void OpenDialog(HWND dialog) {
    // The link reports failures to this window, also during the first exchange below.
    DialogHandle = dialog;
    PreviousInputs = OpenInterface();
    for (auto &counter : EdgeCounters)
        counter = 0;
    StartPolling();
    SetTimer(dialog, DISPLAY_TIMER_ID, DISPLAY_PERIOD_MS, nullptr);
}

void RefreshDisplays(HWND dialog) {
    for (int i = 1; i <= 8; ++i)
        SetDlgItemInt(dialog, COUNTER_DISPLAY_BASE + i, EdgeCounters[i - 1], FALSE);
    SetDlgItemInt(dialog, EX_DISPLAY, AnalogEX, FALSE);
    SetDlgItemInt(dialog, EY_DISPLAY, AnalogEY, FALSE);
}

void CloseDialog(HWND dialog) {
    // Nothing goes to the box now: the motors keep what they were last told.
    StopPolling();
    CloseInterface();
    EndDialog(dialog, 0);
}

void Command(HWND dialog, WPARAM command) {
    // The whole word is compared, so edit-box notifications (code in the high word) and
    // IDOK from Enter do nothing.
    switch (command) {
    case 1000:
        SetMotor(1, 'R');
        break;
    case 1001:
        SetMotor(1, 'L');
        break;
    case 1002:
        SetMotor(1, 'A');
        break;
    case 1003:
        SetMotor(2, 'R');
        break;
    case 1004:
        SetMotor(2, 'L');
        break;
    case 1005:
        SetMotor(2, 'A');
        break;
    case 1006:
        SetMotor(3, 'R');
        break;
    case 1007:
        SetMotor(3, 'L');
        break;
    case 1008:
        SetMotor(3, 'A');
        break;
    case 1009:
        SetMotor(4, 'R');
        break;
    case 1010:
        SetMotor(4, 'L');
        break;
    case 1011:
        SetMotor(4, 'A');
        break;
    case IDCANCEL:
        CloseDialog(dialog);
        break;
    default:
        if (command >= RESET_BASE + 1 && command <= RESET_BASE + 8) {
            int i = static_cast<int>(command) - RESET_BASE;
            EdgeCounters[i - 1] = 0;
            SetDlgItemInt(dialog, COUNTER_DISPLAY_BASE + i, EdgeCounters[i - 1], FALSE);
        }
        break;
    }
}

} // namespace

INT_PTR CALLBACK TestDlgProc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        OpenDialog(dialog);
        break;
    case WM_COMMAND:
        Command(dialog, wparam);
        break;
    case WM_TIMER:
        if (wparam == DISPLAY_TIMER_ID)
            RefreshDisplays(dialog);
        break;
    }
    // Every message also gets the platform's default handling; focus is left to it.
    return FALSE;
}
