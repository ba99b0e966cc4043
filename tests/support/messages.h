// The failure texts, and a MessageBoxA for tests without a window system: it records each
// message and returns at once. Portable: the Windows build of link_fake_port_test uses it.
#pragma once

#include <string>
#include <vector>

#include "platform/win32.h"

inline constexpr char LINK_TEXT[] = "Bitte \xFC" // Windows-1252
                                    "berpr\xFC"
                                    "fen Sie die serielle Verbindung zum Interface";
inline constexpr char ANALOG_TEXT[] = "Ein Problem mit den analogen Eing\xE4"
                                      "ngen ist aufgetreten";

namespace testmsgs {

struct Shown {
    HWND owner;
    std::string text, title;
    UINT flags;
};
void Reset();
std::vector<Shown> All();
std::string Letters(); // "L" for each link message, "A" for each analog one, in order

} // namespace testmsgs
