#include "winsim/user/rc_parser.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <cstdint>
#include <memory>
#include <set>
#include <utility>

#include "winsim/api/win32_user.h"
#include "winsim/user/rc_expression.h"
#include "winsim/user/rc_lexer.h"
#include "winsim/user/rc_preprocessor.h"
#include "winsim/user/rc_symbols.h"

namespace winsim::ui::detail {

using namespace rc;

namespace {

// ---- Resource statements ---------------------------------------------------------

class Parser {
public:
    Parser(const std::vector<Token>& toks, const std::map<std::string, Macro>& macros,
           const std::vector<ResourceFile>& files, const std::string& rcName, ResourceSet* out)
        : toks_(toks), macros_(macros), files_(files), rcName_(rcName), out_(*out) {}

    void run() {
        while (!atEnd()) statement();
    }

private:
    bool atEnd() const { return pos_ >= toks_.size(); }
    const Token& cur() const {
        static const Token end;
        return atEnd() ? end : toks_[pos_];
    }
    bool isIdent(const char* word) const {
        return cur().kind == Tok::Ident && iequals(cur().text, word);
    }
    bool isPunct(const char* p) const { return cur().kind == Tok::Punct && cur().text == p; }
    bool isBegin() const { return isIdent("BEGIN") || isPunct("{"); }
    bool isEnd() const { return isIdent("END") || isPunct("}"); }

    [[noreturn]] void fail(const std::string& message) const {
        const Token& at = atEnd() ? (toks_.empty() ? cur() : toks_.back()) : cur();
        const std::string file = at.file.empty() ? rcName_ : at.file;
        throw ParseError{file + "(" + std::to_string(at.line) + "): " + message};
    }
    std::string describe() const {
        if (atEnd()) return "end of file";
        if (cur().kind == Tok::String) return "\"" + cur().text + "\"";
        return "'" + cur().text + "'";
    }

    void expectComma(const char* what) {
        if (!isPunct(",")) fail(std::string("expected ',' ") + what + ", found " + describe());
        ++pos_;
    }

    int64_t expr(const char* what) {
        if (atEnd() || isEnd()) fail(std::string("expected ") + what + ", found " + describe());
        try {
            Expr e(toks_, pos_, macros_, false);
            const int64_t v = e.parse();
            pos_ = e.pos();
            return v;
        } catch (const ParseError& pe) {
            fail(pe.message + " in " + what);
        }
    }
    int intExpr(const char* what) {
        const int64_t v = expr(what);
        if (v < INT32_MIN || v > INT32_MAX) fail(std::string(what) + " out of range");
        return static_cast<int>(v);
    }
    uint32_t style(uint32_t initial, const char* what) {
        if (atEnd() || isEnd()) fail(std::string("expected ") + what + ", found " + describe());
        try {
            Expr e(toks_, pos_, macros_, false);
            const uint32_t v = e.parseStyle(initial);
            pos_ = e.pos();
            return v;
        } catch (const ParseError& pe) {
            fail(pe.message + " in " + what);
        }
    }
    std::string string(const char* what) {
        if (cur().kind != Tok::String)
            fail(std::string("expected ") + what + ", found " + describe());
        std::string s = cur().text;
        ++pos_;
        while (cur().kind == Tok::String) s += toks_[pos_++].text;
        return s;
    }

    // A resource name: a number, a macro with a value, or a name.
    ResName name(const char* what) {
        ResName n;
        const Token& t = cur();
        if (t.kind == Tok::String) {
            n.numeric = false;
            n.name = upper(t.text);
            ++pos_;
            return n;
        }
        if (t.kind == Tok::Ident && macros_.count(t.text) == 0 &&
            builtinSymbols().count(t.text) == 0) {
            n.numeric = false;
            n.name = upper(t.text);
            ++pos_;
            return n;
        }
        const int64_t v = expr(what);
        if (v < 0 || v > 0xFFFF) fail(std::string(what) + " must be 0 to 65535");
        n.id = static_cast<uint16_t>(v);
        return n;
    }

    void skipMemoryOptions() {
        static const char* const options[] = {"PRELOAD",  "LOADONCALL",  "FIXED",
                                              "MOVEABLE", "DISCARDABLE", "PURE",
                                              "IMPURE",   "SHARED",      "NONSHARED"};
        for (bool again = true; again;) {
            again = false;
            for (const char* o : options) {
                if (isIdent(o)) {
                    ++pos_;
                    again = true;
                }
            }
        }
    }

    // Skips to the end of the BEGIN/END block that starts at the current token.
    void skipBlock() {
        int depth = 0;
        do {
            if (atEnd()) fail("missing END");
            if (isBegin()) ++depth;
            if (isEnd()) --depth;
            ++pos_;
        } while (depth > 0);
    }

    void skipLine() {
        const int line = cur().line;
        const std::string file = cur().file;
        while (!atEnd() && cur().line == line && cur().file == file) ++pos_;
    }

    void statement() {
        if (isIdent("STRINGTABLE")) {
            ++pos_;
            stringTable();
            return;
        }
        if (isIdent("LANGUAGE") || isIdent("VERSION") || isIdent("CHARACTERISTICS")) {
            skipLine();
            return;
        }
        if (cur().kind == Tok::Punct) fail("unexpected " + describe());
        const ResName resName = name("resource name");
        if (atEnd()) fail("expected a resource type after the name");
        const Token type = cur();
        ++pos_;
        const std::string t = type.kind == Tok::Ident ? upper(type.text) : type.text;
        if (t == "DIALOG" || t == "DIALOGEX") {
            dialog(resName, t == "DIALOGEX");
        } else if (t == "ICON" || t == "BITMAP") {
            image(resName, t == "ICON");
        } else {
            // Other resource types (VERSIONINFO, MENU, manifests, ...) are skipped.
            while (!atEnd() && !isBegin() && cur().kind != Tok::String && cur().line == type.line &&
                   cur().file == type.file) {
                ++pos_;
            }
            if (cur().kind == Tok::String && cur().line == type.line) {
                ++pos_;
            } else {
                while (!atEnd() && !isBegin()) ++pos_;
                if (atEnd()) fail("'" + type.text + "' resource without BEGIN");
                skipBlock();
            }
        }
    }

    void image(const ResName& resName, bool icon) {
        skipMemoryOptions();
        std::string file;
        if (cur().kind == Tok::String) {
            file = cur().text;
            ++pos_;
        } else {
            // An unquoted file name: the rest of the line.
            const int line = cur().line;
            while (!atEnd() && cur().line == line) file += toks_[pos_++].text;
        }
        if (file.empty()) fail(std::string(icon ? "ICON" : "BITMAP") + " needs a file name");
        const ResourceFile* f = findFile(files_, file);
        if (f == nullptr) fail("cannot find file '" + file + "'");
        std::vector<ImageResource>& list = icon ? out_.icons : out_.bitmaps;
        for (const ImageResource& r : list) {
            if (r.name == resName) fail("duplicate resource " + resName.str());
        }
        list.push_back({resName, file, f->bytes});
    }

    void stringTable() {
        while (!atEnd() && !isBegin()) {
            if (isIdent("LANGUAGE") || isIdent("VERSION") || isIdent("CHARACTERISTICS")) {
                skipLine();
            } else {
                skipMemoryOptions();
                if (!isBegin()) fail("expected BEGIN, found " + describe());
            }
        }
        if (atEnd()) fail("STRINGTABLE without BEGIN");
        ++pos_;
        while (!isEnd()) {
            if (atEnd()) fail("missing END of STRINGTABLE");
            const size_t idAt = pos_;
            const int64_t id = expr("string id");
            if (id < 0 || id > 0xFFFF) fail("string id must be 0 to 65535");
            if (isPunct(",")) ++pos_;
            std::string text = string("string");
            if (!out_.strings.emplace(static_cast<uint16_t>(id), std::move(text)).second) {
                pos_ = idAt;
                fail("duplicate string id " + std::to_string(id));
            }
        }
        ++pos_;
    }

    void dialog(const ResName& resName, bool extended) {
        for (const DialogTemplate& d : out_.dialogs) {
            if (d.name == resName) fail("duplicate dialog " + resName.str());
        }
        DialogTemplate d;
        d.name = resName;
        d.extended = extended;
        skipMemoryOptions();
        d.x = intExpr("dialog x");
        expectComma("after dialog x");
        d.y = intExpr("dialog y");
        expectComma("after dialog y");
        d.cx = intExpr("dialog width");
        expectComma("after dialog width");
        d.cy = intExpr("dialog height");
        if (extended && isPunct(",")) {
            ++pos_;
            expr("help id");
        }
        bool hasStyle = false;
        bool hasCaption = false;
        bool hasFont = false;
        while (!isBegin()) {
            if (atEnd()) fail("dialog without BEGIN");
            if (isIdent("STYLE")) {
                ++pos_;
                d.style = style(0, "STYLE");
                hasStyle = true;
            } else if (isIdent("EXSTYLE")) {
                ++pos_;
                d.exStyle = style(0, "EXSTYLE");
            } else if (isIdent("CAPTION")) {
                ++pos_;
                d.caption = string("caption text");
                hasCaption = true;
            } else if (isIdent("FONT")) {
                ++pos_;
                d.fontSize = intExpr("font size");
                expectComma("after the font size");
                d.fontName = string("font name");
                hasFont = true;
                while (isPunct(",")) {  // weight, italic, charset
                    ++pos_;
                    expr("font attribute");
                }
            } else if (isIdent("LANGUAGE") || isIdent("VERSION") || isIdent("CHARACTERISTICS") ||
                       isIdent("MENU") || isIdent("CLASS")) {
                skipLine();
            } else {
                fail("unexpected " + describe() + " in dialog options");
            }
        }
        if (!hasStyle) d.style = WS_POPUP | WS_BORDER | WS_SYSMENU;
        if (hasCaption) d.style |= WS_CAPTION;
        if (hasFont) d.style |= DS_SETFONT;
        ++pos_;
        while (!isEnd()) {
            if (atEnd()) fail("missing END of dialog");
            d.controls.push_back(control());
        }
        ++pos_;
        out_.dialogs.push_back(std::move(d));
    }

    struct Kind {
        const char* keyword;
        const char* className;
        uint32_t style;
        enum Form { Text, NoText, Icon, Generic } form;
    };

    ControlTemplate control() {
        static const Kind kinds[] = {
            {"LTEXT", "Static", SS_LEFT | WS_GROUP, Kind::Text},
            {"RTEXT", "Static", SS_RIGHT | WS_GROUP, Kind::Text},
            {"CTEXT", "Static", SS_CENTER | WS_GROUP, Kind::Text},
            {"PUSHBUTTON", "Button", BS_PUSHBUTTON | WS_TABSTOP, Kind::Text},
            {"DEFPUSHBUTTON", "Button", BS_DEFPUSHBUTTON | WS_TABSTOP, Kind::Text},
            {"PUSHBOX", "Button", BS_PUSHBOX | WS_TABSTOP, Kind::Text},
            {"CHECKBOX", "Button", BS_CHECKBOX | WS_TABSTOP, Kind::Text},
            {"AUTOCHECKBOX", "Button", BS_AUTOCHECKBOX | WS_TABSTOP, Kind::Text},
            {"STATE3", "Button", BS_3STATE | WS_TABSTOP, Kind::Text},
            {"AUTO3STATE", "Button", BS_AUTO3STATE | WS_TABSTOP, Kind::Text},
            {"RADIOBUTTON", "Button", BS_RADIOBUTTON, Kind::Text},
            {"AUTORADIOBUTTON", "Button", BS_AUTORADIOBUTTON, Kind::Text},
            {"GROUPBOX", "Button", BS_GROUPBOX, Kind::Text},
            {"EDITTEXT", "Edit", ES_LEFT | WS_BORDER | WS_TABSTOP, Kind::NoText},
            {"COMBOBOX", "ComboBox", CBS_SIMPLE | WS_TABSTOP, Kind::NoText},
            {"LISTBOX", "ListBox", LBS_NOTIFY | WS_BORDER, Kind::NoText},
            {"SCROLLBAR", "ScrollBar", SBS_HORZ, Kind::NoText},
            {"ICON", "Static", SS_ICON, Kind::Icon},
            {"CONTROL", "", 0, Kind::Generic},
        };
        const Kind* kind = nullptr;
        for (const Kind& k : kinds) {
            if (isIdent(k.keyword)) kind = &k;
        }
        if (kind == nullptr) fail("unknown control statement " + describe());
        ++pos_;
        ControlTemplate c;
        c.file = cur().file;
        c.line = cur().line;
        c.className = kind->className;
        const uint32_t base = WS_CHILD | WS_VISIBLE;
        if (kind->form == Kind::Text || kind->form == Kind::Icon || kind->form == Kind::Generic) {
            if (cur().kind == Tok::String && kind->form != Kind::Icon) {
                c.text = string("control text");
            } else if (kind->form == Kind::Text) {
                fail("expected control text, found " + describe());
            } else {
                c.hasImage = true;
                c.image = name("image resource");
                if (!c.image.numeric) c.text = c.image.name;
            }
            expectComma("after the control text");
        }
        c.id = intExpr("control id");
        expectComma("after the control id");
        if (kind->form == Kind::Generic) {
            if (cur().kind == Tok::String) {
                c.className = cur().text;
                ++pos_;
            } else if (cur().kind == Tok::Ident) {
                c.className = canonicalClass(cur().text);
                ++pos_;
            } else {
                fail("expected a control class, found " + describe());
            }
            c.className = canonicalClass(c.className);
            expectComma("after the control class");
            c.style = style(base, "control style");
            expectComma("after the control style");
        } else {
            c.style = base | kind->style;
        }
        c.x = intExpr("control x");
        expectComma("after control x");
        c.y = intExpr("control y");
        if (kind->form == Kind::Icon && !isPunct(",")) return c;
        expectComma("after control y");
        c.cx = intExpr("control width");
        expectComma("after control width");
        c.cy = intExpr("control height");
        if (isPunct(",")) {
            ++pos_;
            if (kind->form == Kind::Generic) {
                c.exStyle = style(0, "extended style");
            } else {
                c.style = style(c.style, "control style");
                if (isPunct(",")) {
                    ++pos_;
                    c.exStyle = style(0, "extended style");
                }
            }
            if (isPunct(",")) {  // help id
                ++pos_;
                expr("help id");
            }
        }
        const uint32_t staticType = c.style & SS_TYPEMASK;
        if (c.hasImage &&
            (c.className != "Static" || (staticType != SS_BITMAP && staticType != SS_ICON))) {
            c.hasImage = false;  // a static with a numeric text
            c.text = c.image.str();
        }
        if (isBegin()) skipBlock();  // creation data
        return c;
    }

    static std::string canonicalClass(const std::string& name) {
        static const char* const known[] = {"Button",   "Static",  "Edit",
                                            "ComboBox", "ListBox", "ScrollBar"};
        for (const char* k : known) {
            if (iequals(name, k)) return k;
        }
        return name;
    }

    const std::vector<Token>& toks_;
    const std::map<std::string, Macro>& macros_;
    const std::vector<ResourceFile>& files_;
    const std::string& rcName_;
    ResourceSet& out_;
    size_t pos_ = 0;
};

}  // namespace

bool ResName::matches(const char* resource) const {
    if (IS_INTRESOURCE(resource)) {
        return numeric && id == static_cast<uint16_t>(reinterpret_cast<uintptr_t>(resource));
    }
    if (resource[0] == '#') {  // "#102" names resource 102
        const std::string digits(resource + 1);
        if (!digits.empty() && digits.size() <= 5 &&
            std::all_of(digits.begin(), digits.end(),
                        [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
            return numeric && std::stol(digits) == id;
        }
    }
    return !numeric && name == upper(resource);
}

const DialogTemplate* ResourceSet::findDialog(const char* which) const {
    for (const DialogTemplate& d : dialogs) {
        if (d.name.matches(which)) return &d;
    }
    return nullptr;
}

const ImageResource* ResourceSet::findIcon(const ResName& which) const {
    for (const ImageResource& r : icons) {
        if (r.name == which) return &r;
    }
    return nullptr;
}

const ImageResource* ResourceSet::findBitmap(const ResName& which) const {
    for (const ImageResource& r : bitmaps) {
        if (r.name == which) return &r;
    }
    return nullptr;
}

bool parseResources(const std::vector<ResourceFile>& files, const std::string& rcName,
                    ResourceSet* out, std::string* error) {
    std::string ignored;
    if (error == nullptr) error = &ignored;
    const ResourceFile* rc = nullptr;
    for (const ResourceFile& f : files) {
        if (f.name == rcName) rc = &f;
    }
    if (rc == nullptr) rc = findFile(files, rcName);
    if (rc == nullptr) {
        *error = rcName + ": no such resource file";
        return false;
    }
    std::map<std::string, Macro> macros;
    macros["RC_INVOKED"] = Macro{false, {Token{Tok::Number, "1", 1, "", 0}}};
    std::vector<Token> tokens;
    ResourceSet result;
    try {
        Preprocessor(files, &macros).run(*rc, &tokens, 0);
        Parser(tokens, macros, files, rc->name, &result).run();
    } catch (const ParseError& e) {
        *error = e.message;
        return false;
    }
    for (const DialogTemplate& d : result.dialogs) {
        for (const ControlTemplate& c : d.controls) {
            if (!c.hasImage) continue;
            const bool icon = (c.style & SS_TYPEMASK) == SS_ICON;
            if ((icon ? result.findIcon(c.image) : result.findBitmap(c.image)) == nullptr) {
                *error = c.file + "(" + std::to_string(c.line) + "): dialog " + d.name.str() +
                         " shows " + (icon ? "icon " : "bitmap ") + c.image.str() +
                         ", which is not defined";
                return false;
            }
        }
    }
    *out = std::move(result);
    return true;
}

}  // namespace winsim::ui::detail
