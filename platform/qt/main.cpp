// The program's entry on Qt: the system's own entry is WinMain.
#include <QApplication>

#include "platform/qt/qtwin.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show);

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    // The program takes no arguments; Win32 hands WinMain the rest of the command line.
    static char commandLine[] = "";
    int code = WinMain(qtwin::ModuleInstance(), nullptr, commandLine, SW_SHOWDEFAULT);
    qtwin::DestroyAllWindows();
    return code;
}
