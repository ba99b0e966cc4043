// ifbox-sim: the simulated box as a command, for the demo and the Windows tests.
#include "sim/ifbox_sim.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

const char kUsage[] =
    "usage: ifbox-sim [options]\n"
    "  --link PATH              symlink to the served pty (default /tmp/ifbox-sim)\n"
    "  --no-pacing              reply at once instead of at 9600-baud byte times\n"
    "  --reply-delay-us N       box reaction time before the first reply byte\n"
    "  --inputs fixed:0xNN|flip:0xMASK|lively   digital inputs (default lively)\n"
    "  --analog EX,EY|lively    analog inputs (default lively)\n"
    "  --fault NAME[:AFTER[:FOR]]  none silent vanish garbage extra missing late slow\n"
    "                           short flapping; AFTER requests are answered normally\n"
    "                           first, then FOR replies are spoilt (0: all; replies only)\n"
    "  --late-ms N              delay of the last byte with --fault late (150)\n"
    "  --slow-ms N              extra delay before each reply with --fault slow (50)\n"
    "  --flap-ms DOWN,UP        gone/back times with --fault flapping (500,500)\n"
    "  --log FILE               one line per request: <t_ns> <code hex> <motor hex>\n"
    "  --seed N                 seed of the garbage bytes\n"
    "  --analog-byte0 N         first byte of every analog reply (0)\n"
    "  --control PATH           make FIFOs PATH and PATH.reply: one command a line in,\n"
    "                           \"ok <t_ns>\" or \"error <why>\" back; commands: now, stop,\n"
    "                           start [options], inputs 0xNN, flip 0xMASK, analog EX EY,\n"
    "                           delay US, fault NAME[:AFTER[:FOR]], vanish, reappear, inject "
    "0xNN..\n"
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

struct Options {
    sim::Config cfg;
    bool ctty = true;
    std::string control;
};

Options Defaults() {
    Options o;
    o.cfg.link = "/tmp/ifbox-sim";
    o.cfg.input_mode = sim::InputMode::Lively;
    o.cfg.analog_mode = sim::AnalogMode::Lively;
    // Centres for the lively drift, so its full swing stays inside 0..1023.
    o.cfg.analog_ex = 384;
    o.cfg.analog_ey = 640;
    return o;
}

bool ParseArgs(int argc, char **argv, Options *opts) {
    sim::Config *cfg = &opts->cfg;
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
            opts->ctty = false;
            continue;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "ifbox-sim: unknown option or missing value: %s\n", a.c_str());
            return false;
        }
        std::string v = argv[++i];
        long n = 0, m = 0;
        bool ok = true;
        if (a == "--link") {
            cfg->link = v;
        } else if (a == "--log") {
            cfg->log_path = v;
        } else if (a == "--control") {
            opts->control = v;
        } else if (a == "--analog-byte0") {
            ok = ParseInt(v.c_str(), 0, 255, &n);
            cfg->analog_byte0 = uint8_t(n);
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
            ok = sim::ParseFaultSetting(v, &cfg->fault, &cfg->fault_after, &cfg->fault_for);
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

int64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// The control FIFO lets a test in another process (a Windows test under Wine)
// drive the box as the library's callers do. Every command has taken effect
// when its answer is written; the answer carries our clock so the caller can
// relate the log's time stamps to its own.
struct Control {
    int in = -1, out = -1;
    std::string pending;
};

bool OpenControl(const std::string &path, Control *c) {
    std::string reply = path + ".reply";
    unlink(path.c_str());
    unlink(reply.c_str());
    // Read and write on both ends: opening never blocks for a peer, and the
    // command side never reads end-of-file when a caller goes away.
    if (mkfifo(path.c_str(), 0600) != 0 || mkfifo(reply.c_str(), 0600) != 0 ||
        (c->in = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0 ||
        (c->out = open(reply.c_str(), O_RDWR | O_CLOEXEC)) < 0) {
        fprintf(stderr, "ifbox-sim: control FIFO %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    return true;
}

bool ParseByte(const std::string &s, uint8_t *out) {
    long v;
    if (!ParseInt(s.c_str(), 0, 255, &v))
        return false;
    *out = uint8_t(v);
    return true;
}

// Carries out one command line; returns the answer's error text ("" = ok).
std::string RunCommand(const std::string &line, const Options &base, sim::Box **box) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w);
    if (words.empty())
        return "empty command";
    const std::string &cmd = words[0];
    long a, b;
    uint8_t byte;
    if (cmd == "now")
        return "";
    if (cmd == "stop" || cmd == "start") {
        sim::Stop(*box);
        *box = nullptr;
        if (cmd == "stop")
            return "";
        // A fresh box from the command's defaults; link, log and terminal stay ours.
        Options o = Defaults();
        std::vector<char *> argv{const_cast<char *>("start")};
        for (size_t i = 1; i < words.size(); ++i)
            argv.push_back(const_cast<char *>(words[i].c_str()));
        if (!ParseArgs(int(argv.size()), argv.data(), &o))
            return "bad options";
        o.cfg.link = base.cfg.link;
        o.cfg.log_path = base.cfg.log_path;
        o.cfg.claim_ctty = base.cfg.claim_ctty;
        *box = sim::Start(o.cfg);
        return *box ? "" : "cannot start";
    }
    if (!*box)
        return "no box";
    if (cmd == "inputs" && words.size() == 2 && ParseByte(words[1], &byte)) {
        sim::SetInputs(*box, byte);
    } else if (cmd == "flip" && words.size() == 2 && ParseByte(words[1], &byte)) {
        sim::SetFlipMask(*box, byte);
    } else if (cmd == "analog" && words.size() == 3 && ParseInt(words[1].c_str(), 0, 65535, &a) &&
               ParseInt(words[2].c_str(), 0, 65535, &b)) {
        sim::SetAnalog(*box, uint16_t(a), uint16_t(b));
    } else if (cmd == "delay" && words.size() == 2 && ParseInt(words[1].c_str(), 0, 10000000, &a)) {
        sim::SetReplyDelay(*box, int(a));
    } else if (cmd == "fault" && words.size() == 2) {
        sim::Fault f;
        int after, count;
        if (!sim::ParseFaultSetting(words[1], &f, &after, &count))
            return "bad fault";
        sim::SetFault(*box, f, after, count);
    } else if (cmd == "vanish" && words.size() == 1) {
        sim::Vanish(*box);
    } else if (cmd == "reappear" && words.size() == 1) {
        sim::Reappear(*box);
    } else if (cmd == "inject") {
        std::vector<uint8_t> bytes;
        for (size_t i = 1; i < words.size(); ++i) {
            if (!ParseByte(words[i], &byte))
                return "bad byte";
            bytes.push_back(byte);
        }
        sim::Inject(*box, bytes);
    } else {
        return "unknown command";
    }
    return "";
}

void ReadControl(Control *c, const Options &base, sim::Box **box) {
    char buf[512];
    ssize_t n;
    while ((n = read(c->in, buf, sizeof buf)) > 0)
        c->pending.append(buf, size_t(n));
    for (size_t nl; (nl = c->pending.find('\n')) != std::string::npos;) {
        std::string line = c->pending.substr(0, nl);
        c->pending.erase(0, nl + 1);
        std::string err = RunCommand(line, base, box);
        std::string answer =
            err.empty() ? "ok " + std::to_string(NowNs()) + "\n" : "error " + err + "\n";
        ssize_t w = write(c->out, answer.data(), answer.size());
        (void)w;
    }
}

} // namespace

int main(int argc, char **argv) {
    Options opts = Defaults();
    if (!ParseArgs(argc, argv, &opts)) {
        fputs(kUsage, stderr);
        return 2;
    }
    sim::Config &cfg = opts.cfg;

    // Signals are read from a signalfd below; blocked before the box's thread
    // starts, so that thread never runs a handler.
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGTERM);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGHUP);
    sigprocmask(SIG_BLOCK, &sigs, nullptr);

    if (opts.ctty) {
        BecomeSessionLeader(sigs);
        cfg.claim_ctty = true;
    }
    sim::Box *box = sim::Start(cfg);
    if (!box)
        return 1;
    Control control;
    if (!opts.control.empty() && !OpenControl(opts.control, &control)) {
        sim::Stop(box);
        return 1;
    }
    int sfd = signalfd(-1, &sigs, SFD_CLOEXEC);
    printf("ifbox-sim: serving %s at %s\n", sim::SlavePath(box).c_str(), cfg.link.c_str());
    fflush(stdout);

    for (;;) {
        pollfd fds[2] = {{sfd, POLLIN, 0}, {control.in, POLLIN, 0}};
        if (poll(fds, control.in >= 0 ? 2 : 1, -1) <= 0)
            continue;
        if (fds[1].revents & POLLIN)
            ReadControl(&control, opts, &box);
        signalfd_siginfo si;
        if ((fds[0].revents & POLLIN) && read(sfd, &si, sizeof si) == sizeof si) {
            // Our own pty hanging up (vanish, flapping, stop) sends the kernel's
            // SIGHUP to us as the session leader: the box's business, not a request to quit.
            if (si.ssi_signo == SIGHUP && si.ssi_code == SI_KERNEL)
                continue;
            break;
        }
    }
    sim::Stop(box);
    if (!opts.control.empty()) {
        unlink(opts.control.c_str());
        unlink((opts.control + ".reply").c_str());
    }
    return 0;
}
