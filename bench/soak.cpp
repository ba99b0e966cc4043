// soak: the real link and poll cycle for a long time against the simulated box
// in this process, over a real pseudo-terminal with real termios.
//
// Two phases of --minutes N each (default 10):
//   healthy:      one opening of the dialog; the box answers in time and flips
//                 known inputs in every 0xC1 reply (the flip mask changes every
//                 few seconds, so each input gets a count of its own). Every
//                 edge the box sent must be counted.
//   intermittent: a loose adapter. Again and again: the dialog is open for 20 s
//                 with the healthy box, then the box vanishes (the device goes,
//                 as when a USB adapter is pulled); for 5 s ifdiag shows its
//                 link failure messages (dismissed at once, as a user would);
//                 then the user closes the dialog, the adapter comes back and
//                 the dialog is reopened. Every edge the box sent before it went
//                 must still be counted, and every message must be the link's.
//
// Edges sent are what the box put on the wire (sim::InputFlips). Edges counted
// are the EdgeCounters. The two differ by exactly:
//   - the opening exchange's reply: it becomes PreviousInputs, nothing counted;
//   - the last cycle when it was abandoned by the close after the box had sent
//     its 0xC1 reply: that reply was sent and never counted. Its bits are those
//     where PreviousInputs differs from the box's last sent byte.
// Both are worked out per input and per opening, so the check is exact.
//
// Memory (VmRSS) and descriptors are those of the whole process, the box's
// thread included; the box's request log is cleared every second so it does not
// grow with the run.
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <unistd.h>

#include "link/link.h"
#include "monitor/iostate.h"
#include "monitor/poll.h"
#include "sim/ifbox_sim.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const char LINK_TEXT[] = "Bitte \xFC"
                         "berpr\xFC"
                         "fen Sie die serielle Verbindung zum Interface";
const char ANALOG_TEXT[] = "Ein Problem mit den analogen Eing\xE4"
                           "ngen ist aufgetreten";

// Masks the healthy box flips, one after the other; each input's share differs.
const uint8_t MASKS[] = {0x01, 0xA5, 0xFF, 0x5A, 0x80, 0x0F, 0x3C, 0xC3};
constexpr auto MASK_PERIOD = 7s;
constexpr auto SESSION_UP = 20s;  // intermittent: dialog open, box there
constexpr auto SESSION_DOWN = 5s; // intermittent: box gone, messages coming
constexpr int REPLY_DELAY_US = 1000;

// The box going while an analog reply is awaited makes that read fail: the
// analog message, once per vanishing at most. Anything else is a fault.
std::atomic<int> LinkMessages{0};
std::atomic<int> AnalogMessages{0};
std::atomic<int> OtherMessages{0};

struct Usage {
    long rss_kb = 0;
    int fds = 0;
    int threads = 0;
};

int CountEntries(const char *path) {
    int n = 0;
    if (DIR *d = opendir(path)) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                ++n;
        closedir(d);
    }
    return n;
}

Usage Now() {
    Usage u;
    u.fds = CountEntries("/proc/self/fd") - 1; // less the directory's own
    u.threads = CountEntries("/proc/self/task");
    if (FILE *f = fopen("/proc/self/status", "r")) {
        char line[256];
        while (fgets(line, sizeof line, f))
            if (strncmp(line, "VmRSS:", 6) == 0)
                u.rss_kb = strtol(line + 6, nullptr, 10);
        fclose(f);
    }
    return u;
}

// The timer thread runs every callback in turn: once this one has run, any
// cycle that was still finishing when polling stopped has finished too.
std::atomic<bool> Drained{false};
void CALLBACK NoteDrained(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    Drained = true;
}
void WaitForPollThread() {
    Drained = false;
    timeSetEvent(1, 1, NoteDrained, 0, TIME_ONESHOT);
    while (!Drained)
        std::this_thread::sleep_for(1ms);
}

struct Tally {
    size_t openings = 0;
    size_t requests = 0;
    size_t cycles = 0;        // that reached the box
    uint64_t sent[8] = {};    // edges the box sent while the dialog was open
    uint64_t opening[8] = {}; // of those, in the opening exchanges' replies
    uint64_t final[8] = {};   // of those, in replies of abandoned last cycles
    uint64_t counted[8] = {}; // EdgeCounters at each close
    size_t masks = 0;
};

// One opening of the test dialog, as the dialog does it. `during` runs while
// the dialog is open and returns when the user closes it.
template <typename During> void Session(sim::Box *box, Tally *t, During during) {
    const auto sent_before = sim::InputFlips(box);
    const uint8_t last_sent = sim::Inputs(box); // in flip mode: the last byte replied
    const size_t requests_before = sim::RequestCount(box);

    DialogHandle = reinterpret_cast<HWND>(0x50AC);
    PreviousInputs = OpenInterface();
    const uint8_t first = PreviousInputs;
    for (auto &counter : EdgeCounters)
        counter = 0;
    StartPolling();

    during();

    StopPolling();
    CloseInterface();
    WaitForPollThread();

    const auto sent_after = sim::InputFlips(box);
    const uint8_t uncounted = PreviousInputs ^ sim::Inputs(box);
    for (int i = 0; i < 8; ++i) {
        t->sent[i] += sent_after[i] - sent_before[i];
        t->opening[i] += ((first ^ last_sent) >> i) & 1;
        t->final[i] += (uncounted >> i) & 1;
        t->counted[i] += EdgeCounters[i];
    }
    const size_t requests = sim::RequestCount(box) - requests_before;
    t->requests += requests;
    // After the opening's 0xC1, each cycle sends 0xC1, 0xC5, 0xC9; one cut
    // short by the close, or whose requests no longer reach a vanished box,
    // has sent fewer.
    t->cycles += requests > 0 ? (requests - 1 + 2) / 3 : 0;
    ++t->openings;
}

// Lets the box run until `until`, changing its flip mask on schedule and
// keeping its log from growing.
void Run(sim::Box *box, Clock::time_point until, Tally *t, Clock::time_point *next_mask) {
    while (Clock::now() < until) {
        if (Clock::now() >= *next_mask) {
            sim::SetFlipMask(box, MASKS[t->masks++ % (sizeof MASKS)]);
            *next_mask += MASK_PERIOD;
        }
        sim::ClearLog(box);
        std::this_thread::sleep_for(std::min<Clock::duration>(1s, until - Clock::now()));
    }
}

struct Messages {
    int link, analog, other;
};
Messages TakeMessages() {
    return {LinkMessages.exchange(0), AnalogMessages.exchange(0), OtherMessages.exchange(0)};
}

bool Report(const char *phase, const Tally &t, double minutes, const Messages &m,
            const Usage &start, const Usage &end) {
    uint64_t sent = 0, opening = 0, final = 0, counted = 0;
    bool exact = true;
    for (int i = 0; i < 8; ++i) {
        sent += t.sent[i];
        opening += t.opening[i];
        final += t.final[i];
        counted += t.counted[i];
        exact = exact && t.counted[i] == t.sent[i] - t.opening[i] - t.final[i];
    }
    printf("%s: %.1f min, %zu opening(s), %zu requests, %zu cycles\n", phase, minutes, t.openings,
           t.requests, t.cycles);
    printf("  edges sent %" PRIu64 " = counted %" PRIu64 " + in opening replies %" PRIu64
           " + in abandoned last replies %" PRIu64 ": %s\n",
           sent, counted, opening, final, exact ? "exact, per input" : "MISMATCH");
    printf("  per input (sent/counted):");
    for (int i = 0; i < 8; ++i)
        printf(" E%d %" PRIu64 "/%" PRIu64, i + 1, t.sent[i], t.counted[i]);
    printf("\n  messages: %d link, %d analog, %d other\n", m.link, m.analog, m.other);
    printf("  VmRSS %ld kB -> %ld kB, descriptors %d -> %d, threads %d -> %d\n", start.rss_kb,
           end.rss_kb, start.fds, end.fds, start.threads, end.threads);
    fflush(stdout);
    return exact && m.other == 0 && end.fds == start.fds && end.threads == start.threads;
}

std::string LinkPath() {
    const char *dir = getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/ifdiag-soak-" + std::to_string(getpid());
}

} // namespace

// Counts the message and returns at once, as a user who clicks OK straight away.
int WINAPI MessageBoxA(HWND, LPCSTR text, LPCSTR title, UINT) {
    if (strcmp(title, "Fehler") == 0 && strcmp(text, LINK_TEXT) == 0)
        ++LinkMessages;
    else if (strcmp(title, "Fehler") == 0 && strcmp(text, ANALOG_TEXT) == 0)
        ++AnalogMessages;
    else
        ++OtherMessages;
    return IDOK;
}

int main(int argc, char **argv) {
    double minutes = 10;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--minutes") == 0 && i + 1 < argc) {
            minutes = atof(argv[++i]);
        } else {
            fprintf(stderr, "usage: soak [--minutes N]   (each phase; default 10)\n");
            return 2;
        }
    }
    if (!(minutes > 0)) {
        fprintf(stderr, "soak: --minutes must be positive\n");
        return 2;
    }
    const auto phase =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(minutes * 60));

    sim::Config cfg;
    cfg.link = LinkPath();
    cfg.pacing = true;
    cfg.reply_delay_us = REPLY_DELAY_US;
    cfg.input_mode = sim::InputMode::Flip;
    cfg.input_byte = 0x00;
    cfg.flip_mask = MASKS[0];
    cfg.analog_ex = 512;
    cfg.analog_ey = 300;
    // Started before the first figures are taken: the box and the timer thread
    // belong to the baseline, not to what a run might leak.
    sim::Box *box = sim::Start(cfg);
    if (box == nullptr) {
        fprintf(stderr, "soak: cannot start the simulated box\n");
        return 1;
    }
    setenv("IFDIAG_PORT", cfg.link.c_str(), 1);
    WaitForPollThread();
    bool ok = true;

    {
        Tally t;
        t.masks = 1;
        const Usage start = Now();
        const auto until = Clock::now() + phase;
        auto next_mask = Clock::now() + MASK_PERIOD;
        Session(box, &t, [&] { Run(box, until, &t, &next_mask); });
        const Messages m = TakeMessages();
        ok = Report("healthy", t, minutes, m, start, Now()) && m.link + m.analog == 0 && ok;
    }
    {
        Tally t;
        const Usage start = Now();
        const auto until = Clock::now() + phase;
        auto next_mask = Clock::now() + MASK_PERIOD;
        while (Clock::now() < until) {
            Session(box, &t, [&] {
                Run(box, std::min(until, Clock::now() + SESSION_UP), &t, &next_mask);
                // Its last reply is still read: the box goes only once it is out.
                sim::SetFault(box, sim::Fault::Vanish);
                Run(box, Clock::now() + SESSION_DOWN, &t, &next_mask);
            });
            sim::Reappear(box);
        }
        const Messages m = TakeMessages();
        ok = Report("intermittent", t, minutes, m, start, Now()) && m.link > 0 &&
             size_t(m.analog) <= t.openings && ok;
    }
    sim::Stop(box);
    printf("soak: %s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
