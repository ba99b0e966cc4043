// Reader for the subset of the resource-script language that ifdiag.rc uses. It follows
// what windres makes of the same text, so both builds see the same template: style
// expressions are OR-ed onto the defaults of each statement, "" inside a string is a
// quote, and names of resources are kept as written (they are looked up as strings).
#include "platform/qt/rc.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace qtwin {

namespace {

// The style names a script may use, with the values of <windows.h>.
const std::map<std::string, uint32_t> &StyleNames() {
    static const std::map<std::string, uint32_t> names = {
        {"WS_OVERLAPPED", 0x00000000u},
        {"WS_POPUP", 0x80000000u},
        {"WS_CHILD", 0x40000000u},
        {"WS_MINIMIZE", 0x20000000u},
        {"WS_VISIBLE", 0x10000000u},
        {"WS_DISABLED", 0x08000000u},
        {"WS_CLIPSIBLINGS", 0x04000000u},
        {"WS_CLIPCHILDREN", 0x02000000u},
        {"WS_MAXIMIZE", 0x01000000u},
        {"WS_CAPTION", 0x00C00000u},
        {"WS_BORDER", 0x00800000u},
        {"WS_DLGFRAME", 0x00400000u},
        {"WS_VSCROLL", 0x00200000u},
        {"WS_HSCROLL", 0x00100000u},
        {"WS_SYSMENU", 0x00080000u},
        {"WS_THICKFRAME", 0x00040000u},
        {"WS_GROUP", 0x00020000u},
        {"WS_TABSTOP", 0x00010000u},
        {"WS_MINIMIZEBOX", 0x00020000u},
        {"WS_MAXIMIZEBOX", 0x00010000u},
        {"DS_ABSALIGN", 0x01u},
        {"DS_SYSMODAL", 0x02u},
        {"DS_LOCALEDIT", 0x20u},
        {"DS_SETFONT", 0x40u},
        {"DS_MODALFRAME", 0x80u},
        {"DS_NOIDLEMSG", 0x100u},
        {"DS_SETFOREGROUND", 0x200u},
        {"DS_3DLOOK", 0x4u},
        {"DS_FIXEDSYS", 0x8u},
        {"DS_CENTER", 0x800u},
        {"ES_LEFT", 0x0000u},
        {"ES_CENTER", 0x0001u},
        {"ES_RIGHT", 0x0002u},
        {"ES_MULTILINE", 0x0004u},
        {"ES_UPPERCASE", 0x0008u},
        {"ES_LOWERCASE", 0x0010u},
        {"ES_PASSWORD", 0x0020u},
        {"ES_AUTOVSCROLL", 0x0040u},
        {"ES_AUTOHSCROLL", 0x0080u},
        {"ES_NOHIDESEL", 0x0100u},
        {"ES_READONLY", 0x0800u},
        {"ES_NUMBER", 0x2000u},
        {"SS_LEFT", 0x0000u},
        {"SS_CENTER", 0x0001u},
        {"SS_RIGHT", 0x0002u},
        {"SS_NOPREFIX", 0x0080u},
        {"BS_PUSHBUTTON", 0x0000u},
        {"BS_DEFPUSHBUTTON", 0x0001u},
        {"BS_FLAT", 0x8000u},
        {"BS_MULTILINE", 0x2000u},
        {"IDOK", 1u},
        {"IDCANCEL", 2u},
    };
    return names;
}

struct Token {
    enum Kind { End, Word, Number, String, Punct } kind;
    std::string text; // word, decoded string or punctuation character
    long value = 0;
    int line = 0;
};

class Lexer {
public:
    explicit Lexer(std::string text) : s_(std::move(text)) {}
    std::map<std::string, long> defines;

    Token Next() {
        SkipSpaceAndDirectives();
        Token t;
        t.line = line_;
        if (pos_ >= s_.size()) {
            t.kind = Token::End;
            return t;
        }
        char c = s_[pos_];
        if (c == '"') {
            t.kind = Token::String;
            ++pos_;
            while (pos_ < s_.size()) {
                if (s_[pos_] == '"') {
                    if (pos_ + 1 < s_.size() && s_[pos_ + 1] == '"') {
                        t.text += '"';
                        pos_ += 2;
                        continue;
                    }
                    ++pos_;
                    break;
                }
                t.text += s_[pos_++];
            }
            return t;
        }
        if (std::isdigit(static_cast<unsigned char>(c))) {
            t.kind = Token::Number;
            size_t start = pos_;
            while (pos_ < s_.size() && std::isalnum(static_cast<unsigned char>(s_[pos_])))
                ++pos_;
            std::string digits = s_.substr(start, pos_ - start);
            while (!digits.empty() && (digits.back() == 'L' || digits.back() == 'l' ||
                                       digits.back() == 'U' || digits.back() == 'u'))
                digits.pop_back();
            t.value = static_cast<long>(std::strtoul(digits.c_str(), nullptr, 0));
            return t;
        }
        if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
            t.kind = Token::Word;
            while (pos_ < s_.size() &&
                   (std::isalnum(static_cast<unsigned char>(s_[pos_])) || s_[pos_] == '_'))
                t.text += s_[pos_++];
            return t;
        }
        t.kind = Token::Punct;
        t.text = std::string(1, c);
        ++pos_;
        return t;
    }

private:
    void SkipSpaceAndDirectives() {
        for (;;) {
            while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_]))) {
                if (s_[pos_] == '\n')
                    ++line_;
                ++pos_;
            }
            if (s_.compare(pos_, 2, "//") == 0) {
                SkipLine();
            } else if (s_.compare(pos_, 2, "/*") == 0) {
                size_t end = s_.find("*/", pos_ + 2);
                end = end == std::string::npos ? s_.size() : end + 2;
                for (size_t i = pos_; i < end; ++i)
                    line_ += s_[i] == '\n';
                pos_ = end;
            } else if (pos_ < s_.size() && s_[pos_] == '#') {
                // Preprocessor lines: #define NAME number is kept (ids from a header);
                // #include and #pragma (code_page 1252 is the only one used) are passed by.
                size_t end = s_.find('\n', pos_);
                std::string directive = s_.substr(pos_, end - pos_);
                char name[128];
                char value[64];
                if (std::sscanf(directive.c_str(), "#define %127s %63s", name, value) == 2)
                    defines[name] = std::strtol(value, nullptr, 0);
                if (std::sscanf(directive.c_str(), "#include \"%127[^\"]\"", name) == 1)
                    if (const EmbeddedFile *f = FindEmbeddedFile(name)) {
                        Lexer header(std::string(reinterpret_cast<const char *>(f->data), f->size));
                        header.Next();
                        defines.insert(header.defines.begin(), header.defines.end());
                    }
                SkipLine();
            } else {
                return;
            }
        }
    }
    void SkipLine() {
        while (pos_ < s_.size() && s_[pos_] != '\n')
            ++pos_;
    }

    std::string s_;
    size_t pos_ = 0;
    int line_ = 1;
};

class Parser {
public:
    explicit Parser(const std::string &text) : lex_(text) { Advance(); }

    bool Parse(ResourceScript *out) {
        while (tok_.kind != Token::End) {
            if (IsWord("LANGUAGE")) { // LANGUAGE primary, sub
                Advance();
                Expression();
                Comma();
                Expression();
                continue;
            }
            std::string name = tok_.kind == Token::Number ? std::to_string(tok_.value) : tok_.text;
            if (tok_.kind != Token::Word && tok_.kind != Token::Number)
                return Fail("resource name expected");
            Advance();
            if (IsWord("MENU")) {
                Advance();
                MenuTemplate menu;
                menu.name = name;
                SkipOptionsUntilBegin();
                if (!MenuBody(&menu.items))
                    return false;
                out->menus.push_back(menu);
            } else if (IsWord("DIALOG")) {
                Advance();
                DialogTemplate dlg;
                dlg.name = name;
                if (!Dialog(&dlg))
                    return false;
                out->dialogs.push_back(dlg);
            } else if (IsWord("ICON")) {
                Advance();
                SkipMemoryOptions();
                if (tok_.kind != Token::String)
                    return Fail("icon file name expected");
                out->icons.push_back({name, tok_.text});
                Advance();
            } else {
                return Fail("unsupported resource type '" + tok_.text + "'");
            }
            if (failed_)
                return false;
        }
        return !failed_;
    }

    std::string error;

private:
    void Advance() { tok_ = lex_.Next(); }
    bool IsWord(const char *w) const { return tok_.kind == Token::Word && tok_.text == w; }
    bool IsPunct(char c) const { return tok_.kind == Token::Punct && tok_.text[0] == c; }
    bool IsBegin() const { return IsWord("BEGIN") || IsPunct('{'); }
    bool IsEnd() const { return IsWord("END") || IsPunct('}'); }
    bool Fail(const std::string &what) {
        if (!failed_)
            error = "line " + std::to_string(tok_.line) + ": " + what;
        failed_ = true;
        return false;
    }
    void Comma() {
        if (IsPunct(','))
            Advance();
    }
    void SkipMemoryOptions() {
        while (IsWord("MOVEABLE") || IsWord("FIXED") || IsWord("PURE") || IsWord("IMPURE") ||
               IsWord("PRELOAD") || IsWord("LOADONCALL") || IsWord("DISCARDABLE"))
            Advance();
    }
    void SkipOptionsUntilBegin() {
        while (tok_.kind != Token::End && !IsBegin())
            Advance();
    }

    // expression: term { '|' term }, term: [NOT] primary, primary: number, name, -primary,
    // (expression). NOT clears the bits of its operand from what precedes it, as in rc.
    long Expression() {
        long value = 0;
        bool first = true;
        for (;;) {
            bool negate = false;
            if (IsWord("NOT")) {
                negate = true;
                Advance();
            }
            long term = Primary();
            if (negate)
                value &= ~term;
            else
                value = first ? term : (value | term);
            first = false;
            if (IsPunct('|') || IsPunct('+')) {
                Advance();
                continue;
            }
            return value;
        }
    }
    long Primary() {
        if (IsPunct('-')) {
            Advance();
            return -Primary();
        }
        if (IsPunct('(')) {
            Advance();
            long v = Expression();
            if (IsPunct(')'))
                Advance();
            else
                Fail("')' expected");
            return v;
        }
        if (tok_.kind == Token::Number) {
            long v = tok_.value;
            Advance();
            return v;
        }
        if (tok_.kind == Token::Word) {
            auto &names = StyleNames();
            auto it = names.find(tok_.text);
            auto def = lex_.defines.find(tok_.text);
            if (it == names.end() && def == lex_.defines.end()) {
                Fail("unknown name '" + tok_.text + "'");
                return 0;
            }
            long v = it != names.end() ? static_cast<long>(it->second) : def->second;
            Advance();
            return v;
        }
        Fail("number expected");
        return 0;
    }
    std::string String() {
        if (tok_.kind != Token::String) {
            Fail("string expected");
            return {};
        }
        std::string s = tok_.text;
        Advance();
        return s;
    }

    bool MenuBody(std::vector<MenuItemTemplate> *items) {
        if (!IsBegin())
            return Fail("BEGIN expected");
        Advance();
        while (!IsEnd()) {
            MenuItemTemplate item;
            if (IsWord("POPUP")) {
                Advance();
                item.text = String();
                while (IsPunct(',') || (tok_.kind == Token::Word && !IsBegin())) // options
                    Advance();
                if (!MenuBody(&item.items))
                    return false;
            } else if (IsWord("MENUITEM")) {
                Advance();
                if (IsWord("SEPARATOR")) {
                    item.separator = true;
                    Advance();
                } else {
                    item.text = String();
                    Comma();
                    item.id = static_cast<int>(Expression());
                    while (IsPunct(',') || (tok_.kind == Token::Word && !IsWord("MENUITEM") &&
                                            !IsWord("POPUP") && !IsEnd()))
                        Advance(); // CHECKED, GRAYED and the like: not used by ifdiag
                }
            } else {
                return Fail("MENUITEM or POPUP expected");
            }
            if (failed_)
                return false;
            items->push_back(item);
        }
        Advance();
        return true;
    }

    bool Dialog(DialogTemplate *dlg) {
        SkipMemoryOptions();
        dlg->x = static_cast<int>(Expression());
        Comma();
        dlg->y = static_cast<int>(Expression());
        Comma();
        dlg->cx = static_cast<int>(Expression());
        Comma();
        dlg->cy = static_cast<int>(Expression());
        // Without a STYLE statement a dialog is a pop-up with border and system menu.
        dlg->style = 0x80000000u | 0x00800000u | 0x00080000u;
        while (!IsBegin() && !failed_) {
            if (IsWord("STYLE")) {
                Advance();
                dlg->style = static_cast<uint32_t>(Expression());
            } else if (IsWord("CAPTION")) {
                Advance();
                dlg->caption = String();
                dlg->style |= 0x00C00000u; // WS_CAPTION, as windres adds it
            } else if (IsWord("FONT")) {
                Advance();
                dlg->pointSize = static_cast<int>(Expression());
                Comma();
                dlg->face = String();
            } else if (IsWord("LANGUAGE") || IsWord("EXSTYLE") || IsWord("CHARACTERISTICS") ||
                       IsWord("VERSION")) {
                Advance();
                Expression();
                if (IsPunct(',')) {
                    Advance();
                    Expression();
                }
            } else {
                return Fail("unsupported dialog statement '" + tok_.text + "'");
            }
        }
        if (!dlg->face.empty())
            dlg->style |= 0x40u; // DS_SETFONT
        if (failed_)
            return false;
        Advance();
        while (!IsEnd()) {
            if (tok_.kind == Token::End)
                return Fail("END expected");
            ControlTemplate c;
            const uint32_t child = 0x40000000u | 0x10000000u; // WS_CHILD | WS_VISIBLE
            bool hasText = true;
            if (IsWord("PUSHBUTTON")) {
                c.kind = ControlKind::PushButton;
                c.style = child | 0x00010000u; // BS_PUSHBUTTON | WS_TABSTOP
            } else if (IsWord("DEFPUSHBUTTON")) {
                c.kind = ControlKind::DefPushButton;
                c.style = child | 0x00010000u | 0x1u;
            } else if (IsWord("LTEXT") || IsWord("CTEXT") || IsWord("RTEXT")) {
                c.kind = IsWord("LTEXT")   ? ControlKind::LText
                         : IsWord("CTEXT") ? ControlKind::CText
                                           : ControlKind::RText;
                c.style = child | 0x00020000u | (IsWord("LTEXT") ? 0u : IsWord("CTEXT") ? 1u : 2u);
            } else if (IsWord("EDITTEXT")) {
                c.kind = ControlKind::EditText;
                c.style = child | 0x00800000u | 0x00010000u; // ES_LEFT | WS_BORDER | WS_TABSTOP
                hasText = false;
            } else {
                return Fail("unsupported control '" + tok_.text + "'");
            }
            Advance();
            if (hasText) {
                c.text = String();
                Comma();
            }
            c.id = static_cast<int>(Expression());
            Comma();
            c.x = static_cast<int>(Expression());
            Comma();
            c.y = static_cast<int>(Expression());
            Comma();
            c.cx = static_cast<int>(Expression());
            Comma();
            c.cy = static_cast<int>(Expression());
            if (IsPunct(',')) {
                Advance();
                // The given style is added to the statement's defaults, NOT takes bits away.
                long given = 0;
                for (;;) {
                    bool negate = IsWord("NOT");
                    if (negate)
                        Advance();
                    long term = Primary();
                    if (negate)
                        c.style &= ~static_cast<uint32_t>(term);
                    else
                        given |= term;
                    if (!IsPunct('|'))
                        break;
                    Advance();
                }
                c.style |= static_cast<uint32_t>(given);
                if (IsPunct(',')) { // extended style: not used
                    Advance();
                    Expression();
                }
            }
            if (failed_)
                return false;
            dlg->controls.push_back(c);
        }
        Advance();
        return true;
    }

    Lexer lex_;
    Token tok_;
    bool failed_ = false;
};

bool SameName(const std::string &have, const char *want) {
    if ((reinterpret_cast<uintptr_t>(want) >> 16) == 0) // MAKEINTRESOURCE
        return have == std::to_string(reinterpret_cast<uintptr_t>(want));
    return have == want;
}

} // namespace

bool ParseResourceScript(const std::string &text, ResourceScript *out, std::string *error) {
    Parser parser(text);
    if (parser.Parse(out))
        return true;
    if (error)
        *error = parser.error;
    return false;
}

const EmbeddedFile *FindEmbeddedFile(const std::string &name) {
    for (const EmbeddedFile *f = kEmbeddedFiles; f->name; ++f)
        if (name == f->name)
            return f;
    return nullptr;
}

const ResourceScript &ProgramResources() {
    static const ResourceScript script = [] {
        ResourceScript s;
        std::string error;
        const EmbeddedFile *rc = FindEmbeddedFile("ifdiag.rc");
        if (!rc ||
            !ParseResourceScript(std::string(reinterpret_cast<const char *>(rc->data), rc->size),
                                 &s, &error)) {
            std::fprintf(stderr, "ifdiag: built-in resources unreadable: %s\n", error.c_str());
            std::abort();
        }
        return s;
    }();
    return script;
}

const DialogTemplate *FindDialogTemplate(const char *name) {
    for (const DialogTemplate &d : ProgramResources().dialogs)
        if (SameName(d.name, name))
            return &d;
    return nullptr;
}

const MenuTemplate *FindMenuTemplate(const char *name) {
    for (const MenuTemplate &m : ProgramResources().menus)
        if (SameName(m.name, name))
            return &m;
    return nullptr;
}

const IconResource *FindIconResource(const char *name) {
    for (const IconResource &i : ProgramResources().icons)
        if (SameName(i.name, name))
            return &i;
    return nullptr;
}

} // namespace qtwin
