// The only program of the test machine (kernel_test.cpp): Debian's own kernel, where
// /dev/ttyS1 is a 16550 on the 8250 driver and /dev/ttyUSB0 an FTDI adapter on ftdi_sio.
// It takes one command a line from the console ("poll /dev/ttyS1"), runs ifdiag's own
// link, poll cycle and port layer on that device, and answers in lines that start "@ ":
// "fail ..." for what went wrong here, values for the host to check against its box,
// "bench ..." for docs/PERFORMANCE.md, "do ..." when the host must act (it answers with a
// line), and "end". The port layer's stderr lines reach the host on the same console.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "link/link.h"
#include "platform/posix/ports.h"
#include "monitor/iostate.h"
#include "monitor/poll.h"
#include "tests/support/messages.h"

double Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Every read call of the link, counted on its way to the port layer (-Wl,--wrap).
static std::atomic<long> Reads{0}, FailedReads{0};
static std::atomic<double> FirstFailure{0};
extern "C" BOOL __real__Z8ReadFilePvS_jPjP11_OVERLAPPED(HANDLE, LPVOID, DWORD, LPDWORD,
                                                        LPOVERLAPPED);
extern "C" BOOL __wrap__Z8ReadFilePvS_jPjP11_OVERLAPPED(HANDLE h, LPVOID data, DWORD count,
                                                        LPDWORD got, LPOVERLAPPED ov) {
    ++Reads;
    const BOOL ok = __real__Z8ReadFilePvS_jPjP11_OVERLAPPED(h, data, count, got, ov);
    if (!ok && FailedReads++ == 0)
        FirstFailure = Now();
    return ok;
}

namespace {

void Say(const char *format, ...) {
    va_list args;
    va_start(args, format);
    printf("@ ");
    vprintf(format, args);
    printf("\n");
    fflush(stdout);
    va_end(args);
}
#define CHECK(ok, ...) ((ok) ? (void)0 : Say("fail " __VA_ARGS__))

void Ask(const char *what) {
    Say("do %s", what);
    char line[64];
    (void)!fgets(line, sizeof line, stdin);
}

double Cpu() {
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}
void Sleep(double s) {
    std::this_thread::sleep_for(std::chrono::microseconds(long(s * 1e6)));
}
bool WaitFor(bool (*done)(const char *), const char *arg, double s) {
    for (const double end = Now() + s; !done(arg); Sleep(0.01))
        if (Now() > end)
            return false;
    return true;
}
bool Exists(const char *path) {
    return access(path, F_OK) == 0;
}
bool Gone(const char *path) {
    return !Exists(path);
}
bool Shown(const char *count) {
    return testmsgs::All().size() >= size_t(atoi(count));
}
int Fds() {
    int n = 0;
    for (int fd = 0; fd < 256; ++fd)
        n += fcntl(fd, F_GETFD) != -1;
    return n;
}

// What the port layer must hand back: line settings, the low-latency flag, exclusive mode.
struct PortState {
    termios tio;
    int low_latency, exclusive;
};
PortState Look(const char *dev) {
    PortState s{};
    const int fd = open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK); // root passes TIOCEXCL
    serial_struct ss{};
    tcgetattr(fd, &s.tio);
    s.low_latency = ioctl(fd, TIOCGSERIAL, &ss) == 0 ? (ss.flags & ASYNC_LOW_LATENCY) != 0 : -1;
    ioctl(fd, TIOCGEXCL, &s.exclusive);
    close(fd);
    return s;
}
bool operator==(const PortState &a, const PortState &b) {
    return a.tio.c_iflag == b.tio.c_iflag && a.tio.c_oflag == b.tio.c_oflag &&
           a.tio.c_cflag == b.tio.c_cflag && a.tio.c_lflag == b.tio.c_lflag &&
           !memcmp(a.tio.c_cc, b.tio.c_cc, sizeof a.tio.c_cc) &&
           cfgetospeed(&a.tio) == cfgetospeed(&b.tio) && a.low_latency == b.low_latency &&
           a.exclusive == b.exclusive;
}

// Settings a user may have left on the port: 115200 7E1, XON/XOFF, canonical with echo.
void LeaveUserSettings(const char *dev) {
    const int fd = open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t;
    tcgetattr(fd, &t);
    cfsetspeed(&t, B115200);
    t.c_cflag = (t.c_cflag & ~CSIZE) | CS7 | PARENB;
    t.c_iflag |= IXON | IXOFF | ICRNL;
    t.c_lflag |= ICANON | ECHO;
    tcsetattr(fd, TCSANOW, &t);
    serial_struct ss{};
    if (ioctl(fd, TIOCGSERIAL, &ss) == 0) {
        ss.flags &= ~ASYNC_LOW_LATENCY;
        ioctl(fd, TIOCSSERIAL, &ss);
    }
    close(fd);
}

BYTE Open(const char *dev) {
    setenv("IFDIAG_PORT", dev, 1);
    testmsgs::Reset();
    DialogHandle = reinterpret_cast<HWND>(0x1234);
    return OpenInterface();
}
void Close() {
    StopPolling();
    CloseInterface();
}

// The box echoes: 0xC1 answers the motor byte m, EX m * 256 + (255 - m), EY the reverse.
void Bytes(const char *dev) {
    Open(dev);
    int bad = 0, first = -1;
    const double start = Now();
    for (unsigned v = 0; v < 256; ++v) {
        MotorByte = BYTE(v);
        const bool wrong = ExchangeDigital() != v || ExchangeAnalog(0) != (v << 8 | (255 - v)) ||
                           ExchangeAnalog(1) != ((255 - v) << 8 | v);
        bad += wrong;
        if (wrong && first < 0)
            first = int(v);
    }
    Say("bench %s exchange %.2f ms", dev, (Now() - start) * 1000 / 768);
    CloseInterface();
    CHECK(bad == 0 && testmsgs::All().empty(), "%s: %d of 256 values altered, the first %d", dev,
          bad, first);
}

// The dialog's life on the driver: opened over a user's settings, exclusive while open,
// polled with motors switched, closed, everything handed back.
void Poll(const char *dev) {
    const int fds = Fds();
    LeaveUserSettings(dev);
    const PortState found = Look(dev);
    // A program that keeps the port open without locking it (as cat would) keeps the
    // tty alive after ifdiag's close, and with it the exclusive mode unless handed back.
    const int bystander = open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK);
    PreviousInputs = Open(dev);
    const PortState held = Look(dev);
    CHECK(held.exclusive == 1 && held.low_latency != 0, "%s: not exclusive or low latency", dev);
    CHECK(CreateFileA("COM2", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                      nullptr) == INVALID_HANDLE_VALUE &&
              GetLastError() == ERROR_ACCESS_DENIED,
          "%s: a second opener not refused", dev);
    const pid_t child = fork();
    if (child == 0) { // not root: TIOCEXCL alone keeps it out
        (void)!setgid(65534);
        (void)!setuid(65534);
        _exit(open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK) < 0 ? errno : 0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    CHECK(WEXITSTATUS(status) == EBUSY, "%s: a user's opener got %d, not EBUSY", dev,
          WEXITSTATUS(status));
    for (auto &counter : EdgeCounters)
        counter = 0;
    SetMotor(2, 'R');
    const double cpu = Cpu();
    const long reads = Reads;
    StartPolling();
    for (const char *step : {"4L", "2L", "2A", ""}) {
        Sleep(0.4);
        if (*step)
            SetMotor(step[0] - '0', step[1]);
    }
    Close();
    Say("counts %u %u %u %u %u %u %u %u", unsigned(EdgeCounters[0]), unsigned(EdgeCounters[1]),
        unsigned(EdgeCounters[2]), unsigned(EdgeCounters[3]), unsigned(EdgeCounters[4]),
        unsigned(EdgeCounters[5]), unsigned(EdgeCounters[6]), unsigned(EdgeCounters[7]));
    Say("bench %s cpu per cycle %.3f ms", dev, (Cpu() - cpu) * 1000 / double(Reads - reads) * 3);
    CHECK(Look(dev) == found, "%s: settings, low latency or exclusive mode not handed back", dev);
    close(bystander);
    CHECK(Fds() == fds && testmsgs::All().empty(), "%s: descriptor kept or a message", dev);
}

// The host silences the box after the opening and one cycle: reads end by their time-out,
// the values freeze (EX takes EY's last bytes: one buffer), and nothing is said.
void Silent(const char *dev) {
    Open(dev);
    MotorByte = 0x5A;
    for (int cycle = 0; cycle < 3; ++cycle) {
        for (int kind = 0; kind < 3; ++kind) {
            const double start = Now();
            const DWORD value = kind == 0 ? ExchangeDigital() : ExchangeAnalog(BYTE(kind - 1));
            const double took = Now() - start;
            CHECK(cycle == 0 || (took >= 0.099 && took < 1), "%s: a silent read took %.3f s", dev,
                  took);
            CHECK(value == (kind == 0                 ? 0x5Au
                            : kind == 1 && cycle == 0 ? 0x5AA5u
                                                      : 0xA55Au),
                  "%s: cycle %d exchange %d gave %u", dev, cycle, kind, unsigned(value));
        }
    }
    CloseInterface();
    CHECK(testmsgs::All().empty(), "%s: a message for a silent box", dev);
}

// The port's own hardware handshake on, with CTS held low: on this machine the UART's
// modem lines come from a pseudo-terminal on the host, which has none, so CTS reads low.
// The opening's flush gives up within its time-out and says why; closing does not wait.
void Handshake(const char *dev) {
    const int fd = open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t;
    tcgetattr(fd, &t);
    t.c_cflag |= CRTSCTS;
    tcsetattr(fd, TCSANOW, &t);
    int lines = 0;
    ioctl(fd, TIOCMGET, &lines);
    CHECK(!(lines & TIOCM_CTS), "%s: CTS is not low", dev);
    const double start = Now();
    Open(dev);
    const double opened = Now();
    CloseInterface();
    CHECK(testmsgs::Letters() == "L" && opened - start < 1 && Now() - opened < 1,
          "%s: messages %s, opening %.3f s, closing %.3f s", dev, testmsgs::Letters().c_str(),
          opened - start, Now() - opened);
    t.c_cflag &= ~CRTSCTS;
    tcsetattr(fd, TCSANOW, &t);
    close(fd);
}

// The port list, between "@ list" and "@ listed"; it must open no device node.
void List(const char *com2) {
    const int watch = inotify_init1(IN_NONBLOCK);
    for (const char *dev : {"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyS2", "/dev/ttyS3", "/dev/ttyUSB0"})
        inotify_add_watch(watch, dev, IN_OPEN);
    Say("list");
    ListSerialPorts(com2);
    Say("listed");
    char event[4096];
    CHECK(read(watch, event, sizeof event) < 0, "the port list opened a device");
    close(watch);
}

// Pulled out while the poll cycle waits in a read, plugged back in while the opening
// still holds the dead port (so it comes back under a new name); the old name then fails.
void UnplugInRead(const char *dev) {
    const int fds = Fds();
    Open(dev);
    StartPolling();
    Sleep(0.3);
    Ask("unplug-in-read");
    CHECK(WaitFor(Shown, "1", 30), "%s: no message after the unplug", dev);
    const double cpu = Cpu(), start = Now();
    Say("bench %s first failed read to message %.0f ms", dev, (start - FirstFailure) * 1000);
    const long failed = FailedReads;
    Sleep(3);
    Say("first %c", testmsgs::Letters()[0]);
    Say("bench %s cpu after the message %.1f %%", dev, (Cpu() - cpu) / (Now() - start) * 100);
    CHECK(failed == 20001 && FailedReads == failed, "%s: %ld failed reads, then %ld more", dev,
          failed, FailedReads - failed);
    Ask("replug");
    CHECK(WaitFor(Exists, "/dev/ttyUSB1", 15), "the adapter did not come back as ttyUSB1");
    Sleep(1.5); // nothing reconnects within the opening
    const double closing = Now();
    Close();
    CHECK(Now() - closing < 2 && Fds() == fds, "%s: closing took %.3f s, or kept a descriptor", dev,
          Now() - closing);
    Open(dev);
    CloseInterface();
    CHECK(testmsgs::Letters() == "L", "%s: reopening the old name: %s", dev,
          testmsgs::Letters().c_str());
}

// Pulled out between cycles (polling stopped, the port still open): the next cycle's
// flush and writes fail, no read is made; plugged in after closing, it works again.
void UnplugBetweenCycles(const char *dev) {
    const int fds = Fds();
    Open(dev);
    MotorByte = 0x5A;
    CHECK(ExchangeDigital() == 0x5A, "%s: the adapter plugged back in does not reach the box", dev);
    StartPolling();
    Sleep(0.3);
    StopPolling();
    Sleep(0.2); // an exchange under way as polling stopped has ended
    const long reads = Reads;
    Ask("unplug");
    CHECK(WaitFor(Gone, dev, 15), "%s: still there after the unplug", dev);
    List("/dev/ttyS1");
    StartPolling();
    CHECK(WaitFor(Shown, "3", 15), "%s: fewer than three messages", dev);
    Close();
    CHECK(Reads == reads && testmsgs::Letters().substr(0, 3) == "LLL" && Fds() == fds,
          "%s: %ld reads, messages %s", dev, Reads - reads, testmsgs::Letters().c_str());
    Ask("replug");
    CHECK(WaitFor(Exists, "/dev/ttyUSB0", 15), "the adapter did not come back as ttyUSB0");
    MotorByte = 0x33;
    CHECK(Open("/dev/ttyUSB0") == 0 && testmsgs::All().empty(), "ttyUSB0 after replugging");
    CloseInterface();
}

} // namespace

int main() {
    termios console;
    tcgetattr(0, &console);
    console.c_lflag &= ~ECHO;
    tcsetattr(0, TCSANOW, &console);
    if (!WaitFor(Exists, "/dev/ttyUSB0", 60))
        Say("fail no /dev/ttyUSB0");
    chmod("/dev/ttyS1", 0666); // for the opener that is not root
    chmod("/dev/ttyUSB0", 0666);
    Say("ready");
    struct {
        const char *name;
        void (*run)(const char *);
    } const commands[] = {{"bytes", Bytes},
                          {"poll", Poll},
                          {"silent", Silent},
                          {"handshake", Handshake},
                          {"list", List},
                          {"unplug-in-read", UnplugInRead},
                          {"unplug-between-cycles", UnplugBetweenCycles}};
    char line[256], name[64], dev[128];
    while (fgets(line, sizeof line, stdin))
        if (sscanf(line, "%63s %127s", name, dev) == 2) {
            for (const auto &command : commands)
                if (strcmp(name, command.name) == 0)
                    command.run(dev);
            Say("end");
        }
    return 0;
}
