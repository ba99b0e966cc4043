// The program's entry and its main window: a dark-grey frame whose menu opens the test
// dialog or ends the program.
#include "ui/ui.h"

namespace {

HINSTANCE Instance;
DLGPROC TestDialogProc;

} // namespace

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_CREATE:
        TestDialogProc = TestDlgProc;
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_COMMAND:
        // Compared whole: only menu selections (notification code 0) act.
        if (wparam == IDM_START)
            DialogBoxParamA(Instance, "TERMINAL_DIALOG", window, TestDialogProc, 0);
        else if (wparam == IDM_EXIT)
            SendMessageA(window, WM_DESTROY, 0, 0); // posts the quit message; no DestroyWindow
        return 0;
    default:
        return DefWindowProcA(window, message, wparam, lparam);
    }
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR, int show) {
    Instance = instance;
    if (!previous) {
        WNDCLASSA wc = {};
        wc.style = CS_HREDRAW | CS_VREDRAW;
        wc.lpfnWndProc = MainWndProc;
        wc.hInstance = instance;
        wc.hIcon = LoadIconA(instance, "IDI_ICON1");
        wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(GetStockObject(DKGRAY_BRUSH));
        wc.lpszMenuName = "IDR_MENU1";
        wc.lpszClassName = "IFdiag";
        // Without its class no window, and without a window no quit message would ever
        // end the loop below: give up at once.
        if (!RegisterClassA(&wc))
            return 1;
    }
    HWND window = CreateWindowExA(0, "IFdiag", "Interface - Diagnose", WS_OVERLAPPEDWINDOW,
                                  CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                  nullptr, nullptr, instance, nullptr);
    if (!window)
        return 1;
    ShowWindow(window, show);
    UpdateWindow(window);

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return static_cast<int>(msg.wParam);
}
