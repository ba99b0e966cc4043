// The box runs on one thread per instance. That thread alone touches the pty
// file descriptors; other threads change the model under the mutex and hand
// anything that needs the descriptors (vanish, reappear, inject) to the thread
// as a command, then wait until it has been carried out. That keeps a file
// descriptor from being closed under a poll() in progress and reused.
#include "sim/ifbox_sim.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace sim {

namespace {

// 10 bits (start, 8 data, stop) at 9600 baud.
constexpr int64_t kByteNs = 1000000000LL * 10 / 9600;
// Closing the master flushes whatever the tool has not read yet, so a box that
// vanishes waits this long after its last reply byte: the tool is normally
// already waiting for that byte and takes it well within this time.
constexpr int64_t kVanishGraceNs = 20 * 1000000LL;
// Lively model: a running motor toggles its pulse input this often.
constexpr int64_t kPulseNs = 100 * 1000000LL;
constexpr double kAnalogSwing = 200.0;
constexpr double kTwoPi = 6.283185307179586;

int64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

timespec ToTimespec(int64_t ns) {
    timespec ts;
    ts.tv_sec = time_t(ns / 1000000000LL);
    ts.tv_nsec = long(ns % 1000000000LL);
    return ts;
}

struct OutByte {
    int64_t due_ns;
    uint8_t byte;
};

enum class Cmd { Vanish, Reappear, Inject };

struct Command {
    Cmd cmd;
    std::vector<uint8_t> bytes;
    bool done = false;
};

} // namespace

struct Box {
    Config cfg; // model part guarded by mu; fixed fields read freely

    std::mutex mu;
    std::condition_variable cv; // commands done
    std::deque<Command *> commands;
    std::vector<Request> log;
    std::string slave_path;
    int log_fd = -1; // owned by the thread after Start

    // Model (under mu).
    uint8_t motors = 0;
    uint8_t input_byte = 0;
    uint8_t last_sent_inputs = 0;
    uint64_t flips[8] = {};
    int64_t model_t_ns = 0; // time the lively model was last advanced to
    int64_t run_ns[4] = {}; // lively: time each motor has been running
    int64_t drift_ns = 0;   // lively: analog phase, runs faster with motors on
    Fault fault = Fault::None;
    int fault_after = 0;
    int fault_for = 0;
    int64_t since_fault = 0; // requests since the fault was set
    std::mt19937 rng;

    std::atomic<size_t> request_count{0};
    std::atomic<uint8_t> last_motor{0};
    std::atomic<bool> stop{false};

    // Thread only.
    int master = -1;
    int slave = -1; // kept open so the tool may close and reopen the device
    int wake = -1;  // eventfd: commands and model changes
    std::deque<OutByte> out;
    std::vector<uint8_t> partial;
    int64_t partial_t_ns = 0;
    int64_t last_due_ns = 0;
    bool gone = false;
    bool gone_by_flap = false;
    int64_t flap_next_ns = 0;
    std::thread thread;
};

namespace {

void Wake(Box *b) {
    uint64_t one = 1;
    ssize_t r = write(b->wake, &one, sizeof one);
    (void)r; // a full counter still wakes the thread
}

// Points the link at the slave through a temporary name and rename(), so a
// tool opening the link never finds it missing or half made.
bool Relink(const std::string &link, const std::string &target) {
    if (link.empty())
        return true;
    std::string tmp = link + ".tmp" + std::to_string(getpid());
    unlink(tmp.c_str());
    if (symlink(target.c_str(), tmp.c_str()) != 0 || rename(tmp.c_str(), link.c_str()) != 0) {
        fprintf(stderr, "ifbox-sim: cannot link %s -> %s: %s\n", link.c_str(), target.c_str(),
                strerror(errno));
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

// Removes the link only while it still points at our slave: pty numbers are
// reused at once, and another box may own the name by now.
void Unlink(const std::string &link, const std::string &target) {
    if (link.empty())
        return;
    char buf[256];
    ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    if (n < 0)
        return;
    buf[n] = 0;
    if (target == buf)
        unlink(link.c_str());
}

void SetRaw(int fd) {
    termios t;
    if (tcgetattr(fd, &t) != 0)
        return;
    cfmakeraw(&t);
    // A pty starts with XON/XOFF on; reply bytes 0x11/0x13 would vanish.
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    tcsetattr(fd, TCSANOW, &t);
}

// Opens a fresh pty and points the link at it. Thread (or Start) only.
bool OpenPty(Box *b) {
    int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m < 0) {
        fprintf(stderr, "ifbox-sim: posix_openpt: %s\n", strerror(errno));
        return false;
    }
    char name[128];
    if (grantpt(m) != 0 || unlockpt(m) != 0 || ptsname_r(m, name, sizeof name) != 0) {
        fprintf(stderr, "ifbox-sim: pty setup: %s\n", strerror(errno));
        close(m);
        return false;
    }
    int s = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (s < 0) {
        fprintf(stderr, "ifbox-sim: open %s: %s\n", name, strerror(errno));
        close(m);
        return false;
    }
    SetRaw(m);
    SetRaw(s);
    // A tool that never reads must not stall the box: a full line drops bytes.
    fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK);
    if (b->cfg.claim_ctty && ioctl(s, TIOCSCTTY, 0) != 0)
        fprintf(stderr, "ifbox-sim: cannot make %s the controlling terminal: %s\n", name,
                strerror(errno));
    if (!Relink(b->cfg.link, name)) {
        close(s);
        close(m);
        return false;
    }
    b->master = m;
    b->slave = s;
    {
        std::lock_guard<std::mutex> lk(b->mu);
        b->slave_path = name;
    }
    b->gone = false;
    return true;
}

// Like an unplugged adapter: the tool's descriptor hangs up and the name is gone.
void GoAway(Box *b) {
    if (b->gone)
        return;
    std::string path;
    {
        std::lock_guard<std::mutex> lk(b->mu);
        path = b->slave_path;
    }
    Unlink(b->cfg.link, path);
    close(b->slave);
    close(b->master);
    b->slave = b->master = -1;
    b->out.clear();
    b->partial.clear();
    b->gone = true;
}

void ComeBack(Box *b) {
    if (!b->gone)
        return;
    b->gone_by_flap = false;
    OpenPty(b);
}

// Brings the lively model up to `now`. Under mu.
void Advance(Box *b, int64_t now) {
    int64_t dt = now - b->model_t_ns;
    if (dt <= 0)
        return;
    b->model_t_ns = now;
    int running = 0;
    for (int m = 0; m < 4; ++m) {
        if ((b->motors >> (2 * m)) & 3) {
            b->run_ns[m] += dt;
            ++running;
        }
    }
    b->drift_ns += dt * (1 + running);
}

// Under mu.
uint8_t CurrentInputs(Box *b, int64_t now) {
    if (b->cfg.input_mode != InputMode::Lively)
        return b->input_byte;
    Advance(b, now);
    uint8_t v = 0;
    for (int m = 0; m < 4; ++m) {
        if ((b->run_ns[m] / kPulseNs) & 1)
            v |= uint8_t(1u << m);
        if ((b->motors >> (2 * m)) & 2)
            v |= uint8_t(0x10u << m);
    }
    return v ^ b->input_byte;
}

// Under mu.
uint16_t CurrentAnalog(Box *b, int channel, int64_t now) {
    uint16_t base = channel == 0 ? b->cfg.analog_ex : b->cfg.analog_ey;
    if (b->cfg.analog_mode != AnalogMode::Lively)
        return base;
    Advance(b, now);
    double secs = double(b->drift_ns) / 1e9;
    double v = channel == 0 ? base + kAnalogSwing * std::sin(kTwoPi * secs / 8.0)
                            : base + kAnalogSwing * std::sin(kTwoPi * secs / 11.0 + 1.0);
    return uint16_t(std::clamp(std::lround(v), 0L, 1023L));
}

void Queue(Box *b, const std::vector<uint8_t> &bytes, int64_t start, int64_t late_last_ns) {
    int64_t step = b->cfg.pacing ? kByteNs : 0;
    // One line: a reply cannot start before the previous one has gone out.
    if (!b->out.empty() || b->last_due_ns > start)
        start = std::max(start, b->last_due_ns + step);
    for (size_t i = 0; i < bytes.size(); ++i) {
        int64_t due = start + int64_t(i) * step;
        if (i + 1 == bytes.size())
            due += late_last_ns;
        b->out.push_back({due, bytes[i]});
        b->last_due_ns = due;
    }
}

void WriteLog(Box *b, const Request &r) {
    if (b->log_fd < 0)
        return;
    char line[64];
    int n = snprintf(line, sizeof line, "%lld %02X %02X\n", (long long)r.t_ns, r.code, r.motor);
    ssize_t w = write(b->log_fd, line, size_t(n));
    (void)w;
}

// The reply to one request, faults applied. Under mu.
std::vector<uint8_t> Reply(Box *b, uint8_t code, int64_t t, Fault f) {
    std::vector<uint8_t> reply;
    if (code == 0xC1) {
        if (b->cfg.input_mode == InputMode::Flip)
            b->input_byte ^= b->cfg.flip_mask;
        reply.push_back(CurrentInputs(b, t));
    } else if (code == 0xC5 || code == 0xC9) {
        uint16_t v = CurrentAnalog(b, code == 0xC5 ? 0 : 1, t);
        reply = {b->cfg.analog_byte0, uint8_t(v >> 8), uint8_t(v & 0xFF)};
    } else {
        return reply;
    }
    switch (f) {
    case Fault::Garbage:
        for (auto &c : reply)
            c = uint8_t(b->rng());
        break;
    case Fault::ExtraByte:
        reply.push_back(0x5A);
        break;
    case Fault::MissingByte:
        reply.pop_back();
        break;
    case Fault::Short:
        reply.resize(1);
        break;
    default:
        break;
    }
    // Count what goes on the wire: that is what the tool can see.
    if (code == 0xC1 && !reply.empty()) {
        uint8_t changed = reply[0] ^ b->last_sent_inputs;
        for (int i = 0; i < 8; ++i)
            b->flips[i] += (changed >> i) & 1;
        b->last_sent_inputs = reply[0];
    }
    return reply;
}

void HandleRequest(Box *b, uint8_t code, uint8_t motor, int64_t t) {
    Request r{t, code, motor};
    std::vector<uint8_t> reply;
    int64_t start = t;
    int64_t late = 0;
    {
        std::lock_guard<std::mutex> lk(b->mu);
        b->log.push_back(r);
        Advance(b, t); // the old motor state ran until now
        b->motors = motor;
        b->last_motor.store(motor);
        b->request_count.fetch_add(1);

        bool faulty =
            b->fault != Fault::None && b->since_fault >= b->fault_after &&
            (b->fault_for <= 0 || b->since_fault < int64_t(b->fault_after) + b->fault_for);
        ++b->since_fault;
        Fault f = faulty ? b->fault : Fault::None;
        // A box about to vanish answers nothing more, like a silent one.
        if (f != Fault::Silent && f != Fault::Vanish)
            reply = Reply(b, code, t, f);
        start += int64_t(b->cfg.reply_delay_us) * 1000;
        if (f == Fault::Slow)
            start += int64_t(b->cfg.slow_ms) * 1000000LL;
        if (f == Fault::LateByte)
            late = int64_t(b->cfg.late_ms) * 1000000LL;
    }
    Queue(b, reply, start, late);
    WriteLog(b, r);
}

void ReadRequests(Box *b) {
    uint8_t buf[512];
    for (;;) {
        ssize_t n = read(b->master, buf, sizeof buf);
        if (n <= 0)
            return;
        int64_t t = NowNs();
        for (ssize_t i = 0; i < n; ++i) {
            b->partial.push_back(buf[i]);
            if (b->partial.size() == 2) {
                HandleRequest(b, b->partial[0], b->partial[1], t);
                b->partial.clear();
            }
        }
    }
}

void WriteDue(Box *b, int64_t now) {
    uint8_t buf[64];
    size_t n = 0;
    while (!b->out.empty() && b->out.front().due_ns <= now && n < sizeof buf) {
        buf[n++] = b->out.front().byte;
        b->out.pop_front();
    }
    if (n > 0 && b->master >= 0) {
        ssize_t w = write(b->master, buf, n);
        (void)w; // a tool that stopped reading loses bytes, as on a real line
    }
}

void RunCommands(Box *b) {
    std::unique_lock<std::mutex> lk(b->mu);
    while (!b->commands.empty()) {
        Command *c = b->commands.front();
        b->commands.pop_front();
        lk.unlock();
        switch (c->cmd) {
        case Cmd::Vanish:
            GoAway(b);
            break;
        case Cmd::Reappear:
            ComeBack(b);
            break;
        case Cmd::Inject:
            if (b->master >= 0 && !c->bytes.empty()) {
                ssize_t w = write(b->master, c->bytes.data(), c->bytes.size());
                (void)w;
            }
            break;
        }
        lk.lock();
        c->done = true;
    }
    b->cv.notify_all();
}

// Fault transitions that happen on their own. Returns the next deadline they need.
int64_t RunFaults(Box *b, int64_t now) {
    Fault f;
    bool armed;
    {
        std::lock_guard<std::mutex> lk(b->mu);
        f = b->fault;
        armed = b->since_fault >= b->fault_after;
    }
    if (f == Fault::Vanish && armed && !b->gone) {
        int64_t at = b->last_due_ns + kVanishGraceNs;
        if (!b->out.empty() || now < at)
            return b->out.empty() ? at : INT64_MAX;
        GoAway(b);
        return INT64_MAX;
    }
    if (f != Fault::Flapping) {
        if (b->gone_by_flap)
            ComeBack(b);
        b->flap_next_ns = 0;
        return INT64_MAX;
    }
    if (!armed)
        return INT64_MAX;
    if (b->flap_next_ns == 0)
        b->flap_next_ns = now;
    if (now >= b->flap_next_ns) {
        if (b->gone) {
            ComeBack(b);
            b->flap_next_ns = now + int64_t(b->cfg.flap_up_ms) * 1000000LL;
        } else {
            GoAway(b);
            b->gone_by_flap = true;
            b->flap_next_ns = now + int64_t(b->cfg.flap_down_ms) * 1000000LL;
        }
    }
    return b->flap_next_ns;
}

void Run(Box *b) {
    while (!b->stop.load()) {
        RunCommands(b);
        int64_t now = NowNs();
        WriteDue(b, now);
        int64_t next = RunFaults(b, now);
        if (!b->out.empty())
            next = std::min(next, b->out.front().due_ns);

        pollfd fds[2] = {{b->wake, POLLIN, 0}, {b->master, POLLIN, 0}};
        nfds_t nfds = b->master >= 0 ? 2 : 1;
        now = NowNs();
        int r;
        if (next == INT64_MAX) {
            r = ppoll(fds, nfds, nullptr, nullptr);
        } else {
            timespec ts = ToTimespec(std::max<int64_t>(0, next - now));
            r = ppoll(fds, nfds, &ts, nullptr);
        }
        if (r == 0 && !b->out.empty()) {
            // ppoll's relative time-out never returns early, but finish on the
            // absolute deadline so byte spacing does not accumulate error.
            timespec due = ToTimespec(b->out.front().due_ns);
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
            }
        }
        if (r > 0 && (fds[0].revents & POLLIN)) {
            uint64_t v;
            ssize_t n = read(b->wake, &v, sizeof v);
            (void)n;
        }
        if (r > 0 && nfds == 2 && (fds[1].revents & POLLIN))
            ReadRequests(b);
    }
}

void Post(Box *b, Command *c) {
    std::unique_lock<std::mutex> lk(b->mu);
    b->commands.push_back(c);
    Wake(b);
    b->cv.wait(lk, [c] { return c->done; });
}

} // namespace

Box *Start(const Config &cfg) {
    Box *b = new Box;
    b->cfg = cfg;
    b->input_byte = cfg.input_byte;
    b->last_sent_inputs = cfg.input_byte;
    b->fault = cfg.fault;
    b->fault_after = cfg.fault_after;
    b->fault_for = cfg.fault_for;
    b->rng.seed(cfg.seed);
    b->model_t_ns = NowNs();
    b->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (!cfg.log_path.empty()) {
        b->log_fd = open(cfg.log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (b->log_fd < 0)
            fprintf(stderr, "ifbox-sim: cannot write %s: %s\n", cfg.log_path.c_str(),
                    strerror(errno));
    }
    if (b->wake < 0 || (b->log_fd < 0 && !cfg.log_path.empty()) || !OpenPty(b)) {
        if (b->wake >= 0)
            close(b->wake);
        if (b->log_fd >= 0)
            close(b->log_fd);
        delete b;
        return nullptr;
    }
    b->thread = std::thread(Run, b);
    return b;
}

void Stop(Box *box) {
    if (!box)
        return;
    box->stop.store(true);
    Wake(box);
    box->thread.join();
    GoAway(box);
    close(box->wake);
    if (box->log_fd >= 0)
        close(box->log_fd);
    delete box;
}

std::string SlavePath(Box *box) {
    std::lock_guard<std::mutex> lk(box->mu);
    return box->slave_path;
}

std::vector<Request> Log(Box *box) {
    std::lock_guard<std::mutex> lk(box->mu);
    return box->log;
}

void ClearLog(Box *box) {
    std::lock_guard<std::mutex> lk(box->mu);
    box->log.clear();
}

size_t RequestCount(Box *box) {
    return box->request_count.load();
}

uint8_t Motors(Box *box) {
    return box->last_motor.load();
}

uint8_t Inputs(Box *box) {
    std::lock_guard<std::mutex> lk(box->mu);
    return CurrentInputs(box, NowNs());
}

std::vector<uint64_t> InputFlips(Box *box) {
    std::lock_guard<std::mutex> lk(box->mu);
    return std::vector<uint64_t>(box->flips, box->flips + 8);
}

void SetInputs(Box *box, uint8_t byte) {
    std::lock_guard<std::mutex> lk(box->mu);
    box->input_byte = byte;
}

void SetFlipMask(Box *box, uint8_t mask) {
    std::lock_guard<std::mutex> lk(box->mu);
    box->cfg.flip_mask = mask;
}

void SetAnalog(Box *box, uint16_t ex, uint16_t ey) {
    std::lock_guard<std::mutex> lk(box->mu);
    box->cfg.analog_ex = ex;
    box->cfg.analog_ey = ey;
}

void SetReplyDelay(Box *box, int us) {
    std::lock_guard<std::mutex> lk(box->mu);
    box->cfg.reply_delay_us = us;
}

void SetFault(Box *box, Fault fault, int after, int count) {
    {
        std::lock_guard<std::mutex> lk(box->mu);
        box->fault = fault;
        box->fault_after = after;
        box->fault_for = count;
        box->since_fault = 0;
    }
    Wake(box);
}

void Vanish(Box *box) {
    Command c{Cmd::Vanish, {}};
    Post(box, &c);
}

void Reappear(Box *box) {
    {
        // Coming back from a vanish fault must not vanish again at once.
        std::lock_guard<std::mutex> lk(box->mu);
        if (box->fault == Fault::Vanish)
            box->fault = Fault::None;
    }
    Command c{Cmd::Reappear, {}};
    Post(box, &c);
}

void Inject(Box *box, const std::vector<uint8_t> &bytes) {
    Command c{Cmd::Inject, bytes};
    Post(box, &c);
}

bool ParseFault(const std::string &name, Fault *out) {
    static const struct {
        const char *name;
        Fault fault;
    } names[] = {
        {"none", Fault::None},           {"silent", Fault::Silent},
        {"vanish", Fault::Vanish},       {"garbage", Fault::Garbage},
        {"extra", Fault::ExtraByte},     {"extra-byte", Fault::ExtraByte},
        {"missing", Fault::MissingByte}, {"missing-byte", Fault::MissingByte},
        {"late", Fault::LateByte},       {"late-byte", Fault::LateByte},
        {"slow", Fault::Slow},           {"short", Fault::Short},
        {"flapping", Fault::Flapping},   {"flap", Fault::Flapping},
    };
    for (const auto &n : names) {
        if (name == n.name) {
            *out = n.fault;
            return true;
        }
    }
    return false;
}

bool ParseFaultSetting(const std::string &text, Fault *out, int *after, int *count) {
    size_t colon = text.find(':');
    if (!ParseFault(text.substr(0, colon), out))
        return false;
    long numbers[2] = {0, 0};
    for (int i = 0; i < 2 && colon != std::string::npos; ++i) {
        const size_t start = colon + 1;
        colon = text.find(':', start);
        const std::string part =
            text.substr(start, colon == std::string::npos ? colon : colon - start);
        char *end = nullptr;
        errno = 0;
        numbers[i] = strtol(part.c_str(), &end, 0);
        if (part.empty() || errno != 0 || *end != '\0' || numbers[i] < 0 || numbers[i] > 1000000000)
            return false;
    }
    if (colon != std::string::npos)
        return false;
    *after = int(numbers[0]);
    *count = int(numbers[1]);
    return true;
}

} // namespace sim
