// Reader for the resource-script forms that ifdiag.rc uses. It follows what windres makes
// of the same text, so both builds see the same template: a control's style is OR-ed onto
// its statement's defaults. Anything else is refused with its line number, not guessed at.
#include "platform/qt/rc.h"

#include <QFile>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <regex>
#include <sstream>

#include "platform/win32.h"

namespace qtwin {
namespace {

// The <windows.h> names a script may use.
#define NAME(n) std::make_pair(#n, static_cast<long>(n))
const std::map<std::string, long> WINDOWS_NAMES = {
    NAME(WS_POPUP),       NAME(WS_CHILD), NAME(WS_VISIBLE), NAME(WS_CAPTION),    NAME(WS_BORDER),
    NAME(WS_SYSMENU),     NAME(WS_GROUP), NAME(WS_TABSTOP), NAME(DS_MODALFRAME), NAME(ES_LEFT),
    NAME(ES_AUTOHSCROLL), NAME(IDOK),     NAME(IDCANCEL)};
#undef NAME

class Parser {
public:
    std::string error;

    // Splits the text into tokens, each with its line; handles the preprocessor lines.
    bool Read(const std::string &text) {
        static const std::regex token(R"(("[^"]*"|[-\w]+|[,|])|(//.*)|\S)");
        std::istringstream in(text);
        std::string line;
        for (int number = 1; std::getline(in, line); ++number) {
            line_number = number;
            size_t first = line.find_first_not_of(" \t\r");
            if (first != std::string::npos && line[first] == '#') {
                if (!Directive(line.substr(first)))
                    return false;
                continue;
            }
            for (std::sregex_iterator m(line.begin(), line.end(), token), end; m != end; ++m) {
                if ((*m)[2].matched) // a comment
                    break;
                if (!(*m)[1].matched)
                    return Unexpected(m->str());
                tokens.push_back({number, m->str()});
            }
        }
        return true;
    }

    bool Parse(ResourceScript *out) {
        while (at < tokens.size() && error.empty()) {
            std::string name = Next();
            std::string type = Next();
            if (type == "ICON") {
                out->icons[name] = Text();
            } else if (type == "MENU") {
                out->menus.push_back({name, {}});
                Menu(&out->menus.back().items, true);
            } else if (type == "DIALOG") {
                out->dialogs.emplace_back();
                out->dialogs.back().name = name;
                Dialog(&out->dialogs.back());
            } else {
                Unexpected(type);
            }
        }
        return error.empty();
    }

private:
    bool Fail(const std::string &what) {
        if (error.empty())
            error = "line " + std::to_string(line_number) + ": " + what;
        return false;
    }
    bool Unexpected(const std::string &t) {
        return Fail(t.empty() ? "unexpected end" : "'" + t + "' not supported here");
    }

    // #include <windows.h> is windres's business: its names that scripts use are above.
    bool Directive(const std::string &line) {
        char name[64], value[64];
        if (line.rfind("#include <windows.h>", 0) == 0 || line.rfind("#pragma once", 0) == 0 ||
            line.rfind("#pragma code_page(1252)", 0) == 0)
            return true;
        if (std::sscanf(line.c_str(), "#define %63s %63s", name, value) == 2) {
            defines[name] = Number(value);
            return error.empty();
        }
        if (std::sscanf(line.c_str(), "#include \"%63[^\"]\"", name) == 1) {
            QFile f(QString(":/") + name);
            if (!f.open(QIODevice::ReadOnly))
                return Fail(std::string("no built-in file ") + name);
            if (!Read(f.readAll().toStdString()))
                error = std::string(name) + ", " + error;
            return error.empty();
        }
        return Unexpected(line);
    }

    // The next token ("" at the end) and its line.
    std::string Next() {
        if (at == tokens.size())
            return {};
        line_number = tokens[at].first;
        return tokens[at++].second;
    }
    std::string Peek() const { return at < tokens.size() ? tokens[at].second : ""; }
    bool Expect(const std::string &word) {
        std::string t = Next();
        return t == word || Fail(word + " expected instead of '" + t + "'");
    }
    std::string Text() {
        std::string t = Next();
        if (t.size() < 2 || t[0] != '"')
            Fail("string expected instead of '" + t + "'");
        return t.size() < 2 ? "" : t.substr(1, t.size() - 2);
    }
    long Number(const std::string &t) {
        char *end = nullptr;
        long value = std::strtol(t.c_str(), &end, 0);
        if (!t.empty() && *end == '\0')
            return value;
        if (defines.count(t))
            return defines[t];
        Fail("unknown name '" + t + "'");
        return 0;
    }
    // name-or-number { '|' name-or-number }
    long Expression() {
        long value = Number(Next());
        while (Peek() == "|" && Next() == "|")
            value |= Number(Next());
        return value;
    }
    int Int() { return static_cast<int>(Expression()); }
    int NextInt() { return Expect(",") ? Int() : 0; }
    void Rect(int *x, int *y, int *cx, int *cy, bool comma) {
        *x = comma ? NextInt() : Int();
        *y = NextInt();
        *cx = NextInt();
        *cy = NextInt();
    }

    // BEGIN, entries, END: POPUPs at the top, MENUITEMs inside them.
    void Menu(std::vector<MenuItemTemplate> *items, bool top) {
        Expect("BEGIN");
        for (std::string k = Next(); k != "END" && error.empty(); k = Next()) {
            if (k != (top ? "POPUP" : "MENUITEM"))
                Unexpected(k); // and the loop ends
            items->push_back({Text(), 0, {}});
            if (top)
                Menu(&items->back().items, false);
            else
                items->back().id = NextInt();
        }
    }

    void Dialog(DialogTemplate *d) {
        Rect(&d->x, &d->y, &d->cx, &d->cy, false);
        d->style = WS_POPUP | WS_BORDER | WS_SYSMENU; // without a STYLE statement
        for (std::string k = Next(); k != "BEGIN" && error.empty(); k = Next()) {
            if (k == "STYLE") {
                d->style = static_cast<uint32_t>(Expression());
            } else if (k == "CAPTION") {
                d->caption = Text();
            } else if (k == "FONT") {
                d->pointSize = Int();
                d->face = Expect(",") ? Text() : "";
            } else {
                Unexpected(k);
            }
        }
        // As windres: a caption implies its style, a font the bit that says it is there.
        d->style |= (d->caption.empty() ? 0 : WS_CAPTION) | (d->face.empty() ? 0 : DS_SETFONT);
        for (std::string k = Next(); k != "END" && error.empty(); k = Next()) {
            ControlTemplate c{};
            c.style = WS_CHILD | WS_VISIBLE;
            if (k == "PUSHBUTTON" || k == "LTEXT") {
                c.kind = k == "LTEXT" ? ControlKind::LText : ControlKind::PushButton;
                c.style |= k == "LTEXT" ? WS_GROUP : WS_TABSTOP;
                c.text = Text();
                c.id = NextInt();
            } else if (k == "EDITTEXT") {
                c.kind = ControlKind::EditText;
                c.style |= WS_BORDER | WS_TABSTOP;
                c.id = Int();
            } else {
                Unexpected(k); // and the loop ends
            }
            Rect(&c.x, &c.y, &c.cx, &c.cy, true);
            if (Peek() == ",")
                c.style |= static_cast<uint32_t>(NextInt());
            d->controls.push_back(c);
        }
    }

    std::vector<std::pair<int, std::string>> tokens;
    size_t at = 0;
    int line_number = 0;
    std::map<std::string, long> defines = WINDOWS_NAMES;
};

template <typename T> const T *FindByName(const std::vector<T> &all, const char *name) {
    for (const T &t : all)
        if (name && t.name == name)
            return &t;
    return nullptr;
}

} // namespace

bool ParseResourceScript(const std::string &text, ResourceScript *out, std::string *error) {
    Parser parser;
    bool ok = parser.Read(text) && parser.Parse(out);
    if (error)
        *error = parser.error;
    return ok;
}

const ResourceScript &ProgramResources() {
    static const ResourceScript script = [] {
        ResourceScript s;
        std::string error;
        if (!ParseResourceScript("#include \"ifdiag.rc\"\n", &s, &error)) {
            std::fprintf(stderr, "ifdiag: built-in resources unreadable: %s\n", error.c_str());
            std::abort();
        }
        return s;
    }();
    return script;
}

const DialogTemplate *FindDialogTemplate(const char *name) {
    return FindByName(ProgramResources().dialogs, name);
}
const MenuTemplate *FindMenuTemplate(const char *name) {
    return FindByName(ProgramResources().menus, name);
}

} // namespace qtwin
