#include "tests/support/messages.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

const char LINK_TEXT[] = "Bitte \xFC"
                         "berpr\xFC"
                         "fen Sie die serielle Verbindung zum Interface";
const char ANALOG_TEXT[] = "Ein Problem mit den analogen Eing\xE4"
                           "ngen ist aufgetreten";

namespace {
// Never destroyed: a poll thread may still be leaving a message as the test
// process exits.
std::mutex &Lock = *new std::mutex;
std::condition_variable &Changed = *new std::condition_variable;
std::vector<testing_messages::Shown> &Log = *new std::vector<testing_messages::Shown>;
bool Holding = false;
int Tickets = 0;
int OpenCount = 0;
std::thread::id MainThread;
} // namespace

namespace testing_messages {

void Reset() {
    std::lock_guard<std::mutex> hold(Lock);
    Log.clear();
    Holding = false;
    Tickets = 0;
    MainThread = std::this_thread::get_id();
    Changed.notify_all();
}

std::vector<Shown> All() {
    std::lock_guard<std::mutex> hold(Lock);
    return Log;
}

size_t Count() {
    std::lock_guard<std::mutex> hold(Lock);
    return Log.size();
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
    return OpenCount;
}

} // namespace testing_messages

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    std::unique_lock<std::mutex> hold(Lock);
    Log.push_back({owner, text, caption, type, std::this_thread::get_id() != MainThread});
    ++OpenCount;
    Changed.notify_all();
    Changed.wait(hold, [] { return !Holding || Tickets > 0; });
    if (Holding && Tickets > 0)
        --Tickets;
    --OpenCount;
    Changed.notify_all();
    return IDOK;
}
