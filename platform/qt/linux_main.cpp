// The Linux program around WinMain: its command line, one clear line when there is no
// display, and a clean way out on SIGTERM, SIGINT and SIGHUP. The Windows program takes
// no arguments and opens COM2; here the user may say which device stands for COM2.
#include <QApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <string>
#include <unistd.h>

#include "platform/posix/ports.h"
#include "platform/posix/trace.h"
#include "platform/qt/qtwin.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show);

namespace {

const char USAGE[] =
    "Usage: ifdiag [--trace] [-p DEVICE | --port=DEVICE | [--] DEVICE]\n"
    "       ifdiag --list-ports [-p DEVICE | DEVICE]\n"
    "       ifdiag -h | --help | --version\n"
    "\n"
    "Tests the interface box on a serial line: its inputs, counters, analog values\n"
    "and motors. Needs an X11 or Wayland desktop.\n"
    "\n"
    "  -p, --port DEVICE  the serial device that stands for the box's port COM2,\n"
    "                     e.g. /dev/ttyUSB0 (default: $IFDIAG_PORT, else /dev/ttyS1)\n"
    "      --trace        every port call on stderr: bytes sent and received in hex,\n"
    "                     with milliseconds since the port was opened\n"
    "      --list-ports   list the serial devices (none is opened) and exit\n"
    "  -h, --help         show this help and exit\n"
    "      --version      show the version and exit\n";

[[noreturn]] void UsageError(const std::string &what) {
    fprintf(stderr, "ifdiag: %s (try --help)\n", what.c_str());
    exit(2);
}

struct Options {
    const char *device = nullptr; // the command line's DEVICE
    bool trace = false, listPorts = false;
};

// getopt_long's own messages are off: a usage error is one line of ours.
Options ParseCommandLine(int argc, char **argv) {
    static const option options[] = {
        {"port", required_argument, nullptr, 'p'}, {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},    {"trace", no_argument, nullptr, 'T'},
        {"list-ports", no_argument, nullptr, 'L'}, {}};
    Options chosen;
    auto take = [&chosen](const char *value) {
        if (chosen.device)
            UsageError(std::string("one DEVICE only, not ") + chosen.device + " and " + value);
        if (*value == '\0')
            UsageError("the DEVICE name is empty");
        chosen.device = value;
    };
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, ":p:h", options, nullptr)) != -1;) {
        if (c == 'h' || c == 'V') {
            fputs(c == 'V' ? "ifdiag " IFDIAG_VERSION "\n" : USAGE, stdout);
            exit(0);
        }
        if (c == 'T' || c == 'L') {
            (c == 'T' ? chosen.trace : chosen.listPorts) = true;
            continue;
        }
        if (c == ':')
            UsageError(std::string("option ") + argv[optind - 1] + " needs a DEVICE");
        if (c == '?')
            UsageError("unknown option " +
                       (optopt ? std::string("-") + char(optopt) : std::string(argv[optind - 1])));
        take(optarg);
    }
    for (; optind < argc; ++optind)
        take(argv[optind]);
    return chosen;
}

// Qt aborts inside QApplication when no platform plugin starts, after warnings naming the
// cause. They are held meanwhile: on failure the first is the one line (status 1).
QStringList startupMessages;
void DuringStartup(QtMsgType type, const QMessageLogContext &, const QString &text) {
    startupMessages << text;
    if (type == QtFatalMsg) {
        fprintf(stderr, "ifdiag: cannot open a window: %s\n", qPrintable(startupMessages[0]));
        _exit(1);
    }
}

void CheckDisplay() {
    auto set = [](const char *name) { return getenv(name) && *getenv(name); };
    if (set("QT_QPA_PLATFORM") || set("DISPLAY"))
        return;
    if (!set("WAYLAND_DISPLAY")) {
        fputs("ifdiag: cannot open a window: DISPLAY and WAYLAND_DISPLAY are unset\n", stderr);
        exit(1);
    }
    setenv("QT_QPA_PLATFORM", "wayland", 1); // Qt takes it unasked only when the session says so
}

int signalPipe[2] = {-1, -1};

void OnSignal(int sig) {
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(sig);
    (void)!write(signalPipe[1], &number, 1); // full: one signal is enough
    errno = saved;
}

// A signal ends the program as closing the dialog and choosing "Beenden" would (polling
// stopped, the port handed back), then the process dies by it: its sender sees the usual
// status. The handler only wakes the GUI thread, inside any dialog's or box's loop too.
void EndOnSignals() {
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return; // no way to reach the GUI thread: the signals keep their default action
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, [] {
        unsigned char sig = 0;
        if (read(signalPipe[0], &sig, 1) != 1)
            return;
        if (HWND dialog = qtwin::CurrentDialog())
            SendMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
        signal(sig, SIG_DFL);
        TraceOff();
        raise(sig);
    });
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction before = {};
        // Started under nohup (or with SIGINT ignored in the background): left ignored.
        if (sigaction(sig, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
            sigaction(sig, &action, nullptr);
    }
}

} // namespace

int LinuxMain(int argc, char **argv) {
    const Options options = ParseCommandLine(argc, argv);
    const char *device = Com2Device(options.device);
    if (options.listPorts)
        exit((ListSerialPorts(device), 0));
    // Looked at, not opened (the dialog opens it): a misspelt name or /dev/null is told at once.
    struct stat st;
    if (const char *why = NoSerialPort(device, st))
        fprintf(stderr, "ifdiag: %s: %s; the test dialog will not reach the box\n", device, why);
    CheckDisplay();
    QtMessageHandler previous = qInstallMessageHandler(DuringStartup);
    static int qtArgc = 1; // Qt's own options (-platform, -style ...) are not taken
    QApplication app(qtArgc, argv);
    qInstallMessageHandler(previous);
    for (const QString &message : startupMessages)
        qWarning("%s", qPrintable(message));
    EndOnSignals();
    if (options.trace)
        TraceOn();
    static char commandLine[] = "";
    int code = WinMain(qtwin::ModuleInstance(), nullptr, commandLine, SW_SHOWDEFAULT);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) { // nobody reads the pipe any more
        struct sigaction now = {};
        if (sigaction(sig, nullptr, &now) == 0 && now.sa_handler == OnSignal)
            signal(sig, SIG_DFL);
    }
    qtwin::DestroyAllWindows();
    TraceOff();
    return code;
}
