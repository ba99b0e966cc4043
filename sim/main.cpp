// ifbox-sim: the simulated box as a command, for the demo and the scripts.
#include "sim/ifbox_sim.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include <getopt.h>
#include <signal.h>
#include <unistd.h>

namespace {

using sim::Fault;
// --fault's names, also listed by --help.
const struct {
    const char *name;
    Fault fault;
} FAULTS[] = {{"none", Fault::None},       {"silent", Fault::Silent},
              {"vanish", Fault::Vanish},   {"garbage", Fault::Garbage},
              {"extra", Fault::ExtraByte}, {"missing", Fault::MissingByte},
              {"late", Fault::LateByte},   {"slow", Fault::Slow},
              {"short", Fault::Short},     {"flapping", Fault::Flapping}};

const char HELP[] =
    "usage: ifbox-sim [OPTION]...\n"
    "Serves the interface box's protocol on a pseudo-terminal until SIGTERM, SIGINT\n"
    "or SIGHUP (ifbox-sim(1) tells more). Values: --opt VALUE or --opt=VALUE.\n"
    "  --link PATH        symlink to the pty (default /tmp/ifbox-sim); replaces only\n"
    "                     a stale link that no live ifbox-sim serves\n"
    "  --inputs MODE      fixed:0xNN, flip:0xMASK (toggled at each reply) or lively\n"
    "                     (default: running motors pulse E1..E4)\n"
    "  --analog EX,EY     fixed values (0..65535) or lively (default)\n"
    "  --reply-delay-us N before the first reply byte (0..1000000, default 0)\n"
    "  --no-pacing        reply at once, not at 9600-baud byte times\n"
    "  --fault NAME[:AFTER[:FOR]]  after AFTER good replies spoil FOR (0: all)\n"
    "    as NAME:%s\n"
    "  --late-ms N        how late the last byte comes with late (0..10000, 150)\n"
    "  --slow-ms N        the wait before each reply with slow (0..10000, 50)\n"
    "  --flap-ms DOWN,UP  ms gone, ms back with flapping (10..600000 each, 500,500)\n"
    "  --log FILE         a line per request: <t_ns> <code> <motor> (monotonic, hex)\n"
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

sim::Config ParseArgs(int argc, char **argv) {
    sim::Config cfg;
    cfg.link = "/tmp/ifbox-sim";
    cfg.input_mode = sim::InputMode::Lively;
    cfg.analog_mode = sim::AnalogMode::Lively;
    // Centres for the lively drift, so its full swing stays inside 0..1023.
    cfg.analog_ex = 384;
    cfg.analog_ey = 640;
    cfg.claim_ctty = true;
    static const option options[] = {
        // has_arg 1: takes a value
        {"link", 1, nullptr, 'l'},           {"log", 1, nullptr, 'o'},
        {"inputs", 1, nullptr, 'i'},         {"analog", 1, nullptr, 'a'},
        {"fault", 1, nullptr, 'f'},          {"late-ms", 1, nullptr, 'L'},
        {"slow-ms", 1, nullptr, 'S'},        {"flap-ms", 1, nullptr, 'F'},
        {"reply-delay-us", 1, nullptr, 'd'}, {"no-pacing", 0, nullptr, 'P'},
        {"no-ctty", 0, nullptr, 'C'},        {"help", 0, nullptr, 'h'},
        {"version", 0, nullptr, 'V'},        {}};
    opterr = 0; // a usage error is one line of ours
    for (int c, at = 0; (c = getopt_long(argc, argv, ":h", options, &at)) != -1;) {
        const std::string arg = argv[optind - 1];
        opt = c == '?' || c == ':' ? arg.substr(0, arg.find('='))
                                   : std::string("--") + options[at].name;
        value = optarg ? optarg : "";
        if (c == '?')
            Usage(opt == arg ? "unknown option " + opt : opt + " takes no value");
        if (c == ':')
            Usage(opt + " needs a value");
        if (c == 'h' || c == 'V') {
            std::string names;
            for (const auto &f : FAULTS)
                names += std::string(" ") + f.name;
            printf(c == 'h' ? HELP : "ifbox-sim " IFBOX_SIM_VERSION "\n", names.c_str());
            exit(0);
        } else if (c == 'P' || c == 'C') {
            (c == 'P' ? cfg.pacing : cfg.claim_ctty) = false;
        } else if ((c == 'l' || c == 'o') && value.empty()) {
            Bad("a path");
        } else if (c == 'l' || c == 'o') {
            (c == 'l' ? cfg.link : cfg.log_path) = value;
        } else if (c == 'i') {
            const char *want = "fixed:0xNN, flip:0xMASK or lively";
            bool fixed = value.rfind("fixed:", 0) == 0, flip = value.rfind("flip:", 0) == 0;
            if (!fixed && !flip && value != "lively")
                Bad(want);
            cfg.input_mode = fixed  ? sim::InputMode::Fixed
                             : flip ? sim::InputMode::Flip
                                    : sim::InputMode::Lively;
            cfg.input_byte = fixed ? uint8_t(Number(value.substr(6), 0, 255, want)) : 0;
            cfg.flip_mask = flip ? uint8_t(Number(value.substr(5), 0, 255, want)) : 0;
        } else if (c == 'a' && value == "lively") {
            cfg.analog_mode = sim::AnalogMode::Lively;
        } else if (c == 'a') {
            Pair(0, 65535, "EX,EY each 0..65535, or lively", &cfg.analog_ex, &cfg.analog_ey);
            cfg.analog_mode = sim::AnalogMode::Fixed;
        } else if (c == 'd') {
            cfg.reply_delay_us = Number(value, 0, 1000000, "0..1000000");
        } else if (c == 'L' || c == 'S') {
            (c == 'L' ? cfg.late_ms : cfg.slow_ms) = Number(value, 0, 10000, "0..10000");
        } else if (c == 'F') {
            Pair(10, 600000, "DOWN,UP each 10..600000", &cfg.flap_down_ms, &cfg.flap_up_ms);
        } else { // NAME[:AFTER[:FOR]]
            const char *want = "NAME[:AFTER[:FOR]], see --help";
            std::istringstream parts(value);
            std::string name, after = "0", count = "0";
            std::getline(std::getline(std::getline(parts, name, ':'), after, ':'), count);
            auto f = std::find_if(std::begin(FAULTS), std::end(FAULTS),
                                  [&](const auto &f) { return name == f.name; });
            if (f == std::end(FAULTS))
                Bad(want);
            cfg.fault = f->fault;
            cfg.fault_after = Number(after, 0, 1000000000, want);
            cfg.fault_for = Number(count, 0, 1000000000, want);
        }
    }
    if (optind < argc)
        Usage(std::string("unknown option ") + argv[optind]);
    return cfg;
}

} // namespace

int main(int argc, char **argv) {
    sim::Config cfg = ParseArgs(argc, argv);
    // Signals are taken with sigwaitinfo(); blocked before the box's thread starts, so that thread
    // never runs a handler.
    sigset_t sigs;
    sigemptyset(&sigs);
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&sigs, sig);
    sigprocmask(SIG_BLOCK, &sigs, nullptr);
    // Only a session leader without a terminal can claim the pty; a shell with job control starts
    // us as a process group leader, which setsid() refuses: the pty then stays free (--no-ctty).
    cfg.claim_ctty = cfg.claim_ctty && (getsid(0) == getpid() || setsid() >= 0);
    sim::Box *box = sim::Start(cfg);
    if (!box)
        return 2;
    dprintf(1, "ifbox-sim: serving %s at %s\n", sim::SlavePath(box).c_str(), cfg.link.c_str());
    siginfo_t si;
    // Our own pty hanging up (vanish, flapping) sends the kernel's SIGHUP to us as its session
    // leader: the box's business, not a request to quit.
    while (sigwaitinfo(&sigs, &si) < 0 || (si.si_signo == SIGHUP && si.si_code == SI_KERNEL)) {
    }
    sim::Stop(box);
    return 0;
}
