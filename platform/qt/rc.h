// The part of a Windows resource script that the Qt layer builds windows from: menus,
// dialog templates and icons, in the forms ifdiag.rc uses; the script is the same file
// windres compiles for Windows, built into the program with the files it names as Qt
// resources (":/ifdiag.rc"). GUI thread only.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qtwin {

enum class ControlKind { PushButton, LText, EditText };
// Texts stay in the script's code page (Windows-1252); coordinates in dialog units.
struct ControlTemplate {
    ControlKind kind;
    std::string text;
    int id, x, y, cx, cy;
    uint32_t style; // with the defaults windres adds (WS_CHILD | WS_VISIBLE | per-kind ones)
};

struct DialogTemplate {
    std::string name, caption, face; // face and pointSize from FONT
    int x = 0, y = 0, cx = 0, cy = 0, pointSize = 0;
    uint32_t style = 0;
    std::vector<ControlTemplate> controls; // template order, which is the tab order
};

// A menu holds pop-ups, a pop-up holds commands (id != 0).
struct MenuItemTemplate {
    std::string text;
    int id = 0;
    std::vector<MenuItemTemplate> items;
};

struct MenuTemplate {
    std::string name;
    std::vector<MenuItemTemplate> items;
};

struct ResourceScript {
    std::vector<DialogTemplate> dialogs;
    std::vector<MenuTemplate> menus;
    std::map<std::string, std::string> icons; // name -> file
};

// Parses a script; #include "x" reads the built-in file x. Returns false at the first
// form outside that subset, with "line N: what" in *error.
bool ParseResourceScript(const std::string &text, ResourceScript *out, std::string *error);

// The program's own script, parsed on first use (aborts if it does not parse: a build fault).
const ResourceScript &ProgramResources();

// By name as written in the script; nullptr when there is none.
const DialogTemplate *FindDialogTemplate(const char *name);
const MenuTemplate *FindMenuTemplate(const char *name);

} // namespace qtwin
