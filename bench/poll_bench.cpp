// poll_bench: the real link and poll cycle against the simulated box, in this
// process, over a real pseudo-terminal with real termios.
//
// Everything is measured from the box's side: the box stamps every request it
// receives (CLOCK_MONOTONIC), so periods and motor latencies are what a box on
// the line would see. Two runs:
//   paced: 9600-baud byte times and a reply delay, motor commands at random
//          moments; gives period, latency, CPU and allocations;
//   cost:  pacing off and no reply delay; the period less the 20 ms timer delay
//          is what the cycle itself costs (timer wake-up, system calls, the
//          box thread's own turn-around).
//
// A pseudo-terminal hands the tool's request to the box at once, and the box
// counts a reply byte as arrived when it writes it. On a line the box sees a
// request two byte times after it was written and the tool has a reply byte one
// byte time after the box started sending it. So in the paced run the box's
// reply delay is raised by three byte times (--no-wire turns this off); then an
// exchange takes as long as on a line, and the ideal period below holds for both.
#include <algorithm>
#include <atomic>
#include <cerrno>
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
#include <fcntl.h>
#include <termios.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include "bench/alloc_count.h"
#include "link/link.h"
#include "monitor/iostate.h"
#include "monitor/poll.h"
#include "sim/ifbox_sim.h"

namespace {

constexpr double BYTE_MS = 10.0 * 1000.0 / 9600.0; // start, 8 data, stop bits
constexpr int WIRE_EXTRA_BYTES = 3;                // see the top of the file

struct Options {
    int cycles = 500;
    int reply_delay_us = 1000;
    bool wire = true;
    bool cost = true;
    bool reference = true;
    uint32_t seed = 1;
};

// A healthy box raises no failure message; any that comes is counted and
// reported, and the figures of that run are not to be trusted.
std::atomic<int> Messages{0};

int64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t ClockNs(clockid_t clock) {
    timespec ts;
    if (clock_gettime(clock, &ts) != 0)
        return 0;
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::vector<long> Tasks() {
    std::vector<long> tids;
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                tids.push_back(strtol(e->d_name, nullptr, 10));
        closedir(d);
    }
    std::sort(tids.begin(), tids.end());
    return tids;
}

// CPU time of another thread of this process, for threads we cannot ask for
// their clock (the box's): the scheduler's own nanosecond account.
int64_t TaskCpuNs(long tid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/self/task/%ld/schedstat", tid);
    FILE *f = fopen(path, "r");
    if (f == nullptr)
        return -1;
    long long run = -1;
    if (fscanf(f, "%lld", &run) != 1)
        run = -1;
    fclose(f);
    return run;
}

bool SetTimerSlack(long tid, long ns) {
    char path[64];
    snprintf(path, sizeof path, "/proc/self/task/%ld/timerslack_ns", tid);
    FILE *f = fopen(path, "w");
    if (f == nullptr)
        return false;
    const bool ok = fprintf(f, "%ld", ns) > 0;
    return fclose(f) == 0 && ok;
}

// Real-time priority for a thread of ours where that is allowed, else the
// highest nice value allowed; says which it got.
const char *Prioritise(long tid, int rt_priority) {
    sched_param sp{};
    sp.sched_priority = rt_priority;
    if (sched_setscheduler(pid_t(tid), SCHED_FIFO, &sp) == 0)
        return "real-time";
    if (setpriority(PRIO_PROCESS, id_t(tid), -20) == 0)
        return "nice -20";
    return "normal";
}

// What the timer thread got for itself (it asks for time-critical priority).
const char *PriorityOf(long tid) {
    if (sched_getscheduler(pid_t(tid)) == SCHED_FIFO)
        return "real-time";
    return getpriority(PRIO_PROCESS, id_t(tid)) < 0 ? "raised nice" : "normal";
}

// The timer thread is the poll thread; a one-off event of our own finds it.
std::atomic<long> TimerTid{0};
clockid_t TimerClock;

void CALLBACK NoteTimerThread(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    pthread_getcpuclockid(pthread_self(), &TimerClock);
    TimerTid.store(alloc_count::Tid());
}

// Proves the counting hook sees the poll thread: one allocation made there.
std::atomic<bool> Allocated{false};

void CALLBACK AllocateOnce(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    void *volatile p = malloc(16);
    free(p);
    Allocated.store(true);
}

struct Stats {
    size_t n = 0;
    double mean = 0, p50 = 0, p99 = 0, max = 0;
};

double Percentile(const std::vector<double> &sorted, double p) {
    if (sorted.empty())
        return 0;
    // Nearest rank: the value below which p of the samples lie.
    size_t rank = size_t(std::ceil(p * double(sorted.size())));
    return sorted[std::min(sorted.size(), std::max<size_t>(rank, 1)) - 1];
}

Stats Summarize(std::vector<double> v) {
    Stats s;
    s.n = v.size();
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    double sum = 0;
    for (double x : v)
        sum += x;
    s.mean = sum / double(v.size());
    s.p50 = Percentile(v, 0.50);
    s.p99 = Percentile(v, 0.99);
    s.max = v.back();
    return s;
}

struct Result {
    Stats period;
    Stats segment[3]; // C1 to C5, C5 to C9, C9 to the next C1
    Stats latency;
    size_t commands = 0;
    size_t lost = 0; // commands whose byte never reached the box
    double wall_s = 0;
    double cpu_process_s = 0, cpu_box_s = 0, cpu_driver_s = 0, cpu_poll_s = 0;
    uint64_t poll_allocs = 0;
    size_t cycles = 0;
    int messages = 0;
    const char *box_priority = "normal";
    const char *poll_priority = "normal";
};

std::string LinkPath() {
    const char *dir = getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/ifdiag-bench-" + std::to_string(getpid());
}

// A box answers on its own clock and has a processor of its own; the
// simulated one must not be late on ifdiag's account. Linux lets a sleep run up
// to 50 us late by default (timer slack), and on a busy machine the box thread
// would queue behind other work: it gets the first turn where we may give it
// one (root, or a real-time allowance).
sim::Box *StartBox(const sim::Config &cfg, long *box_tid, Result *out) {
    const std::vector<long> before = Tasks();
    sim::Box *box = sim::Start(cfg);
    if (box == nullptr)
        return nullptr;
    for (long tid : Tasks())
        if (!std::binary_search(before.begin(), before.end(), tid))
            *box_tid = tid;
    SetTimerSlack(*box_tid, 1);
    out->box_priority = Prioritise(*box_tid, 10);
    return box;
}

// One opening of the test dialog against a fresh box, as the dialog does it,
// for `cycles` cycles; motor commands at random moments when `commands` is set.
bool Measure(const sim::Config &cfg, int cycles, bool commands, double period_guess_ms,
             uint32_t seed, Result *out) {
    long box_tid = 0;
    sim::Box *box = StartBox(cfg, &box_tid, out);
    if (box == nullptr)
        return false;
    setenv("IFDIAG_PORT", cfg.link.c_str(), 1);
    out->poll_priority = PriorityOf(TimerTid.load());

    Messages = 0;
    DialogHandle = reinterpret_cast<HWND>(0xB0B0);
    PreviousInputs = OpenInterface();
    for (auto &counter : EdgeCounters)
        counter = 0;
    MotorByte = 0;

    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> pause_ms(period_guess_ms, 3 * period_guess_ms);
    struct Command {
        int64_t t_ns;
        BYTE motor;
    };
    std::vector<Command> sent;
    sent.reserve(size_t(cycles));
    const size_t target = sim::RequestCount(box) + 3 * size_t(cycles + 1);

    const int64_t box0 = TaskCpuNs(box_tid);
    const int64_t process0 = ClockNs(CLOCK_PROCESS_CPUTIME_ID);
    const int64_t driver0 = ClockNs(CLOCK_THREAD_CPUTIME_ID);
    const int64_t poll0 = ClockNs(TimerClock);
    alloc_count::Watch(TimerTid.load());
    const int64_t start = NowNs();
    StartPolling();

    for (int k = 0; sim::RequestCount(box) < target; ++k) {
        if (!commands) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(pause_ms(rng)));
        // Each command changes the byte: motors 1..4 in turn, all right, then
        // all left, then all off.
        const int motor = k % 4 + 1;
        const char direction = "RLA"[(k / 4) % 3];
        const int64_t t = NowNs();
        SetMotor(motor, direction);
        sent.push_back({t, MotorByte.load()});
    }

    // The last command may have come just before the last request was built;
    // give it the two cycles it may need.
    const size_t settle = sim::RequestCount(box) + 6;
    while (commands && sim::RequestCount(box) < settle)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    StopPolling();
    const int64_t stop = NowNs();
    const uint64_t allocs = alloc_count::Watched();
    alloc_count::Watch(0);
    const int64_t poll1 = ClockNs(TimerClock);
    const int64_t driver1 = ClockNs(CLOCK_THREAD_CPUTIME_ID);
    const int64_t process1 = ClockNs(CLOCK_PROCESS_CPUTIME_ID);
    const int64_t box1 = TaskCpuNs(box_tid);
    CloseInterface();

    const std::vector<sim::Request> log = sim::Log(box);
    sim::Stop(box);

    std::vector<double> periods, segments[3];
    int64_t last_c1 = -1;
    const sim::Request *previous = nullptr;
    for (const sim::Request &r : log) {
        if (r.t_ns < start)
            continue;
        if (previous != nullptr) {
            const int k = previous->code == REQ_INPUTS      ? 0
                          : previous->code == REQ_ANALOG_EX ? 1
                                                            : 2;
            segments[k].push_back(double(r.t_ns - previous->t_ns) / 1e6);
        }
        previous = &r;
        if (r.code != REQ_INPUTS)
            continue;
        if (last_c1 >= 0)
            periods.push_back(double(r.t_ns - last_c1) / 1e6);
        last_c1 = r.t_ns;
    }
    std::vector<double> latencies;
    size_t lost = 0;
    for (const Command &c : sent) {
        auto hit = std::find_if(log.begin(), log.end(), [&c](const sim::Request &r) {
            return r.t_ns >= c.t_ns && r.motor == c.motor;
        });
        if (hit == log.end())
            ++lost;
        else
            latencies.push_back(double(hit->t_ns - c.t_ns) / 1e6);
    }

    out->period = Summarize(periods);
    for (int k = 0; k < 3; ++k)
        out->segment[k] = Summarize(segments[k]);
    out->latency = Summarize(latencies);
    out->commands = sent.size();
    out->lost = lost;
    out->cycles = periods.size() + 1;
    out->wall_s = double(stop - start) / 1e9;
    out->cpu_process_s = double(process1 - process0) / 1e9;
    out->cpu_box_s = box0 >= 0 && box1 >= 0 ? double(box1 - box0) / 1e9 : 0;
    out->cpu_driver_s = double(driver1 - driver0) / 1e9;
    out->cpu_poll_s = double(poll1 - poll0) / 1e9;
    out->poll_allocs = allocs;
    out->messages = Messages.load();
    return true;
}

// The same exchanges done by hand with bare system calls on the same box:
// blocking reads, a 20 ms absolute sleep between cycles. What is left of the
// period above the ideal here belongs to the box, the pseudo-terminal and the
// scheduler, not to ifdiag.
bool Reference(const sim::Config &cfg, int cycles, Result *out) {
    long box_tid = 0;
    sim::Box *box = StartBox(cfg, &box_tid, out);
    if (box == nullptr)
        return false;
    const int fd = open(cfg.link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        sim::Stop(box);
        return false;
    }
    termios tio;
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tio.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &tio);

    auto exchange = [fd](BYTE code, size_t reply) {
        const BYTE request[2] = {code, 0};
        if (write(fd, request, 2) != 2)
            return false;
        BYTE buf[3];
        for (size_t got = 0; got < reply;) {
            const ssize_t n = read(fd, buf + got, reply - got);
            if (n <= 0)
                return false;
            got += size_t(n);
        }
        return true;
    };
    const int64_t start = NowNs();
    const int64_t cpu0 = ClockNs(CLOCK_THREAD_CPUTIME_ID);
    bool ok = true;
    for (int i = 0; i <= cycles && ok; ++i) {
        const int64_t due_ns = NowNs() + POLL_DELAY_MS * 1000000LL;
        const timespec due{time_t(due_ns / 1000000000), long(due_ns % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
        }
        ok = exchange(REQ_INPUTS, 1) && exchange(REQ_ANALOG_EX, 3) && exchange(REQ_ANALOG_EY, 3);
    }
    const int64_t cpu1 = ClockNs(CLOCK_THREAD_CPUTIME_ID);
    const int64_t stop = NowNs();
    close(fd);
    const std::vector<sim::Request> log = sim::Log(box);
    sim::Stop(box);

    std::vector<double> periods;
    int64_t last_c1 = -1;
    for (const sim::Request &r : log) {
        if (r.code != REQ_INPUTS)
            continue;
        if (last_c1 >= 0)
            periods.push_back(double(r.t_ns - last_c1) / 1e6);
        last_c1 = r.t_ns;
    }
    out->period = Summarize(periods);
    out->cycles = periods.size() + 1;
    out->wall_s = double(stop - start) / 1e9;
    out->cpu_poll_s = double(cpu1 - cpu0) / 1e9;
    return ok;
}

bool ParseArgs(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto number = [&](long lo, long hi, long *v) {
            if (i + 1 >= argc)
                return false;
            char *end = nullptr;
            *v = strtol(argv[++i], &end, 10);
            return *end == '\0' && *v >= lo && *v <= hi;
        };
        long v = 0;
        if (a == "--cycles" && number(10, 10000000, &v))
            o->cycles = int(v);
        else if (a == "--reply-delay-us" && number(0, 1000000, &v))
            o->reply_delay_us = int(v);
        else if (a == "--seed" && number(0, 0xFFFFFFFFL, &v))
            o->seed = uint32_t(v);
        else if (a == "--no-wire")
            o->wire = false;
        else if (a == "--no-cost")
            o->cost = false;
        else if (a == "--no-reference")
            o->reference = false;
        else {
            fprintf(stderr,
                    "usage: poll_bench [--cycles N] [--reply-delay-us US] [--seed N] [--no-wire] "
                    "[--no-cost] [--no-reference]\n"
                    "  --cycles N          poll cycles per run (500)\n"
                    "  --reply-delay-us US the box's reaction time before each reply (1000)\n"
                    "  --seed N            seed of the random moments of the motor commands\n"
                    "  --no-wire           take the box's timing as it is, without adding the\n"
                    "                      request's and the last reply byte's time on a line\n"
                    "  --no-cost           skip the unpaced run that gives the cycle's own cost\n"
                    "  --no-reference      skip the run with bare system calls on the same box\n");
            return false;
        }
    }
    return true;
}

void Row(const char *name, const Stats &s, const char *unit) {
    printf("  %-28s %9.3f %9.3f %9.3f %9.3f  %s (n=%zu)\n", name, s.mean, s.p50, s.p99, s.max, unit,
           s.n);
}

} // namespace

// The bench has no window system: messages are counted and dismissed at once.
int WINAPI MessageBoxA(HWND, LPCSTR text, LPCSTR, UINT) {
    ++Messages;
    fprintf(stderr, "poll_bench: failure message: %s\n", text);
    return IDOK;
}

int main(int argc, char **argv) {
    Options o;
    if (!ParseArgs(argc, argv, &o))
        return 2;

    // Start the timer thread and learn who it is before anything is measured.
    timeSetEvent(1, 1, NoteTimerThread, 0, TIME_ONESHOT);
    while (TimerTid.load() == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    alloc_count::Watch(TimerTid.load());
    timeSetEvent(1, 1, AllocateOnce, 0, TIME_ONESHOT);
    while (!Allocated.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const uint64_t seen = alloc_count::Watched();
    alloc_count::Watch(0);
    if (seen != 1) {
        fprintf(stderr, "poll_bench: the allocation counter saw %" PRIu64 " of 1 allocation\n",
                seen);
        return 1;
    }

    const double delay_ms = o.reply_delay_us / 1000.0;
    const double ideal = POLL_DELAY_MS + 13 * BYTE_MS + 3 * delay_ms;

    sim::Config paced;
    paced.link = LinkPath();
    paced.pacing = true;
    paced.reply_delay_us =
        o.reply_delay_us + (o.wire ? int(std::lround(WIRE_EXTRA_BYTES * BYTE_MS * 1000)) : 0);
    paced.input_mode = sim::InputMode::Flip;
    paced.flip_mask = 0x01; // E1 changes every cycle, so the counting path runs too
    Result r;
    if (!Measure(paced, o.cycles, true, ideal, o.seed, &r)) {
        fprintf(stderr, "poll_bench: cannot start the simulated box\n");
        return 1;
    }

    Result c;
    bool have_cost = false;
    if (o.cost) {
        sim::Config fast = paced;
        fast.pacing = false;
        fast.reply_delay_us = 0;
        have_cost = Measure(fast, o.cycles, false, 0, o.seed, &c);
    }

    Result ref;
    bool have_ref = false;
    if (o.reference)
        have_ref = Reference(paced, o.cycles, &ref);

    const double ifdiag_cpu_s = r.cpu_process_s - r.cpu_box_s - r.cpu_driver_s;
    const double cpu_pct = 100.0 * ifdiag_cpu_s / r.wall_s;
    const double allocs_per_cycle = double(r.poll_allocs) / double(r.cycles);
    const double cost_ms = have_cost ? c.period.mean - POLL_DELAY_MS : -1;

    printf("poll_bench: %d cycles, 9600 baud, reply delay %d us%s\n", o.cycles, o.reply_delay_us,
           o.wire ? " (+3 byte times for the line)" : " (box timing as is)");
    printf("  box thread priority: %s; poll thread priority: %s\n", r.box_priority,
           r.poll_priority);
    printf("  ideal period: %u ms + 13 x %.4f ms + 3 x %.3f ms = %.3f ms\n", POLL_DELAY_MS, BYTE_MS,
           delay_ms, ideal);
    printf("  %-28s %9s %9s %9s %9s\n", "", "mean", "p50", "p99", "max");
    Row("period (C1 to C1)", r.period, "ms");
    printf("  %-28s %9.4f %9.4f %9.4f %9.4f\n", "period / ideal", r.period.mean / ideal,
           r.period.p50 / ideal, r.period.p99 / ideal, r.period.max / ideal);
    const double line_ms[3] = {delay_ms + 3 * BYTE_MS, delay_ms + 5 * BYTE_MS,
                               POLL_DELAY_MS + delay_ms + 5 * BYTE_MS};
    const char *segment_names[3] = {"  C1 to C5 (digital)", "  C5 to C9 (EX)",
                                    "  C9 to C1 (EY + 20 ms)"};
    for (int k = 0; k < 3; ++k) {
        Row(segment_names[k], r.segment[k], "ms");
        printf("  %-28s %9.3f  (line time %.3f ms)\n", "    over the line time",
               r.segment[k].mean - line_ms[k], line_ms[k]);
    }
    if (have_ref) {
        Row("reference: bare syscalls", ref.period, "ms");
        printf("  %-28s %9.4f %9.4f %9.4f %9.4f\n", "reference / ideal", ref.period.mean / ideal,
               ref.period.p50 / ideal, ref.period.p99 / ideal, ref.period.max / ideal);
    }
    Row("SetMotor to box", r.latency, "ms");
    if (have_cost) {
        Stats cost = c.period;
        cost.mean -= POLL_DELAY_MS;
        cost.p50 -= POLL_DELAY_MS;
        cost.p99 -= POLL_DELAY_MS;
        cost.max -= POLL_DELAY_MS;
        Row("cycle cost, unpaced", cost, "ms (period - 20 ms)");
    }
    printf("  motor commands: %zu, never arrived: %zu\n", r.commands, r.lost);
    printf("  CPU over %.2f s of polling (%zu cycles):\n", r.wall_s, r.cycles);
    printf("    whole process %.4f s, simulated box thread %.4f s, bench driver %.4f s\n",
           r.cpu_process_s, r.cpu_box_s, r.cpu_driver_s);
    printf("    ifdiag (process - box - driver) %.4f s = %.3f %% of one core = %.3f s per "
           "minute\n",
           ifdiag_cpu_s, cpu_pct, 60.0 * ifdiag_cpu_s / r.wall_s);
    printf("    poll thread alone %.4f s = %.3f %%; per cycle %.1f us\n", r.cpu_poll_s,
           100.0 * r.cpu_poll_s / r.wall_s, 1e6 * r.cpu_poll_s / double(r.cycles));
    printf("  heap allocations on the poll thread while polling: %" PRIu64 " (%.4f per cycle)\n",
           r.poll_allocs, allocs_per_cycle);
    if (have_ref)
        printf("  reference: %.1f us CPU per cycle for the same exchanges\n",
               1e6 * ref.cpu_poll_s / double(ref.cycles));
    if (have_cost)
        printf("  unpaced: poll thread %.1f us CPU per cycle, %" PRIu64 " allocations\n",
               1e6 * c.cpu_poll_s / double(c.cycles), c.poll_allocs);
    if (r.messages + c.messages > 0)
        printf("  WARNING: %d failure messages; the figures are not those of a healthy box\n",
               r.messages + c.messages);

    printf("ideal_ms=%.3f period_mean_ms=%.3f period_p99_ms=%.3f period_ratio=%.4f "
           "latency_p99_ms=%.3f cpu_pct=%.3f allocs_per_cycle=%.4f cycle_cost_ms=%.3f\n",
           ideal, r.period.mean, r.period.p99, r.period.mean / ideal, r.latency.p99, cpu_pct,
           allocs_per_cycle, cost_ms);
    return r.messages + c.messages > 0 ? 1 : 0;
}
