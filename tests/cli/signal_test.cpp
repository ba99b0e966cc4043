// SIGTERM, SIGINT, SIGHUP while the dialog polls ifbox-sim: the port is handed back as found
// (not exclusive, line settings restored), then the program dies by the signal.
#include <QCoreApplication>
#include <QTimer>
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>

#include "platform/qt/qt_testing.h"
#include "resources/resource.h"
#include "tests/support/simbox.h"

int LinuxMain(int argc, char **argv);

// The program in a child, its dialog opened at once (main below). Under an emulator the
// child is the emulator again, given this program and its name.
static pid_t Spawn(std::vector<const char *> argv, const posix_spawn_file_actions_t *io) {
    if (*EMULATOR)
        argv.insert(argv.begin() + 1, {"-0", "ifdiag", program_invocation_name});
    argv.push_back(nullptr);
    pid_t child = 0;
    EXPECT_EQ(posix_spawn(&child, *EMULATOR ? EMULATOR : "/proc/self/exe", io, nullptr,
                          const_cast<char **>(argv.data()), environ),
              0);
    return child;
}

TEST(Signals, EndTheProgramAsClosingTheDialogAndBeendenWould) {
    sim::Box *box = testbox::Start(sim::Config{});
    const std::string at = getenv("IFDIAG_PORT"), port = "--port=" + at;
    const int tty = box ? open(at.c_str(), O_RDWR | O_NOCTTY) : -1;
    termios before = {}, after = {};
    ASSERT_EQ(tcgetattr(tty, &before), 0);
    setenv("IFDIAG_PORT", "/nonexistent", 1); // the command line wins over it
    const char *link = at.c_str(), *commands[3][4] = {{"ifdiag", "--port", link},
                                                      {"ifdiag", port.c_str()},
                                                      {"ifdiag", link}};
    for (int run = 0; run < 3; ++run) {
        const int sig = run == 0 ? SIGTERM : run == 1 ? SIGINT : SIGHUP;
        SCOPED_TRACE(strsignal(sig));
        const size_t seen = sim::RequestCount(box);
        const pid_t child = Spawn({commands[run], commands[run] + (run == 0 ? 3 : 2)}, nullptr);
        for (int i = 0; i < 3000 && sim::RequestCount(box) < seen + 4; ++i)
            usleep(10000);
        kill(child, sig);
        int status = 0, exclusive = -1;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_GE(sim::RequestCount(box), seen + 4) << "no poll after the opening's exchange";
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "status " << status;
        EXPECT_FALSE(ioctl(tty, TIOCGEXCL, &exclusive) == 0 && exclusive) << "left exclusive";
        EXPECT_TRUE(tcgetattr(tty, &after) == 0 && memcmp(&before, &after, sizeof after) == 0)
            << "line settings changed";
    }
    sim::Stop(box);
}

// --trace with a stderr that nobody reads for 10 s (a full pipe): the box is polled at its
// period all the same, and the lines that found no room are told once stderr is read. A
// box that vanishes brings its message and the pause after it into the trace.
TEST(Trace, StderrThatNobodyReadsHoldsNothingUp) {
    sim::Config cfg;
    cfg.input_mode = sim::InputMode::Flip;
    cfg.flip_mask = 0x0F;
    sim::Box *box = testbox::Start(cfg); // the child finds it as COM2
    int err[2];
    ASSERT_TRUE(box && pipe(err) == 0);
    fcntl(err[1], F_SETPIPE_SZ, 4096); // full within a second
    posix_spawn_file_actions_t io;
    posix_spawn_file_actions_init(&io);
    posix_spawn_file_actions_adddup2(&io, err[1], 2);
    const pid_t child = Spawn({"ifdiag", "--trace"}, &io);
    posix_spawn_file_actions_destroy(&io);
    close(err[1]);
    for (int i = 0; i < 3000 && sim::RequestCount(box) < 4; ++i)
        usleep(10000);
    const size_t from = sim::RequestCount(box);
    sleep(10);
    const auto log = sim::Log(box);
    size_t cycles = 0;
    for (size_t i = from + 1; i < log.size(); ++i)
        if (log[i].code == 0xC1 && log[i - 1].code == 0xC9) {
            ++cycles;
            EXPECT_GE(log[i].t_ns - log[i - 1].t_ns, 19000000) << "a gap below the poll delay";
        }
    printf("%zu cycles in the 10 s of a full stderr\n", cycles);
    // Ideal: 20 ms and seven reply byte times (a pty takes the requests at once), 366.
    EXPECT_GE(cycles, 183u) << "fewer than half the cycles of an ideal 10 s";
    std::string text;
    auto read_until = [&](const char *what) { // a minute: under an emulator 20,001 reads are slow
        char buf[65536];
        for (int i = 0; i < 6000 && text.find(what) == std::string::npos; ++i, usleep(10000))
            for (ssize_t n; (n = read(err[0], buf, sizeof buf)) > 0;)
                text.append(buf, size_t(n));
        return text.find(what) != std::string::npos;
    };
    fcntl(err[0], F_SETFL, O_NONBLOCK);
    EXPECT_TRUE(read_until(" lines dropped\n")) << text.substr(0, 2000);
    sim::Vanish(box);
    EXPECT_TRUE(read_until("  msg    \"")) << "no message traced";
    kill(child, SIGTERM); // closes the dialog, which dismisses the message
    EXPECT_TRUE(read_until("msg    closed with its owner"));
    waitpid(child, nullptr, 0);
    sim::Stop(box);
}

int main(int argc, char **argv) {
    if (strcmp(argv[0], "ifdiag") == 0) { // the child: the program, the dialog opened at once
        qAddPreRoutine([] {
            QTimer::singleShot(0, [] {
                PostMessageA(qtwin::testing::TopLevelWindows().at(0), WM_COMMAND, IDM_START, 0);
            });
        });
        return LinuxMain(argc, argv);
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
