// The sim:: calls of the box tests, for Windows test programs under Wine.
//
// The box cannot live in a Windows process: it is the native ifbox-sim command,
// started by run-under-wine with --control and --log, whose pseudo-terminal is
// the prefix's COM2. These functions drive it through its control FIFO (one
// command line in, one "ok <t_ns>" line back, so a command has taken effect
// when it returns) and read its request log. Both paths come from the Unix
// environment, which Wine passes on, and are opened through drive Z:.
#include "tests/windows/remote_box.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>

namespace sim {
struct Box {
    int unused;
};
} // namespace sim

namespace {

sim::Box TheBox;
std::mutex Lock;
HANDLE Commands = INVALID_HANDLE_VALUE;
HANDLE Replies = INVALID_HANDLE_VALUE;
// Lines of the log before the last ClearLog (the box truncates it when it starts).
size_t LogStart = 0;
// The box's clock minus ours: its log stamps CLOCK_MONOTONIC of Linux, and
// Wine's monotonic clock counts from elsewhere.
int64_t ClockOffsetNs = 0;

[[noreturn]] void Fail(const std::string &what) {
    fprintf(stderr, "remote box: %s\n", what.c_str());
    fflush(stderr);
    abort();
}

std::string Env(const char *name) {
    const char *v = getenv(name);
    if (v == nullptr || *v == 0)
        Fail(std::string(name) + " is not set (run the tests through run-under-wine)");
    return v;
}

int64_t LocalNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

HANDLE OpenFifo(const std::string &unixPath, DWORD access) {
    HANDLE h = CreateFileA(remote_box::WindowsPath(unixPath).c_str(), access,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        Fail("cannot open " + unixPath + ": error " + std::to_string(GetLastError()));
    return h;
}

// Sends one command and returns the box's clock when it answered. Caller holds Lock.
int64_t Send(const std::string &command) {
    if (Commands == INVALID_HANDLE_VALUE) {
        const std::string path = Env("IFDIAG_SIM_CONTROL");
        Commands = OpenFifo(path, GENERIC_WRITE);
        Replies = OpenFifo(path + ".reply", GENERIC_READ);
    }
    const std::string line = command + "\n";
    DWORD n = 0;
    if (!WriteFile(Commands, line.data(), static_cast<DWORD>(line.size()), &n, nullptr) ||
        n != line.size())
        Fail("cannot send: " + command);
    std::string reply;
    char c;
    while (ReadFile(Replies, &c, 1, &n, nullptr) && n == 1 && c != '\n')
        reply += c;
    long long now = 0;
    if (sscanf(reply.c_str(), "ok %lld", &now) != 1)
        Fail(command + ": " + reply);
    return now;
}

// Our estimate: the box read its clock halfway through the quickest of a few round trips.
void MeasureClockOffset() {
    int64_t best = INT64_MAX;
    for (int i = 0; i < 8; ++i) {
        const int64_t before = LocalNs();
        const int64_t theirs = Send("now");
        const int64_t after = LocalNs();
        if (after - before < best) {
            best = after - before;
            ClockOffsetNs = theirs - (before + after) / 2;
        }
    }
}

std::string Hex(unsigned v) {
    char buf[8];
    snprintf(buf, sizeof buf, "0x%02X", v);
    return buf;
}

const char *FaultName(sim::Fault f) {
    switch (f) {
    case sim::Fault::None:
        return "none";
    case sim::Fault::Silent:
        return "silent";
    case sim::Fault::Vanish:
        return "vanish";
    case sim::Fault::Garbage:
        return "garbage";
    case sim::Fault::ExtraByte:
        return "extra";
    case sim::Fault::MissingByte:
        return "missing";
    case sim::Fault::LateByte:
        return "late";
    case sim::Fault::Slow:
        return "slow";
    case sim::Fault::Short:
        return "short";
    case sim::Fault::Flapping:
        return "flapping";
    }
    return "none";
}

// The command line that gives the box this configuration (link and log stay the command's).
std::string Options(const sim::Config &cfg) {
    std::ostringstream o;
    if (!cfg.pacing)
        o << " --no-pacing";
    o << " --reply-delay-us " << cfg.reply_delay_us;
    switch (cfg.input_mode) {
    case sim::InputMode::Fixed:
        o << " --inputs fixed:" << Hex(cfg.input_byte);
        break;
    case sim::InputMode::Flip:
        if (cfg.input_byte != 0)
            Fail("flip inputs start from 0x00 on the command line");
        o << " --inputs flip:" << Hex(cfg.flip_mask);
        break;
    case sim::InputMode::Lively:
        o << " --inputs lively";
        break;
    }
    if (cfg.analog_mode == sim::AnalogMode::Lively)
        o << " --analog lively";
    else
        o << " --analog " << cfg.analog_ex << "," << cfg.analog_ey;
    o << " --analog-byte0 " << unsigned(cfg.analog_byte0);
    o << " --fault " << FaultName(cfg.fault) << ":" << cfg.fault_after << ":" << cfg.fault_for;
    o << " --late-ms " << cfg.late_ms << " --slow-ms " << cfg.slow_ms;
    o << " --flap-ms " << cfg.flap_down_ms << "," << cfg.flap_up_ms;
    o << " --seed " << cfg.seed;
    return o.str();
}

} // namespace

namespace remote_box {

std::string WindowsPath(const std::string &unixPath) {
    if (unixPath.empty() || unixPath[0] != '/')
        return unixPath;
    std::string p = "Z:" + unixPath;
    for (char &c : p)
        if (c == '/')
            c = '\\';
    return p;
}

void Stop() {
    std::lock_guard<std::mutex> hold(Lock);
    Send("stop");
}

} // namespace remote_box

namespace sim {

Box *Start(const Config &cfg) {
    std::lock_guard<std::mutex> hold(Lock);
    Send("start" + Options(cfg));
    LogStart = 0;
    MeasureClockOffset();
    return &TheBox;
}

void Stop(Box *) {
    remote_box::Stop();
}

std::vector<Request> Log(Box *) {
    std::vector<Request> all;
    {
        std::ifstream in(remote_box::WindowsPath(Env("IFDIAG_SIM_LOG")), std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // The box writes a line per request as it comes; a line still being written is left
        // for the next look.
        size_t at = 0;
        for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
            long long t = 0;
            unsigned code = 0, motor = 0;
            if (sscanf(text.c_str() + at, "%lld %x %x", &t, &code, &motor) != 3)
                Fail("bad log line: " + text.substr(at, nl - at));
            all.push_back({t, static_cast<uint8_t>(code), static_cast<uint8_t>(motor)});
        }
    }
    std::lock_guard<std::mutex> hold(Lock);
    std::vector<Request> log;
    for (size_t i = LogStart; i < all.size(); ++i) {
        Request r = all[i];
        r.t_ns -= ClockOffsetNs;
        log.push_back(r);
    }
    return log;
}

void ClearLog(Box *box) {
    const size_t seen = Log(box).size();
    std::lock_guard<std::mutex> hold(Lock);
    LogStart += seen;
}

size_t RequestCount(Box *box) {
    return Log(box).size();
}

uint8_t Motors(Box *box) {
    auto log = Log(box);
    return log.empty() ? 0 : log.back().motor;
}

void SetInputs(Box *, uint8_t byte) {
    std::lock_guard<std::mutex> hold(Lock);
    Send("inputs " + Hex(byte));
}

void SetFlipMask(Box *, uint8_t mask) {
    std::lock_guard<std::mutex> hold(Lock);
    Send("flip " + Hex(mask));
}

void SetAnalog(Box *, uint16_t ex, uint16_t ey) {
    std::lock_guard<std::mutex> hold(Lock);
    Send("analog " + std::to_string(ex) + " " + std::to_string(ey));
}

void SetReplyDelay(Box *, int us) {
    std::lock_guard<std::mutex> hold(Lock);
    Send("delay " + std::to_string(us));
}

void SetFault(Box *, Fault fault, int after, int count) {
    std::lock_guard<std::mutex> hold(Lock);
    Send(std::string("fault ") + FaultName(fault) + ":" + std::to_string(after) + ":" +
         std::to_string(count));
}

void Vanish(Box *) {
    std::lock_guard<std::mutex> hold(Lock);
    Send("vanish");
}

void Reappear(Box *) {
    std::lock_guard<std::mutex> hold(Lock);
    Send("reappear");
}

void Inject(Box *, const std::vector<uint8_t> &bytes) {
    std::string command = "inject";
    for (uint8_t b : bytes)
        command += " " + Hex(b);
    std::lock_guard<std::mutex> hold(Lock);
    Send(command);
}

} // namespace sim
