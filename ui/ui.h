// The user interface: the program's entry, its main window and the test dialog.
#pragma once

#include "platform/win32.h"
#include "resources/resource.h"

constexpr UINT_PTR DISPLAY_TIMER_ID = 2001;
constexpr UINT DISPLAY_PERIOD_MS = 1000;

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show);
LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK TestDlgProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
