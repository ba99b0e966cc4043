// The simulated box seen from the tool's side: a real pty, opened through the
// link and set raw, as the serial port layer does.
#include "sim/ifbox_sim.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

using Bytes = std::vector<uint8_t>;

namespace {

constexpr int64_t kByteNs = 1000000000LL * 10 / 9600;

int64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
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
    t.c_iflag &= ~(IXON | IXOFF);
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

// Reads until `want` bytes or the time-out; `times` gets each byte's arrival.
Bytes ReadBytes(int fd, size_t want, int timeout_ms, std::vector<int64_t> *times = nullptr) {
    Bytes got;
    int64_t end = NowNs() + int64_t(timeout_ms) * 1000000;
    while (got.size() < want) {
        int64_t left = end - NowNs();
        if (left <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, int(left / 1000000) + 1) <= 0)
            continue;
        uint8_t buf[64];
        ssize_t n = read(fd, buf, std::min(sizeof buf, want - got.size()));
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; ++i) {
            got.push_back(buf[i]);
            if (times)
                times->push_back(NowNs());
        }
    }
    return got;
}

// Sends one request and reads up to `want` bytes of reply.
Bytes Xfer(int fd, uint8_t code, uint8_t motor, size_t want, int timeout_ms = 500) {
    uint8_t req[2] = {code, motor};
    EXPECT_EQ(write(fd, req, 2), 2);
    return ReadBytes(fd, want, timeout_ms);
}

bool Exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

int CountFds() {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (readdir(d))
        ++n;
    closedir(d);
    return n;
}

class Sim : public testing::Test {
protected:
    void Open(sim::Config cfg) {
        link = NewLink();
        cfg.link = link;
        box = sim::Start(cfg);
        ASSERT_NE(box, nullptr);
        fd = OpenPeer(link);
        ASSERT_GE(fd, 0) << strerror(errno);
    }
    void TearDown() override {
        if (fd >= 0)
            close(fd);
        sim::Stop(box);
        EXPECT_FALSE(Exists(link));
    }
    sim::Box *box = nullptr;
    int fd = -1;
    std::string link;
};

TEST_F(Sim, RepliesCarryInputsAndAnalogValuesIncludingFlowControlBytes) {
    sim::Config cfg;
    cfg.input_byte = 0x11; // XON and XOFF must pass untouched
    cfg.analog_byte0 = 0xAB;
    cfg.analog_ex = 0x1311;
    cfg.analog_ey = 0x0456;
    Open(cfg);
    EXPECT_EQ(Xfer(fd, 0xC1, 0, 2, 200), Bytes({0x11}));
    EXPECT_EQ(Xfer(fd, 0xC5, 0, 4, 200), Bytes({0xAB, 0x13, 0x11}));
    EXPECT_EQ(Xfer(fd, 0xC9, 0, 4, 200), Bytes({0xAB, 0x04, 0x56}));
    EXPECT_EQ(Xfer(fd, 0x00, 0, 1, 200), Bytes()); // unknown codes get no answer
    sim::SetInputs(box, 0x13);
    sim::SetAnalog(box, 0x0102, 0xFFFF);
    EXPECT_EQ(sim::Inputs(box), 0x13);
    EXPECT_EQ(Xfer(fd, 0xC1, 0, 1), Bytes({0x13}));
    EXPECT_EQ(Xfer(fd, 0xC5, 0, 3), Bytes({0xAB, 0x01, 0x02}));
    EXPECT_EQ(Xfer(fd, 0xC9, 0, 3), Bytes({0xAB, 0xFF, 0xFF}));

    // The tool closes and reopens the port: the box must still be there.
    close(fd);
    fd = OpenPeer(link);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Xfer(fd, 0xC1, 0, 1), Bytes({0x13}));
    sim::Inject(box, {0x11, 0x13, 0x00});
    EXPECT_EQ(ReadBytes(fd, 3, 500), Bytes({0x11, 0x13, 0x00}));
}

TEST_F(Sim, EveryMotorByteIsTakenOverAndLoggedInOrder) {
    sim::Config cfg;
    cfg.pacing = false;
    Open(cfg);
    for (int v = 0; v < 256; ++v)
        ASSERT_EQ(Xfer(fd, 0xC1, uint8_t(v), 1).size(), 1u) << v;
    auto log = sim::Log(box);
    ASSERT_EQ(log.size(), 256u);
    EXPECT_EQ(sim::RequestCount(box), 256u);
    EXPECT_EQ(sim::Motors(box), 0xFF);
    for (int v = 0; v < 256; ++v) {
        EXPECT_EQ(log[v].code, 0xC1);
        EXPECT_EQ(log[v].motor, v);
        EXPECT_GE(log[v].t_ns, log[v > 0 ? v - 1 : 0].t_ns);
    }

    // Requests split and run together on the line are still read as pairs.
    sim::ClearLog(box);
    ASSERT_EQ(write(fd, "\xC5", 1), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(write(fd, "\x42\xC9\x43\xC1", 4), 4);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(write(fd, "\x44", 1), 1);
    EXPECT_EQ(ReadBytes(fd, 8, 300).size(), 7u);
    log = sim::Log(box);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].code, 0xC5);
    EXPECT_EQ(log[0].motor, 0x42);
    EXPECT_EQ(log[1].code, 0xC9);
    EXPECT_EQ(log[1].motor, 0x43);
    EXPECT_EQ(log[2].code, 0xC1);
    EXPECT_EQ(log[2].motor, 0x44);
    EXPECT_EQ(sim::Motors(box), 0x44);
}

TEST_F(Sim, FlipModeTogglesTheMaskedBitsAndCountsWhatWasSent) {
    sim::Config cfg;
    cfg.input_mode = sim::InputMode::Flip;
    cfg.flip_mask = 0x05;
    Open(cfg);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(Xfer(fd, 0xC1, 0, 1), Bytes({uint8_t(i % 2 ? 0x00 : 0x05)})) << i;
    EXPECT_EQ(sim::InputFlips(box), std::vector<uint64_t>({10, 0, 10, 0, 0, 0, 0, 0}));
    sim::SetFlipMask(box, 0x80);
    EXPECT_EQ(Xfer(fd, 0xC1, 0, 1), Bytes({0x80}));
    // Replies that never reach the tool are not counted.
    sim::SetFault(box, sim::Fault::Silent);
    EXPECT_EQ(Xfer(fd, 0xC1, 0, 1, 100), Bytes());
    EXPECT_EQ(sim::InputFlips(box), std::vector<uint64_t>({10, 0, 10, 0, 0, 0, 0, 1}));
}

TEST_F(Sim, PacedRepliesComeAfterTheDelayAtByteTimes) {
    sim::Config cfg;
    cfg.reply_delay_us = 5000;
    Open(cfg);
    // Two requests at once: the second reply queues behind the first on the line.
    ASSERT_EQ(write(fd, "\xC5\x00\xC9\x00", 4), 4);
    std::vector<int64_t> times;
    ASSERT_EQ(ReadBytes(fd, 6, 1000, &times).size(), 6u);
    auto log = sim::Log(box);
    ASSERT_EQ(log.size(), 2u);
    int64_t arrival = log[1].t_ns;
    EXPECT_GE(times[0] - arrival, 5000000);
    EXPECT_GE(times[2] - arrival, 5000000 + 2 * kByteNs);
    EXPECT_GE(times[5] - arrival, 5000000 + 5 * kByteNs);

    sim::SetReplyDelay(box, 20000);
    times.clear();
    ASSERT_EQ(write(fd, "\xC1\x00", 2), 2);
    ASSERT_EQ(ReadBytes(fd, 1, 1000, &times).size(), 1u);
    EXPECT_GE(times[0] - sim::Log(box).back().t_ns, 20000000);
}

TEST_F(Sim, EachFaultShowsOnTheWire) {
    sim::Config cfg;
    cfg.pacing = false;
    cfg.input_byte = 0x3C;
    cfg.analog_ex = 0x0102;
    cfg.fault = sim::Fault::Silent;
    cfg.fault_after = 2;
    Open(cfg);
    // Silent from the third request on, which is still logged.
    EXPECT_EQ(Xfer(fd, 0xC1, 0, 1).size(), 1u);
    EXPECT_EQ(Xfer(fd, 0xC5, 0, 3).size(), 3u);
    EXPECT_EQ(Xfer(fd, 0xC1, 0, 1, 200), Bytes());
    EXPECT_EQ(sim::RequestCount(box), 3u);

    struct {
        sim::Fault fault;
        size_t digital, analog;
    } cases[] = {
        {sim::Fault::None, 1, 3},  {sim::Fault::ExtraByte, 2, 4}, {sim::Fault::MissingByte, 0, 2},
        {sim::Fault::Short, 1, 1}, {sim::Fault::Garbage, 1, 3},
    };
    // Exactly n bytes: all of them in good time, then nothing more for a while.
    auto reply_size = [&](uint8_t code, size_t n) {
        size_t got = Xfer(fd, code, 0, n, 2000).size();
        return got + ReadBytes(fd, 1, 150).size();
    };
    for (const auto &c : cases) {
        sim::SetFault(box, c.fault);
        EXPECT_EQ(reply_size(0xC1, c.digital), c.digital) << int(c.fault);
        EXPECT_EQ(reply_size(0xC5, c.analog), c.analog) << int(c.fault);
    }

    // Garbage is not the real reply (eight identical random bytes in a row would be).
    int real = 0;
    for (int i = 0; i < 8; ++i)
        real += Xfer(fd, 0xC1, 0, 1) == Bytes({0x3C});
    EXPECT_LT(real, 8);

    // Late: the last byte misses the tool's 100 ms read time-out, then comes.
    sim::SetFault(box, sim::Fault::LateByte);
    std::vector<int64_t> times;
    ASSERT_EQ(write(fd, "\xC5\x00", 2), 2);
    EXPECT_EQ(ReadBytes(fd, 3, 2000, &times), Bytes({0x00, 0x01, 0x02}));
    ASSERT_EQ(times.size(), 3u);
    EXPECT_GE(times[2] - sim::Log(box).back().t_ns, 150000000);

    sim::SetFault(box, sim::Fault::Slow);
    times.clear();
    ASSERT_EQ(write(fd, "\xC1\x00", 2), 2);
    ASSERT_EQ(ReadBytes(fd, 1, 2000, &times).size(), 1u);
    EXPECT_GE(times[0] - sim::Log(box).back().t_ns, 50000000);

    // Counting from SetFault: one good answer, then silence.
    sim::SetFault(box, sim::Fault::Silent, 1);
    EXPECT_EQ(Xfer(fd, 0xC1, 0, 1), Bytes({0x3C}));
    EXPECT_EQ(Xfer(fd, 0xC1, 0, 1, 200), Bytes());
}

// A fault limited to a number of replies: the box is healthy again afterwards.
TEST_F(Sim, FaultForSomeRepliesOnlyThenHealthyAgain) {
    sim::Config cfg;
    cfg.pacing = false;
    cfg.input_byte = 0x3C;
    cfg.fault = sim::Fault::ExtraByte;
    cfg.fault_after = 1;
    cfg.fault_for = 2;
    Open(cfg);
    auto reply_size = [&](size_t n) {
        size_t got = Xfer(fd, 0xC1, 0, n, 2000).size();
        return got + ReadBytes(fd, 1, 150).size();
    };
    EXPECT_EQ(reply_size(1), 1u);
    EXPECT_EQ(reply_size(2), 2u);
    EXPECT_EQ(reply_size(2), 2u);
    EXPECT_EQ(reply_size(1), 1u);
    sim::SetFault(box, sim::Fault::Silent, 0, 1);
    EXPECT_EQ(Xfer(fd, 0xC1, 0, 1, 200), Bytes());
    EXPECT_EQ(Xfer(fd, 0xC1, 0, 1), Bytes({0x3C}));
}

TEST_F(Sim, VanishHangsUpTheToolAndReappearServesAgain) {
    sim::Config cfg;
    cfg.fault = sim::Fault::Vanish;
    cfg.fault_after = 1;
    Open(cfg);
    EXPECT_EQ(Xfer(fd, 0xC1, 0, 1).size(), 1u);
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
    uint8_t b;
    EXPECT_LE(read(fd, &b, 1), 0); // end of file or EIO: either way a failed read
    EXPECT_EQ(write(fd, "\xC1\x00", 2), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_FALSE(Exists(link));
    EXPECT_EQ(open(link.c_str(), O_RDWR | O_NOCTTY), -1);
    EXPECT_EQ(errno, ENOENT);
    close(fd);

    sim::Reappear(box);
    fd = OpenPeer(link);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < 3; ++i) // the vanish fault is over
        EXPECT_EQ(Xfer(fd, 0xC1, 0, 1).size(), 1u);

    sim::Vanish(box); // at once, without a request
    p = {fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 0), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
    EXPECT_FALSE(Exists(link));
    close(fd);
    sim::Reappear(box);
    fd = OpenPeer(link);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Xfer(fd, 0xC9, 0, 3).size(), 3u);
}

TEST_F(Sim, FlappingGoesAndComesBackUntilTheFaultIsCleared) {
    sim::Config cfg;
    cfg.flap_down_ms = 100;
    cfg.flap_up_ms = 100;
    Open(cfg);
    sim::SetFault(box, sim::Fault::Flapping);
    auto wait_for = [&](bool present) {
        for (int i = 0; i < 1000 && Exists(link) != present; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return Exists(link) == present;
    };
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(wait_for(false));
        EXPECT_TRUE(wait_for(true));
    }
    sim::SetFault(box, sim::Fault::None);
    EXPECT_TRUE(wait_for(true));
    close(fd);
    fd = OpenPeer(link);
    ASSERT_GE(fd, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // no longer flapping
    EXPECT_EQ(Xfer(fd, 0xC1, 0, 1).size(), 1u);
}

TEST_F(Sim, LivelyModelPulsesRunningMotorsAndDriftsAnalogValues) {
    sim::Config cfg;
    cfg.pacing = false;
    cfg.input_mode = sim::InputMode::Lively;
    cfg.analog_mode = sim::AnalogMode::Lively;
    cfg.analog_ex = 512;
    Open(cfg);
    auto run = [&](uint8_t motors, int ms) {
        Bytes seen;
        int64_t end = NowNs() + int64_t(ms) * 1000000;
        while (NowNs() < end) {
            Bytes r = Xfer(fd, 0xC1, motors, 1);
            EXPECT_EQ(r.size(), 1u);
            seen.insert(seen.end(), r.begin(), r.end());
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return seen;
    };
    auto changes = [](const Bytes &seen, uint8_t bit) {
        int n = 0;
        for (size_t i = 1; i < seen.size(); ++i)
            n += ((seen[i] ^ seen[i - 1]) & bit) != 0;
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
    Bytes off = run(0x00, 250);
    EXPECT_EQ(changes(off, 0xFF), 0); // a stopped motor's pulse input holds its level

    std::vector<int> ex;
    for (int i = 0; i < 20; ++i) {
        Bytes r = Xfer(fd, 0xC5, 0x55, 3);
        ASSERT_EQ(r.size(), 3u);
        ex.push_back(r[1] * 256 + r[2]);
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    EXPECT_NE(*std::min_element(ex.begin(), ex.end()), *std::max_element(ex.begin(), ex.end()));
    EXPECT_LE(*std::max_element(ex.begin(), ex.end()), 1023);
}

TEST(SimStop, LeavesNoDescriptorsLinkOrThreadsBehind) {
    std::string link = NewLink(), logfile = link + ".log";
    int before = CountFds();
    sim::Config cfg;
    cfg.link = link;
    cfg.pacing = false;
    cfg.log_path = logfile;
    sim::Box *box = sim::Start(cfg);
    ASSERT_NE(box, nullptr);
    int fd = OpenPeer(link);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Xfer(fd, 0xC1, 0x07, 1).size(), 1u);
    close(fd);
    sim::Vanish(box);
    sim::Reappear(box);
    sim::Stop(box);
    EXPECT_EQ(CountFds(), before);
    EXPECT_FALSE(Exists(link));

    std::ifstream in(logfile);
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_TRUE(std::regex_match(line, std::regex("[0-9]+ C1 07"))) << line;
    unlink(logfile.c_str());
}

// The ifbox-sim command as a child process; never left running by a failed test.
struct Command {
    pid_t pid = -1;
    std::string banner;
    explicit Command(std::vector<std::string> args) {
        args.insert(args.begin(), IFBOX_SIM_PATH);
        int out[2];
        EXPECT_EQ(pipe(out), 0);
        pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            std::vector<char *> argv;
            for (auto &a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n')
            banner += c;
        close(out[0]);
    }
    // Exit status after SIGTERM, -1 when it did not exit normally.
    int Terminate() {
        int status;
        kill(pid, SIGTERM);
        pid_t r = waitpid(pid, &status, 0);
        pid = -1;
        return r > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    ~Command() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

// The command: prints its line, serves, logs, survives its own pty hanging up
// (which sends it the kernel's SIGHUP as the pty's session leader) and exits 0 on SIGTERM.
TEST(SimCommand, ServesLogsSurvivesVanishAndExitsCleanly) {
    std::string link = NewLink(), logfile = link + ".log";
    Command cmd({"--link", link, "--log", logfile, "--inputs", "fixed:0x42", "--analog", "100,513",
                 "--fault", "vanish:2"});
    EXPECT_TRUE(
        std::regex_match(cmd.banner, std::regex("ifbox-sim: serving /dev/pts/[0-9]+ at " + link)))
        << cmd.banner;

    int fd = OpenPeer(link);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Xfer(fd, 0xC1, 0x09, 1), Bytes({0x42}));
    EXPECT_EQ(Xfer(fd, 0xC9, 0x80, 3), Bytes({0x00, 0x02, 0x01}));
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
    close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    int status;
    EXPECT_EQ(waitpid(cmd.pid, &status, WNOHANG), 0) << "the command died with its pty";
    EXPECT_EQ(cmd.Terminate(), 0);
    EXPECT_FALSE(Exists(link));
    std::ifstream in(logfile);
    std::string l1, l2;
    ASSERT_TRUE(std::getline(in, l1) && std::getline(in, l2));
    EXPECT_TRUE(std::regex_match(l1, std::regex("[0-9]+ C1 09"))) << l1;
    EXPECT_TRUE(std::regex_match(l2, std::regex("[0-9]+ C9 80"))) << l2;
    unlink(logfile.c_str());
}

// Every fault by the name the command line and the control FIFO take, with its counts.
TEST(SimCommand, EveryFaultIsSelectableByName) {
    const struct {
        const char *name;
        sim::Fault fault;
    } faults[] = {{"none", sim::Fault::None},       {"silent", sim::Fault::Silent},
                  {"vanish", sim::Fault::Vanish},   {"garbage", sim::Fault::Garbage},
                  {"extra", sim::Fault::ExtraByte}, {"missing", sim::Fault::MissingByte},
                  {"late", sim::Fault::LateByte},   {"slow", sim::Fault::Slow},
                  {"short", sim::Fault::Short},     {"flapping", sim::Fault::Flapping}};
    for (const auto &f : faults) {
        sim::Fault parsed = sim::Fault::None;
        int after = -1, count = -1;
        ASSERT_TRUE(sim::ParseFaultSpec(f.name, &parsed, &after, &count)) << f.name;
        EXPECT_TRUE(parsed == f.fault && after == 0 && count == 0) << f.name;
        ASSERT_TRUE(sim::ParseFaultSpec(std::string(f.name) + ":7:3", &parsed, &after, &count));
        EXPECT_TRUE(parsed == f.fault && after == 7 && count == 3) << f.name;
        Command cmd({"--link", NewLink(), "--fault", std::string(f.name) + ":5"});
        EXPECT_EQ(cmd.banner.rfind("ifbox-sim: serving", 0), 0u) << f.name << ": " << cmd.banner;
        EXPECT_EQ(cmd.Terminate(), 0) << f.name;
    }
    sim::Fault parsed;
    int after, count;
    for (const char *bad : {"", "bogus", "slow:", "slow:x", "slow:-1", "slow:1:2:3", "slow:1:"})
        EXPECT_FALSE(sim::ParseFaultSpec(bad, &parsed, &after, &count)) << bad;
    Command bad({"--link", NewLink(), "--fault", "sluggish"});
    EXPECT_EQ(bad.banner, "");
}

// The control FIFO drives the command's box as the library's calls drive one in process.
TEST(SimCommand, ControlFifoRestartsAndChangesTheBox) {
    std::string link = NewLink(), control = link + ".ctl";
    Command cmd({"--link", link, "--control", control});
    int to = open(control.c_str(), O_WRONLY | O_CLOEXEC);
    int from = open((control + ".reply").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(to, 0);
    ASSERT_GE(from, 0);
    auto send = [&](const std::string &line) {
        EXPECT_EQ(write(to, (line + "\n").data(), line.size() + 1), ssize_t(line.size() + 1));
        std::string answer;
        char c;
        while (read(from, &c, 1) == 1 && c != '\n')
            answer += c;
        return answer;
    };
    EXPECT_TRUE(std::regex_match(send("now"), std::regex("ok [0-9]+")));
    EXPECT_EQ(send("bogus").rfind("error", 0), 0u);
    EXPECT_EQ(send("start --no-pacing --inputs fixed:0x21 --analog 1,2 --analog-byte0 7")[0], 'o');
    int fd = OpenPeer(link);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Xfer(fd, 0xC1, 0, 1), Bytes({0x21}));
    EXPECT_EQ(Xfer(fd, 0xC5, 0, 3), Bytes({7, 0, 1}));
    send("inputs 0x22");
    EXPECT_EQ(Xfer(fd, 0xC1, 0, 1), Bytes({0x22}));
    send("fault silent");
    EXPECT_EQ(Xfer(fd, 0xC1, 0, 1, 200), Bytes());
    send("fault none");
    send("inject 0x11 0x13");
    EXPECT_EQ(ReadBytes(fd, 2, 500), Bytes({0x11, 0x13}));
    send("vanish");
    pollfd p{fd, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 1);
    close(fd);
    send("reappear");
    fd = OpenPeer(link);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Xfer(fd, 0xC1, 0, 1), Bytes({0x22}));
    close(fd);
    EXPECT_EQ(send("stop")[0], 'o');
    EXPECT_FALSE(Exists(link));
    EXPECT_EQ(send("inputs 0x01").rfind("error", 0), 0u);
    EXPECT_EQ(send("start")[0], 'o');
    EXPECT_TRUE(Exists(link));
    close(to);
    close(from);
    EXPECT_EQ(cmd.Terminate(), 0);
    EXPECT_FALSE(Exists(link) || Exists(control));
}

} // namespace
