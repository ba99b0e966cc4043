// A MessageBoxA for tests without a window system: records every message and,
// when asked, keeps the caller blocked as a user would who leaves it open.
#pragma once

#include <string>
#include <vector>

#include "platform/win32.h"

namespace testing_messages {

struct Shown {
    HWND owner;
    std::string text;
    std::string title;
    UINT flags;
    bool poll_thread; // shown off the thread that called Reset()
};

void Reset(); // forget everything; the caller is the "dialog thread"
std::vector<Shown> All();
size_t Count();
// While held, every MessageBoxA blocks until Release() (or ReleaseOne()).
void Hold(bool on);
void ReleaseOne();
// Waits until `n` messages have been shown (or `ms` passed); returns the count.
size_t WaitFor(size_t n, int ms);
// Messages currently open (blocked callers).
int Open();

} // namespace testing_messages

// The texts, as Windows-1252 bytes.
extern const char LINK_TEXT[];
extern const char ANALOG_TEXT[];
