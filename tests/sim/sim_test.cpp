// What only these tests check of ifbox-sim: the command and its control FIFO
// (which the Windows tests under Wine drive, outside the normal suite), pacing,
// framing of split requests, the lively model and clean stops. Reply contents,
// faults, vanishing and flapping are proven by the link, poll and fault tests.
#include "sim/ifbox_sim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using Bytes = std::vector<uint8_t>;

namespace {

constexpr int64_t kByteNs = 1000000000LL * 10 / 9600;

// The box stamps requests on CLOCK_MONOTONIC, which steady_clock reads here.
int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Pty numbers are reused at once, so every test has a link of its own.
std::string NewLink() {
    static int n = 0;
    return "/tmp/ifbox-sim-test-" + std::to_string(getpid()) + "-" + std::to_string(n++);
}

int OpenPeer(const std::string &path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    termios t;
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

Bytes ReadBytes(int fd, size_t want, int timeout_ms) {
    Bytes got;
    int64_t end = NowNs() + int64_t(timeout_ms) * 1000000;
    while (got.size() < want && NowNs() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, int((end - NowNs()) / 1000000) + 1) <= 0)
            continue;
        uint8_t buf[64];
        ssize_t n = read(fd, buf, std::min(sizeof buf, want - got.size()));
        if (n <= 0)
            break;
        got.insert(got.end(), buf, buf + n);
    }
    return got;
}

Bytes Xfer(int fd, uint8_t code, uint8_t motor, size_t want, int timeout_ms = 500) {
    uint8_t req[2] = {code, motor};
    EXPECT_EQ(write(fd, req, 2), 2);
    return ReadBytes(fd, want, timeout_ms);
}

// A link left dangling counts.
bool Exists(const std::string &path) {
    return std::filesystem::exists(std::filesystem::symlink_status(path));
}

long CountFds() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

// Every box here is also stopped after a vanish, with a log open: neither may leak.
class Sim : public testing::Test {
protected:
    void Open(sim::Config cfg) {
        fds_before = CountFds();
        cfg.link = link = NewLink();
        cfg.log_path = link + ".log";
        box = sim::Start(cfg);
        ASSERT_NE(box, nullptr);
        fd = OpenPeer(link);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override {
        if (fd >= 0)
            close(fd);
        if (box == nullptr)
            return;
        sim::Vanish(box);
        sim::Reappear(box);
        sim::Stop(box);
        EXPECT_EQ(CountFds(), fds_before);
        EXPECT_FALSE(Exists(link));
        unlink((link + ".log").c_str());
    }
    sim::Box *box = nullptr;
    int fd = -1;
    long fds_before = 0;
    std::string link;
};

// The other tests see only whole replies; nothing else shows a reply coming too soon.
TEST_F(Sim, RequestsSplitAcrossWritesAndRepliesPacedAfterTheDelay) {
    sim::Config cfg;
    cfg.reply_delay_us = 5000;
    Open(cfg);
    ASSERT_EQ(write(fd, "\xC5", 1), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(write(fd, "\x42\xC9", 2), 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(write(fd, "\x43", 1), 1);
    ASSERT_EQ(ReadBytes(fd, 6, 1000).size(), 6u);
    int64_t done = NowNs();
    auto log = sim::Log(box);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_TRUE(log[0].code == 0xC5 && log[0].motor == 0x42);
    EXPECT_TRUE(log[1].code == 0xC9 && log[1].motor == 0x43);
    EXPECT_GE(done - log[1].t_ns, 5000000 + 2 * kByteNs);
}

// The demo and the Windows dialog test count the pulses of running motors.
TEST_F(Sim, LivelyInputsPulseWhileAMotorRunsAndShowItsDirection) {
    sim::Config cfg;
    cfg.pacing = false;
    cfg.input_mode = sim::InputMode::Lively;
    Open(cfg);
    auto run = [&](uint8_t motors, int ms) {
        Bytes seen;
        for (int64_t end = NowNs() + int64_t(ms) * 1000000; NowNs() < end;) {
            Bytes r = Xfer(fd, 0xC1, motors, 1);
            EXPECT_EQ(r.size(), 1u);
            seen.insert(seen.end(), r.begin(), r.end());
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return seen;
    };
    auto changes = [](const Bytes &seen, uint8_t bits) {
        int n = 0;
        for (size_t i = 1; i < seen.size(); ++i)
            n += ((seen[i] ^ seen[i - 1]) & bits) != 0;
        return n;
    };
    Bytes left = run(0x01, 500); // motor 1 left
    EXPECT_GE(changes(left, 0x01), 3);
    for (uint8_t v : left)
        EXPECT_EQ(v & 0xFE, 0);   // E5 (motor 1 right) clear, others still
    Bytes right = run(0x08, 500); // motor 2 right
    EXPECT_GE(changes(right, 0x02), 3);
    EXPECT_EQ(changes(right, 0x01), 0);
    EXPECT_TRUE(right.back() & 0x20);
    EXPECT_EQ(changes(run(0x00, 250), 0xFF), 0); // a stopped pulse input holds its level
}

// The command line and the control FIFO take these names; the Windows tests send them all.
TEST(SimFaultNames, EveryNameWithItsCountsAndNothingElse) {
    // In the order of sim::Fault.
    const char *names[] = {"none",    "silent", "vanish", "garbage", "extra",
                           "missing", "late",   "slow",   "short",   "flapping"};
    sim::Fault parsed;
    int after, count;
    for (int i = 0; i < 10; ++i) {
        after = count = -1;
        ASSERT_TRUE(sim::ParseFaultSetting(names[i], &parsed, &after, &count)) << names[i];
        EXPECT_TRUE(parsed == sim::Fault(i) && after == 0 && count == 0) << names[i];
        ASSERT_TRUE(
            sim::ParseFaultSetting(names[i] + std::string(":7:3"), &parsed, &after, &count));
        EXPECT_TRUE(parsed == sim::Fault(i) && after == 7 && count == 3) << names[i];
    }
    for (const char *bad : {"", "bogus", "slow:", "slow:x", "slow:-1", "slow:1:2:3", "slow:1:"})
        EXPECT_FALSE(sim::ParseFaultSetting(bad, &parsed, &after, &count)) << bad;
}

// The command as run-under-wine starts it: the Windows tests' box is nothing but this.
// Its own pty hanging up (vanish, stop) sends it the kernel's SIGHUP as session leader.
TEST(SimCommand, ServesLogsObeysItsControlFifoSurvivesHangUpsAndExitsCleanly) {
    std::string link = NewLink(), log = link + ".log", control = link + ".ctl";
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    struct Reaper {
        pid_t pid = fork();
        ~Reaper() {
            if (pid > 0 && kill(pid, SIGKILL) == 0)
                waitpid(pid, nullptr, 0);
        }
    } cmd;
    if (cmd.pid == 0) {
        dup2(out[1], 1);
        execl(IFBOX_SIM_PATH, IFBOX_SIM_PATH, "--link", link.c_str(), "--log", log.c_str(),
              "--control", control.c_str(), "--inputs", "fixed:0x42", "--analog", "100,513",
              nullptr);
        _exit(127);
    }
    close(out[1]);
    std::string banner;
    for (char c; read(out[0], &c, 1) == 1 && c != '\n';)
        banner += c;
    close(out[0]);
    ASSERT_TRUE(
        std::regex_match(banner, std::regex("ifbox-sim: serving /dev/pts/[0-9]+ at " + link)))
        << banner;
    int to = open(control.c_str(), O_WRONLY | O_CLOEXEC);
    int from = open((control + ".reply").c_str(), O_RDONLY | O_CLOEXEC);
    int fd = OpenPeer(link);
    ASSERT_TRUE(to >= 0 && from >= 0 && fd >= 0);
    signal(SIGPIPE, SIG_IGN); // a command that died fails the checks below, not the whole run
    auto send = [&](const std::string &line, bool ok = true) {
        EXPECT_EQ(write(to, (line + "\n").data(), line.size() + 1), ssize_t(line.size() + 1));
        std::string answer;
        for (char c; read(from, &c, 1) == 1 && c != '\n';)
            answer += c;
        EXPECT_EQ(answer.rfind(ok ? "ok " : "error ", 0), 0u) << line << ": " << answer;
        return answer;
    };
    send("bogus", false);

    // The log's stamps are read on the clock that the answers carry.
    int64_t before = std::stoll(send("now").substr(3));
    EXPECT_EQ(Xfer(fd, 0xC1, 0x09, 1), Bytes({0x42}));
    EXPECT_EQ(Xfer(fd, 0xC9, 0x80, 3), Bytes({0x00, 0x02, 0x01}));
    int64_t after = std::stoll(send("now").substr(3));
    std::ifstream in(log);
    std::string l1, l2;
    ASSERT_TRUE(std::getline(in, l1) && std::getline(in, l2));
    std::smatch m;
    ASSERT_TRUE(std::regex_match(l1, m, std::regex("([0-9]+) C1 09"))) << l1;
    EXPECT_TRUE(std::stoll(m[1]) >= before && std::stoll(m[1]) <= after);
    EXPECT_TRUE(std::regex_match(l2, std::regex("[0-9]+ C9 80"))) << l2;

    // A fresh box with every option the Windows tests pass; its log starts empty.
    close(fd);
    send("start --no-pacing --reply-delay-us 20000 --inputs flip:0x05 --analog 1,2 "
         "--analog-byte0 7 --fault silent:1:1 --late-ms 150 --slow-ms 50 --flap-ms 500,500 "
         "--seed 1");
    EXPECT_EQ(std::filesystem::file_size(log), 0u);
    fd = OpenPeer(link);
    int64_t t0 = NowNs();
    EXPECT_EQ(Xfer(fd, 0xC1, 0, 1), Bytes({0x05}));
    EXPECT_GE(NowNs() - t0, 20000000);
    EXPECT_EQ(Xfer(fd, 0xC1, 0, 1, 200), Bytes()); // the second request only
    EXPECT_EQ(Xfer(fd, 0xC1, 0, 1), Bytes({0x00}));
    EXPECT_EQ(Xfer(fd, 0xC5, 0, 3), Bytes({7, 0, 1}));

    send("flip 0x80");
    EXPECT_EQ(Xfer(fd, 0xC1, 0, 1), Bytes({0x80}));
    send("inputs 0x22"); // and flipped
    EXPECT_EQ(Xfer(fd, 0xC1, 0, 1), Bytes({0xA2}));
    send("analog 300 400");
    EXPECT_EQ(Xfer(fd, 0xC9, 0, 3), Bytes({7, 0x01, 0x90}));
    send("fault silent:0:1");
    EXPECT_EQ(Xfer(fd, 0xC1, 0, 1, 200), Bytes());
    send("inject 0x11 0x13");
    EXPECT_EQ(ReadBytes(fd, 2, 500), Bytes({0x11, 0x13}));

    send("vanish");
    pollfd p{fd, POLLIN, 0};
    EXPECT_TRUE(poll(&p, 1, 2000) == 1 && (p.revents & POLLHUP));
    EXPECT_FALSE(Exists(link));
    close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(waitpid(cmd.pid, nullptr, WNOHANG), 0) << "the command died with its pty";
    send("reappear");
    fd = OpenPeer(link);
    EXPECT_EQ(Xfer(fd, 0xC1, 0, 1).size(), 1u);
    close(fd);
    send("stop");
    EXPECT_FALSE(Exists(link));
    send("start");
    EXPECT_TRUE(Exists(link));

    close(to);
    close(from);
    int status = 0;
    kill(cmd.pid, SIGTERM);
    ASSERT_EQ(waitpid(cmd.pid, &status, 0), cmd.pid);
    cmd.pid = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(Exists(link) || Exists(control) || Exists(control + ".reply"));
    unlink(log.c_str());
}

} // namespace
