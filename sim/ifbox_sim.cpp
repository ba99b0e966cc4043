// The box's thread alone touches the pty descriptors; other threads change the
// model under the mutex and hand what needs the descriptors (vanish, reappear,
// inject) to the thread, then wait until it is done. That keeps a descriptor
// from being closed under a poll() in progress and reused.
#include "sim/ifbox_sim.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <random>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace sim {

struct Box {
    std::mutex mu;
    std::condition_variable cv; // op done
    // Under mu: the model (of cfg, the input byte, flip mask, analog values and
    // fault change while running; the rest is fixed) and the op for the thread.
    Config cfg;
    std::vector<Request> log;
    std::string slave_path; // written by the thread only
    uint8_t motors = 0, last_sent_inputs = 0;
    uint64_t flips[8] = {};
    int64_t model_ns = 0;    // time the lively model was last brought up to
    int64_t run_ns[4] = {};  // lively: time each motor has been running
    int64_t since_fault = 0; // requests since the fault was set
    std::mt19937 rng;
    std::function<void()> op;
    bool stop = false;
    // The thread's own (Start's before the thread runs).
    int master = -1, slave = -1; // the slave kept open so the tool may reopen it
    int wake = -1;               // eventfd: ops and model changes
    int lock = -1, log_fd = -1;  // lock: see ClaimLink
    int first = -1;              // first byte of a request whose second has not come yet
    bool gone = false, gone_by_flap = false;
    int64_t flap_next_ns = 0, last_due_ns = 0;
    std::deque<std::pair<int64_t, uint8_t>> out; // reply bytes and when they are due
    std::thread thread;
};

namespace {

// 10 bits (start, 8 data, stop) at 9600 baud.
constexpr int64_t BYTE_NS = 1000000000LL * 10 / 9600;
constexpr int64_t MS_NS = 1000000;
// Closing the master flushes what the tool has not read yet, so a box that
// vanishes waits this long after its last reply byte for the tool to take it.
constexpr int64_t VANISH_GRACE_NS = 20 * MS_NS;
// Lively model: a running motor toggles its pulse input this often.
constexpr int64_t PULSE_NS = 100 * MS_NS;

int64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// One line on stderr, with errno's text if `why`; returns false for the caller's convenience.
bool Fail(const std::string &what, bool why = true) {
    fprintf(stderr, "ifbox-sim: %s%s%s\n", what.c_str(), why ? ": " : "",
            why ? strerror(errno) : "");
    return false;
}

void Wake(Box *b) {
    uint64_t one = 1;
    ssize_t r = write(b->wake, &one, sizeof one);
    (void)r; // a full counter wakes the thread as well
}

// One live box per link: each binds an abstract socket named after the link's absolute
// path. The kernel frees the name however its holder ends; no file is left behind.
bool ClaimLink(Box *b) {
    std::string path = std::filesystem::absolute(b->cfg.link).lexically_normal();
    sockaddr_un addr{AF_UNIX, {}};
    int n = snprintf(addr.sun_path + 1, sizeof addr.sun_path - 1, "ifbox-sim-%zx",
                     std::hash<std::string>()(path));
    b->lock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return b->lock >= 0 && bind(b->lock, (sockaddr *)&addr, sizeof(sa_family_t) + 1 + n) == 0;
}

// Only a link that a killed box left behind may be replaced: one pointing at a
// pty slave that is gone with its master. Anything else belongs to someone else.
bool TakeLink(Box *b) {
    const std::string &link = b->cfg.link;
    if (!ClaimLink(b))
        return errno == EADDRINUSE ? Fail(link + " is served by another ifbox-sim", false)
                                   : Fail("cannot claim " + link);
    char target[64] = {};
    struct stat st;
    if (lstat(link.c_str(), &st) != 0)
        return errno == ENOENT || Fail("cannot use " + link);
    bool stale = readlink(link.c_str(), target, sizeof target - 1) > 9 &&
                 strncmp(target, "/dev/pts/", 9) == 0 &&
                 strspn(target + 9, "0123456789") == strlen(target + 9) &&
                 lstat(target, &st) != 0 && errno == ENOENT;
    if (!stale)
        return Fail(link + " exists and is not a link left by ifbox-sim; not replacing it", false);
    unlink(link.c_str());
    return true;
}

// Opens a fresh pty and links it. symlink() never replaces anything: whatever
// took the path while the box was gone stays, and the box stays gone.
bool OpenPty(Box *b) {
    char name[64];
    int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0 || ptsname_r(m, name, sizeof name) != 0) {
        if (m >= 0)
            close(m);
        return Fail("cannot open a pseudo-terminal");
    }
    int s = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (s < 0 || (!b->cfg.link.empty() && symlink(name, b->cfg.link.c_str()) != 0)) {
        Fail("cannot link " + b->cfg.link + " to " + name);
        if (s >= 0)
            close(s);
        close(m);
        return false;
    }
    termios t; // the master starts raw, the slave cooked
    tcgetattr(s, &t);
    cfmakeraw(&t);
    t.c_iflag &= ~(IXOFF | IXANY); // no flow control: 0x11 and 0x13 are data
    tcsetattr(s, TCSANOW, &t);
    // A tool that never reads must not stall the box: a full line drops bytes.
    fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK);
    if (b->cfg.claim_ctty)
        ioctl(s, TIOCSCTTY, 0);
    b->master = m;
    b->slave = s;
    b->gone = false;
    std::lock_guard<std::mutex> lk(b->mu);
    b->slave_path = name;
    return true;
}

// Like an unplugged adapter: the tool's descriptor hangs up and the name is gone (the
// link only while it still points at our slave: someone may have put another there).
void GoAway(Box *b) {
    if (b->gone)
        return;
    char target[64];
    ssize_t n = b->cfg.link.empty() ? -1 : readlink(b->cfg.link.c_str(), target, sizeof target);
    if (n > 0 && b->slave_path == std::string(target, size_t(n)))
        unlink(b->cfg.link.c_str());
    close(b->slave);
    close(b->master);
    b->slave = b->master = -1;
    b->out.clear();
    b->first = -1;
    b->gone = true;
}

// Under mu. Lively: a running motor's pulse input toggles every PULSE_NS of its
// running time and holds while it stops; E5..E8 show the motors turning right.
uint8_t CurrentInputs(Box *b, int64_t now) {
    if (b->cfg.input_mode != InputMode::Lively)
        return b->cfg.input_byte;
    uint8_t v = 0;
    for (int m = 0; m < 4; ++m) {
        if ((b->motors >> (2 * m)) & 3)
            b->run_ns[m] += std::max<int64_t>(0, now - b->model_ns);
        if ((b->run_ns[m] / PULSE_NS) & 1)
            v |= uint8_t(1u << m);
        if ((b->motors >> (2 * m)) & 2)
            v |= uint8_t(0x10u << m);
    }
    b->model_ns = std::max(b->model_ns, now);
    return v ^ b->cfg.input_byte;
}

// Under mu. Lively: a swing of 200 around the configured values, EX with a
// period of 8 s, EY of 11 s.
uint16_t CurrentAnalog(Box *b, bool ey, int64_t now) {
    uint16_t base = ey ? b->cfg.analog_ey : b->cfg.analog_ex;
    if (b->cfg.analog_mode != AnalogMode::Lively)
        return base;
    double turns = double(now) / 1e9 / (ey ? 11.0 : 8.0);
    long v = std::lround(base + 200.0 * std::sin(6.283185307179586 * turns + (ey ? 1.0 : 0.0)));
    return uint16_t(std::clamp(v, 0L, 1023L));
}

// The reply to one request, the fault applied. Under mu.
std::vector<uint8_t> Reply(Box *b, uint8_t code, int64_t t, Fault f) {
    std::vector<uint8_t> reply;
    if (code == 0xC1) {
        if (b->cfg.input_mode == InputMode::Flip)
            b->cfg.input_byte ^= b->cfg.flip_mask;
        reply.push_back(b->cfg.input_mode == InputMode::Echo ? b->motors : CurrentInputs(b, t));
    } else if (code == 0xC5 || code == 0xC9) {
        const unsigned m = b->motors, echo = code == 0xC5 ? m << 8 | (m ^ 255) : (m ^ 255) << 8 | m;
        uint16_t v =
            b->cfg.input_mode == InputMode::Echo ? echo : CurrentAnalog(b, code == 0xC9, t);
        reply = {b->cfg.analog_byte0, uint8_t(v >> 8), uint8_t(v & 0xFF)};
    } else {
        return reply;
    }
    if (f == Fault::Garbage)
        for (auto &c : reply)
            c = uint8_t(b->rng());
    if (f == Fault::ExtraByte)
        reply.push_back(0x5A);
    if (f == Fault::MissingByte)
        reply.pop_back();
    if (f == Fault::Short)
        reply.resize(1);
    // Count what goes on the wire: that is what the tool can see.
    if (code == 0xC1 && !reply.empty()) {
        for (int i = 0; i < 8; ++i)
            b->flips[i] += ((reply[0] ^ b->last_sent_inputs) >> i) & 1;
        b->last_sent_inputs = reply[0];
    }
    return reply;
}

void HandleRequest(Box *b, uint8_t code, uint8_t motor, int64_t t) {
    std::vector<uint8_t> reply;
    int64_t start = t, late = 0;
    {
        std::lock_guard<std::mutex> lk(b->mu);
        const Config &c = b->cfg;
        b->log.push_back({t, code, motor});
        CurrentInputs(b, t); // the old motor state ran until now
        b->motors = motor;
        bool spoilt = b->since_fault >= c.fault_after &&
                      (c.fault_for <= 0 || b->since_fault < int64_t(c.fault_after) + c.fault_for);
        ++b->since_fault;
        Fault f = spoilt ? c.fault : Fault::None;
        // A box about to vanish answers nothing more, like a silent one.
        if (f != Fault::Silent && f != Fault::Vanish)
            reply = Reply(b, code, t, f);
        start += int64_t(c.reply_delay_us) * 1000 + (f == Fault::Slow ? c.slow_ms * MS_NS : 0);
        late = f == Fault::LateByte ? c.late_ms * MS_NS : 0;
    }
    // One line: a reply cannot start before the previous one has gone out.
    int64_t step = b->cfg.pacing ? BYTE_NS : 0;
    if (!b->out.empty() || b->last_due_ns > start)
        start = std::max(start, b->last_due_ns + step);
    for (size_t i = 0; i < reply.size(); ++i) {
        b->last_due_ns = start + int64_t(i) * step + (i + 1 == reply.size() ? late : 0);
        b->out.push_back({b->last_due_ns, reply[i]});
    }
    if (b->log_fd >= 0)
        dprintf(b->log_fd, "%lld %02X %02X\n", (long long)t, code, motor);
}

// Requests are two bytes; a write may carry part of one or several.
void ReadRequests(Box *b) {
    for (uint8_t byte; read(b->master, &byte, 1) == 1;) {
        if (b->first >= 0)
            HandleRequest(b, uint8_t(b->first), byte, NowNs());
        b->first = b->first >= 0 ? -1 : byte;
    }
}

void WriteDue(Box *b, int64_t now) {
    uint8_t buf[64];
    size_t n = 0;
    for (; !b->out.empty() && b->out.front().first <= now && n < sizeof buf; b->out.pop_front())
        buf[n++] = b->out.front().second;
    if (n > 0 && b->master >= 0) {
        ssize_t w = write(b->master, buf, n);
        (void)w; // a tool that stopped reading loses bytes, as on a real line
    }
}

// Fault transitions that happen on their own. Returns the next deadline they need.
int64_t RunFaults(Box *b, int64_t now) {
    std::unique_lock<std::mutex> lk(b->mu);
    Fault f = b->cfg.fault;
    bool armed = b->since_fault >= b->cfg.fault_after;
    lk.unlock();
    if (f == Fault::Vanish && armed && !b->gone) {
        // Not before the grace after the last reply byte; a reply still waiting
        // to go out brings the thread back here when it has gone.
        if (!b->out.empty() || now < b->last_due_ns + VANISH_GRACE_NS)
            return b->out.empty() ? b->last_due_ns + VANISH_GRACE_NS : INT64_MAX;
        GoAway(b);
    }
    if (f != Fault::Flapping || !armed) {
        if (b->gone_by_flap && b->gone)
            OpenPty(b); // back for good
        b->gone_by_flap = false;
        b->flap_next_ns = 0;
        return INT64_MAX;
    }
    if (now >= b->flap_next_ns) {
        if (b->gone)
            OpenPty(b);
        else
            GoAway(b);
        b->gone_by_flap = b->gone;
        b->flap_next_ns = now + (b->gone ? b->cfg.flap_down_ms : b->cfg.flap_up_ms) * MS_NS;
    }
    return b->flap_next_ns;
}

void Run(Box *b) {
    for (;;) {
        std::unique_lock<std::mutex> lk(b->mu);
        if (b->stop)
            return;
        if (b->op) { // an op handed over by another thread
            lk.unlock();
            b->op();
            lk.lock();
            b->op = nullptr;
            b->cv.notify_all();
        }
        lk.unlock();
        int64_t now = NowNs();
        WriteDue(b, now);
        int64_t next = RunFaults(b, now);
        if (!b->out.empty())
            next = std::min(next, b->out.front().first);
        pollfd fds[2] = {{b->wake, POLLIN, 0}, {b->master, POLLIN, 0}};
        int64_t wait_ns = std::max<int64_t>(0, next - NowNs()); // ppoll() never returns early
        timespec wait{time_t(wait_ns / 1000000000), long(wait_ns % 1000000000)};
        int r = ppoll(fds, b->master >= 0 ? 2 : 1, next == INT64_MAX ? nullptr : &wait, nullptr);
        uint64_t count;
        if (r > 0 && (fds[0].revents & POLLIN) && read(b->wake, &count, sizeof count) < 0)
            Fail("cannot read the wake-up counter");
        if (r > 0 && b->master >= 0 && (fds[1].revents & POLLIN))
            ReadRequests(b);
    }
}

// Runs `op` on the box's thread and returns once it has run.
void OnThread(Box *b, std::function<void()> op) {
    std::unique_lock<std::mutex> lk(b->mu);
    b->cv.wait(lk, [b] { return !b->op; });
    b->op = std::move(op);
    Wake(b);
    b->cv.wait(lk, [b] { return !b->op; });
}

template <class F> auto Locked(Box *b, F f) {
    std::lock_guard<std::mutex> lk(b->mu);
    return f();
}

void Release(Box *b) {
    for (int fd : {b->wake, b->lock, b->log_fd})
        if (fd >= 0)
            close(fd);
    delete b;
}

} // namespace

Box *Start(const Config &cfg) {
    Box *b = new Box;
    b->cfg = cfg;
    b->last_sent_inputs = cfg.input_byte;
    b->rng.seed(cfg.seed);
    b->model_ns = NowNs();
    b->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    bool ok = b->wake >= 0 && (cfg.link.empty() || TakeLink(b));
    if (ok && !cfg.log_path.empty()) {
        b->log_fd = open(cfg.log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (b->log_fd < 0)
            ok = Fail("cannot write " + cfg.log_path);
    }
    if (!ok || !OpenPty(b)) {
        Release(b);
        return nullptr;
    }
    b->thread = std::thread(Run, b);
    return b;
}

void Stop(Box *box) {
    if (!box)
        return;
    Locked(box, [box] { box->stop = true; });
    Wake(box);
    box->thread.join();
    GoAway(box);
    Release(box);
}

// The model's accessors, each under the mutex.
std::string SlavePath(Box *box) {
    return Locked(box, [box] { return box->slave_path; });
}
std::vector<Request> Log(Box *box) {
    return Locked(box, [box] { return box->log; });
}
void ClearLog(Box *box) {
    Locked(box, [box] { box->log.clear(); });
}
size_t RequestCount(Box *box) {
    return Locked(box, [box] { return box->log.size(); });
}
uint8_t Motors(Box *box) {
    return Locked(box, [box] { return box->motors; });
}
uint8_t Inputs(Box *box) {
    return Locked(box, [box] { return CurrentInputs(box, NowNs()); });
}
std::vector<uint64_t> InputFlips(Box *box) {
    return Locked(box, [box] { return std::vector<uint64_t>(box->flips, box->flips + 8); });
}
void SetInputs(Box *box, uint8_t byte) {
    Locked(box, [box, byte] { box->cfg.input_byte = byte; });
}
void SetFlipMask(Box *box, uint8_t mask) {
    Locked(box, [box, mask] { box->cfg.flip_mask = mask; });
}
void SetAnalog(Box *box, uint16_t ex, uint16_t ey) {
    Locked(box, [=] { box->cfg.analog_ex = ex, box->cfg.analog_ey = ey; });
}
void SetFault(Box *box, Fault fault, int after, int count) {
    Locked(box, [=] {
        box->cfg.fault = fault;
        box->cfg.fault_after = after;
        box->cfg.fault_for = count;
        box->since_fault = 0;
    });
    Wake(box);
}
void Vanish(Box *box) {
    OnThread(box, [box] { GoAway(box); });
}

void Reappear(Box *box) {
    Locked(box, [box] { // coming back from a vanish fault must not vanish again at once
        if (box->cfg.fault == Fault::Vanish)
            box->cfg.fault = Fault::None;
    });
    OnThread(box, [box] {
        if (box->gone)
            OpenPty(box);
    });
}

void Inject(Box *box, const std::vector<uint8_t> &bytes) {
    OnThread(box, [box, bytes] {
        if (box->master >= 0 && write(box->master, bytes.data(), bytes.size()) < 0)
            Fail("cannot inject");
    });
}

} // namespace sim
