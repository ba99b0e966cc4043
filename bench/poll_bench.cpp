// poll_bench: the real link and poll cycle (link/, monitor/, platform/posix) against the
// simulated box in this process, over a real pseudo-terminal with real termios.
//
// By default the figures of the performance budgets, seen from the box, which stamps each
// request as it arrives: the period (0xC1 to 0xC1) and a motor command's latency (SetMotor
// to the first request with the new byte). On a pseudo-terminal the box has a request at
// once and counts a reply byte as arrived when it starts it; on a line the request takes
// two byte times and the last reply byte one more. The box's reply delay is raised by these
// three byte times, so an exchange takes as long as on a line and the ideal period holds.
// CPU is the poll thread's own clock; heap allocations are the poll thread's, counted by
// the malloc family below.
//
// With --minutes N, the soak: N minutes of one opening with a box that flips known inputs,
// then N minutes of a loose adapter (open 20 s, the device gone for 5 s while messages are
// dismissed at once, closed, back, reopened). Every edge the box sent must be counted but
// those of each opening's reply (it becomes the previous input) and of a last reply the
// close cut short (where the previous input differs from the box's last byte); descriptors
// and threads must not grow.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "link/link.h"
#include "platform/posix/trace.h"
#include "monitor/iostate.h"
#include "monitor/poll.h"
#include "sim/ifbox_sim.h"

// The malloc family forwarded to glibc's own entry points, counting the calls of one
// thread on the way (operator new ends in malloc). No dlsym, which allocates; the thread
// id is cached in static TLS, so counting never allocates or takes a lock.
extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *ptr, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
void __libc_free(void *ptr);
}

namespace {

std::atomic<long> WatchedTid{0};
std::atomic<uint64_t> Allocations{0};
thread_local long OwnTid = 0;

long Tid() {
    if (OwnTid == 0)
        OwnTid = syscall(SYS_gettid);
    return OwnTid;
}
void Note() {
    const long watched = WatchedTid.load(std::memory_order_relaxed);
    if (watched != 0 && Tid() == watched)
        Allocations.fetch_add(1, std::memory_order_relaxed);
}

} // namespace

extern "C" {
void *malloc(size_t size) noexcept {
    return Note(), __libc_malloc(size);
}
void free(void *ptr) noexcept {
    __libc_free(ptr);
}
void *calloc(size_t count, size_t size) noexcept {
    return Note(), __libc_calloc(count, size);
}
void *realloc(void *ptr, size_t size) noexcept {
    return Note(), __libc_realloc(ptr, size);
}
void *memalign(size_t align, size_t size) noexcept {
    return Note(), __libc_memalign(align, size);
}
void *aligned_alloc(size_t align, size_t size) noexcept {
    return memalign(align, size);
}
int posix_memalign(void **out, size_t align, size_t size) noexcept {
    if (align < sizeof(void *) || (align & (align - 1)) != 0)
        return EINVAL;
    void *p = memalign(align, size);
    if (p == nullptr)
        return ENOMEM;
    *out = p;
    return 0;
}
} // extern "C"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr double BYTE_MS = 10.0 * 1000.0 / 9600.0; // start, 8 data, stop bits
const char LINK_TEXT[] = "Bitte \xFC"
                         "berpr\xFC"
                         "fen Sie die serielle Verbindung zum Interface";
const char ANALOG_TEXT[] = "Ein Problem mit den analogen Eing\xE4"
                           "ngen ist aufgetreten";
std::atomic<int> LinkMessages{0}, AnalogMessages{0}, OtherMessages{0};

int64_t Ns(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Runs `callback` on the timer thread (the poll thread) and waits until it has run. The
// thread runs its callbacks in turn: a cycle still finishing then has finished too.
std::atomic<bool> Ran{false};
void OnPollThread(LPTIMECALLBACK callback) {
    Ran = false;
    timeSetEvent(1, 1, callback, 0, TIME_ONESHOT);
    while (!Ran)
        std::this_thread::sleep_for(1ms);
}
std::atomic<long> PollTid{0};
clockid_t PollClock;
void CALLBACK NotePollThread(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    pthread_getcpuclockid(pthread_self(), &PollClock);
    PollTid = Tid();
    Ran = true;
}
void CALLBACK AllocateOnce(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    void *volatile p = malloc(16);
    free(p);
    Ran = true;
}

// A box answers on its own clock and has a processor of its own: the simulated one must
// not be late on ifdiag's account. Its thread inherits from this one the first turn we
// may give it (real-time for root, else nice -20) and no timer slack (by default Linux
// lets a sleep end up to 50 us late); then this thread goes back to normal.
sim::Box *StartBox(sim::Config cfg, const char *name, const char **priority) {
    const char *tmp = getenv("TMPDIR");
    cfg.link = std::string(tmp && *tmp ? tmp : "/tmp") + "/ifdiag-" + name + "-" +
               std::to_string(getpid());
    sched_param param{};
    param.sched_priority = 10;
    *priority = sched_setscheduler(0, SCHED_FIFO, &param) == 0 ? "real-time"
                : setpriority(PRIO_PROCESS, 0, -20) == 0       ? "nice -20"
                                                               : "normal";
    prctl(PR_SET_TIMERSLACK, 1);
    sim::Box *box = sim::Start(cfg);
    param.sched_priority = 0;
    sched_setscheduler(0, SCHED_OTHER, &param);
    setpriority(PRIO_PROCESS, 0, 0);
    prctl(PR_SET_TIMERSLACK, 0);
    setenv("IFDIAG_PORT", cfg.link.c_str(), 1);
    return box;
}

// What the test dialog does when it opens; StartPolling follows.
void OpenDialog() {
    DialogHandle = reinterpret_cast<HWND>(0xB0B0);
    PreviousInputs = OpenInterface();
    for (auto &counter : EdgeCounters)
        counter = 0;
}

struct Stats {
    double mean = 0, p50 = 0, p99 = 0, max = 0;
    size_t n = 0;
};

Stats Summarize(std::vector<double> v) {
    Stats s;
    if ((s.n = v.size()) == 0)
        return s;
    std::sort(v.begin(), v.end());
    for (double x : v)
        s.mean += x / double(v.size());
    // Nearest rank: the value below which that share of the samples lie.
    auto rank = [&v](double p) {
        return v[std::max(size_t(std::ceil(p * double(v.size()))), size_t(1)) - 1];
    };
    s.p50 = rank(0.50);
    s.p99 = rank(0.99);
    s.max = v.back();
    return s;
}

void Row(const char *name, const Stats &s, double scale, const char *unit) {
    printf("  %-22s %9.4f %9.4f %9.4f %9.4f  %s (n=%zu)\n", name, s.mean / scale, s.p50 / scale,
           s.p99 / scale, s.max / scale, unit, s.n);
}

// One opening of the dialog against a fresh box for `cycles` cycles, with a motor command
// every one to three periods at random (seeded) moments.
int Bench(int cycles, int delay_us, uint32_t seed) {
    const double ideal = POLL_DELAY_MS + 13 * BYTE_MS + 3 * delay_us / 1000.0;
    sim::Config cfg;
    cfg.reply_delay_us = delay_us + int(std::lround(3 * BYTE_MS * 1000));
    cfg.input_mode = sim::InputMode::Flip;
    cfg.flip_mask = 0x01; // E1 changes every cycle, so the counting path runs too
    const char *priority = "";
    sim::Box *box = StartBox(cfg, "bench", &priority);
    if (box == nullptr)
        return 1;

    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> pause_ms(ideal, 3 * ideal);
    std::vector<std::pair<int64_t, BYTE>> sent; // when, and the motor byte it made
    OpenDialog();
    const int64_t cpu0 = Ns(PollClock), start = Ns(CLOCK_MONOTONIC);
    WatchedTid = PollTid.load();
    StartPolling();
    for (int k = 0; sim::RequestCount(box) < 3 * size_t(cycles + 1); ++k) {
        std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(pause_ms(rng)));
        // Each command changes the byte: motors 1..4 in turn, all right, all left, all off.
        const int64_t t = Ns(CLOCK_MONOTONIC);
        SetMotor(k % 4 + 1, "RLA"[(k / 4) % 3]);
        sent.push_back({t, MotorByte.load()});
    }
    // The last command may have come just before a request was built: two more cycles.
    for (size_t settle = sim::RequestCount(box) + 6; sim::RequestCount(box) < settle;)
        std::this_thread::sleep_for(1ms);
    StopPolling();
    const int64_t stop = Ns(CLOCK_MONOTONIC), cpu = Ns(PollClock) - cpu0;
    WatchedTid = 0;
    CloseInterface();
    const std::vector<sim::Request> log = sim::Log(box);
    sim::Stop(box);

    std::vector<double> periods, latencies;
    int64_t last = -1;
    for (const sim::Request &r : log) {
        if (r.code != REQ_INPUTS || r.t_ns < start)
            continue;
        if (last >= 0)
            periods.push_back(double(r.t_ns - last) / 1e6);
        last = r.t_ns;
    }
    size_t lost = 0;
    for (const auto &[t, motor] : sent) {
        auto hit = std::find_if(log.begin(), log.end(), [t = t, motor = motor](auto &r) {
            return r.t_ns >= t && r.motor == motor;
        });
        if (hit == log.end())
            ++lost;
        else
            latencies.push_back(double(hit->t_ns - t) / 1e6);
    }
    const Stats period = Summarize(periods), latency = Summarize(latencies);
    const double wall_s = double(stop - start) / 1e9, cpu_pct = 100.0 * double(cpu) / 1e9 / wall_s;
    const double allocs = double(Allocations.load()) / double(periods.size() + 1);
    const int messages = LinkMessages + AnalogMessages + OtherMessages;

    printf("poll_bench: %d cycles, 9600 baud, reply delay %d us (+3 byte times for the line), "
           "box thread %s\n  ideal period: %u ms + 13 x %.4f ms + 3 x %.3f ms = %.3f ms\n",
           cycles, delay_us, priority, POLL_DELAY_MS, BYTE_MS, delay_us / 1000.0, ideal);
    printf("  %-22s %9s %9s %9s %9s\n", "", "mean", "p50", "p99", "max");
    Row("period (C1 to C1)", period, 1, "ms");
    Row("period / ideal", period, ideal, "");
    Row("SetMotor to box", latency, 1, "ms");
    printf("  motor commands: %zu, never arrived: %zu\n", sent.size(), lost);
    printf("  poll thread CPU: %.4f s in %.2f s of polling = %.3f %% of one core, %.1f us a "
           "cycle\n  heap allocations on the poll thread: %" PRIu64 " (%.4f per cycle)\n",
           double(cpu) / 1e9, wall_s, cpu_pct, double(cpu) / 1e3 / double(periods.size() + 1),
           Allocations.load(), allocs);
    if (messages > 0)
        printf("  WARNING: %d failure messages; not the figures of a healthy box\n", messages);
    printf("ideal_ms=%.3f period_mean_ms=%.3f period_p99_ms=%.3f period_ratio=%.4f "
           "latency_p99_ms=%.3f cpu_pct=%.3f allocs_per_cycle=%.4f\n",
           ideal, period.mean, period.p99, period.mean / ideal, latency.p99, cpu_pct, allocs);
    return messages > 0 ? 1 : 0;
}

// The soak. Masks the box flips, one after the other every 7 s: each input counts apart.
const uint8_t MASKS[] = {0x01, 0xA5, 0xFF, 0x5A, 0x80, 0x0F, 0x3C, 0xC3};
size_t MaskIndex = 0;
Clock::time_point NextMask;

struct Tally {
    size_t openings = 0, requests = 0;
    uint64_t sent[8] = {}, counted[8] = {}, opening[8] = {}, cut[8] = {};
};

std::string Usage() {
    int fds = -1, threads = 0; // the listing's own descriptor is not counted
    for (auto [dir, n] : {std::pair{"/proc/self/fd", &fds}, std::pair{"/proc/self/task", &threads}})
        if (DIR *d = opendir(dir)) {
            while (dirent *e = readdir(d))
                *n += e->d_name[0] != '.';
            closedir(d);
        }
    long rss = 0;
    if (FILE *f = fopen("/proc/self/status", "r")) {
        char line[256];
        while (fgets(line, sizeof line, f))
            if (strncmp(line, "VmRSS:", 6) == 0)
                rss = strtol(line + 6, nullptr, 10);
        fclose(f);
    }
    return std::to_string(rss) + " kB, descriptors " + std::to_string(fds) + ", threads " +
           std::to_string(threads);
}

// Lets the box run until `until`, changing its flip mask on time and keeping its log short.
void Run(sim::Box *box, Clock::time_point until, Tally *t) {
    while (Clock::now() < until) {
        if (Clock::now() >= NextMask) {
            sim::SetFlipMask(box, MASKS[++MaskIndex % sizeof MASKS]);
            NextMask += 7s;
        }
        t->requests += sim::RequestCount(box);
        sim::ClearLog(box);
        std::this_thread::sleep_for(std::min<Clock::duration>(1s, until - Clock::now()));
    }
}

// One opening of the dialog; `during` returns when the user closes it.
template <typename During> void Session(sim::Box *box, Tally *t, During during) {
    const std::vector<uint64_t> before = sim::InputFlips(box);
    const uint8_t last_sent = sim::Inputs(box); // in flip mode: the last byte replied
    OpenDialog();
    const uint8_t first = PreviousInputs;
    StartPolling();
    during();
    StopPolling();
    CloseInterface();
    OnPollThread(NotePollThread);
    const std::vector<uint64_t> after = sim::InputFlips(box);
    const uint8_t uncounted = PreviousInputs ^ sim::Inputs(box);
    for (int i = 0; i < 8; ++i) {
        t->sent[i] += after[i] - before[i];
        t->counted[i] += EdgeCounters[i];
        t->opening[i] += ((first ^ last_sent) >> i) & 1;
        t->cut[i] += (uncounted >> i) & 1;
    }
    ++t->openings;
}

bool Report(const char *phase, const Tally &t, const std::string &start, bool ok) {
    uint64_t sum[4] = {};
    bool exact = true;
    printf("%s: %zu opening(s), %zu requests (%zu cycles)\n  per input (sent/counted):", phase,
           t.openings, t.requests, t.requests / 3);
    for (int i = 0; i < 8; ++i) {
        const uint64_t *of[4] = {t.sent, t.counted, t.opening, t.cut};
        for (int k = 0; k < 4; ++k)
            sum[k] += of[k][i];
        exact = exact && t.counted[i] == t.sent[i] - t.opening[i] - t.cut[i];
        printf(" E%d %" PRIu64 "/%" PRIu64, i + 1, t.sent[i], t.counted[i]);
    }
    const std::string end = Usage();
    printf("\n  edges sent %" PRIu64 " = counted %" PRIu64 " + in opening replies %" PRIu64
           " + in cut-short last replies %" PRIu64 ": %s\n",
           sum[0], sum[1], sum[2], sum[3], exact ? "exact, every input" : "MISMATCH");
    printf("  messages: %d link, %d analog, %d other\n  VmRSS %s -> %s\n", LinkMessages.exchange(0),
           AnalogMessages.exchange(0), OtherMessages.exchange(0), start.c_str(), end.c_str());
    fflush(stdout);
    // Descriptors and threads, after the VmRSS, must be as they were.
    return ok && exact && start.substr(start.find(',')) == end.substr(end.find(','));
}

int Soak(double minutes) {
    sim::Config cfg;
    cfg.reply_delay_us = 1000;
    cfg.input_mode = sim::InputMode::Flip;
    cfg.flip_mask = MASKS[0];
    cfg.analog_ex = 512;
    cfg.analog_ey = 300;
    const char *priority = "";
    sim::Box *box = StartBox(cfg, "soak", &priority);
    if (box == nullptr)
        return 1;
    const auto phase = std::chrono::duration_cast<Clock::duration>(minutes * 60s);
    NextMask = Clock::now() + 7s;
    Tally healthy, loose;
    std::string usage = Usage();
    const auto healthy_end = Clock::now() + phase;
    Session(box, &healthy, [&] { Run(box, healthy_end, &healthy); });
    bool ok = Report("healthy", healthy, usage, LinkMessages + AnalogMessages + OtherMessages == 0);

    usage = Usage();
    for (const auto end = Clock::now() + phase; Clock::now() < end;) {
        Session(box, &loose, [&] {
            Run(box, std::min(end, Clock::now() + 20s), &loose);
            // Its last reply is still read: the box goes only once it is out.
            sim::SetFault(box, sim::Fault::Vanish);
            Run(box, Clock::now() + 5s, &loose);
        });
        sim::Reappear(box);
    }
    // The box going while an analog reply is awaited makes that read fail: the analog
    // message, once per vanishing at most. Anything else is a fault.
    ok = Report("intermittent", loose, usage,
                LinkMessages > 0 && size_t(AnalogMessages) <= loose.openings &&
                    OtherMessages == 0) &&
         ok;
    sim::Stop(box);
    printf("soak: %s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}

} // namespace

// No window system here: a message is counted and dismissed at once, as by a user who
// clicks OK straight away.
int WINAPI MessageBoxA(HWND, LPCSTR text, LPCSTR title, UINT) {
    const bool error = strcmp(title, "Fehler") == 0;
    ++(error && strcmp(text, LINK_TEXT) == 0     ? LinkMessages
       : error && strcmp(text, ANALOG_TEXT) == 0 ? AnalogMessages
                                                 : OtherMessages);
    return IDOK;
}

int main(int argc, char **argv) {
    double cycles = 500, delay_us = 1000, seed = 1, minutes = 0, trace = 0;
    for (int i = 1; i < argc; i += 2) {
        const std::string a = argv[i];
        char *end = nullptr;
        const double v = i + 1 < argc ? strtod(argv[i + 1], &end) : -1;
        double *to = a == "--cycles"           ? &cycles
                     : a == "--reply-delay-us" ? &delay_us
                     : a == "--seed"           ? &seed
                     : a == "--minutes"        ? &minutes
                     : a == "--trace"          ? &trace
                                               : nullptr;
        if (to == nullptr || end == nullptr || *end != '\0' || !(v >= 0 && v <= 1e7)) {
            fprintf(stderr,
                    "usage: poll_bench [--cycles N (500)] [--reply-delay-us US (1000)] "
                    "[--seed N (1)] [--trace 1]\n       poll_bench --minutes N   the soak, N "
                    "minutes healthy and N loose\n");
            return 2;
        }
        *to = v;
    }
    if (trace > 0) // ifdiag --trace; its lines go to stderr
        TraceOn();
    // The timer thread starts here; the allocation counter must see its one allocation.
    OnPollThread(NotePollThread);
    WatchedTid = PollTid.load();
    OnPollThread(AllocateOnce);
    WatchedTid = 0;
    if (Allocations.exchange(0) != 1) {
        fprintf(stderr, "poll_bench: the allocation counter missed the poll thread\n");
        return 1;
    }
    return minutes > 0 ? Soak(minutes)
                       : Bench(std::max(10, int(cycles)), int(delay_us), uint32_t(seed));
}
