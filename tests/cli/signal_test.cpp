// The program in a child while its dialog polls ifbox-sim: a stderr that nobody reads holds up
// nothing, and a signal ends it as closing the dialog would.
#include <QCoreApplication>
#include <QTimer>
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <tuple>

#include "platform/qt/qt_testing.h"
#include "resources/resource.h"
#include "tests/support/simbox.h"

int LinuxMain(int argc, char **argv);

// Whether `what` came to `text` from `fd` within a minute (under an emulator reads are slow).
static bool ReadUntil(int fd, std::string *text, const char *what) {
    char buf[65536];
    for (int i = 0; i < 6000 && text->find(what) == std::string::npos; ++i, usleep(10000))
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
            text->append(buf, size_t(n));
    return text->find(what) != std::string::npos;
}

// stderr a pipe left full for 10 s, with --trace or without (then a box falling silent is the
// line to write): the box is polled at half an ideal rate at least (a cycle: 20 ms and seven
// reply byte times, or three reads timing out after 100 ms), and what waited comes once stderr
// is read. Traced, a vanished box's message shows. The signal closes the dialog (traced: the
// message with it), then ends the program by itself. --port wins over IFDIAG_PORT.
TEST(Trace, StderrThatNobodyReadsHoldsNothingUpAndSignalsCloseTheDialog) {
    for (auto [option, fault, requests, told, sig] :
         {std::tuple<const char *, sim::Fault, size_t, const char *, int>{
              "--trace", sim::Fault::None, 549, " lines dropped\n", SIGHUP},
          {nullptr, sim::Fault::Silent, 46, "no reply", SIGINT}}) {
        SCOPED_TRACE(told);
        sim::Box *box = testbox::Start(sim::Config{});
        const std::string port = std::string("--port=") + getenv("IFDIAG_PORT");
        setenv("IFDIAG_PORT", "/nonexistent", 1);
        int err[2], status = 0;
        ASSERT_TRUE(box && pipe(err) == 0);
        posix_spawn_file_actions_t io;
        posix_spawn_file_actions_init(&io);
        posix_spawn_file_actions_adddup2(&io, err[1], 2);
        // The program (main below); under an emulator the emulator, given this program's name.
        std::vector<const char *> argv = {"ifdiag", port.c_str(), option, nullptr};
        if (*EMULATOR)
            argv.insert(argv.begin() + 1, {"-0", "ifdiag", program_invocation_name});
        pid_t child = 0;
        ASSERT_EQ(posix_spawn(&child, *EMULATOR ? EMULATOR : "/proc/self/exe", &io, nullptr,
                              const_cast<char **>(argv.data()), environ),
                  0);
        posix_spawn_file_actions_destroy(&io);
        for (int i = 0; i < 3000 && sim::RequestCount(box) < 4; ++i)
            usleep(10000);
        // Filled through a description of its own: the child's blocks.
        const int fill = open(("/dev/fd/" + std::to_string(err[1])).c_str(), O_WRONLY | O_NONBLOCK);
        while (write(fill, "\n", 1) == 1) {
        }
        sim::SetFault(box, fault);
        const size_t from = sim::RequestCount(box);
        sleep(10);
        EXPECT_GE(sim::RequestCount(box) - from, requests) << "held up";
        fcntl(err[0], F_SETFL, O_NONBLOCK);
        std::string text;
        EXPECT_TRUE(ReadUntil(err[0], &text, told)) << text.substr(0, 2000);
        if (option) {
            sim::Vanish(box);
            EXPECT_TRUE(ReadUntil(err[0], &text, "  msg    \"")) << "no message traced";
        }
        kill(child, sig);
        EXPECT_TRUE(!option || ReadUntil(err[0], &text, "  msg    closed with its owner"));
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "status " << status;
        close(err[0]), close(err[1]), close(fill);
        sim::Stop(box);
    }
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
