#include "platform/posix/trace.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>
#include <utility>

#include <termios.h>
#include <unistd.h>

namespace {

// About 40 cycles' worth of lines; a line long enough for a refusal's hint and a long path.
constexpr size_t SLOTS = 1024, WIDTH = 320;

std::atomic<bool> On{false};
std::atomic<int64_t> Epoch{0}; // ns of the last opening

// Under Lock. The writer holds it only to copy lines out, never while it writes. Never
// destroyed: the writer may still wait on them, or sit in write(2), as the process exits.
std::mutex &Lock = *new std::mutex;
std::condition_variable &Wake = *new std::condition_variable;
char Ring[SLOTS][WIDTH];
size_t Head = 0, Tail = 0, Written = 0; // Tail..Head-1 wait for the writer, up to Written are out
unsigned long long Dropped = 0, Repeats = 0;
char Last[WIDTH]; // the latest line but for its time

int64_t NowNs() {
    return std::chrono::steady_clock::now().time_since_epoch() / std::chrono::nanoseconds(1);
}

void WriteAll(const char *text, size_t size) {
    for (ssize_t n; size > 0 && (n = write(STDERR_FILENO, text, size)) > 0; text += n, size -= n) {
    }
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
    snprintf(line, WIDTH, "%9s  ...    %llu more like the line before\n", "", Repeats);
    if (std::exchange(Repeats, 0) > 0)
        Push(line);
}

void Writer() {
    static char out[64 * WIDTH];
    std::unique_lock<std::mutex> hold(Lock);
    for (;;) {
        Wake.wait(hold, [] { return Head != Tail; });
        size_t size = 0;
        while (Tail != Head && size + WIDTH <= sizeof out)
            size += strlen(strcpy(out + size, Ring[Tail++ % SLOTS]));
        // Told when the ring has emptied: the lines dropped are all before this point.
        const unsigned long long dropped = Tail == Head ? Dropped : 0;
        Dropped -= dropped;
        hold.unlock();
        if (dropped > 0)
            size += snprintf(out + size, sizeof out - size, "...  %llu lines dropped\n", dropped);
        WriteAll(out, size);
        hold.lock();
        Written = Tail;    // the writer alone moves Tail
        Wake.notify_all(); // TraceOff
    }
}

} // namespace

void TraceOn() {
    Epoch = NowNs();
    On = true;
}
bool Tracing() {
    return On;
}

// Lines alike but for their time (a gone device's 20,001 failed reads) are kept as the first
// and a count, so that a flood cannot push out the message that follows it.
void Trace(const char *mark, const char *format, ...) {
    if (!On && mark)
        return;
    mark = mark || !On ? mark : "note"; // a note without --trace is written as it is
    char line[WIDTH];
    int time = 0, n = 0; // the time column, the line
    if (mark) {
        const bool opening = strcmp(mark, "open") == 0;
        if (opening)
            Epoch = NowNs();
        const long long tenths = (NowNs() - Epoch) / 100000;
        time = snprintf(line, WIDTH, "%7lld.%lld  ", tenths / 10, tenths % 10);
        n = time + snprintf(line + time, WIDTH - size_t(time), "%-5s  ", mark);
        tm local;
        const time_t now = std::time(nullptr);
        if (opening && localtime_r(&now, &local)) // when 0.0 was, on the user's clock
            n += int(strftime(line + n, WIDTH - size_t(n), "%F %T %z  ", &local));
    }
    va_list args;
    va_start(args, format);
    n += vsnprintf(line + n, WIDTH - size_t(n), format, args);
    va_end(args);
    strcpy(line + std::min(n, int(WIDTH) - 2), "\n"); // a line cut short still ends as one
    static std::once_flag started;
    std::call_once(started, [] { std::thread(Writer).detach(); }); // may sit in write(2) for ever
    {
        std::lock_guard<std::mutex> hold(Lock);
        if (strcmp(line + time, Last) == 0 && ++Repeats)
            return;
        PushRepeats();
        strcpy(Last, line + time);
        Push(line);
    }
    Wake.notify_all(); // the writer
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

void TraceSettings(const char *mark, const char *head, const termios &tio) {
    static const std::pair<speed_t, int> rates[] = {
        {B1200, 1200},   {B2400, 2400},   {B4800, 4800},   {B9600, 9600},
        {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}};
    int rate = 0;
    for (const auto &[code, baud] : rates)
        rate = cfgetospeed(&tio) == code ? baud : rate;
    const tcflag_t c = tio.c_cflag;
    Trace(mark, "%s%d %d%c%d%s%s%s", head, rate, 5 + int((c & CSIZE) / CS6),
          c & PARENB ? c & PARODD ? 'O' : 'E' : 'N', c & CSTOPB ? 2 : 1,
          c & CRTSCTS ? " crtscts" : "", tio.c_iflag & IXON ? " ixon" : "",
          tio.c_iflag & IXOFF ? " ixoff" : "");
}

void TraceOff() {
    std::unique_lock<std::mutex> hold(Lock);
    PushRepeats();
    Wake.notify_all();
    Wake.wait_for(hold, std::chrono::seconds(1), [] { return Written == Head; });
}
