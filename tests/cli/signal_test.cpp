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
#include "sim/ifbox_sim.h"

int LinuxMain(int argc, char **argv);

TEST(Signals, EndTheProgramAsClosingTheDialogAndBeendenWould) {
    sim::Config cfg;
    cfg.link = std::string(IFDIAG_TEST_DIR) + "/box-" + std::to_string(getpid());
    sim::Box *box = sim::Start(cfg);
    const int tty = box ? open(cfg.link.c_str(), O_RDWR | O_NOCTTY) : -1;
    termios before = {}, after = {};
    ASSERT_EQ(tcgetattr(tty, &before), 0);
    setenv("IFDIAG_PORT", "/nonexistent", 1); // the command line wins over it
    const std::string port = "--port=" + cfg.link;
    const char *link = cfg.link.c_str(), *commands[3][4] = {{"ifdiag", "--port", link},
                                                            {"ifdiag", port.c_str()},
                                                            {"ifdiag", link}};
    for (int run = 0; run < 3; ++run) {
        const int sig = run == 0 ? SIGTERM : run == 1 ? SIGINT : SIGHUP;
        SCOPED_TRACE(strsignal(sig));
        const size_t seen = sim::RequestCount(box);
        pid_t child = 0;
        char **argv = const_cast<char **>(commands[run]);
        ASSERT_EQ(posix_spawn(&child, "/proc/self/exe", nullptr, nullptr, argv, environ), 0);
        for (int i = 0; i < 3000 && sim::RequestCount(box) < seen + 4; ++i)
            usleep(10000);
        kill(child, sig);
        int status = 0, exclusive = -1;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_GE(sim::RequestCount(box), seen + 4) << "no poll after the opening's exchange";
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "status " << status;
        EXPECT_TRUE(ioctl(tty, TIOCGEXCL, &exclusive) == 0 && exclusive == 0) << "left exclusive";
        EXPECT_TRUE(tcgetattr(tty, &after) == 0 && memcmp(&before, &after, sizeof after) == 0)
            << "line settings changed";
    }
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
