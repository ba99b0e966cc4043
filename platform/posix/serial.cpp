// kernel32's serial-port-as-a-file calls on a Linux tty, the subset the link uses. A Windows COM
// port is raw, exclusive and synchronous with time-outs; a tty is none of these until opened
// here, and is handed back as found at closing. Other line settings and time-out shapes than
// the link's are refused (ERROR_INVALID_PARAMETER), not emulated. No call waits past its
// time-out. The message box cannot say which device failed or why: stderr does (CAUSES).
#include "platform/win32.h"
#include "platform/posix/ports.h"
#include "platform/posix/trace.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

thread_local DWORD LastError = ERROR_SUCCESS;

// What a port did, as the link learns it (`code`) and as one stderr line tells it:
// "ifdiag: DEVICE: ", then `text` or the system's words for the errno, then `hint`.
enum Cause { MISSING, NOT_A_PORT, FORBIDDEN, BUSY, GONE, UNUSED, STUCK, SILENT, BACK, OTHER };
const struct {
    int errnos[3];
    DWORD code;
    const char *text, *hint;
} CAUSES[] = {
    {{ENOENT, ENXIO, ENODEV}, ERROR_FILE_NOT_FOUND, nullptr, ""},
    {{}, ERROR_FILE_NOT_FOUND, "not a serial port", ""},
    {{EACCES, EPERM}, ERROR_ACCESS_DENIED, nullptr, ""}, // the hint: AccessHint
    // What Windows says for a COM port in use.
    {{EBUSY}, ERROR_ACCESS_DENIED, nullptr, " (another program holds the port)"},
    {{EIO}, ERROR_GEN_FAILURE, nullptr, " (the device is gone or not present)"},
    {{EINVAL}, ERROR_INVALID_PARAMETER, nullptr, " (settings ifdiag does not use)"},
    {{},
     ERROR_GEN_FAILURE,
     "output cannot leave",
     " (handshake line CTS held low, or the other side stopped reading)"},
    // The link shows no message for a box that does not answer, whose values then stand
    // still: stderr tells when that starts and when it ends, not at every read.
    {{}, ERROR_SUCCESS, "no reply", " (wrong port, box off or cable out?)"},
    {{}, ERROR_SUCCESS, "replies again", ""},
    {{}, ERROR_GEN_FAILURE, nullptr, ""},
};

Cause CauseOf(int err) { // for an errno
    for (int c = 0;; ++c)
        if (c == OTHER || std::count(CAUSES[c].errnos, std::end(CAUSES[c].errnos), err) > 0)
            return Cause(c);
}
const char *TextOf(Cause cause, int err) {
    return CAUSES[cause].text ? CAUSES[cause].text : strerror(err ? err : CAUSES[cause].errnos[0]);
}
void Tell(const std::string &path, Cause cause, int err = 0, const std::string &extra = "") {
    Trace(nullptr, "ifdiag: %s: %s%s%s", path.c_str(), TextOf(cause, err), CAUSES[cause].hint,
          extra.c_str());
}

struct Port {
    int fd;
    std::string path;
    termios found;        // handed back on close
    bool was_exclusive;   // TIOCEXCL already set when we came
    bool set_low_latency; // we switched the driver to low latency
    int rx_trigger;       // the receive trigger we lowered from (1 or 0: left alone)
    // Until SetCommTimeouts, calls wait for nothing: none may wait without bound.
    DWORD read_ms = 0, write_ms = 0;
    bool unsent = false; // a write ended with bytes the driver never took
    bool silent = false; // the latest read timed out with no byte
    unsigned told = 0;   // a bit per Cause told on stderr for this opening
    std::chrono::steady_clock::time_point wrote = std::chrono::steady_clock::now();
};

BOOL Fail(Port *port, const char *call, Cause cause, int err = 0) {
    Trace("fail", "%s: %s", call, TextOf(cause, err));
    LastError = CAUSES[cause].code;
    if (!(port->told & 1u << cause))
        Tell(port->path, cause, err);
    port->told |= 1u << cause;
    return FALSE;
}

// A failed opening (`st`: the device's, for a hint): one line each time, each try an opening.
HANDLE Refuse(const std::string &path, Cause cause, int err = 0, int fd = -1,
              const struct stat *st = nullptr) {
    if (fd >= 0)
        close(fd);
    LastError = CAUSES[cause].code;
    const std::string who = cause == BUSY ? Holders(path) : "";
    const std::string held = who.empty() ? "" : ", held open by " + who;
    Tell(path, cause, err, cause == FORBIDDEN && st ? AccessHint(*st) : held);
    return INVALID_HANDLE_VALUE;
}

// Null for a handle no opening gave, quietly: the failed opening has told its cause.
Port *PortOf(HANDLE h) {
    if (h != nullptr && h != INVALID_HANDLE_VALUE)
        return static_cast<Port *>(h);
    LastError = ERROR_INVALID_HANDLE;
    return nullptr;
}

int64_t NowMs() {
    return std::chrono::steady_clock::now().time_since_epoch() / std::chrono::milliseconds(1);
}
int Left(int64_t deadline) {
    return static_cast<int>(std::clamp<int64_t>(deadline - NowMs(), 0, INT_MAX));
}

// USB adapters hold received bytes for their latency timer (often 16 ms), which would stretch every
// exchange. Drivers that do not know the flag refuse it; that costs only speed. Returns whether it
// was switched.
bool SetLowLatency(int fd, bool on) {
    serial_struct ss;
    if (ioctl(fd, TIOCGSERIAL, &ss) != 0 || ((ss.flags & ASYNC_LOW_LATENCY) != 0) == on)
        return false;
    ss.flags = on ? ss.flags | ASYNC_LOW_LATENCY : ss.flags & ~ASYNC_LOW_LATENCY;
    return ioctl(fd, TIOCSSERIAL, &ss) == 0;
}

} // namespace

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
    const std::string path = strcmp(name, "COM2") == 0 ? Com2Device() : name;
    struct stat st;
    if (NoSerialPort(path.c_str(), st))
        return Refuse(path, errno ? CauseOf(errno) : NOT_A_PORT, errno);
    // Non-blocking: a modem line without carrier would block the open, and every call afterwards
    // waits in poll() on its own deadline.
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return Refuse(path, CauseOf(errno), errno, -1, &st);
    // Our own terminal, under whatever name, would show requests on the screen.
    if (!isatty(fd) || tcgetsid(fd) == getsid(0))
        return Refuse(path, NOT_A_PORT, 0, fd);
    // A COM port has one opener at a time. flock keeps out other programs that lock (and every
    // later ifdiag), TIOCEXCL those that open as non-root.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return Refuse(path, BUSY, 0, fd);
    termios found;
    if (tcgetattr(fd, &found) != 0)
        return Refuse(path, CauseOf(errno), errno, fd);
    int exclusive = 0;
    (void)ioctl(fd, TIOCGEXCL, &exclusive);
    (void)ioctl(fd, TIOCEXCL);
    termios raw = found;
    cfmakeraw(&raw);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXOFF | IXANY);
    raw.c_cflag |= CLOCAL | CREAD;
    raw.c_cc[VMIN] = raw.c_cc[VTIME] = 0;
    (void)tcsetattr(fd, TCSANOW, &raw);
    Port *port = new Port{
        fd, path, found, exclusive != 0, SetLowLatency(fd, true), LowerRxTrigger(fd, path)};
    TraceSettings("open", (path + ": found ").c_str(), found);
    LastError = ERROR_SUCCESS;
    return port;
}

BOOL WINAPI CloseHandle(HANDLE h) {
    Port *port = PortOf(h);
    if (port == nullptr)
        return FALSE;
    // Queued output is dropped: nothing reaches the box after closing, nor holds close() for 30 s.
    (void)tcflush(port->fd, TCOFLUSH);
    (void)tcsetattr(port->fd, TCSANOW, &port->found);
    if (port->set_low_latency)
        SetLowLatency(port->fd, false);
    RestoreRxTrigger(port->fd, port->rx_trigger);
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
        return FALSE;
    if (tcgetattr(port->fd, &tio) != 0)
        return Fail(port, "settings", CauseOf(errno), errno);
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
    dcb->Parity = tio.c_cflag & PARENB ? tio.c_cflag & PARODD ? ODDPARITY : EVENPARITY : NOPARITY;
    dcb->StopBits = (tio.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    return TRUE;
}

BOOL WINAPI SetCommState(HANDLE h, LPDCB dcb) {
    Port *port = PortOf(h);
    termios tio;
    if (port == nullptr)
        return FALSE;
    // Every byte value passes both ways untouched; the hardware handshake is the one choice left,
    // as a matching pair.
    const bool rtscts = dcb->fOutxCtsFlow;
    if (dcb->BaudRate != CBR_9600 || dcb->ByteSize != 8 || dcb->Parity != NOPARITY ||
        dcb->StopBits != ONESTOPBIT || !dcb->fBinary || dcb->fOutX || dcb->fInX ||
        dcb->fErrorChar || dcb->fNull || dcb->fOutxDsrFlow || dcb->fDsrSensitivity ||
        dcb->fAbortOnError || dcb->fDtrControl != DTR_CONTROL_ENABLE ||
        dcb->fRtsControl != (rtscts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE))
        return Fail(port, "settings", UNUSED);
    if (tcgetattr(port->fd, &tio) != 0)
        return Fail(port, "settings", CauseOf(errno), errno);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | (rtscts ? CRTSCTS : 0);
    if (tcsetattr(port->fd, TCSANOW, &tio) != 0)
        return Fail(port, "settings", CauseOf(errno), errno);
    // tcsetattr succeeds when any one change took: read back what the device kept.
    if (tcgetattr(port->fd, &tio) != 0)
        return Fail(port, "settings", CauseOf(errno), errno);
    if (cfgetospeed(&tio) != B9600 || (tio.c_cflag & (CSIZE | PARENB | CSTOPB)) != CS8)
        return Fail(port, "settings", UNUSED);
    TraceSettings("set", "", tio);
    return TRUE;
}

BOOL WINAPI SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) {
    Port *port = PortOf(h);
    if (port == nullptr)
        return FALSE;
    // Total constant time-outs only: each call has one fixed bound.
    if (t->ReadIntervalTimeout != 0 || t->ReadTotalTimeoutMultiplier != 0 ||
        t->WriteTotalTimeoutMultiplier != 0 || t->ReadTotalTimeoutConstant == 0 ||
        t->WriteTotalTimeoutConstant == 0)
        return Fail(port, "time-outs", UNUSED);
    port->read_ms = t->ReadTotalTimeoutConstant;
    port->write_ms = t->WriteTotalTimeoutConstant;
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE h, LPCVOID data, DWORD count, LPDWORD written, LPOVERLAPPED) {
    *written = 0;
    Port *port = PortOf(h);
    if (port == nullptr)
        return FALSE;
    const int64_t deadline = NowMs() + port->write_ms;
    const BYTE *p = static_cast<const BYTE *>(data);
    DWORD done = 0;
    TraceBytes(">", data, count, nullptr); // first: no reply time exceeds its lines' distance
    if (Tracing())                         // only the trace's reply times need it
        port->wrote = std::chrono::steady_clock::now();
    while (done < count) {
        ssize_t n = write(port->fd, p + done, count - done);
        if (n > 0) {
            done += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return Fail(port, "write", CauseOf(errno), errno);
        const int left = Left(deadline);
        if (left == 0)
            break;
        pollfd pfd{port->fd, POLLOUT, 0};
        if (poll(&pfd, 1, left) > 0 && (pfd.revents & (POLLERR | POLLHUP)))
            return Fail(port, "write", GONE);
    }
    // A time-out is a success with the bytes written so far, as on Windows; the flush that follows
    // reports the rest.
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
        return FALSE;
    // Not tcdrain: with CTS held low the driver's queue never empties. A pty keeps no queue
    // (TIOCOUTQ is 0), so there a short write is the only sign.
    bool stuck = port->unsent;
    port->unsent = false;
    const int64_t deadline = NowMs() + port->write_ms;
    for (int queued = 0; !stuck && ioctl(port->fd, TIOCOUTQ, &queued) == 0 && queued > 0;
         usleep(1000)) // about one byte at 9600 baud
        stuck = Left(deadline) == 0;
    // A device that is gone has no queue either; poll sees it.
    pollfd pfd{port->fd, 0, 0};
    if (poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLHUP | POLLERR)))
        return Fail(port, "flush", GONE);
    if (stuck)
        return Fail(port, "flush", STUCK);
    Trace("flush", "sent");
    return TRUE;
}

BOOL WINAPI ReadFile(HANDLE h, LPVOID data, DWORD count, LPDWORD got, LPOVERLAPPED) {
    *got = 0;
    Port *port = PortOf(h);
    if (port == nullptr)
        return FALSE;
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
            return Fail(port, "read", CauseOf(errno), errno);
        ssize_t n = read(port->fd, p + done, count - done);
        if (n > 0) {
            done += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN) && !(pfd.revents & (POLLHUP | POLLERR)))
            continue;
        // Readable yet nothing to read, or EIO: the device hung up or is gone.
        const int err = n < 0 && errno != EAGAIN ? errno : EIO;
        return Fail(port, n == 0 ? "read, end of file (the device hung up)" : "read", CauseOf(err),
                    err);
    }
    if ((done == 0) != port->silent) {
        port->silent = done == 0;
        Tell(port->path, port->silent ? SILENT : BACK);
    }
    if (Tracing()) { // ends with the reply time: since the latest write, "+2.3" (ms)
        const long long tenths =
            (std::chrono::steady_clock::now() - port->wrote) / std::chrono::microseconds(100);
        char part[32] = "none", why[80] = "";
        if (done > 0)
            snprintf(part, sizeof part, "%u of %u bytes", unsigned(done), unsigned(count));
        if (done < count)
            snprintf(why, sizeof why, "(%s: time-out after %u ms)", part, unsigned(port->read_ms));
        const size_t n = strlen(why);
        snprintf(why + n, sizeof why - n, "%s+%lld.%lld", n ? "  " : "", tenths / 10, tenths % 10);
        TraceBytes("<", p, done, why);
    }
    *got = done;
    return TRUE;
}

BOOL WINAPI PurgeComm(HANDLE h, DWORD flags) {
    Port *port = PortOf(h);
    if (port == nullptr)
        return FALSE;
    if (flags != PURGE_RXCLEAR)
        return Fail(port, "purge", UNUSED);
    // Traced, the bytes are read out first, to show what the box sent unasked.
    BYTE stale[64];
    int pending = 0;
    if (Tracing() && ioctl(port->fd, FIONREAD, &pending) == 0 && pending > 0) {
        const ssize_t n = read(port->fd, stale, sizeof stale);
        TraceBytes("purge", stale, n > 0 ? size_t(n) : 0, "(discarded: no request asked for it)");
    }
    return tcflush(port->fd, TCIFLUSH) == 0 ? TRUE : Fail(port, "purge", CauseOf(errno), errno);
}
