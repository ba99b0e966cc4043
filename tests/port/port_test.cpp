// The port calls on real ptys: what lies around is left as found, each failure says why.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <thread>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/win32.h"

// A fresh pty (cooked, echo, XON/XOFF, 38400 baud) that "COM2" names.
struct Pty {
    int master = -1, slave = -1;
    char path[64] = {};
    Pty() {
        EXPECT_EQ(openpty(&master, &slave, path, nullptr, nullptr), 0);
        setenv("IFDIAG_PORT", path, 1);
    }
    ~Pty() { close(master), close(slave); }
    bool Exclusive() {
        int on = 0;
        return ioctl(slave, TIOCGEXCL, &on) == 0 && on != 0;
    }
};

static HANDLE Open() {
    return CreateFileA("COM2", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

static HANDLE OpenLikeTheLink() {
    HANDLE port = Open();
    DCB dcb{};
    EXPECT_TRUE(GetCommState(port, &dcb));
    dcb.BaudRate = CBR_9600; // raw already: 8N1, no XON/XOFF
    EXPECT_TRUE(SetCommState(port, &dcb));
    COMMTIMEOUTS timeouts = {0, 0, 100, 0, 100};
    EXPECT_TRUE(SetCommTimeouts(port, &timeouts));
    return port;
}

TEST(Port, TakesOnlyTheLinksSettingsAndHandsBackWhatItFound) {
    Pty pty;
    termios before{}, after{}; // zeroed, padding too: compared whole
    ASSERT_EQ(tcgetattr(pty.slave, &before), 0);
    HANDLE port = OpenLikeTheLink();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_EQ(tcgetattr(pty.slave, &after), 0);
    EXPECT_EQ(cfgetospeed(&after), speed_t(B9600));
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_TRUE(pty.Exclusive());
    DCB dcb{};
    GetCommState(port, &dcb);
    dcb.Parity = EVENPARITY;
    EXPECT_FALSE(SetCommState(port, &dcb));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    COMMTIMEOUTS unbounded = {0, 0, 0, 0, 0};
    EXPECT_FALSE(SetCommTimeouts(port, &unbounded));
    EXPECT_TRUE(CloseHandle(port));
    ASSERT_EQ(tcgetattr(pty.slave, &after), 0);
    EXPECT_EQ(memcmp(&after, &before, sizeof before), 0);
    EXPECT_FALSE(pty.Exclusive());
}

// Refused like a missing port, and not even opened: a FIFO's waiting writer
// would be released, a terminal would show the requests.
TEST(Port, RefusesWhatIsNoSerialPortWithoutOpeningIt) {
    char dir[] = "/tmp/ifdiag-port-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string file = std::string(dir) + "/file", fifo = std::string(dir) + "/fifo";
    close(open(file.c_str(), O_CREAT | O_WRONLY, 0600));
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&fifo] { close(open(fifo.c_str(), O_WRONLY)); });
    const int opens = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    for (const std::string &watched : {std::string(dir), file, fifo})
        ASSERT_GE(inotify_add_watch(opens, watched.c_str(), IN_OPEN), 0);
    for (std::string path : {std::string("/dev/ptmx"), std::string("/dev/pts/ptmx"),
                             std::string("/dev/tty"), file, fifo, std::string(dir)}) {
        setenv("IFDIAG_PORT", path.c_str(), 1);
        EXPECT_EQ(Open(), INVALID_HANDLE_VALUE) << path;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND)) << path;
    }
    char events[4096];
    EXPECT_LT(read(opens, events, sizeof events), 0) << "something was opened";
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK); // lets the writer go
    writer.join();
    close(reader);
    close(opens);
    std::filesystem::remove_all(dir);

    auto own_terminal_refused = [] {
        Pty pty;
        if (setsid() < 0 || ioctl(pty.slave, TIOCSCTTY, 0) != 0)
            _exit(2);
        const bool by_its_name = Open() == INVALID_HANDLE_VALUE;
        setenv("IFDIAG_PORT", "/dev/tty", 1);
        _exit(by_its_name && Open() == INVALID_HANDLE_VALUE ? 0 : 1);
    };
    EXPECT_EXIT(own_terminal_refused(), testing::ExitedWithCode(0), "not a serial port");
}

// The box stopped reading and the line is full: no request can leave; without a bound the
// test hangs. (A pty cannot hold CTS low; a real port's queue has the same deadline.)
TEST(Port, OutputThatCannotLeaveFailsTheFlushWithinTheTimeOut) {
    Pty pty;
    HANDLE port = OpenLikeTheLink();
    fcntl(pty.slave, F_SETFL, O_NONBLOCK);
    // Byte by byte (room for a few bytes is found where there is none for many).
    pollfd room{pty.slave, POLLOUT, 0};
    while (write(pty.slave, "", 1) > 0 || poll(&room, 1, 200) > 0) {
    }
    testing::internal::CaptureStderr();
    const BYTE request[2] = {0xC1, 0x00};
    DWORD written = 99;
    EXPECT_TRUE(WriteFile(port, request, 2, &written, nullptr));
    EXPECT_EQ(written, 0u);
    EXPECT_FALSE(FlushFileBuffers(port));
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("ifdiag: ") + pty.path +
                  ": output cannot leave (handshake line CTS held low, or the other side "
                  "stopped reading)\n");
}

// A box that does not answer gets no message box: one line when it falls silent (from
// the first read on, or after answering), one when it answers again, not one per read.
TEST(Port, TellsEachCauseOncePerOpeningAndEachSilenceOnce) {
    testing::internal::CaptureStderr();
    setenv("IFDIAG_PORT", "/tmp/ifdiag-port-missing", 1);
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    Pty pty;
    HANDLE port = OpenLikeTheLink();
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    BYTE reply = 0;
    DWORD count = 0;
    for (int call = 0; call < 5; ++call) // silent, silent, answering, silent, silent
        EXPECT_TRUE((call != 2 || write(pty.master, "x", 1) == 1) &&
                    ReadFile(port, &reply, 1, &count, nullptr));
    close(pty.master); // the box is gone
    pty.master = -1;
    BYTE buffer[3] = {0xC1, 0x00, 0x00};
    for (int call = 0; call < 100; ++call) {
        EXPECT_FALSE(WriteFile(port, buffer, 2, &count, nullptr));
        EXPECT_FALSE(FlushFileBuffers(port));
        EXPECT_FALSE(ReadFile(port, buffer, 3, &count, nullptr));
    }
    CloseHandle(port);
    const std::string at = std::string("ifdiag: ") + pty.path + ": ",
                      silent = at + "no reply from the box (wrong port, box off or cable out?); "
                                    "the values shown are frozen\n";
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ifdiag: /tmp/ifdiag-port-missing: No such file or directory\n" + at +
                  "Device or resource busy (another program holds the port)\n" + silent + at +
                  "the box answers again; the values shown were frozen until now\n" + silent + at +
                  "Input/output error (the device is gone or not present)\n");
}

// Joining the device's group is suggested only where it would help.
TEST(Port, PermissionDeniedSaysWhatWouldHelp) {
    if (geteuid() != 0)
        GTEST_SKIP() << "opens as another user: needs root";
    Pty pty;
    auto as_nobody = [&pty](gid_t group, mode_t mode) {
        if (chown(pty.path, 0, group) || chmod(pty.path, mode) || setgroups(0, nullptr) ||
            setgid(65534) || setuid(65534))
            _exit(2);
        _exit(Open() == INVALID_HANDLE_VALUE ? 0 : 1);
    };
    EXPECT_EXIT(as_nobody(getgrnam("dialout")->gr_gid, 0660), testing::ExitedWithCode(0),
                "Permission denied \\(join the group dialout: sudo usermod");
    EXPECT_EXIT(as_nobody(getgrnam("tty")->gr_gid, 0620), testing::ExitedWithCode(0),
                "Permission denied \\(owner root, group tty, mode 620: joining a group does not");
}
