// ifbox-sim: the simulated box as a command, for the demo and the scripts.
#include "sim/ifbox_sim.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <signal.h>
#include <unistd.h>

namespace {

const char HELP[] =
    "usage: ifbox-sim [OPTION]...\n"
    "Serves the interface box's protocol on a pseudo-terminal until SIGTERM,\n"
    "SIGINT or SIGHUP. Values go as --opt VALUE or --opt=VALUE.\n"
    "  --link PATH        symlink to the pty (default /tmp/ifbox-sim); refused if\n"
    "                     PATH exists and is not a stale link, or if another\n"
    "                     ifbox-sim serves it\n"
    "  --inputs MODE      fixed:0xNN, flip:0xMASK (toggles its bits at each reply) or\n"
    "                     lively (default: running motors pulse E1..E4)\n"
    "  --analog EX,EY     fixed values (0..65535) or lively (default)\n"
    "  --reply-delay-us N before the first reply byte (0..1000000, default 0)\n"
    "  --no-pacing        reply at once, not at 9600-baud byte times\n"
    "  --fault NAME[:AFTER[:FOR]]  after AFTER good replies spoil FOR (0: all):\n"
    "                     none, silent, vanish (for good), garbage, extra (byte),\n"
    "                     missing (byte), late (last byte by --late-ms), slow (by\n"
    "                     --slow-ms), short (1-byte analog replies), flapping\n"
    "  --late-ms N        0..10000 (default 150)\n"
    "  --slow-ms N        0..10000 (default 50)\n"
    "  --flap-ms DOWN,UP  ms gone, ms back, 10..600000 each (default 500,500)\n"
    "  --log FILE         a line per request: <t_ns> <code> <motor>, t_ns on\n"
    "                     CLOCK_MONOTONIC, code and motor in hex\n"
    "  --no-ctty          do not make the pty the controlling terminal\n"
    "  -h, --help, --version  this help or the version\n"
    "Exit status: 0 when ended by a signal, 2 on a usage error or if it cannot start.\n";

std::string opt, value; // the option being parsed and its value, for the messages

[[noreturn]] void Usage(const std::string &why) {
    fprintf(stderr, "ifbox-sim: %s; try --help\n", why.c_str());
    exit(2);
}

[[noreturn]] void Bad(const char *want) {
    Usage("bad value for " + opt + ": '" + value + "' (" + want + ")");
}

// A number lo..hi in `text`, a part of the value: decimal, 0x hex or 0 octal.
int Number(const std::string &text, long lo, long hi, const char *want) {
    char *end;
    errno = 0;
    long n = strtol(text.c_str(), &end, 0);
    if (!isdigit((unsigned char)text[0]) || errno != 0 || *end != '\0' || n < lo || n > hi)
        Bad(want);
    return int(n);
}

// "A,B", each lo..hi.
template <class T> void Pair(long lo, long hi, const char *want, T *a, T *b) {
    size_t comma = value.find(',');
    *a = T(Number(value.substr(0, comma), lo, hi, want));
    *b = T(Number(comma == std::string::npos ? "" : value.substr(comma + 1), lo, hi, want));
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
    cfg->fault_after = Number(counts.substr(0, colon), 0, 1000000000, want);
    if (colon != std::string::npos)
        cfg->fault_for = Number(counts.substr(colon + 1), 0, 1000000000, want);
}

void ParseArgs(int argc, char **argv, sim::Config *cfg) {
    const char *const flags[] = {"-h", "--help", "--version", "--no-pacing", "--no-ctty"};
    const char *const with_value[] = {"--link",    "--log",     "--inputs",
                                      "--analog",  "--fault",   "--late-ms",
                                      "--slow-ms", "--flap-ms", "--reply-delay-us"};
    for (int i = 1; i < argc; ++i) {
        opt = argv[i];
        size_t eq = opt.rfind("--", 0) == 0 ? opt.find('=') : std::string::npos;
        value = eq == std::string::npos ? "" : opt.substr(eq + 1);
        opt = opt.substr(0, eq);
        bool flag = std::find(std::begin(flags), std::end(flags), opt) != std::end(flags);
        if (!flag &&
            std::find(std::begin(with_value), std::end(with_value), opt) == std::end(with_value))
            Usage("unknown option " + opt);
        if (flag && eq != std::string::npos)
            Usage(opt + " takes no value");
        if (!flag && eq == std::string::npos && ++i == argc)
            Usage(opt + " needs a value");
        if (!flag && eq == std::string::npos)
            value = argv[i];
        if (opt == "-h" || opt == "--help" || opt == "--version") {
            fputs(opt == "--version" ? "ifbox-sim " IFBOX_SIM_VERSION "\n" : HELP, stdout);
            exit(0);
        } else if (opt == "--no-pacing") {
            cfg->pacing = false;
        } else if (opt == "--no-ctty") {
            cfg->claim_ctty = false;
        } else if ((opt == "--link" || opt == "--log") && value.empty()) {
            Bad("a path");
        } else if (opt == "--link" || opt == "--log") {
            (opt == "--link" ? cfg->link : cfg->log_path) = value;
        } else if (opt == "--inputs") {
            const char *want = "fixed:0xNN, flip:0xMASK or lively";
            bool fixed = value.rfind("fixed:", 0) == 0, flip = value.rfind("flip:", 0) == 0;
            if (!fixed && !flip && value != "lively")
                Bad(want);
            cfg->input_mode = fixed  ? sim::InputMode::Fixed
                              : flip ? sim::InputMode::Flip
                                     : sim::InputMode::Lively;
            cfg->input_byte = fixed ? uint8_t(Number(value.substr(6), 0, 255, want)) : 0;
            cfg->flip_mask = flip ? uint8_t(Number(value.substr(5), 0, 255, want)) : 0;
        } else if (opt == "--analog" && value == "lively") {
            cfg->analog_mode = sim::AnalogMode::Lively;
        } else if (opt == "--analog") {
            Pair(0, 65535, "EX,EY each 0..65535, or lively", &cfg->analog_ex, &cfg->analog_ey);
            cfg->analog_mode = sim::AnalogMode::Fixed;
        } else if (opt == "--reply-delay-us") {
            cfg->reply_delay_us = Number(value, 0, 1000000, "0..1000000");
        } else if (opt == "--late-ms" || opt == "--slow-ms") {
            (opt == "--late-ms" ? cfg->late_ms : cfg->slow_ms) =
                Number(value, 0, 10000, "0..10000");
        } else if (opt == "--flap-ms") {
            Pair(10, 600000, "DOWN,UP each 10..600000", &cfg->flap_down_ms, &cfg->flap_up_ms);
        } else {
            ParseFault(cfg);
        }
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
    cfg.claim_ctty = true;
    ParseArgs(argc, argv, &cfg);

    // Signals are taken with sigwaitinfo(); blocked before the box's thread
    // starts, so that thread never runs a handler.
    sigset_t sigs;
    sigemptyset(&sigs);
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&sigs, sig);
    sigprocmask(SIG_BLOCK, &sigs, nullptr);
    // Only a session leader without a terminal can claim the pty. A shell with
    // job control starts us as a process group leader, which setsid() refuses:
    // then the pty stays free, as with --no-ctty.
    cfg.claim_ctty = cfg.claim_ctty && (getsid(0) == getpid() || setsid() >= 0);
    sim::Box *box = sim::Start(cfg);
    if (!box)
        return 2;
    dprintf(1, "ifbox-sim: serving %s at %s\n", sim::SlavePath(box).c_str(), cfg.link.c_str());
    siginfo_t si;
    // Our own pty hanging up (vanish, flapping) sends the kernel's SIGHUP to us
    // as its session leader: the box's business, not a request to quit.
    while (sigwaitinfo(&sigs, &si) < 0 || (si.si_signo == SIGHUP && si.si_code == SI_KERNEL)) {
    }
    sim::Stop(box);
    return 0;
}
