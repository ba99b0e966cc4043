// The part of a Windows resource script that the Qt layer builds windows from: menus,
// dialog templates and icons. The script is the same file windres compiles for Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qtwin {

// Files built into the program (resources/ifdiag.rc and the files it names); the table
// ends with a null name.
struct EmbeddedFile {
    const char *name;
    const unsigned char *data;
    size_t size;
};
extern const EmbeddedFile kEmbeddedFiles[];
const EmbeddedFile *FindEmbeddedFile(const std::string &name);

enum class ControlKind { PushButton, DefPushButton, LText, CText, RText, EditText };

// Texts stay in the script's code page (Windows-1252); coordinates in dialog units.
struct ControlTemplate {
    ControlKind kind;
    std::string text;
    int id;
    int x, y, cx, cy;
    uint32_t style; // with the defaults windres adds (WS_CHILD | WS_VISIBLE | per-kind ones)
};

struct DialogTemplate {
    std::string name;
    int x, y, cx, cy;
    uint32_t style;
    std::string caption;
    int pointSize = 0;
    std::string face;
    std::vector<ControlTemplate> controls; // template order, which is the tab order
};

struct MenuItemTemplate {
    std::string text;
    int id = 0; // 0 for a pop-up or a separator
    bool separator = false;
    std::vector<MenuItemTemplate> items; // a pop-up's entries
};

struct MenuTemplate {
    std::string name;
    std::vector<MenuItemTemplate> items;
};

struct IconResource {
    std::string name;
    std::string file;
};

struct ResourceScript {
    std::vector<DialogTemplate> dialogs;
    std::vector<MenuTemplate> menus;
    std::vector<IconResource> icons;
};

// Parses a script; on an error returns false and says where in *error.
bool ParseResourceScript(const std::string &text, ResourceScript *out, std::string *error);

// The program's own script, parsed once on first use (aborts if it does not parse: it is
// built in, so that is a build fault).
const ResourceScript &ProgramResources();

// Resource names as Win32 passes them: a string, or a number made with MAKEINTRESOURCE.
const DialogTemplate *FindDialogTemplate(const char *name);
const MenuTemplate *FindMenuTemplate(const char *name);
const IconResource *FindIconResource(const char *name);

} // namespace qtwin
