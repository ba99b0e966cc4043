// What main() needs from the Qt layer besides the Win32 calls themselves.
#pragma once

#include "platform/win32.h"

namespace qtwin {

// The program's instance handle, as GetModuleHandle(NULL) gives it on Windows.
HINSTANCE ModuleInstance();

// Ends every window, box and timer still there, so nothing outlives QApplication.
void DestroyAllWindows();

// The innermost dialog run by DialogBoxParamA (nullptr when none), shown or not yet.
HWND CurrentDialog();

} // namespace qtwin
