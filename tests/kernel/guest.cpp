// The test machine's only program (kernel_test.cpp): on Debian's kernel /dev/ttyS1 is a
// 16550 on 8250 and /dev/ttyUSB0 an FTDI adapter on ftdi_sio. It runs one command a line
// from the console ("poll /dev/ttyS1") with ifdiag's link, poll cycle and port layer, and
// answers in "@ " lines: "fail ...", values for the host, "bench ...", "do ..." when the
// host must act (it answers with a line), "end". stderr shares the console.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <ctime>
#include <thread>

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
#include "tests/support/messages.h"

#define SAY(...) (printf("@ " __VA_ARGS__), printf("\n"), fflush(stdout))
#define CHECK(ok, ...) ((ok) ? (void)0 : (void)SAY("fail " __VA_ARGS__))
#define READ_FILE _Z8ReadFilePvS_jPjP11_OVERLAPPED // ReadFile's C++ name, for --wrap
#define WRAP(real) WRAP2(real)
#define WRAP2(real) __wrap_##real
#define REAL(real) REAL2(real)
#define REAL2(real) __real_##real

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Every read call of the link, counted on its way to the port layer.
std::atomic<long> Reads{0}, FailedReads{0};
std::atomic<double> FirstFailure{0};
extern "C" BOOL REAL(READ_FILE)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
extern "C" BOOL WRAP(READ_FILE)(HANDLE h, LPVOID data, DWORD n, LPDWORD got, LPOVERLAPPED ov) {
    ++Reads;
    const BOOL ok = REAL(READ_FILE)(h, data, n, got, ov);
    if (!ok && FailedReads++ == 0)
        FirstFailure = Now();
    return ok;
}

namespace {

void Ask(const char *what) {
    SAY("do %s", what);
    char line[64];
    (void)!fgets(line, sizeof line, stdin);
}
void Sleep(double s) {
    std::this_thread::sleep_for(std::chrono::duration<double>(s));
}
template <class Done> bool WaitFor(Done done, double s) {
    for (const double end = Now() + s; !done(); Sleep(0.01))
        if (Now() > end)
            return false;
    return true;
}
bool Exists(const char *path) {
    return access(path, F_OK) == 0;
}
int Fds() {
    int n = 0;
    for (int fd = 0; fd < 256; ++fd)
        n += fcntl(fd, F_GETFD) != -1;
    return n;
}

// What the port layer must hand back. Zeroed first, so memcmp sees no stale padding.
struct PortState {
    termios tio;
    int low_latency, exclusive;
};
PortState Look(const char *dev) {
    PortState s;
    memset(&s, 0, sizeof s);
    serial_struct ss{};
    const int fd = open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK); // root passes TIOCEXCL
    tcgetattr(fd, &s.tio);
    s.low_latency = ioctl(fd, TIOCGSERIAL, &ss) == 0 ? (ss.flags & ASYNC_LOW_LATENCY) != 0 : -1;
    ioctl(fd, TIOCGEXCL, &s.exclusive);
    close(fd);
    return s;
}

void Stty(const char *dev, const char *settings) {
    (void)!system(("/bin/busybox stty -F " + std::string(dev) + " " + settings).c_str());
}

BYTE Open(const char *dev) {
    setenv("IFDIAG_PORT", dev, 1);
    testmsgs::Reset();
    DialogHandle = reinterpret_cast<HWND>(0x1234);
    return OpenInterface();
}

// The box echoes: 0xC1 answers the motor byte m, EX m * 256 + (255 - m), EY the reverse.
void Bytes(const char *dev) {
    Open(dev);
    int bad = 0;
    const double start = Now();
    for (unsigned v = 0; v < 256; ++v) {
        MotorByte = BYTE(v);
        bad += ExchangeDigital() != v || ExchangeAnalog(0) != (v << 8 | (255 - v)) ||
               ExchangeAnalog(1) != ((255 - v) << 8 | v);
    }
    SAY("bench %s exchange %.2f ms", dev, (Now() - start) * 1000 / 768);
    CloseInterface();
    CHECK(bad == 0 && testmsgs::All().empty(), "%s: %d of 256 values altered", dev, bad);
}

// The dialog's life on the driver: opened over a user's settings (low latency off),
// exclusive, polled with motors switched, handed back. A program that
// keeps the port open unlocked (as cat would) keeps the tty, and with it the exclusive
// mode, alive after the close.
void Poll(const char *dev) {
    const int fds = Fds(), bystander = open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK);
    Stty(dev, "115200 cs7 parenb ixon ixoff icrnl icanon echo");
    serial_struct ss{}; // low latency off, whatever an earlier opening left
    ioctl(bystander, TIOCGSERIAL, &ss);
    ss.flags &= ~ASYNC_LOW_LATENCY;
    ioctl(bystander, TIOCSSERIAL, &ss);
    const PortState found = Look(dev);
    PreviousInputs = Open(dev);
    CHECK(Look(dev).exclusive && Look(dev).low_latency, "%s: not exclusive, no low latency", dev);
    CHECK(CreateFileA("COM2", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                      nullptr) == INVALID_HANDLE_VALUE,
          "%s: a second opener let in", dev);
    const pid_t child = fork();
    if (child == 0) { // not root: TIOCEXCL alone keeps it out
        (void)!setgid(65534), (void)!setuid(65534);
        _exit(open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK) < 0 ? errno : 0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    CHECK(WEXITSTATUS(status) == EBUSY, "%s: a user's open got %d", dev, WEXITSTATUS(status));
    for (auto &counter : EdgeCounters)
        counter = 0;
    SetMotor(2, 'R');
    const long reads = Reads;
    const double cpu = double(clock()) / CLOCKS_PER_SEC;
    StartPolling();
    for (const char *step : {"4L", "2L", "2A"}) {
        Sleep(0.4);
        SetMotor(step[0] - '0', step[1]);
    }
    Sleep(0.4);
    StopPolling();
    CloseInterface();
    SAY("counts %u %u %u %u %u %u %u %u", unsigned(EdgeCounters[0]), unsigned(EdgeCounters[1]),
        unsigned(EdgeCounters[2]), unsigned(EdgeCounters[3]), unsigned(EdgeCounters[4]),
        unsigned(EdgeCounters[5]), unsigned(EdgeCounters[6]), unsigned(EdgeCounters[7]));
    SAY("bench %s CPU per cycle %.3f ms", dev,
        (double(clock()) / CLOCKS_PER_SEC - cpu) * 3000 / double(Reads - reads));
    const PortState after = Look(dev);
    CHECK(!memcmp(&after, &found, sizeof found), "%s: the port not handed back as found", dev);
    close(bystander);
    CHECK(Fds() == fds && testmsgs::All().empty(), "%s: descriptor kept or a message", dev);
}

// The host silences the box after the opening and one cycle: each read ends by its
// time-out, the values freeze (EX takes EY's last bytes: one buffer), nothing is said.
void Silent(const char *dev) {
    Open(dev);
    MotorByte = 0x5A;
    for (int i = 0; i < 9; ++i) {
        const double start = Now();
        const DWORD value = i % 3 == 0 ? ExchangeDigital() : ExchangeAnalog(BYTE(i % 3 - 1));
        const double took = Now() - start;
        CHECK(i < 3 || (took >= 0.099 && took < 1), "%s: a silent read took %.3f s", dev, took);
        CHECK(value == (i % 3 == 0 ? 0x5Au
                        : i == 1   ? 0x5AA5u
                                   : 0xA55Au),
              "%s: exchange %d gave %u", dev, i, unsigned(value));
    }
    CloseInterface();
    CHECK(testmsgs::All().empty(), "%s: a message for a silent box", dev);
}

// Hardware handshake on, CTS low: the UART's modem lines come from a pseudo-terminal on
// the host, which has none. The flush gives up within its time-out; closing does not wait.
void Handshake(const char *dev) {
    Stty(dev, "crtscts");
    const int fd = open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK);
    int lines = 0;
    ioctl(fd, TIOCMGET, &lines);
    close(fd);
    CHECK(!(lines & TIOCM_CTS), "%s: CTS is not low", dev);
    const double start = Now();
    Open(dev);
    const double opened = Now();
    CloseInterface();
    CHECK(testmsgs::Letters() == "L" && opened - start < 1 && Now() - opened < 1,
          "%s: messages %s, opening %.3f s, closing %.3f s", dev, testmsgs::Letters().c_str(),
          opened - start, Now() - opened);
    Stty(dev, "-crtscts");
}

// The port list; inotify sees any opening of a node.
void List(const char *com2) {
    const int watch = inotify_init1(IN_NONBLOCK);
    for (const char *dev : {"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyS2", "/dev/ttyS3", "/dev/ttyUSB0"})
        inotify_add_watch(watch, dev, IN_OPEN);
    ListSerialPorts(com2);
    fflush(stdout);
    char event[4096];
    CHECK(read(watch, event, sizeof event) < 0, "the port list opened a device");
    close(watch);
}

// Pulled out while the poll cycle waits in a read, plugged back in while the opening still
// holds the dead port, so that it comes back as ttyUSB1; the old name then fails.
void UnplugInRead(const char *dev) {
    const int fds = Fds();
    Open(dev);
    StartPolling();
    Sleep(0.3);
    Ask("unplug-in-read");
    CHECK(WaitFor([] { return !testmsgs::All().empty(); }, 30), "%s: no message", dev);
    const double cpu = double(clock()) / CLOCKS_PER_SEC, start = Now();
    const long failed = FailedReads;
    SAY("bench %s first failed read to message %.0f ms", dev, (start - FirstFailure) * 1000);
    Sleep(3);
    SAY("first %c", testmsgs::Letters()[0]);
    SAY("bench %s CPU after the message %.1f %%", dev,
        (double(clock()) / CLOCKS_PER_SEC - cpu) / (Now() - start) * 100);
    CHECK(failed == 20001 && FailedReads == failed, "%s: %ld failed reads, then %ld", dev, failed,
          FailedReads - failed);
    Ask("replug");
    CHECK(WaitFor([] { return Exists("/dev/ttyUSB1"); }, 15), "no ttyUSB1 after replugging");
    Sleep(1.5); // nothing reconnects within the opening
    const double closing = Now();
    StopPolling();
    CloseInterface();
    CHECK(Now() - closing < 2 && Fds() == fds, "%s: closing took %.3f s, or kept a descriptor", dev,
          Now() - closing);
    Open(dev);
    CloseInterface();
    CHECK(testmsgs::Letters() == "L", "%s: reopening the old name: %s", dev,
          testmsgs::Letters().c_str());
}

// Pulled out between cycles (polling stopped, the port open): the next cycle's flush and
// writes fail without a read; plugged back in after the close, it works again.
void UnplugBetweenCycles(const char *dev) {
    const int fds = Fds();
    Open(dev);
    MotorByte = 0x5A;
    CHECK(ExchangeDigital() == 0x5A, "%s: the adapter plugged back in is not the box's", dev);
    StartPolling();
    Sleep(0.3);
    StopPolling();
    Sleep(0.2); // an exchange under way as polling stopped has ended
    const long reads = Reads;
    Ask("unplug");
    CHECK(WaitFor([dev] { return !Exists(dev); }, 15), "%s: still there", dev);
    List("/dev/ttyS1");
    StartPolling();
    CHECK(WaitFor([] { return testmsgs::All().size() >= 3; }, 15), "%s: no messages", dev);
    StopPolling();
    CloseInterface();
    CHECK(Reads == reads && testmsgs::Letters().substr(0, 3) == "LLL" && Fds() == fds,
          "%s: %ld reads, messages %s", dev, Reads - reads, testmsgs::Letters().c_str());
    Ask("replug");
    CHECK(WaitFor([] { return Exists("/dev/ttyUSB0"); }, 15), "no ttyUSB0 after replugging");
    MotorByte = 0x33;
    CHECK(Open("/dev/ttyUSB0") == 0 && testmsgs::All().empty(), "ttyUSB0 after replugging");
    CloseInterface();
}

} // namespace

int main(int argc, char **argv) { // the machine's ports, from its init
    termios console;
    tcgetattr(0, &console);
    console.c_lflag &= ~ECHO;
    tcsetattr(0, TCSANOW, &console);
    for (int i = 1; i < argc; ++i) {
        CHECK(WaitFor([&] { return Exists(argv[i]); }, 60), "no %s", argv[i]);
        chmod(argv[i], 0666); // for the opener that is not root
    }
    SAY("ready");
    const std::pair<const char *, void (*)(const char *)> commands[] = {
        {"bytes", Bytes},
        {"poll", Poll},
        {"silent", Silent},
        {"handshake", Handshake},
        {"list", List},
        {"unplug-in-read", UnplugInRead},
        {"unplug-between-cycles", UnplugBetweenCycles}};
    char line[256], name[64], dev[128];
    while (fgets(line, sizeof line, stdin))
        if (sscanf(line, "%63s %127s", name, dev) == 2) {
            for (const auto &[command, run] : commands)
                if (strcmp(name, command) == 0)
                    run(dev);
            SAY("end");
        }
}
