// The port calls on real ptys: what lies around is left as found, each failure says why.
#include <gtest/gtest.h>

#include <regex>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/ports.h"
#include "platform/posix/trace.h"
#include "platform/win32.h"

// A fresh pty that "COM2" names.
struct Pty {
    int master = -1, slave = -1;
    char path[64] = {};
    Pty() {
        EXPECT_EQ(openpty(&master, &slave, path, nullptr, nullptr), 0);
        setenv("IFDIAG_PORT", path, 1);
    }
    ~Pty() { close(master), close(slave); }
};

static HANDLE Open() {
    return CreateFileA("COM2", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// Refused like a missing port, and not even opened: a FIFO's waiting writer would be
// released, a terminal would show the requests.
TEST(Port, RefusesWhatIsNoSerialPortWithoutOpeningIt) {
    auto own_terminal_refused = [] {
        Pty pty;
        if (setsid() < 0 || ioctl(pty.slave, TIOCSCTTY, 0) != 0)
            _exit(2);
        const bool refused = Open() == INVALID_HANDLE_VALUE;
        TraceOff(); // the line out before _exit
        _exit(refused ? 0 : 1);
    };
    EXPECT_EXIT(own_terminal_refused(), testing::ExitedWithCode(0), "not a serial port");
    char dir[] = "/tmp/ifdiag-port-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string fifo = std::string(dir) + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int opens = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(opens, dir, IN_OPEN), 0); // the files in it too
    for (const char *path :
         {"/dev/ptmx", "/dev/pts/ptmx", "/dev/tty", fifo.c_str(), static_cast<const char *>(dir)}) {
        setenv("IFDIAG_PORT", path, 1);
        EXPECT_TRUE(Open() == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND)
            << path;
    }
    char events[4096];
    EXPECT_LT(read(opens, events, sizeof events), 0) << "something was opened";
    close(opens), unlink(fifo.c_str()), rmdir(dir);
}

// Each cause once per opening on stderr, naming the device (busy: the holder, this process); a
// silence and its end once each. A full line, or a read retried on a hung-up device, would hold
// it without bound: SIGALRM.
TEST(Port, TellsEachCauseOncePerOpeningAndEachSilenceOnce) {
    alarm(10);
    testing::internal::CaptureStderr();
    Pty pty;
    HANDLE port = Open();
    COMMTIMEOUTS timeouts = {0, 0, 100, 0, 100};
    EXPECT_TRUE(SetCommTimeouts(port, &timeouts));
    EXPECT_TRUE(Open() == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED);
    BYTE buffer[3] = {0xC1, 0x00, 0x00};
    DWORD count = 0;
    for (int call = 0; call < 5; ++call) // silent, silent, answering, silent, silent
        EXPECT_TRUE((call != 2 || write(pty.master, "x", 1) == 1) &&
                    ReadFile(port, buffer, 1, &count, nullptr));
    // The box stopped reading and the line is full (a pty cannot hold CTS low; a real port's
    // queue has the same deadline). Byte by byte: there is room for a few where not for many.
    fcntl(pty.slave, F_SETFL, O_NONBLOCK);
    pollfd room{pty.slave, POLLOUT, 0};
    while (write(pty.slave, "", 1) > 0 || poll(&room, 1, 200) > 0) {
    }
    EXPECT_TRUE(WriteFile(port, buffer, 2, &count, nullptr) && count == 0);
    EXPECT_FALSE(FlushFileBuffers(port));
    close(pty.master); // the box is gone
    pty.master = -1;
    for (int call = 0; call < 100; ++call)
        EXPECT_FALSE(WriteFile(port, buffer, 2, &count, nullptr) || FlushFileBuffers(port) ||
                     ReadFile(port, buffer, 3, &count, nullptr));
    CloseHandle(port);
    TraceOff();
    alarm(0);
    std::string lines, busy = "busy[^\n]*, held open by " + std::to_string(getpid()) + " ";
    for (const char *words : {busy.c_str(), "no reply", "replies again", "no reply",
                              "output cannot leave", "Input/output error"})
        lines += "ifdiag: " + std::string(pty.path) + ": [^\n]*" + words + "[^\n]*\n";
    const std::string told = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(std::regex_match(told, std::regex(lines))) << told;
}

// Joining the device's group is suggested only where it would help.
TEST(Port, PermissionDeniedSaysWhatWouldHelp) {
    struct stat st {};
    st.st_gid = 20;
    st.st_mode = S_IFCHR | 0660;
    EXPECT_NE(AccessHint(st).find(" (join the group "), std::string::npos) << AccessHint(st);
    st.st_mode = S_IFCHR | 0620;
    EXPECT_NE(AccessHint(st).find("joining a group does not help"), std::string::npos);
}
