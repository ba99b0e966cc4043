// ifdiag on the kernel's own serial drivers, without hardware: QEMU (software emulation)
// boots Debian's kernel with guest.cpp as its only program. Its 8250 UART (ttyS1) and its
// emulated FTDI adapter (ttyUSB0, ftdi_sio on xHCI) each reach an ifbox-sim here that
// echoes the motor byte; this side checks what reached the box and pulls the adapter out
// and in over QMP, as a user pulls the cable. One boot serves every test.
#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sim/ifbox_sim.h"

namespace {

const std::string DIR = KERNEL_DIR;
const char *UART = "/dev/ttyS1", *USB = "/dev/ttyUSB0";
sim::Box *Uart = nullptr, *Usb = nullptr;
pid_t Qemu = -1;
int ToGuest = -1, FromGuest = -1, Qmp = -1;
std::string Pending;                                        // console bytes not yet lines
FILE *Console = fopen((DIR + "/console.log").c_str(), "w"); // all of it, for a failure

// The next console line, or "" once the guest has been silent for `seconds`.
std::string Line(double seconds) {
    for (size_t end; (end = Pending.find('\n')) == std::string::npos;) {
        pollfd pfd{FromGuest, POLLIN, 0};
        char buf[4096];
        const ssize_t n = poll(&pfd, 1, int(seconds * 1000)) > 0 ? read(FromGuest, buf, 4096) : 0;
        if (n <= 0)
            return "";
        Pending.append(buf, size_t(n));
    }
    std::string line = Pending.substr(0, Pending.find('\n'));
    Pending.erase(0, line.size() + 1);
    line.erase(line.find_last_not_of('\r') + 1);
    fprintf(Console, "%s\n", line.c_str());
    return line;
}

std::string QmpCommand(const std::string &json) { // what came back within a moment
    (void)!write(Qmp, json.data(), json.size());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::string reply;
    char buf[4096];
    for (ssize_t n; (n = recv(Qmp, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
        reply.append(buf, size_t(n));
    return reply;
}

// What the guest asks for. Unplugging "in a read": the box falls silent and the adapter
// goes as soon as the next request has reached it, so the guest waits for its reply.
void Act(const std::string &what) {
    if (what == "unplug-in-read") {
        sim::SetFault(Usb, sim::Fault::Silent);
        for (size_t n = sim::RequestCount(Usb); sim::RequestCount(Usb) == n;)
            std::this_thread::yield();
    }
    if (what != "replug")
        QmpCommand(R"({"execute":"device_del","arguments":{"id":"ftdi"}})");
    for (int i = 0; what == "replug" && i < 50; ++i) // refused until the old one is gone
        if (QmpCommand(R"({"execute":"device_add","arguments":{"driver":"usb-serial",)"
                       R"("chardev":"usb","id":"ftdi"}})")
                .find("error") == std::string::npos)
            break;
    sim::SetFault(Usb, sim::Fault::None);
    (void)!write(ToGuest, "\n", 1);
}

// Runs one guest command; returns all it wrote (its "@ " lines, stderr, the port list).
// A "fail" line fails the test.
std::string Guest(const std::string &command, const char *dev) {
    const std::string line = command + " " + dev + "\n";
    (void)!write(ToGuest, line.data(), line.size());
    std::string said;
    for (std::string got; (got = Line(120)) != "@ end"; said += got + "\n") {
        if (got.empty())
            return ADD_FAILURE() << command << ": the guest stopped answering", said;
        if (got.rfind("@ fail ", 0) == 0)
            ADD_FAILURE() << got.substr(7);
        if (got.rfind("@ do ", 0) == 0)
            Act(got.substr(5));
        if (got.rfind("@ bench ", 0) == 0)
            printf("%s\n", got.c_str() + 8);
    }
    return said;
}

class Kernel : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (system("command -v qemu-system-x86_64 >/dev/null") != 0) {
            ASSERT_EQ(getenv("CI"), nullptr) << "qemu-system-x86_64 missing";
            GTEST_SKIP() << "qemu-system-x86_64 missing (scripts/install-deps installs it)";
        }
        if (system((MAKE_INITRAMFS " " + DIR + " " GUEST).c_str()) != 0) {
            ASSERT_EQ(getenv("CI"), nullptr)
                << "no test machine: tests/kernel/make-initramfs failed";
            GTEST_SKIP() << "no test machine: Debian's kernel could not be fetched";
        }
        sim::Config cfg;
        cfg.pacing = false; // QEMU does not pace its UARTs either
        cfg.input_mode = sim::InputMode::Echo;
        cfg.link = DIR + "/uart";
        Uart = sim::Start(cfg);
        cfg.link = DIR + "/usb";
        Usb = sim::Start(cfg);
        int in[2], out[2];
        ASSERT_TRUE(Uart && Usb && pipe(in) == 0 && pipe(out) == 0);
        const std::string qmp = DIR + "/qmp";
        char qemu[1024];
        snprintf(qemu, sizeof qemu,
                 "exec qemu-system-x86_64 -nodefaults -display none -no-reboot -m 256 -accel tcg"
                 " -kernel %1$s/vmlinuz -initrd %1$s/initrd.gz -append 'console=ttyS0 quiet"
                 " panic=-1' -chardev stdio,id=con,signal=off -serial chardev:con"
                 " -chardev serial,id=uart,path=%1$s/uart -serial chardev:uart -device qemu-xhci"
                 " -chardev serial,id=usb,path=%1$s/usb -device usb-serial,chardev=usb,id=ftdi"
                 " -qmp unix:%1$s/qmp,server=on,wait=off",
                 DIR.c_str());
        unlink(qmp.c_str());
        if ((Qemu = fork()) == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            dup2(in[0], 0);
            dup2(out[1], 1);
            execl("/bin/sh", "sh", "-c", qemu, nullptr);
            _exit(127);
        }
        ToGuest = in[1];
        FromGuest = out[0];
        const auto boot = std::chrono::steady_clock::now();
        for (std::string got = "?"; got != "@ ready";)
            ASSERT_FALSE((got = Line(300)).empty()) << "the test machine did not boot";
        printf("boot %.1f s\n",
               std::chrono::duration<double>(std::chrono::steady_clock::now() - boot).count());
        sockaddr_un addr{AF_UNIX, {}};
        qmp.copy(addr.sun_path, sizeof addr.sun_path - 1);
        Qmp = socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_EQ(connect(Qmp, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        QmpCommand(R"({"execute":"qmp_capabilities"})");
    }
    static void TearDownTestSuite() {
        if (Qemu > 0 && kill(Qemu, SIGKILL) == 0)
            waitpid(Qemu, nullptr, 0);
        sim::Stop(Uart);
        sim::Stop(Usb);
    }
    void SetUp() override {
        for (sim::Box *box : {Uart, Usb})
            sim::SetFault(box, sim::Fault::None), sim::ClearLog(box);
    }
};

const std::pair<const char *, sim::Box *&> BOTH[] = {{UART, Uart}, {USB, Usb}};

TEST_F(Kernel, EveryByteValuePassesBothWays) {
    for (auto [dev, box] : BOTH) {
        Guest("bytes", dev);
        EXPECT_EQ(sim::RequestCount(box), 1u + 768) << dev;
    }
}

// Motors off at opening, then the guest's switches 0x08, 0x48, 0x44, 0x40 in order, which
// the box echoes as inputs: E4 changes twice, E3 twice, E7 once. Closing sends nothing.
TEST_F(Kernel, PollCycleCountsWhatTheBoxSentAndClosingSendsNothing) {
    for (auto [dev, box] : BOTH) {
        const std::string said = Guest("poll", dev);
        const size_t requests = sim::RequestCount(box);
        EXPECT_NE(said.find("@ counts 0 0 2 2 0 0 1 0\n"), std::string::npos) << said;
        EXPECT_TRUE(requests > 40 && sim::Log(box)[0].motor == 0) << dev;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(sim::RequestCount(box), requests) << dev << ": a request after closing";
    }
}

TEST_F(Kernel, SilentBoxTimesOutAndFreezesWithoutMessage) {
    for (auto [dev, box] : BOTH) {
        sim::SetFault(box, sim::Fault::Silent, 4);
        Guest("silent", dev);
    }
}

TEST_F(Kernel, HandshakeHeldOffGivesUpWithinTheTimeOut) {
    EXPECT_NE(Guest("handshake", UART)
                  .find("ifdiag: /dev/ttyS1: output cannot leave (handshake line CTS held low, "
                        "or the other side stopped reading)\n"),
              std::string::npos);
    EXPECT_EQ(sim::RequestCount(Uart), 0u);
}

TEST_F(Kernel, PortListNamesEachDeviceWithoutOpeningIt) {
    const std::string list = Guest("list", UART);
    EXPECT_NE(list.find("/dev/ttyS1  driver serial, UART 16550A  (COM2 today)\n"),
              std::string::npos)
        << list;
    EXPECT_NE(list.find("/dev/ttyUSB0  driver ftdi_sio, USB 0403:6001"), std::string::npos);
    EXPECT_NE(list.find("left out, registered without a UART behind them: /dev/ttyS2 "
                        "/dev/ttyS3\n"),
              std::string::npos);
}

// The box's last request is the one it fell silent at: that exchange's message comes first.
TEST_F(Kernel, UnpluggedInAReadThenPluggedBackUnderANewName) {
    const std::string err = Guest("unplug-in-read", USB);
    const auto log = sim::Log(Usb);
    ASSERT_FALSE(log.empty());
    EXPECT_NE(err.find(log.back().code == 0xC1 ? "@ first L\n" : "@ first A\n"), err.npos) << err;
    EXPECT_NE(err.find("ifdiag: /dev/ttyUSB0: Input/output error (the device is gone"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("ifdiag: /dev/ttyUSB0: No such file or directory"), std::string::npos);
}

TEST_F(Kernel, UnpluggedBetweenCyclesThenPluggedBackUnderItsName) {
    EXPECT_EQ(Guest("unplug-between-cycles", "/dev/ttyUSB1").find("driver ftdi_sio"),
              std::string::npos)
        << "listed unplugged";
    const auto log = sim::Log(Usb);
    ASSERT_FALSE(log.empty());
    EXPECT_TRUE(log.back().code == 0xC1 && log.back().motor == 0) << "no opening after replugging";
}

} // namespace
