// The test machine's only program (kernel_test.cpp): runs one command a line from the console
// ("poll /dev/ttyS1") with ifdiag's link, poll cycle and port layer, answering in "@ " lines:
// "fail ...", "bench ...", "do ..." when the host must act (it answers with a line), "end".
#include <chrono>
#include <cstring>
#include <fstream>

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "link/link.h"
#include "monitor/iostate.h"
#include "monitor/poll.h"
#include "platform/posix/ports.h"
#include "platform/posix/trace.h"
#include "tests/support/messages.h"

#define SAY(...) (printf("@ " __VA_ARGS__), printf("\n"), fflush(stdout))
#define CHECK(ok, ...) ((ok) ? (void)0 : (void)SAY("fail " __VA_ARGS__))

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Every read call of the link on its way to the port layer (ReadFile's C++ name, --wrap).
// The first failed one asked for 1 byte in the digital exchange, 3 in an analog one.
std::atomic<long> Reads{0}, FailedReads{0};
std::atomic<double> FirstFailure{0};
std::atomic<DWORD> FirstFailureAsked{0};
extern "C" decltype(ReadFile) __real__Z8ReadFilePvS_jPjP11_OVERLAPPED;
extern "C" BOOL __wrap__Z8ReadFilePvS_jPjP11_OVERLAPPED(HANDLE h, LPVOID data, DWORD n, LPDWORD got,
                                                        LPOVERLAPPED ov) {
    ++Reads;
    const BOOL ok = __real__Z8ReadFilePvS_jPjP11_OVERLAPPED(h, data, n, got, ov);
    if (!ok && FailedReads++ == 0)
        FirstFailure = Now(), FirstFailureAsked = n;
    return ok;
}

void Ask(const char *what) {
    SAY("do %s", what);
    char line[64];
    (void)!fgets(line, sizeof line, stdin);
}
template <class Done> bool WaitFor(Done done, double s) {
    for (const double end = Now() + s; !done(); usleep(10000))
        if (Now() > end)
            return false;
    return true;
}

// What the port layer must hand back; zeroed first, so memcmp sees no stale padding.
struct PortState {
    termios tio;
    serial_struct serial; // low latency among its flags
    int exclusive;
};
PortState Look(const char *dev) {
    PortState s;
    memset(&s, 0, sizeof s);
    const int fd = open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK); // root passes TIOCEXCL
    tcgetattr(fd, &s.tio), ioctl(fd, TIOCGSERIAL, &s.serial), ioctl(fd, TIOCGEXCL, &s.exclusive);
    close(fd);
    return s;
}

// The box echoes the motor byte m: the inputs m, EX m * 256 + (255 - m), EY the reverse.
void Bytes(const char *dev) {
    OpenInterface();
    int bad = 0;
    for (unsigned m = 0; m < 256; ++m)
        MotorByte = BYTE(m), bad += ExchangeDigital() != m ||
                                    ExchangeAnalog(0) != (m << 8 | (255 - m)) ||
                                    ExchangeAnalog(1) != ((255 - m) << 8 | m);
    CloseInterface();
    CHECK(bad == 0 && testmsgs::All().empty(), "%s: %d of 256 values altered", dev, bad);
}

// The dialog's life on the driver, while a program keeps the port open unlocked (as cat
// would), which keeps the tty, and with it what closing must hand back, alive. The box echoes
// the switches 0x08, 0x48, 0x44, 0x40 as inputs: E3 and E4 change twice, E7 once.
void Poll(const char *dev) {
    const int bystander = open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK);
    const PortState found = Look(dev);
    // The dialog's opening, copied: TestDlgProc needs a display. Another test proves the real one.
    DialogHandle = reinterpret_cast<HWND>(1);
    PreviousInputs = OpenInterface();
    for (auto &counter : EdgeCounters)
        counter = 0;
    StartPolling();
    chmod(dev, 0666);
    if (fork() == 0) { // not root: TIOCEXCL alone keeps it out; root (below): the flock
        (void)!setgid(65534), (void)!setuid(65534);
        _exit(open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK) < 0 ? errno : 0);
    }
    int user = 0;
    wait(&user);
    CHECK(WEXITSTATUS(user) == EBUSY && (Look(dev).serial.flags & ASYNC_LOW_LATENCY) &&
              CreateFileA(dev, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                          nullptr) == INVALID_HANDLE_VALUE,
          "%s: a user's open got %d; no low latency, or root let in", dev, WEXITSTATUS(user));
    const long reads = Reads;
    const clock_t cpu = clock(); // all threads
    for (const char *step : {"2R", "4L", "2L", "2A"})
        SetMotor(step[0] - '0', step[1]), usleep(400000);
    StopPolling();
    SAY("bench %s CPU per cycle %.3f ms", dev,
        (clock() - cpu) * 3e3 / CLOCKS_PER_SEC / (Reads - reads));
    const double start = Now();
    for (int i = 0; i < 30; ++i)
        ExchangeAnalog(BYTE(i % 2));
    SAY("bench %s exchange %.2f ms", dev, (Now() - start) * 1000 / 30);
    CloseInterface();
    std::string counts;
    for (auto &counter : EdgeCounters)
        counts += " " + std::to_string(counter);
    const PortState after = Look(dev);
    CHECK(counts == " 0 0 2 2 0 0 1 0" && testmsgs::All().empty() &&
              !(found.serial.flags & ASYNC_LOW_LATENCY) && !memcmp(&after, &found, sizeof after),
          "%s: counts%s, messages %s, or the port not handed back as found", dev, counts.c_str(),
          testmsgs::Letters().c_str());
    close(bystander);
}

// The receive trigger where the attribute's group may write it (the package's udev rule makes
// that dialout) and where it may not, for a user of that group: lowered and handed back, or left.
void Trigger(const char *dev) {
    const std::string file = std::string("/sys/class/tty") + strrchr(dev, '/') + "/rx_trig_bytes";
    auto level = [&file](int n = 0) { return std::ifstream(file) >> n, n; };
    const int found = level();
    chmod(dev, 0666), chown(file.c_str(), 0, 20);
    for (const mode_t mode : {0644, 0664}) {
        chmod(file.c_str(), mode), (void)!setegid(20), (void)!seteuid(65534);
        OpenInterface();
        const int now = level();
        const double start = Now();
        for (int i = 0; i < 30; ++i)
            ExchangeDigital(), ExchangeAnalog(0), ExchangeAnalog(1);
        const double polled = Now();
        Reads = 0, StartPolling(), sleep(2), StopPolling();
        SAY("bench %s trigger %d: exchange %.2f ms, cycle %.1f ms", dev, now,
            (polled - start) * 1e3 / 90, (Now() - polled) * 3e3 / Reads);
        CloseInterface(), (void)!seteuid(0), (void)!setegid(0);
        CHECK(now == (mode & 020 ? 1 : found) && level() == found && found > 1,
              "%s: trigger %d found, %d while open", dev, found, now);
    }
}

// Hardware handshake on with CTS held low: the flush gives up within its time-out, closing
// drops the queued output rather than wait for it.
void Handshake(const char *dev) {
    (void)!system(("/bin/busybox stty crtscts -F " + std::string(dev)).c_str());
    const double start = Now();
    OpenInterface();
    const double opened = Now();
    CloseInterface();
    CHECK(testmsgs::Letters() == "L" && opened - start < 2 && Now() - opened < 2,
          "%s: messages %s, opening %.3f s, closing %.3f s", dev, testmsgs::Letters().c_str(),
          opened - start, Now() - opened);
}

// The port list; the watch on /dev sees any opening of a node.
void List(const char *com2) {
    const int watch = inotify_init1(IN_NONBLOCK);
    inotify_add_watch(watch, "/dev", IN_OPEN);
    ListSerialPorts(com2);
    fflush(stdout);
    char event[4096];
    CHECK(read(watch, event, sizeof event) < 0, "the port list opened a device");
    close(watch);
}

// Pulled out while the poll cycle waits in a read (the first failed read's exchange is the
// message's), listed while gone, plugged back in while the opening still holds the dead port,
// so that it comes back under the next name; the old name then fails.
void Unplug(const char *dev) {
    const int listed = ListSerialPorts(dev);
    OpenInterface();
    StartPolling();
    usleep(300000);
    Ask("unplug-in-read");
    CHECK(WaitFor([] { return !testmsgs::All().empty(); }, 30), "%s: no message", dev);
    SAY("bench %s first failed read to message %.0f ms", dev, (Now() - FirstFailure) * 1e3);
    sleep(2);
    CHECK(FailedReads == 20001 && testmsgs::Letters()[0] == (FirstFailureAsked == 1 ? 'L' : 'A') &&
              ListSerialPorts(dev) == listed - 1,
          "%s: %ld failed reads, messages %s, or listed while gone", dev, FailedReads.load(),
          testmsgs::Letters().c_str());
    Ask("replug");
    std::string renamed = dev;
    ++renamed.back();
    CHECK(WaitFor([&] { return access(renamed.c_str(), F_OK) == 0; }, 15), "no %s",
          renamed.c_str());
    StopPolling();
    CloseInterface();
    testmsgs::Reset();
    OpenInterface();
    CloseInterface();
    CHECK(testmsgs::Letters() == "L", "%s: reopening the old name: %s", dev,
          testmsgs::Letters().c_str());
}

int main() {
    (void)!system("/bin/busybox stty -echo -onlcr"); // the console
    SAY("end");
    const std::pair<const char *, void (*)(const char *)> commands[] = {
        {"bytes", Bytes}, {"poll", Poll},     {"handshake", Handshake},
        {"list", List},   {"unplug", Unplug}, {"trigger", Trigger}};
    char line[256], name[64], dev[128];
    while (fgets(line, sizeof line, stdin))
        if (sscanf(line, "%63s %127s", name, dev) == 2) {
            CHECK(WaitFor([&] { return access(dev, F_OK) == 0; }, 60), "no %s", dev); // USB: late
            setenv("IFDIAG_PORT", dev, 1);
            testmsgs::Reset();
            for (const auto &[command, run] : commands)
                if (strcmp(name, command) == 0)
                    run(dev);
            TraceOff(); // the port layer's lines for the user, written by a thread of their own
            SAY("end");
        }
}
