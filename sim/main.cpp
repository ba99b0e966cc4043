// ifbox-sim: the simulated box as a command, for the demo and the Windows tests.
#include "sim/ifbox_sim.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char kUsage[] =
    "usage: ifbox-sim [options]\n"
    "  --link PATH              symlink to the served pty (default /tmp/ifbox-sim)\n"
    "  --no-pacing              reply at once instead of at 9600-baud byte times\n"
    "  --reply-delay-us N       box reaction time before the first reply byte\n"
    "  --inputs fixed:0xNN|flip:0xMASK|lively   digital inputs (default lively)\n"
    "  --analog EX,EY|lively    analog inputs (default lively)\n"
    "  --fault NAME[:AFTER]     none silent vanish garbage extra missing late slow short\n"
    "                           flapping; AFTER requests are answered normally first\n"
    "  --late-ms N              delay of the last byte with --fault late (150)\n"
    "  --slow-ms N              extra delay before each reply with --fault slow (50)\n"
    "  --flap-ms DOWN,UP        gone/back times with --fault flapping (500,500)\n"
    "  --log FILE               one line per request: <t_ns> <code hex> <motor hex>\n"
    "  --seed N                 seed of the garbage bytes\n"
    "  --no-ctty                do not make the pty our controlling terminal\n"
    "  --help\n";

bool ParseInt(const char *s, long lo, long hi, long *out) {
    char *end;
    errno = 0;
    long v = strtol(s, &end, 0);
    if (errno || end == s || *end || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

bool ParsePair(const std::string &s, long hi, long *a, long *b) {
    size_t comma = s.find(',');
    return comma != std::string::npos && ParseInt(s.substr(0, comma).c_str(), 0, hi, a) &&
           ParseInt(s.substr(comma + 1).c_str(), 0, hi, b);
}

bool ParseArgs(int argc, char **argv, sim::Config *cfg, bool *ctty) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help") {
            fputs(kUsage, stdout);
            exit(0);
        }
        if (a == "--no-pacing") {
            cfg->pacing = false;
            continue;
        }
        if (a == "--no-ctty") {
            *ctty = false;
            continue;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "ifbox-sim: unknown option or missing value: %s\n", a.c_str());
            return false;
        }
        std::string v = argv[++i];
        long n, m;
        bool ok = true;
        if (a == "--link") {
            cfg->link = v;
        } else if (a == "--log") {
            cfg->log_path = v;
        } else if (a == "--reply-delay-us") {
            ok = ParseInt(v.c_str(), 0, 10000000, &n);
            cfg->reply_delay_us = int(n);
        } else if (a == "--late-ms") {
            ok = ParseInt(v.c_str(), 0, 100000, &n);
            cfg->late_ms = int(n);
        } else if (a == "--slow-ms") {
            ok = ParseInt(v.c_str(), 0, 100000, &n);
            cfg->slow_ms = int(n);
        } else if (a == "--seed") {
            ok = ParseInt(v.c_str(), 0, 0xFFFFFFFFL, &n);
            cfg->seed = uint32_t(n);
        } else if (a == "--flap-ms") {
            ok = ParsePair(v, 1000000, &n, &m);
            cfg->flap_down_ms = int(n);
            cfg->flap_up_ms = int(m);
        } else if (a == "--inputs") {
            if (v == "lively") {
                cfg->input_mode = sim::InputMode::Lively;
                cfg->input_byte = 0;
            } else if (v.rfind("fixed:", 0) == 0 && ParseInt(v.c_str() + 6, 0, 255, &n)) {
                cfg->input_mode = sim::InputMode::Fixed;
                cfg->input_byte = uint8_t(n);
            } else if (v.rfind("flip:", 0) == 0 && ParseInt(v.c_str() + 5, 0, 255, &n)) {
                cfg->input_mode = sim::InputMode::Flip;
                cfg->input_byte = 0;
                cfg->flip_mask = uint8_t(n);
            } else {
                ok = false;
            }
        } else if (a == "--analog") {
            if (v == "lively") {
                cfg->analog_mode = sim::AnalogMode::Lively;
            } else if ((ok = ParsePair(v, 65535, &n, &m))) {
                cfg->analog_mode = sim::AnalogMode::Fixed;
                cfg->analog_ex = uint16_t(n);
                cfg->analog_ey = uint16_t(m);
            }
        } else if (a == "--fault") {
            size_t colon = v.find(':');
            ok = sim::ParseFault(v.substr(0, colon), &cfg->fault);
            if (ok && colon != std::string::npos) {
                ok = ParseInt(v.c_str() + colon + 1, 0, 1000000000, &n);
                cfg->fault_after = int(n);
            }
        } else {
            fprintf(stderr, "ifbox-sim: unknown option %s\n", a.c_str());
            return false;
        }
        if (!ok) {
            fprintf(stderr, "ifbox-sim: bad value for %s: %s\n", a.c_str(), v.c_str());
            return false;
        }
    }
    return true;
}

// Only a session leader without a terminal can claim the pty. A shell with job
// control starts us as a process group leader, which setsid() refuses; then a
// child carries on and this process stays as its stand-in, passing signals on
// and exiting with its status, so scripts may still wait for and kill our pid.
void BecomeSessionLeader(const sigset_t &sigs) {
    if (getsid(0) == getpid() || setsid() >= 0)
        return;
    fflush(stdout);
    pid_t child = fork();
    if (child < 0) {
        perror("ifbox-sim: fork");
        exit(1);
    }
    if (child == 0) {
        if (setsid() < 0)
            perror("ifbox-sim: setsid");
        return;
    }
    sigset_t waitset = sigs;
    sigaddset(&waitset, SIGCHLD);
    sigprocmask(SIG_BLOCK, &waitset, nullptr);
    for (;;) {
        int status;
        if (waitpid(child, &status, WNOHANG) == child)
            exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
        siginfo_t si;
        int sig = sigwaitinfo(&waitset, &si);
        if (sig > 0 && sig != SIGCHLD)
            kill(child, sig);
    }
}

} // namespace

int main(int argc, char **argv) {
    sim::Config cfg;
    cfg.link = "/tmp/ifbox-sim";
    cfg.input_mode = sim::InputMode::Lively;
    cfg.analog_mode = sim::AnalogMode::Lively;
    // Centres for the lively drift, so its full swing stays inside 0..1023.
    cfg.analog_ex = 384;
    cfg.analog_ey = 640;
    bool ctty = true;
    if (!ParseArgs(argc, argv, &cfg, &ctty)) {
        fputs(kUsage, stderr);
        return 2;
    }

    // Signals are taken with sigwaitinfo() below; blocked before the box's
    // thread starts, so that thread never runs a handler.
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGTERM);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGHUP);
    sigprocmask(SIG_BLOCK, &sigs, nullptr);

    if (ctty) {
        BecomeSessionLeader(sigs);
        cfg.claim_ctty = true;
    }
    sim::Box *box = sim::Start(cfg);
    if (!box)
        return 1;
    printf("ifbox-sim: serving %s at %s\n", sim::SlavePath(box).c_str(), cfg.link.c_str());
    fflush(stdout);

    for (;;) {
        siginfo_t si;
        int sig = sigwaitinfo(&sigs, &si);
        if (sig < 0)
            continue;
        // Our own pty hanging up (vanish, flapping) sends the kernel's SIGHUP to
        // us as the session leader; that is the box's business, not a request to quit.
        if (sig == SIGHUP && si.si_code == SI_KERNEL)
            continue;
        break;
    }
    sim::Stop(box);
    return 0;
}
