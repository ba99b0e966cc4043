// ifbox-sim: the simulated box as a command, for the demo and the scripts.
#include "sim/ifbox_sim.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char kHelp[] =
    "usage: ifbox-sim [OPTION]...\n"
    "Serves the interface box's protocol on a pseudo-terminal until ended by\n"
    "SIGTERM, SIGINT or SIGHUP. Values go as --opt VALUE or --opt=VALUE.\n"
    "\n"
    "  --link PATH        symlink to the pty (default /tmp/ifbox-sim); refused if\n"
    "                     PATH exists and is not a stale link, or if a live\n"
    "                     ifbox-sim serves it\n"
    "  --inputs MODE      fixed:0xNN, flip:0xMASK (flips before every reply) or\n"
    "                     lively (default: running motors pulse E1..E4, E5..E8\n"
    "                     show their direction)\n"
    "  --analog EX,EY     fixed analog values (0..65535) or lively (default)\n"
    "  --reply-delay-us N before the first reply byte (0..1000000, default 0)\n"
    "  --no-pacing        reply at once, not at 9600-baud byte times\n"
    "  --fault NAME[:AFTER[:FOR]]  after AFTER good replies, spoil FOR (0: all):\n"
    "                     none, silent, vanish (gone for good), garbage, extra (a\n"
    "                     byte too many), missing (a byte too few), late (last\n"
    "                     byte --late-ms late), slow (--slow-ms before the reply),\n"
    "                     short (analog replies of one byte), flapping (gone and\n"
    "                     back by --flap-ms)\n"
    "  --late-ms N        0..10000 (default 150)\n"
    "  --slow-ms N        0..10000 (default 50)\n"
    "  --flap-ms DOWN,UP  ms gone, ms back, 10..600000 each (default 500,500)\n"
    "  --log FILE         one line per request: <t_ns> <code> <motor>, the time\n"
    "                     on CLOCK_MONOTONIC in ns, code and motor in hex\n"
    "  --no-ctty          do not make the pty the controlling terminal\n"
    "  -h, --help         show this help and exit\n"
    "  --version          show the version and exit\n"
    "Exit status: 0 when ended by a signal, 2 on a usage error or when the box\n"
    "cannot start.\n";

std::string opt, value; // what is being parsed, for the messages

[[noreturn]] void Usage(const std::string &why) {
    fprintf(stderr, "ifbox-sim: %s; try --help\n", why.c_str());
    exit(2);
}

[[noreturn]] void Bad(const char *want) {
    Usage("bad value for " + opt + ": '" + value + "' (" + want + ")");
}

long Number(const std::string &text, long lo, long hi, const char *want) {
    char *end;
    errno = 0;
    long n = strtol(text.c_str(), &end, 0);
    if (!isdigit((unsigned char)text[0]) || errno != 0 || *end != '\0' || n < lo || n > hi)
        Bad(want);
    return n;
}

void Pair(long lo, long hi, const char *want, long *a, long *b) {
    size_t comma = value.find(',');
    if (comma == std::string::npos)
        Bad(want);
    *a = Number(value.substr(0, comma), lo, hi, want);
    *b = Number(value.substr(comma + 1), lo, hi, want);
}

// NAME[:AFTER[:FOR]]
void ParseFault(sim::Config *cfg) {
    const char *const names[] = {"none",    "silent", "vanish", "garbage", "extra",
                                 "missing", "late",   "slow",   "short",   "flapping"};
    const char *want = "NAME[:AFTER[:FOR]], see --help";
    size_t colon = value.find(':');
    auto name = std::find(std::begin(names), std::end(names), value.substr(0, colon));
    if (name == std::end(names))
        Bad(want);
    cfg->fault = sim::Fault(name - names); // in the order of sim::Fault
    cfg->fault_after = cfg->fault_for = 0;
    if (colon == std::string::npos)
        return;
    std::string counts = value.substr(colon + 1);
    colon = counts.find(':');
    cfg->fault_after = int(Number(counts.substr(0, colon), 0, 1000000000, want));
    if (colon != std::string::npos)
        cfg->fault_for = int(Number(counts.substr(colon + 1), 0, 1000000000, want));
}

void ParseArgs(int argc, char **argv, sim::Config *cfg, bool *ctty) {
    const char *const with_value[] = {"--link",    "--inputs",  "--analog",
                                      "--fault",   "--late-ms", "--slow-ms",
                                      "--flap-ms", "--log",     "--reply-delay-us"};
    for (int i = 1; i < argc; ++i) {
        opt = argv[i];
        size_t eq = opt.find('=');
        bool inline_value = opt.rfind("--", 0) == 0 && eq != std::string::npos;
        value = inline_value ? opt.substr(eq + 1) : "";
        opt.resize(inline_value ? eq : opt.size());
        if (opt == "-h" || opt == "--help" || opt == "--version" || opt == "--no-pacing" ||
            opt == "--no-ctty") {
            if (inline_value)
                Usage(opt + " takes no value");
            if (opt == "--version" || opt == "-h" || opt == "--help") {
                fputs(opt == "--version" ? "ifbox-sim " IFBOX_SIM_VERSION "\n" : kHelp, stdout);
                exit(0);
            }
            if (opt == "--no-pacing")
                cfg->pacing = false;
            else
                *ctty = false;
            continue;
        }
        if (std::find(std::begin(with_value), std::end(with_value), opt) == std::end(with_value))
            Usage("unknown option " + opt);
        if (!inline_value && i + 1 == argc)
            Usage(opt + " needs a value");
        if (!inline_value)
            value = argv[++i];
        long a, b;
        if (opt == "--link" || opt == "--log") {
            if (value.empty())
                Bad("a path");
            if (opt == "--link")
                cfg->link = value;
            else
                cfg->log_path = value;
        } else if (opt == "--inputs" && value == "lively") {
            cfg->input_mode = sim::InputMode::Lively;
        } else if (opt == "--inputs") {
            const char *want = "fixed:0xNN, flip:0xMASK or lively";
            bool fixed = value.rfind("fixed:", 0) == 0;
            if (!fixed && value.rfind("flip:", 0) != 0)
                Bad(want);
            long byte = Number(value.substr(fixed ? 6 : 5), 0, 255, want);
            cfg->input_mode = fixed ? sim::InputMode::Fixed : sim::InputMode::Flip;
            cfg->input_byte = fixed ? uint8_t(byte) : 0;
            cfg->flip_mask = fixed ? 0 : uint8_t(byte);
        } else if (opt == "--analog" && value == "lively") {
            cfg->analog_mode = sim::AnalogMode::Lively;
        } else if (opt == "--analog") {
            Pair(0, 65535, "EX,EY each 0..65535, or lively", &a, &b);
            cfg->analog_mode = sim::AnalogMode::Fixed;
            cfg->analog_ex = uint16_t(a);
            cfg->analog_ey = uint16_t(b);
        } else if (opt == "--reply-delay-us") {
            cfg->reply_delay_us = int(Number(value, 0, 1000000, "0..1000000"));
        } else if (opt == "--late-ms") {
            cfg->late_ms = int(Number(value, 0, 10000, "0..10000"));
        } else if (opt == "--slow-ms") {
            cfg->slow_ms = int(Number(value, 0, 10000, "0..10000"));
        } else if (opt == "--flap-ms") {
            Pair(10, 600000, "DOWN,UP each 10..600000", &a, &b);
            cfg->flap_down_ms = int(a);
            cfg->flap_up_ms = int(b);
        } else {
            ParseFault(cfg);
        }
    }
}

// Only a session leader without a terminal can claim the pty. A shell with job
// control starts us as a process group leader, which setsid() refuses; then a
// child carries on and this process stays as its stand-in, passing signals on
// and exiting with its status, so scripts may still wait for and kill our pid.
void BecomeSessionLeader(sigset_t sigs) {
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
    sigaddset(&sigs, SIGCHLD);
    sigprocmask(SIG_BLOCK, &sigs, nullptr);
    for (;;) {
        int status;
        if (waitpid(child, &status, WNOHANG) == child)
            exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
        int sig = sigwaitinfo(&sigs, nullptr);
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
    ParseArgs(argc, argv, &cfg, &ctty);

    // Signals are taken with sigwaitinfo(); blocked before the box's thread
    // starts, so that thread never runs a handler.
    sigset_t sigs;
    sigemptyset(&sigs);
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&sigs, sig);
    sigprocmask(SIG_BLOCK, &sigs, nullptr);
    if (ctty) {
        BecomeSessionLeader(sigs);
        cfg.claim_ctty = true;
    }
    sim::Box *box = sim::Start(cfg);
    if (!box)
        return 2;
    printf("ifbox-sim: serving %s at %s\n", sim::SlavePath(box).c_str(), cfg.link.c_str());
    fflush(stdout);
    siginfo_t si;
    // Our own pty hanging up (vanish, flapping) sends the kernel's SIGHUP to us
    // as its session leader: the box's business, not a request to quit.
    while (sigwaitinfo(&sigs, &si) < 0 || (si.si_signo == SIGHUP && si.si_code == SI_KERNEL)) {
    }
    sim::Stop(box);
    return 0;
}
