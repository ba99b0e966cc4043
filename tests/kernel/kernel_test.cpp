// ifdiag on the kernel's own serial drivers: QEMU (software emulation) boots Debian's kernel
// with guest.cpp as its only program. Its UART and, where the machine has one, its emulated
// FTDI adapter each reach an ifbox-sim here that echoes the motor byte; this side runs the
// guest's commands and pulls the adapter out and in over QMP.
#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/socket.h>

#include "sim/ifbox_sim.h"

#ifndef GUEST_ARM64 // no cross compiler: no arm64 machine
#define GUEST_ARM64 ""
#endif

namespace {

// QEMU's own part of the command line (%1$s: this test's directory, with the kernel and the
// boxes' links "uart" and "usb"; the console on descriptor 3, QMP on stdin), the guest, the
// devices (usb null: no adapter), what the port list must say, whether the UART holds output
// back while CTS is low (it reads low: a host pty has no modem lines; QEMU's PL011 ignores
// them), whether to send every byte value both ways (the link test sweeps the 8250's tty
// layer), and whether the UART has a receive trigger. A case a machine cannot run is skipped.
struct Machine {
    const char *arch, *qemu, *guest, *uart, *usb, *listed;
    bool cts_holds, sweep, trigger;
};
const Machine MACHINES[] = {
    {"amd64",
     "qemu-system-x86_64 -append 'console=ttyS0 quiet panic=-1' -serial chardev:con -serial"
     " chardev:uart -device qemu-xhci -chardev serial,id=usb,path=%1$s/usb -device"
     " usb-serial,chardev=usb,id=ftdi",
     GUEST, "/dev/ttyS1", "/dev/ttyUSB0",
     "ttyS1 .*16550A.*COM2[\\s\\S]*ttyUSB0 .*ftdi_sio.*0403:6001[\\s\\S]*left out.*S2 /dev/ttyS3",
     true, false, true},
    // A Raspberry Pi's own UART, the PL011; virt has one, so the console is virtio's.
    {"arm64",
     "qemu-system-aarch64 -M virt -cpu cortex-a53 -append 'console=hvc0 quiet panic=-1' -device"
     " virtio-serial-device -device virtconsole,chardev=con -serial chardev:uart",
     GUEST_ARM64, "/dev/ttyAMA0", nullptr, "ttyAMA0 .*uart-pl011.*COM2", false, true, false}};
const char QEMU_ALL[] = " -nodefaults -display none -no-reboot -m 256 -accel tcg -qmp stdio -kernel"
                        " %1$s/vmlinuz -initrd %1$s/initrd.gz -chardev socket,id=con,fd=3"
                        " -chardev serial,id=uart,path=%1$s/uart";
const Machine *M = MACHINES; // main() takes another by its arch

std::string DIR;
sim::Box *Uart, *Usb;
int Con, Qmp;
FILE *FromGuest;

// What the guest asks for. Unplugging "in a read": the box falls silent and the adapter
// goes as soon as the next request has reached it, so the guest waits for its reply.
void Act(const std::string &what) {
    if (what == "unplug-in-read\n") {
        sim::SetFault(Usb, sim::Fault::Silent);
        for (size_t n = sim::RequestCount(Usb); sim::RequestCount(Usb) == n;)
            std::this_thread::yield();
    }
    dprintf(Qmp, "%s",
            what == "replug\n" ? R"({"execute":"device_add","arguments":{"driver":"usb-serial",)"
                                 R"("chardev":"usb","id":"ftdi"}})"
                               : R"({"execute":"device_del","arguments":{"id":"ftdi"}})");
    sim::SetFault(Usb, sim::Fault::None);
    dprintf(Con, "\n");
}

// Runs one guest command (none: waits until the guest is ready) and expects a line on stderr
// naming the device and each of `told`; returns all the guest wrote. A "fail" line fails.
std::string Guest(const char *command, const std::string &dev = "",
                  std::initializer_list<const char *> told = {}) {
    if (*command)
        dprintf(Con, "%s %s\n", command, dev.c_str());
    std::string said;
    for (char got[4096]; fgets(got, sizeof got, FromGuest) && strcmp(got, "@ end\n") != 0;) {
        said += got;
        if (strncmp(got, "@ fail ", 7) == 0)
            ADD_FAILURE() << got + 7;
        if (strncmp(got, "@ do ", 5) == 0)
            Act(got + 5);
        if (strncmp(got, "@ bench ", 8) == 0)
            printf("%s", got + 8);
    }
    if (feof(FromGuest) || ferror(FromGuest))
        ADD_FAILURE() << command << ": the guest stopped answering after\n" << said;
    for (const char *cause : told)
        EXPECT_TRUE(std::regex_search(said, std::regex(dev + ".*" + cause))) << cause << " in\n"
                                                                             << said;
    return said;
}

class Kernel : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        DIR = KERNEL_DIR "/" + std::string(M->arch);
        const std::string qemu(M->qemu, strcspn(M->qemu, " "));
        if (!*M->guest || system(("command -v " + qemu + " >/dev/null && " MAKE_INITRAMFS " " +
                                  DIR + " " + M->guest + " " + M->arch)
                                     .c_str()) != 0) {
            ASSERT_EQ(getenv("CI"), nullptr) << "no test machine";
            GTEST_SKIP() << "no " << M->arch << " test machine: " << qemu
                         << " or a cross compiler missing, or no kernel fetched";
        }
        sim::Config cfg;
        cfg.pacing = false; // QEMU does not pace its UARTs either
        cfg.input_mode = sim::InputMode::Echo;
        for (auto [box, link] : {std::pair{&Uart, "/uart"}, {&Usb, "/usb"}})
            cfg.link = DIR + link, unlink(cfg.link.c_str()), *box = sim::Start(cfg); // a crash's
        char command[1024] = "exec ";
        snprintf(command + 5, sizeof command - 5, (M->qemu + std::string(QEMU_ALL)).c_str(),
                 DIR.c_str());
        int con[2], qmp[2];
        ASSERT_TRUE(Uart && Usb && socketpair(AF_UNIX, SOCK_STREAM, 0, con) == 0 && !pipe(qmp));
        if (fork() == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            dup2(qmp[0], 0), dup2(open("/dev/null", O_WRONLY), 1), dup2(con[1], 3); // 1: QMP's
            execl("/bin/sh", "sh", "-c", command, nullptr);
            _exit(127);
        }
        const timeval wait{300, 0}; // for a boot under load, and for the guest to answer
        setsockopt(Con = con[0], SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        close(con[1]);
        FromGuest = fdopen(Con, "r");
        dprintf(Qmp = qmp[1], R"({"execute":"qmp_capabilities"})");
        const auto boot = std::chrono::steady_clock::now();
        Guest("");
        ASSERT_FALSE(HasFailure()) << "the test machine did not boot";
        printf("boot %.1f s\n",
               std::chrono::duration<double>(std::chrono::steady_clock::now() - boot).count());
    }
    static void TearDownTestSuite() {
        sim::Stop(Uart), sim::Stop(Usb); // QEMU ends with this process
    }
};

// The dialog's life on each driver, and on the UART every byte value and a user's receive
// trigger; the guest checks them.
TEST_F(Kernel, DialogOnEachDriverKeepsOthersOutAndHandsThePortBack) {
    if (M->sweep)
        Guest("bytes", M->uart);
    for (const char *dev : {M->uart, M->usb})
        if (dev != nullptr)
            Guest("poll", dev);
    if (M->trigger)
        Guest("trigger", M->uart, {"receive trigger 8 bytes not lowered.*4 ms.*chgrp dialout"});
}

TEST_F(Kernel, HandshakeHeldOffGivesUpWithinTheTimeOut) {
    if (!M->cts_holds)
        GTEST_SKIP() << "this machine's UART does not hold output back for CTS";
    Guest("handshake", M->uart, {"output cannot leave"});
}

TEST_F(Kernel, PortListNamesEachDeviceWithoutOpeningIt) {
    EXPECT_TRUE(std::regex_search(Guest("list", M->uart), std::regex(M->listed)));
}

TEST_F(Kernel, UnpluggedInAReadThenPluggedBackUnderANewName) {
    if (M->usb == nullptr)
        GTEST_SKIP() << "no USB adapter on this machine";
    Guest("unplug", M->usb, {"Input/output error", "No such file"});
}

} // namespace

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    for (const Machine &m : MACHINES)
        M = argc > 1 && strcmp(argv[1], m.arch) == 0 ? &m : M;
    return RUN_ALL_TESTS();
}
