// The failure texts, and a MessageBoxA for tests without a window system: it records
// every message and, while held, keeps its caller blocked as a user who leaves it open.
// Plain C++ and win32.h only: the Windows build of the scripted-port test uses it too.
#pragma once

#include <string>
#include <vector>

#include "platform/win32.h"

// As Windows-1252 bytes.
inline constexpr char LINK_TEXT[] = "Bitte \xFC"
                                    "berpr\xFC"
                                    "fen Sie die serielle Verbindung zum Interface";
inline constexpr char ANALOG_TEXT[] = "Ein Problem mit den analogen Eing\xE4"
                                      "ngen ist aufgetreten";

namespace testing_messages {

struct Shown {
    HWND owner;
    std::string text, title;
    UINT flags;
};

void Reset();
std::vector<Shown> All();
size_t Count();
// "L" for each link message, "A" for each analog one, in order.
std::string Letters();
// While held, each message stays open until ReleaseOne().
void Hold(bool on);
void ReleaseOne();
// Waits until `n` messages have been shown or `ms` have passed; returns the count.
size_t WaitFor(size_t n, int ms);
int Open(); // messages open now

} // namespace testing_messages
