// The one platform header of ifdiag. On Windows it is the real API; elsewhere it
// declares the small Win32 subset ifdiag uses, with Win32's names, types and
// constants, implemented by platform/posix (serial port, multimedia timer) and
// platform/qt (windows, dialogs, message boxes).
#pragma once

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <mmsystem.h>

#else // !_WIN32

#include <stddef.h>
#include <stdint.h>

#define WINAPI
#define CALLBACK

typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef uint32_t DWORD;
typedef unsigned int UINT;
typedef const char *LPCSTR;
typedef char *LPSTR;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef DWORD *LPDWORD;
typedef uintptr_t UINT_PTR;
typedef intptr_t INT_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
typedef UINT MMRESULT;
typedef void *HANDLE;
typedef WORD ATOM;

// Window-system handles are opaque pointers owned by platform/qt.
typedef struct HWND__ *HWND;
typedef struct HINSTANCE__ *HINSTANCE;
typedef struct HMENU__ *HMENU;
typedef struct HICON__ *HICON;
typedef HICON HCURSOR;
typedef struct HGDIOBJ__ *HGDIOBJ;
typedef struct HBRUSH__ *HBRUSH;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// ---- kernel32: errors ------------------------------------------------------
#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u // also: not a serial port (refused without use)
#define ERROR_ACCESS_DENIED 5u  // no permission, or another program holds the port
#define ERROR_INVALID_HANDLE 6u
#define ERROR_GEN_FAILURE 31u       // device gone, output stuck, any other cause
#define ERROR_INVALID_PARAMETER 87u // a setting or time-out shape not supported

// The calling thread's code from its last failed port call.
DWORD WINAPI GetLastError(void);

// ---- kernel32: serial port as a file ---------------------------------------
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3u

typedef struct _SECURITY_ATTRIBUTES *LPSECURITY_ATTRIBUTES;
typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;

#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define ONESTOPBIT 0
#define TWOSTOPBITS 2
#define CBR_9600 9600
#define DTR_CONTROL_ENABLE 1
#define RTS_CONTROL_ENABLE 1
#define RTS_CONTROL_HANDSHAKE 2

typedef struct _DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
} DCB, *LPDCB;

typedef struct _COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

// Linux: any thread, one call per port at a time, none waiting past its time-out.
// Failure: FALSE or INVALID_HANDLE_VALUE, GetLastError's code, and one stderr line
// naming device and cause, once per cause and opening (quiet on an invalid handle).
// "COM2" is Com2Device() (posix/ports.h), other names paths; read-write, share 0, OPEN_EXISTING.
// Opens only a tty device that is neither the caller's terminal nor a pty master.
HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD creation, DWORD flags, HANDLE templ);
BOOL WINAPI GetCommState(HANDLE port, LPDCB dcb);
// 9600 8N1, binary, no XON/XOFF, no error or null replacement, no DSR or abort;
// hardware handshake on (CTS flow with RTS_CONTROL_HANDSHAKE) or off.
BOOL WINAPI SetCommState(HANDLE port, LPDCB dcb);
// Total constant read and write time-outs only, both non-zero.
BOOL WINAPI SetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts);
// Success with *written < count when the write time-out ends it.
BOOL WINAPI WriteFile(HANDLE port, LPCVOID data, DWORD count, LPDWORD written, LPOVERLAPPED ov);
// Fails when written output has not left within the write time-out.
BOOL WINAPI FlushFileBuffers(HANDLE port);
// Success with *got < count when the read time-out ends it.
BOOL WINAPI ReadFile(HANDLE port, LPVOID data, DWORD count, LPDWORD got, LPOVERLAPPED ov);
// Discards what has arrived and not been read yet (PURGE_RXCLEAR, the only flag
// taken); unsent output stays. Fails as the other calls do on a gone device.
#define PURGE_RXCLEAR 0x0008u
BOOL WINAPI PurgeComm(HANDLE port, DWORD flags);
// Drops unsent output; settings, low latency, exclusivity and lock back as found.
BOOL WINAPI CloseHandle(HANDLE handle);

// ---- winmm: multimedia timer -----------------------------------------------
#define TIME_ONESHOT 0x0000u
#define TIMERR_NOERROR 0u
#define MMSYSERR_INVALPARAM 11u

typedef void(CALLBACK *LPTIMECALLBACK)(UINT id, UINT msg, DWORD_PTR user, DWORD_PTR dw1,
                                       DWORD_PTR dw2);

// Any thread. One-shot: `callback` once, `delay` ms from now, on the one timer
// thread. Returns the event's id; 0 when refused (not TIME_ONESHOT, 64 armed).
MMRESULT WINAPI timeSetEvent(UINT delay, UINT resolution, LPTIMECALLBACK callback, DWORD_PTR user,
                             UINT flags);
// Any thread, a callback included; never waits for a running callback.
// TIMERR_NOERROR when the event was still armed, else MMSYSERR_INVALPARAM.
MMRESULT WINAPI timeKillEvent(UINT id);

// ---- user32 / gdi32 --------------------------------------------------------
#define WM_CREATE 0x0001u
#define WM_DESTROY 0x0002u
#define WM_CLOSE 0x0010u
#define WM_QUIT 0x0012u
#define WM_INITDIALOG 0x0110u
#define WM_COMMAND 0x0111u
#define WM_TIMER 0x0113u

#define IDOK 1
#define IDCANCEL 2

#define MB_OK 0x00000000u

#define CS_VREDRAW 0x0001u
#define CS_HREDRAW 0x0002u

#define WS_OVERLAPPEDWINDOW 0x00CF0000u // with caption, sizing frame, minimise/maximise
#define CW_USEDEFAULT ((int)0x80000000)
// Styles in dialog templates (ifdiag.rc).
#define WS_POPUP 0x80000000u
#define WS_CHILD 0x40000000u
#define WS_VISIBLE 0x10000000u
#define WS_CAPTION 0x00C00000u
#define WS_BORDER 0x00800000u
#define WS_SYSMENU 0x00080000u
#define WS_GROUP 0x00020000u
#define WS_TABSTOP 0x00010000u
#define DS_SETFONT 0x40u
#define DS_MODALFRAME 0x80u
#define ES_LEFT 0x0000u
#define ES_AUTOHSCROLL 0x0080u

#define SW_SHOWDEFAULT 10

#define DKGRAY_BRUSH 3
#define IDC_ARROW ((LPCSTR)(uintptr_t)32512)

typedef LRESULT(CALLBACK *WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef INT_PTR(CALLBACK *DLGPROC)(HWND, UINT, WPARAM, LPARAM);
typedef void(CALLBACK *TIMERPROC)(HWND, UINT, UINT_PTR, DWORD);

typedef struct tagWNDCLASSA { // the fields ifdiag sets
    UINT style;
    WNDPROC lpfnWndProc;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCSTR lpszMenuName;
    LPCSTR lpszClassName;
} WNDCLASSA;

typedef struct tagMSG { // without the time and cursor position, which ifdiag never reads
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
} MSG, *LPMSG;

// Linux (platform/qt): GUI thread only, except PostMessageA, PostQuitMessage and
// MessageBoxA, which any thread may call; MessageBoxA returns IDOK when dismissed and 0
// when its owner has gone or closes (EndDialog closes the boxes a dialog owns).
// Failures are Win32's: a null handle, FALSE, 0 or -1.
ATOM WINAPI RegisterClassA(const WNDCLASSA *wc);
HWND WINAPI CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR title, DWORD style, int x,
                            int y, int width, int height, HWND parent, HMENU menu,
                            HINSTANCE instance, LPVOID param);
BOOL WINAPI ShowWindow(HWND window, int show);
BOOL WINAPI UpdateWindow(HWND window);
BOOL WINAPI GetMessageA(LPMSG msg, HWND window, UINT first, UINT last);
BOOL WINAPI TranslateMessage(const MSG *msg);
LRESULT WINAPI DispatchMessageA(const MSG *msg);
LRESULT WINAPI DefWindowProcA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
void WINAPI PostQuitMessage(int code);
BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
HICON WINAPI LoadIconA(HINSTANCE instance, LPCSTR name);
HCURSOR WINAPI LoadCursorA(HINSTANCE instance, LPCSTR name);
HGDIOBJ WINAPI GetStockObject(int object);
INT_PTR WINAPI DialogBoxParamA(HINSTANCE instance, LPCSTR templ, HWND owner, DLGPROC proc,
                               LPARAM param);
BOOL WINAPI EndDialog(HWND dialog, INT_PTR result);
HWND WINAPI GetDlgItem(HWND dialog, int id);
BOOL WINAPI SetDlgItemInt(HWND dialog, int id, UINT value, BOOL isSigned);
UINT_PTR WINAPI SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC proc);
int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

#endif // _WIN32
