// kernel32's serial-port-as-a-file calls on termios.
//
// Windows COM ports are always raw, exclusive and synchronous with time-outs
// from COMMTIMEOUTS; this file gives a tty the same behaviour. Where the two
// must differ it says so next to the code.
#include "platform/win32.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <ctime>

#include <fcntl.h>
#ifdef __linux__
#include <linux/serial.h>
#endif
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

thread_local DWORD LastError = ERROR_SUCCESS;

struct Port {
    int fd;
    COMMTIMEOUTS timeouts;
    bool set_low_latency; // we switched the driver to low latency; switch it back on close
};

DWORD ErrorFromErrno(int err) {
    switch (err) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case EBUSY:
    case EWOULDBLOCK:
        return ERROR_SHARING_VIOLATION;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case EIO:
        return ERROR_DEVICE_REMOVED;
    default:
        return ERROR_GEN_FAILURE;
    }
}

BOOL Fail(DWORD code) {
    LastError = code;
    return FALSE;
}

BOOL FailErrno() {
    return Fail(ErrorFromErrno(errno));
}

Port *PortOf(HANDLE h) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE)
        return nullptr;
    return static_cast<Port *>(h);
}

// "COMn" names the port the user chose in IFDIAG_PORT (any path: /dev/ttyUSB0,
// /dev/serial/by-id/..., a simulator's link), else the n-th on-board port.
bool DevicePath(LPCSTR name, char *out, size_t size) {
    if (strncasecmp(name, "COM", 3) != 0)
        return snprintf(out, size, "%s", name) < static_cast<int>(size);
    if (const char *chosen = getenv("IFDIAG_PORT"); chosen != nullptr && *chosen != '\0')
        return snprintf(out, size, "%s", chosen) < static_cast<int>(size);
    char *end = nullptr;
    long n = strtol(name + 3, &end, 10);
    if (end == name + 3 || *end != '\0' || n < 1 || n > 256)
        return false;
    return snprintf(out, size, "/dev/ttyS%ld", n - 1) < static_cast<int>(size);
}

int64_t NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Milliseconds left until the deadline, or -1 for "wait for ever".
int Remaining(int64_t deadline) {
    if (deadline < 0)
        return -1;
    int64_t left = deadline - NowMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

struct Speed {
    DWORD baud;
    speed_t code;
};
const Speed Speeds[] = {{110, B110},       {300, B300},      {600, B600},       {1200, B1200},
                        {2400, B2400},     {4800, B4800},    {9600, B9600},     {19200, B19200},
                        {38400, B38400},   {57600, B57600},  {115200, B115200}, {230400, B230400},
                        {460800, B460800}, {921600, B921600}};

// Opening asks USB adapters not to hold received bytes for their latency timer
// (often 16 ms, which would stretch every exchange). Drivers that do not know
// the flag refuse it; that costs only speed. Returns whether it was switched.
bool SetLowLatency([[maybe_unused]] int fd, [[maybe_unused]] bool on) {
#ifdef __linux__
    serial_struct ss;
    if (ioctl(fd, TIOCGSERIAL, &ss) != 0 || ((ss.flags & ASYNC_LOW_LATENCY) != 0) == on)
        return false;
    if (on)
        ss.flags |= ASYNC_LOW_LATENCY;
    else
        ss.flags &= ~ASYNC_LOW_LATENCY;
    return ioctl(fd, TIOCSSERIAL, &ss) == 0;
#else
    return false;
#endif
}

// The common start of GetCommState and SetCommState: the port and its settings.
Port *PortSettings(HANDLE h, LPDCB dcb, termios *tio) {
    Port *port = PortOf(h);
    if (port == nullptr)
        Fail(ERROR_INVALID_HANDLE);
    else if (dcb == nullptr)
        Fail(ERROR_INVALID_PARAMETER);
    else if (tcgetattr(port->fd, tio) != 0)
        FailErrno();
    else
        return port;
    return nullptr;
}

} // namespace

DWORD WINAPI GetLastError(void) {
    return LastError;
}
void WINAPI SetLastError(DWORD code) {
    LastError = code;
}

void WINAPI Sleep(DWORD milliseconds) {
    timespec ts{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                          DWORD creation, DWORD, HANDLE) {
    char path[4096];
    if (name == nullptr || !DevicePath(name, path, sizeof path)) {
        LastError = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    if (creation != OPEN_EXISTING) {
        LastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    int mode = (access & GENERIC_READ) && (access & GENERIC_WRITE) ? O_RDWR
               : (access & GENERIC_WRITE)                          ? O_WRONLY
                                                                   : O_RDONLY;
    // Non-blocking only for the open itself (a modem line without carrier would
    // block it); every call afterwards waits through poll() on its own deadline.
    int fd = open(path, mode | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        LastError = ErrorFromErrno(errno);
        return INVALID_HANDLE_VALUE;
    }
    if (!isatty(fd)) {
        close(fd);
        LastError = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    if (share == 0) {
        // A COM port has one opener at a time. flock keeps out other programs
        // that lock (and every later ifdiag); TIOCEXCL keeps out those that don't.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            close(fd);
            LastError = ERROR_ACCESS_DENIED;
            return INVALID_HANDLE_VALUE;
        }
        (void)ioctl(fd, TIOCEXCL);
    }
    termios tio;
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
        tio.c_cflag |= CLOCAL | CREAD;
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        (void)tcsetattr(fd, TCSANOW, &tio);
    }
    Port *port = new Port{fd, {}, SetLowLatency(fd, true)};
    LastError = ERROR_SUCCESS;
    return port;
}

BOOL WINAPI CloseHandle(HANDLE h) {
    Port *port = PortOf(h);
    if (port == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    // TIOCEXCL outlives us on a device whose other side stays open (a pty);
    // hand the port back as we found it.
    (void)ioctl(port->fd, TIOCNXCL);
    if (port->set_low_latency)
        SetLowLatency(port->fd, false);
    close(port->fd);
    delete port;
    return TRUE;
}

BOOL WINAPI GetCommState(HANDLE h, LPDCB dcb) {
    termios tio;
    if (PortSettings(h, dcb, &tio) == nullptr)
        return FALSE;

    DWORD length = dcb->DCBlength;
    memset(dcb, 0, sizeof *dcb);
    dcb->DCBlength = length ? length : sizeof(DCB);
    speed_t speed = cfgetospeed(&tio);
    for (const Speed &s : Speeds)
        if (s.code == speed)
            dcb->BaudRate = s.baud;
    dcb->fBinary = TRUE;
    dcb->fParity = (tio.c_iflag & INPCK) ? 1 : 0;
    bool rtscts = (tio.c_cflag & CRTSCTS) != 0;
    dcb->fOutxCtsFlow = rtscts;
    dcb->fRtsControl = rtscts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fTXContinueOnXoff = 1;
    dcb->fOutX = (tio.c_iflag & IXON) ? 1 : 0;
    dcb->fInX = (tio.c_iflag & IXOFF) ? 1 : 0;
    switch (tio.c_cflag & CSIZE) {
    case CS5:
        dcb->ByteSize = 5;
        break;
    case CS6:
        dcb->ByteSize = 6;
        break;
    case CS7:
        dcb->ByteSize = 7;
        break;
    default:
        dcb->ByteSize = 8;
        break;
    }
    if (!(tio.c_cflag & PARENB))
        dcb->Parity = NOPARITY;
    else if (tio.c_cflag & CMSPAR)
        dcb->Parity = (tio.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else
        dcb->Parity = (tio.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    dcb->StopBits = (tio.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    dcb->XonChar = static_cast<char>(tio.c_cc[VSTART]);
    dcb->XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
    return TRUE;
}

BOOL WINAPI SetCommState(HANDLE h, LPDCB dcb) {
    termios tio;
    Port *port = PortSettings(h, dcb, &tio);
    if (port == nullptr)
        return FALSE;

    speed_t speed = 0;
    for (const Speed &s : Speeds)
        if (s.baud == dcb->BaudRate)
            speed = s.code;
    if (speed == 0)
        return Fail(ERROR_INVALID_PARAMETER);
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);

    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
    switch (dcb->ByteSize) {
    case 5:
        tio.c_cflag |= CS5;
        break;
    case 6:
        tio.c_cflag |= CS6;
        break;
    case 7:
        tio.c_cflag |= CS7;
        break;
    case 8:
        tio.c_cflag |= CS8;
        break;
    default:
        return Fail(ERROR_INVALID_PARAMETER);
    }
    tio.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | CMSPAR);
    switch (dcb->Parity) {
    case NOPARITY:
        break;
    case ODDPARITY:
        tio.c_cflag |= PARENB | PARODD;
        break;
    case EVENPARITY:
        tio.c_cflag |= PARENB;
        break;
    case MARKPARITY:
        tio.c_cflag |= PARENB | PARODD | CMSPAR;
        break;
    case SPACEPARITY:
        tio.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (dcb->StopBits == ONESTOPBIT)
        tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    else if (dcb->StopBits == TWOSTOPBITS)
        tio.c_cflag |= CSTOPB;
    else
        return Fail(ERROR_INVALID_PARAMETER);

    // Windows ignores fBinary=FALSE (binary mode is the only mode); so do we.
    auto flag = [&tio](tcflag_t bit, bool on) {
        if (on)
            tio.c_iflag |= bit;
        else
            tio.c_iflag &= ~bit;
    };
    flag(INPCK, dcb->fParity);
    flag(IXON, dcb->fOutX);
    flag(IXOFF, dcb->fInX);
    if (dcb->fOutxCtsFlow || dcb->fRtsControl == RTS_CONTROL_HANDSHAKE)
        tio.c_cflag |= CRTSCTS;
    else
        tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    tio.c_cc[VSTART] = static_cast<cc_t>(dcb->XonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(dcb->XoffChar);

    if (tcsetattr(port->fd, TCSANOW, &tio) != 0)
        return FailErrno();
    // tcsetattr succeeds when any one change took; read back to report settings
    // the device refused (a pty keeps 8 data bits and no parity whatever it is told).
    termios now;
    if (tcgetattr(port->fd, &now) != 0)
        return FailErrno();
    if (cfgetospeed(&now) != speed || (now.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB)) !=
                                          (tio.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB)))
        return Fail(ERROR_INVALID_PARAMETER);
    return TRUE;
}

BOOL WINAPI GetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts) {
    Port *port = PortOf(h);
    if (port == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    *timeouts = port->timeouts;
    return TRUE;
}

BOOL WINAPI SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts) {
    Port *port = PortOf(h);
    if (port == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    port->timeouts = *timeouts;
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE h, LPCVOID data, DWORD count, LPDWORD written, LPOVERLAPPED) {
    if (written != nullptr)
        *written = 0;
    Port *port = PortOf(h);
    if (port == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    const COMMTIMEOUTS &to = port->timeouts;
    DWORD total = to.WriteTotalTimeoutMultiplier * count + to.WriteTotalTimeoutConstant;
    int64_t deadline = total != 0 ? NowMs() + total : -1;

    const BYTE *p = static_cast<const BYTE *>(data);
    DWORD done = 0;
    while (done < count) {
        ssize_t n = write(port->fd, p + done, count - done);
        if (n > 0) {
            done += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return FailErrno();
        pollfd pfd{port->fd, POLLOUT, 0};
        int left = Remaining(deadline);
        if (left == 0)
            break; // time-out: Windows reports success with the bytes written so far
        int r = poll(&pfd, 1, left);
        if (r < 0 && errno != EINTR)
            return FailErrno();
        if (r > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)))
            return Fail(ERROR_DEVICE_REMOVED);
    }
    if (written != nullptr)
        *written = done;
    return TRUE;
}

BOOL WINAPI FlushFileBuffers(HANDLE h) {
    Port *port = PortOf(h);
    if (port == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    while (tcdrain(port->fd) != 0) {
        if (errno != EINTR)
            return FailErrno();
    }
    // tcdrain cannot see a device that is gone; poll can.
    pollfd pfd{port->fd, 0, 0};
    if (poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)))
        return Fail(ERROR_DEVICE_REMOVED);
    return TRUE;
}

BOOL WINAPI ReadFile(HANDLE h, LPVOID data, DWORD count, LPDWORD got, LPOVERLAPPED) {
    if (got != nullptr)
        *got = 0;
    Port *port = PortOf(h);
    if (port == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    const COMMTIMEOUTS &to = port->timeouts;
    DWORD total = to.ReadTotalTimeoutMultiplier * count + to.ReadTotalTimeoutConstant;
    // MAXDWORD/0/0 means "return at once with what is there", as on Windows.
    bool immediate = to.ReadIntervalTimeout == 0xFFFFFFFFu && to.ReadTotalTimeoutMultiplier == 0 &&
                     to.ReadTotalTimeoutConstant == 0;
    int64_t deadline = immediate ? NowMs() : total != 0 ? NowMs() + total : -1;
    DWORD interval = (to.ReadIntervalTimeout != 0 && !immediate) ? to.ReadIntervalTimeout : 0;

    BYTE *p = static_cast<BYTE *>(data);
    DWORD done = 0;
    while (done < count) {
        int left = Remaining(deadline);
        if (interval != 0 && done > 0 && (left < 0 || static_cast<DWORD>(left) > interval))
            left = static_cast<int>(interval);
        pollfd pfd{port->fd, POLLIN, 0};
        int r = poll(&pfd, 1, left);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return FailErrno();
        }
        if (r == 0)
            break; // time-out: success with what arrived
        if (pfd.revents & POLLNVAL)
            return Fail(ERROR_INVALID_HANDLE);
        ssize_t n = read(port->fd, p + done, count - done);
        if (n > 0) {
            done += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN) && !(pfd.revents & (POLLHUP | POLLERR)))
            continue;
        // Readable yet nothing to read, or EIO: the device hung up or is gone.
        if (n == 0 || errno == EAGAIN)
            return Fail(ERROR_DEVICE_REMOVED);
        return FailErrno();
    }
    if (got != nullptr)
        *got = done;
    return TRUE;
}
