// kernel32's serial-port-as-a-file calls on a Linux tty: the subset the link
// uses and nothing more.
//
// A Windows COM port is raw, exclusive and synchronous with time-outs; a tty is
// none of these until told. Opening makes it so and closing hands the port back
// as it was found. Line settings other than 9600 8N1 without software flow
// control, and time-outs other than total constant ones, are refused with
// ERROR_INVALID_PARAMETER rather than emulated. No call waits longer than its
// time-out. The message box cannot say which device failed or why, so every
// failure on a port also tells stderr, once per cause and opening.
#include "platform/win32.h"
#include "platform/posix/ports.h"
#include "platform/posix/trace.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <grp.h>
#include <linux/major.h>
#include <linux/serial.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace {

thread_local DWORD LastError = ERROR_SUCCESS;

// Causes that no errno names.
constexpr int NOT_A_SERIAL_PORT = -1;
constexpr int OUTPUT_STUCK = -2;

struct Port {
    int fd;
    std::string path;
    termios found;        // handed back on close
    bool was_exclusive;   // TIOCEXCL already set when we came
    bool set_low_latency; // we switched the driver to low latency
    // Until SetCommTimeouts, calls wait for nothing: none may wait without bound.
    DWORD read_ms = 0, write_ms = 0;
    bool unsent = false; // a write ended with bytes the driver never took
    bool silent = false; // the latest read timed out with no byte
    // Causes already written to stderr for this opening; a fixed table, as the
    // poll cycle allocates nothing, failures included.
    int told[8] = {};
    unsigned told_count = 0;
};

DWORD CodeOf(int cause) {
    switch (cause) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case NOT_A_SERIAL_PORT:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EBUSY:
        return ERROR_ACCESS_DENIED; // what Windows says for a COM port in use
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    default:
        return ERROR_GEN_FAILURE;
    }
}

const char *CauseText(int cause) {
    return cause == NOT_A_SERIAL_PORT ? "not a serial port"
           : cause == OUTPUT_STUCK
               ? "output cannot leave (handshake line CTS held low, or the other side stopped "
                 "reading)"
               : strerror(cause);
}

// A line for the user on stderr. Traced, it goes through the trace's writer instead: the
// poll thread must not wait for a stderr that nobody reads.
void Note(const char *format, ...) __attribute__((format(printf, 1, 2)));
void Note(const char *format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (Tracing())
        Trace("note", "%s", line);
    else
        fprintf(stderr, "%s\n", line);
}

void Tell(const std::string &path, int cause, const std::string &extra = "") {
    const char *text = CauseText(cause);
    const char *hint = cause == EBUSY    ? " (another program holds the port)"
                       : cause == EIO    ? " (the device is gone or not present)"
                       : cause == EINVAL ? " (settings ifdiag does not use)"
                                         : "";
    Note("ifdiag: %s: %s%s%s", path.c_str(), text, hint, extra.c_str());
}

BOOL Fail(Port *port, const char *call, int cause) {
    Trace("fail", "%s: %s", call, CauseText(cause));
    LastError = CodeOf(cause);
    int *end = port->told + port->told_count;
    if (std::find(port->told, end, cause) == end) {
        if (port->told_count < std::size(port->told))
            port->told[port->told_count++] = cause;
        Tell(port->path, cause);
    }
    return FALSE;
}

// A failed opening: one line each time, as each try is an opening of its own.
HANDLE Refuse(const std::string &path, int cause, int fd = -1, const std::string &extra = "") {
    if (fd >= 0)
        close(fd);
    LastError = CodeOf(cause);
    Tell(path, cause, extra);
    return INVALID_HANDLE_VALUE;
}

// Calls on an invalid handle stay quiet: the failed opening has told its cause.
BOOL BadHandle() {
    LastError = ERROR_INVALID_HANDLE;
    return FALSE;
}

Port *PortOf(HANDLE h) {
    return h == nullptr || h == INVALID_HANDLE_VALUE ? nullptr : static_cast<Port *>(h);
}

// "COMn" is the port the user chose in IFDIAG_PORT (/dev/ttyUSB0,
// /dev/serial/by-id/..., a simulator's link), else the n-th on-board port.
std::string DevicePath(LPCSTR name) {
    unsigned n = 0;
    char rest = 0;
    if (sscanf(name, "COM%u%c", &n, &rest) != 1 || n == 0)
        return name;
    const char *chosen = getenv("IFDIAG_PORT");
    return chosen != nullptr && *chosen != '\0' ? chosen : "/dev/ttyS" + std::to_string(n - 1);
}

int64_t NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int Left(int64_t deadline) {
    return static_cast<int>(std::clamp<int64_t>(deadline - NowMs(), 0, INT_MAX));
}

// Traces `head` and the line settings as a user names them: "115200 7E1 crtscts ixon".
void TraceSettings(const char *mark, const char *head, const termios &tio) {
    if (!Tracing())
        return;
    static const std::pair<speed_t, int> rates[] = {
        {B1200, 1200},   {B2400, 2400},   {B4800, 4800},   {B9600, 9600},
        {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}};
    int rate = 0;
    for (const auto &[code, baud] : rates)
        rate = cfgetospeed(&tio) == code ? baud : rate;
    const tcflag_t c = tio.c_cflag;
    Trace(mark, "%s%d %d%c%d%s%s%s", head, rate, 5 + int((c & CSIZE) / CS6),
          !(c & PARENB)  ? 'N'
          : (c & PARODD) ? 'O'
                         : 'E',
          c & CSTOPB ? 2 : 1, c & CRTSCTS ? " crtscts" : "", tio.c_iflag & IXON ? " ixon" : "",
          tio.c_iflag & IXOFF ? " ixoff" : "");
}

// USB adapters hold received bytes for their latency timer (often 16 ms), which
// would stretch every exchange. Drivers that do not know the flag refuse it;
// that costs only speed. Returns whether it was switched.
bool SetLowLatency(int fd, bool on) {
    serial_struct ss;
    if (ioctl(fd, TIOCGSERIAL, &ss) != 0 || ((ss.flags & ASYNC_LOW_LATENCY) != 0) == on)
        return false;
    ss.flags = on ? ss.flags | ASYNC_LOW_LATENCY : ss.flags & ~ASYNC_LOW_LATENCY;
    return ioctl(fd, TIOCSSERIAL, &ss) == 0;
}

} // namespace

// Joining the device's group helps only when that group may read and write it (a
// member would not be refused; one who joined but has not logged in again is not one).
std::string AccessHint(const struct stat &st) {
    const group *g = getgrgid(st.st_gid);
    const passwd *owner = getpwuid(st.st_uid);
    const std::string name = g ? g->gr_name : std::to_string(st.st_gid);
    if (st.st_gid != 0 && (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP))
        return " (join the group " + name + ": sudo usermod -aG " + name +
               " $USER, then log in again)";
    char mode[8];
    snprintf(mode, sizeof mode, "%03o", unsigned(st.st_mode & 0777));
    return std::string(" (owner ") + (owner ? owner->pw_name : std::to_string(st.st_uid).c_str()) +
           ", group " + name + ", mode " + mode +
           ": joining a group does not help; have the device given a group that may read and "
           "write it, e.g. by a udev rule with GROUP=\"dialout\", MODE=\"0660\")";
}

DWORD WINAPI GetLastError(void) {
    return LastError;
}

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD creation, DWORD flags, HANDLE templ) {
    // The one way the link opens a port: read-write, exclusive, existing, synchronous.
    if (name == nullptr || access != (GENERIC_READ | GENERIC_WRITE) || share != 0 ||
        security != nullptr || creation != OPEN_EXISTING || flags != 0 || templ != nullptr) {
        LastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    const std::string path = DevicePath(name);
    // Look before opening: opening a FIFO releases its waiting writer. /dev/tty,
    // /dev/console and the pty masters (/dev/ptmx, /dev/pts/ptmx) share a major.
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return Refuse(path, errno);
    if (!S_ISCHR(st.st_mode) || major(st.st_rdev) == TTYAUX_MAJOR)
        return Refuse(path, NOT_A_SERIAL_PORT);
    // Non-blocking: a modem line without carrier would block the open, and
    // every call afterwards waits in poll() on its own deadline.
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        const int cause = errno;
        return Refuse(path, cause, -1, cause == EACCES || cause == EPERM ? AccessHint(st) : "");
    }
    // Our own terminal, under whatever name, would show requests on the screen.
    if (!isatty(fd) || tcgetsid(fd) == getsid(0))
        return Refuse(path, NOT_A_SERIAL_PORT, fd);
    // A COM port has one opener at a time. flock keeps out other programs that
    // lock (and every later ifdiag), TIOCEXCL those that open as non-root.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return Refuse(path, EBUSY, fd);
    termios found;
    if (tcgetattr(fd, &found) != 0)
        return Refuse(path, errno, fd);
    int exclusive = 0;
    (void)ioctl(fd, TIOCGEXCL, &exclusive);
    (void)ioctl(fd, TIOCEXCL);
    termios raw = found;
    cfmakeraw(&raw);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXOFF | IXANY);
    raw.c_cflag |= CLOCAL | CREAD;
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    (void)tcsetattr(fd, TCSANOW, &raw);
    Port *port = new Port{fd, path, found, exclusive != 0, SetLowLatency(fd, true)};
    TraceSettings("open", (path + ": found ").c_str(), found);
    LastError = ERROR_SUCCESS;
    return port;
}

BOOL WINAPI CloseHandle(HANDLE h) {
    Port *port = PortOf(h);
    if (port == nullptr)
        return BadHandle();
    // Output still queued is dropped: nothing reaches the box after closing, and
    // close() does not wait the driver's closing time (30 s by default) for
    // output that cannot leave.
    (void)tcflush(port->fd, TCOFLUSH);
    (void)tcsetattr(port->fd, TCSANOW, &port->found);
    if (port->set_low_latency)
        SetLowLatency(port->fd, false);
    if (!port->was_exclusive)
        (void)ioctl(port->fd, TIOCNXCL); // outlives us while the other side stays open
    close(port->fd);                     // and the flock with it
    Trace("close", "%s: handed back as found", port->path.c_str());
    delete port;
    return TRUE;
}

BOOL WINAPI GetCommState(HANDLE h, LPDCB dcb) {
    Port *port = PortOf(h);
    termios tio;
    if (port == nullptr)
        return BadHandle();
    if (tcgetattr(port->fd, &tio) != 0)
        return Fail(port, "settings", errno);
    const bool rtscts = (tio.c_cflag & CRTSCTS) != 0;
    *dcb = DCB{};
    dcb->DCBlength = sizeof(DCB);
    dcb->BaudRate = cfgetospeed(&tio) == B9600 ? CBR_9600 : 0; // no other rate is set here
    dcb->fBinary = TRUE;
    dcb->fOutxCtsFlow = rtscts;
    dcb->fRtsControl = rtscts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fOutX = (tio.c_iflag & IXON) != 0;
    dcb->fInX = (tio.c_iflag & IXOFF) != 0;
    dcb->ByteSize = static_cast<BYTE>(5 + (tio.c_cflag & CSIZE) / CS6);
    dcb->Parity = !(tio.c_cflag & PARENB)  ? NOPARITY
                  : (tio.c_cflag & PARODD) ? ODDPARITY
                                           : EVENPARITY;
    dcb->StopBits = (tio.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    return TRUE;
}

BOOL WINAPI SetCommState(HANDLE h, LPDCB dcb) {
    Port *port = PortOf(h);
    termios tio;
    if (port == nullptr)
        return BadHandle();
    // Every byte value passes both ways untouched; the hardware handshake is
    // the one choice left, as a matching pair.
    const bool rtscts = dcb->fOutxCtsFlow;
    if (dcb->BaudRate != CBR_9600 || dcb->ByteSize != 8 || dcb->Parity != NOPARITY ||
        dcb->StopBits != ONESTOPBIT || !dcb->fBinary || dcb->fOutX || dcb->fInX ||
        dcb->fErrorChar || dcb->fNull || dcb->fOutxDsrFlow || dcb->fDsrSensitivity ||
        dcb->fAbortOnError || dcb->fDtrControl != DTR_CONTROL_ENABLE ||
        dcb->fRtsControl != (rtscts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE))
        return Fail(port, "settings", EINVAL);
    if (tcgetattr(port->fd, &tio) != 0)
        return Fail(port, "settings", errno);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | (rtscts ? CRTSCTS : 0);
    if (tcsetattr(port->fd, TCSANOW, &tio) != 0)
        return Fail(port, "settings", errno);
    // tcsetattr succeeds when any one change took: read back what the device kept.
    if (tcgetattr(port->fd, &tio) != 0)
        return Fail(port, "settings", errno);
    if (cfgetospeed(&tio) != B9600 || (tio.c_cflag & (CSIZE | PARENB | CSTOPB)) != CS8)
        return Fail(port, "settings", EINVAL);
    TraceSettings("set", "", tio);
    return TRUE;
}

BOOL WINAPI SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) {
    Port *port = PortOf(h);
    if (port == nullptr)
        return BadHandle();
    // Total constant time-outs only: each call has one fixed bound.
    if (t->ReadIntervalTimeout != 0 || t->ReadTotalTimeoutMultiplier != 0 ||
        t->WriteTotalTimeoutMultiplier != 0 || t->ReadTotalTimeoutConstant == 0 ||
        t->WriteTotalTimeoutConstant == 0)
        return Fail(port, "time-outs", EINVAL);
    port->read_ms = t->ReadTotalTimeoutConstant;
    port->write_ms = t->WriteTotalTimeoutConstant;
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE h, LPCVOID data, DWORD count, LPDWORD written, LPOVERLAPPED) {
    *written = 0;
    Port *port = PortOf(h);
    if (port == nullptr)
        return BadHandle();
    const int64_t deadline = NowMs() + port->write_ms;
    const BYTE *p = static_cast<const BYTE *>(data);
    DWORD done = 0;
    TraceBytes(">", data, count, nullptr);
    while (done < count) {
        ssize_t n = write(port->fd, p + done, count - done);
        if (n > 0) {
            done += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return Fail(port, "write", errno);
        const int left = Left(deadline);
        if (left == 0)
            break;
        pollfd pfd{port->fd, POLLOUT, 0};
        if (poll(&pfd, 1, left) > 0 && (pfd.revents & (POLLERR | POLLHUP)))
            return Fail(port, "write", EIO);
    }
    // A time-out is a success with the bytes written so far, as on Windows; the
    // flush that follows reports the rest.
    port->unsent = done < count;
    if (port->unsent)
        Trace(">", "(%u of %u bytes taken: time-out after %u ms)", unsigned(done), unsigned(count),
              unsigned(port->write_ms));
    *written = done;
    return TRUE;
}

BOOL WINAPI FlushFileBuffers(HANDLE h) {
    Port *port = PortOf(h);
    if (port == nullptr)
        return BadHandle();
    // Not tcdrain: with CTS held low the driver's queue never empties. A pty
    // keeps no queue (TIOCOUTQ is 0), so there a short write is the only sign.
    bool stuck = port->unsent;
    port->unsent = false;
    const int64_t deadline = NowMs() + port->write_ms;
    for (int queued = 0; !stuck && ioctl(port->fd, TIOCOUTQ, &queued) == 0 && queued > 0;
         usleep(1000)) // about one byte at 9600 baud
        stuck = Left(deadline) == 0;
    // A device that is gone has no queue either; poll sees it.
    pollfd pfd{port->fd, 0, 0};
    if (poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLHUP | POLLERR)))
        return Fail(port, "flush", EIO);
    if (stuck)
        return Fail(port, "flush", OUTPUT_STUCK);
    Trace("flush", "sent");
    return TRUE;
}

BOOL WINAPI ReadFile(HANDLE h, LPVOID data, DWORD count, LPDWORD got, LPOVERLAPPED) {
    *got = 0;
    Port *port = PortOf(h);
    if (port == nullptr)
        return BadHandle();
    const int64_t deadline = NowMs() + port->read_ms;
    BYTE *p = static_cast<BYTE *>(data);
    DWORD done = 0;
    while (done < count) {
        pollfd pfd{port->fd, POLLIN, 0};
        const int r = poll(&pfd, 1, Left(deadline));
        if (r == 0)
            break; // time-out: a success with what arrived, as on Windows
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return Fail(port, "read", errno);
        ssize_t n = read(port->fd, p + done, count - done);
        if (n > 0) {
            done += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN) && !(pfd.revents & (POLLHUP | POLLERR)))
            continue;
        // Readable yet nothing to read, or EIO: the device hung up or is gone.
        return Fail(port, n == 0 ? "read, end of file (the device hung up)" : "read",
                    n < 0 && errno != EAGAIN ? errno : EIO);
    }
    // The link shows no message for a box that does not answer, whose values then stand
    // still: stderr tells when that starts and when it ends, not at every read.
    if ((done == 0) != port->silent) {
        port->silent = done == 0;
        Note(port->silent ? "ifdiag: %s: no reply from the box (wrong port, box off or cable "
                            "out?); the values shown are frozen"
                          : "ifdiag: %s: the box answers again; the values shown were frozen "
                            "until now",
             port->path.c_str());
    }
    if (Tracing()) {
        char why[64] = "";
        if (done == 0)
            snprintf(why, sizeof why, "(none: time-out after %u ms)", unsigned(port->read_ms));
        else if (done < count)
            snprintf(why, sizeof why, "(%u of %u bytes: time-out after %u ms)", unsigned(done),
                     unsigned(count), unsigned(port->read_ms));
        TraceBytes("<", p, done, why);
    }
    *got = done;
    return TRUE;
}

BOOL WINAPI PurgeComm(HANDLE h, DWORD flags) {
    Port *port = PortOf(h);
    if (port == nullptr)
        return BadHandle();
    if (flags != PURGE_RXCLEAR)
        return Fail(port, "purge", EINVAL);
    // Traced, the bytes are read out first, to show what the box sent unasked.
    BYTE stale[64];
    int pending = 0;
    if (Tracing() && ioctl(port->fd, FIONREAD, &pending) == 0 && pending > 0) {
        const ssize_t n = read(port->fd, stale, sizeof stale);
        TraceBytes("purge", stale, n > 0 ? size_t(n) : 0, "(discarded: no request asked for it)");
    }
    return tcflush(port->fd, TCIFLUSH) == 0 ? TRUE : Fail(port, "purge", errno);
}
