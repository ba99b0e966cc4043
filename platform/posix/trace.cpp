#include "platform/posix/trace.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include <unistd.h>

namespace {

constexpr size_t SLOTS = 1024, WIDTH = 192; // about 40 cycles' worth of lines

std::atomic<bool> On{false};
std::atomic<int64_t> Epoch{0}; // ns of the last opening

// Under Lock. The writer holds it only to copy lines out, never while it writes. Never
// destroyed: a writer may still wait on them, or sit in write(2), as the process exits.
std::mutex &Lock = *new std::mutex;
std::condition_variable &Wake = *new std::condition_variable;
char Ring[SLOTS][WIDTH];
size_t Head = 0, Tail = 0; // lines Tail..Head-1 wait for the writer
uint64_t Dropped = 0, Repeats = 0;
char Last[WIDTH]; // the latest line but for its time
bool Stopping = false, Stopped = false;

int64_t NowNs() {
    return std::chrono::steady_clock::now().time_since_epoch() / std::chrono::nanoseconds(1);
}

void WriteAll(const char *text, size_t size) {
    for (ssize_t n; size > 0 && (n = write(STDERR_FILENO, text, size)) != 0; text += n, size -= n)
        if (n < 0)
            return;
}

// Under Lock.
void Push(const char *line) {
    if (Head - Tail == SLOTS)
        ++Dropped;
    else
        memcpy(Ring[Head++ % SLOTS], line, WIDTH);
}
void PushRepeats() {
    char line[WIDTH];
    snprintf(line, WIDTH, "%9s  ...    %llu more like the line before\n", "",
             static_cast<unsigned long long>(Repeats));
    if (std::exchange(Repeats, 0) > 0)
        Push(line);
}

// Lines alike but for their time (a gone device's 20,001 failed reads) are kept as the
// first and a count, so that a flood cannot push out the message that follows it.
void Put(const char *line) {
    {
        std::lock_guard<std::mutex> hold(Lock);
        const char *body = strchr(line, '.') + 4;
        if (strcmp(body, Last) == 0 && ++Repeats)
            return;
        PushRepeats();
        strcpy(Last, body);
        Push(line);
    }
    Wake.notify_all(); // the writer, or TraceOff waiting for it
}

void Writer() {
    static char out[64 * WIDTH];
    std::unique_lock<std::mutex> hold(Lock);
    for (;;) {
        Wake.wait(hold, [] { return Head != Tail || Stopping; });
        size_t size = 0;
        while (Tail != Head && size + WIDTH <= sizeof out)
            size += strlen(strcpy(out + size, Ring[Tail++ % SLOTS]));
        // Told when the ring has emptied: the lines dropped are all before this point.
        const uint64_t dropped = Tail == Head ? Dropped : 0;
        Dropped -= dropped;
        const bool last = Tail == Head && Stopping;
        hold.unlock();
        if (dropped > 0)
            size += snprintf(out + size, sizeof out - size, "...  %llu lines dropped\n",
                             static_cast<unsigned long long>(dropped));
        WriteAll(out, size);
        hold.lock();
        if (last)
            break;
    }
    Stopped = true;
    Wake.notify_all();
}

} // namespace

void TraceOn() {
    Epoch = NowNs();
    On = true;
    std::thread(Writer).detach(); // may sit in write(2) for ever; TraceOff does not wait on it
}

bool Tracing() {
    return On;
}

void Trace(const char *mark, const char *format, ...) {
    if (!On)
        return;
    char line[WIDTH];
    if (strcmp(mark, "open") == 0)
        Epoch = NowNs();
    const int64_t tenths = (NowNs() - Epoch) / 100000;
    int n = snprintf(line, WIDTH, "%7lld.%lld  %-5s  ", static_cast<long long>(tenths / 10),
                     static_cast<long long>(tenths % 10), mark);
    va_list args;
    va_start(args, format);
    n += vsnprintf(line + n, WIDTH - size_t(n), format, args);
    va_end(args);
    // A line cut short still ends as one.
    strcpy(line + (n < int(WIDTH) - 1 ? n : int(WIDTH) - 2), "\n");
    Put(line);
}

void TraceBytes(const char *mark, const void *bytes, size_t count, const char *note) {
    if (!On)
        return;
    char hex[3 * 32 + 1] = "";
    const unsigned char *p = static_cast<const unsigned char *>(bytes);
    for (size_t i = 0; i < count && i < 32; ++i)
        snprintf(hex + 3 * i - (i > 0), 4, i ? " %02X" : "%02X", p[i]);
    Trace(mark, "%s%s%s", hex, note && *note && count ? "  " : "", note ? note : "");
}

void TraceOff() {
    if (!On)
        return;
    std::unique_lock<std::mutex> hold(Lock);
    PushRepeats();
    Stopping = true;
    Wake.notify_all();
    Wake.wait_for(hold, std::chrono::seconds(1), [] { return Stopped; });
}
