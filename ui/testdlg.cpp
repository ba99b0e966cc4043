// The test dialog: connects the box while it is open, turns button clicks into motor
// commands and counter resets, and shows the counters and analog values every second.
#include "ui/ui.h"

#include "link/link.h"
#include "monitor/iostate.h"
#include "monitor/poll.h"

namespace {

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
    for (int i = 0; i < 8; ++i)
        SetDlgItemInt(dialog, IDC_COUNT1 + i, EdgeCounters[i], FALSE);
    SetDlgItemInt(dialog, IDC_EX, AnalogEX, FALSE);
    SetDlgItemInt(dialog, IDC_EY, AnalogEY, FALSE);
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
    case IDC_RECHTS1:
        SetMotor(1, 'R');
        break;
    case IDC_LINKS1:
        SetMotor(1, 'L');
        break;
    case IDC_STOP1:
        SetMotor(1, 'A');
        break;
    case IDC_RECHTS2:
        SetMotor(2, 'R');
        break;
    case IDC_LINKS2:
        SetMotor(2, 'L');
        break;
    case IDC_STOP2:
        SetMotor(2, 'A');
        break;
    case IDC_RECHTS3:
        SetMotor(3, 'R');
        break;
    case IDC_LINKS3:
        SetMotor(3, 'L');
        break;
    case IDC_STOP3:
        SetMotor(3, 'A');
        break;
    case IDC_RECHTS4:
        SetMotor(4, 'R');
        break;
    case IDC_LINKS4:
        SetMotor(4, 'L');
        break;
    case IDC_STOP4:
        SetMotor(4, 'A');
        break;
    case IDCANCEL:
        CloseDialog(dialog);
        break;
    default:
        if (command >= IDC_RESET1 && command <= IDC_RESET8) {
            int i = static_cast<int>(command) - IDC_RESET1;
            EdgeCounters[i] = 0;
            SetDlgItemInt(dialog, IDC_COUNT1 + i, EdgeCounters[i], FALSE);
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
