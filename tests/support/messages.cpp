#include "tests/support/messages.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {
// Never destroyed: a poll thread may still be leaving a message as the process exits.
std::mutex &Lock = *new std::mutex;
std::condition_variable &Changed = *new std::condition_variable;
std::vector<testing_messages::Shown> &Log = *new std::vector<testing_messages::Shown>;
bool Holding = false;
int Tickets = 0, OpenNow = 0;
} // namespace

namespace testing_messages {

void Reset() {
    std::lock_guard<std::mutex> hold(Lock);
    Log.clear();
    Holding = false;
    Tickets = 0;
    Changed.notify_all();
}

std::vector<Shown> All() {
    std::lock_guard<std::mutex> hold(Lock);
    return Log;
}

size_t Count() {
    return All().size();
}

std::string Letters() {
    std::string s;
    for (const Shown &m : All())
        s += m.text == LINK_TEXT ? 'L' : m.text == ANALOG_TEXT ? 'A' : '?';
    return s;
}

void Hold(bool on) {
    std::lock_guard<std::mutex> hold(Lock);
    Holding = on;
    Changed.notify_all();
}

void ReleaseOne() {
    std::lock_guard<std::mutex> hold(Lock);
    ++Tickets;
    Changed.notify_all();
}

size_t WaitFor(size_t n, int ms) {
    std::unique_lock<std::mutex> hold(Lock);
    Changed.wait_for(hold, std::chrono::milliseconds(ms), [n] { return Log.size() >= n; });
    return Log.size();
}

int Open() {
    std::lock_guard<std::mutex> hold(Lock);
    return OpenNow;
}

} // namespace testing_messages

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    std::unique_lock<std::mutex> hold(Lock);
    Log.push_back({owner, text, caption, type});
    ++OpenNow;
    Changed.notify_all();
    Changed.wait(hold, [] { return !Holding || Tickets > 0; });
    if (Holding)
        --Tickets;
    --OpenNow;
    Changed.notify_all();
    return IDOK;
}
