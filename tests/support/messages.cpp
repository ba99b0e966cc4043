#include "tests/support/messages.h"

#include <mutex>

namespace {
// Never destroyed: a poll thread may still be leaving a message as the process exits.
std::mutex &Lock = *new std::mutex;
std::vector<testmsgs::Shown> &Log = *new std::vector<testmsgs::Shown>;
} // namespace

void testmsgs::Reset() {
    std::lock_guard<std::mutex> hold(Lock);
    Log.clear();
}

std::vector<testmsgs::Shown> testmsgs::All() {
    std::lock_guard<std::mutex> hold(Lock);
    return Log;
}

std::string testmsgs::Letters() {
    std::string s;
    for (const Shown &m : All())
        s += m.text == LINK_TEXT ? 'L' : m.text == ANALOG_TEXT ? 'A' : '?';
    return s;
}

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    std::lock_guard<std::mutex> hold(Lock);
    Log.push_back({owner, text, caption, type});
    return IDOK;
}
