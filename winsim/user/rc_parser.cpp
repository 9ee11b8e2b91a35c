#include "winsim/user/rc_parser.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <cstdint>
#include <memory>
#include <set>
#include <utility>

#include "winsim/api/win32_user.h"

namespace winsim::ui::detail {

namespace {

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool iequals(const std::string& a, const char* b) { return upper(a) == upper(b); }

// Values the system headers give a resource script. Taken from the API header
// itself so the two can never disagree.
#define QU_SYM(n) \
    { #n, static_cast < int64_t>(n) }
const std::map<std::string, int64_t>& builtinSymbols() {
    static const std::map<std::string, int64_t> table = {QU_SYM(WS_OVERLAPPED),
                                                         QU_SYM(WS_POPUP),
                                                         QU_SYM(WS_CHILD),
                                                         QU_SYM(WS_MINIMIZE),
                                                         QU_SYM(WS_VISIBLE),
                                                         QU_SYM(WS_DISABLED),
                                                         QU_SYM(WS_CLIPSIBLINGS),
                                                         QU_SYM(WS_CLIPCHILDREN),
                                                         QU_SYM(WS_MAXIMIZE),
                                                         QU_SYM(WS_CAPTION),
                                                         QU_SYM(WS_BORDER),
                                                         QU_SYM(WS_DLGFRAME),
                                                         QU_SYM(WS_VSCROLL),
                                                         QU_SYM(WS_HSCROLL),
                                                         QU_SYM(WS_SYSMENU),
                                                         QU_SYM(WS_THICKFRAME),
                                                         QU_SYM(WS_GROUP),
                                                         QU_SYM(WS_TABSTOP),
                                                         QU_SYM(WS_MINIMIZEBOX),
                                                         QU_SYM(WS_MAXIMIZEBOX),
                                                         QU_SYM(WS_OVERLAPPEDWINDOW),
                                                         QU_SYM(WS_POPUPWINDOW),
                                                         QU_SYM(WS_EX_DLGMODALFRAME),
                                                         QU_SYM(WS_EX_NOPARENTNOTIFY),
                                                         QU_SYM(WS_EX_TOPMOST),
                                                         QU_SYM(WS_EX_ACCEPTFILES),
                                                         QU_SYM(WS_EX_TRANSPARENT),
                                                         QU_SYM(WS_EX_TOOLWINDOW),
                                                         QU_SYM(WS_EX_WINDOWEDGE),
                                                         QU_SYM(WS_EX_CLIENTEDGE),
                                                         QU_SYM(WS_EX_CONTEXTHELP),
                                                         QU_SYM(WS_EX_RIGHT),
                                                         QU_SYM(WS_EX_LEFT),
                                                         QU_SYM(WS_EX_STATICEDGE),
                                                         QU_SYM(WS_EX_APPWINDOW),
                                                         QU_SYM(DS_ABSALIGN),
                                                         QU_SYM(DS_SYSMODAL),
                                                         QU_SYM(DS_3DLOOK),
                                                         QU_SYM(DS_FIXEDSYS),
                                                         QU_SYM(DS_NOFAILCREATE),
                                                         QU_SYM(DS_LOCALEDIT),
                                                         QU_SYM(DS_SETFONT),
                                                         QU_SYM(DS_MODALFRAME),
                                                         QU_SYM(DS_NOIDLEMSG),
                                                         QU_SYM(DS_SETFOREGROUND),
                                                         QU_SYM(DS_CONTROL),
                                                         QU_SYM(DS_CENTER),
                                                         QU_SYM(DS_CENTERMOUSE),
                                                         QU_SYM(DS_CONTEXTHELP),
                                                         QU_SYM(DS_SHELLFONT),
                                                         QU_SYM(BS_PUSHBUTTON),
                                                         QU_SYM(BS_DEFPUSHBUTTON),
                                                         QU_SYM(BS_CHECKBOX),
                                                         QU_SYM(BS_AUTOCHECKBOX),
                                                         QU_SYM(BS_RADIOBUTTON),
                                                         QU_SYM(BS_3STATE),
                                                         QU_SYM(BS_AUTO3STATE),
                                                         QU_SYM(BS_GROUPBOX),
                                                         QU_SYM(BS_USERBUTTON),
                                                         QU_SYM(BS_AUTORADIOBUTTON),
                                                         QU_SYM(BS_PUSHBOX),
                                                         QU_SYM(BS_OWNERDRAW),
                                                         QU_SYM(BS_TYPEMASK),
                                                         QU_SYM(BS_LEFTTEXT),
                                                         QU_SYM(BS_TEXT),
                                                         QU_SYM(BS_ICON),
                                                         QU_SYM(BS_BITMAP),
                                                         QU_SYM(BS_LEFT),
                                                         QU_SYM(BS_RIGHT),
                                                         QU_SYM(BS_CENTER),
                                                         QU_SYM(BS_TOP),
                                                         QU_SYM(BS_BOTTOM),
                                                         QU_SYM(BS_VCENTER),
                                                         QU_SYM(BS_MULTILINE),
                                                         QU_SYM(BS_NOTIFY),
                                                         QU_SYM(BS_FLAT),
                                                         QU_SYM(CBS_SIMPLE),
                                                         QU_SYM(CBS_DROPDOWN),
                                                         QU_SYM(CBS_DROPDOWNLIST),
                                                         QU_SYM(CBS_OWNERDRAWFIXED),
                                                         QU_SYM(CBS_OWNERDRAWVARIABLE),
                                                         QU_SYM(CBS_AUTOHSCROLL),
                                                         QU_SYM(CBS_OEMCONVERT),
                                                         QU_SYM(CBS_SORT),
                                                         QU_SYM(CBS_HASSTRINGS),
                                                         QU_SYM(CBS_NOINTEGRALHEIGHT),
                                                         QU_SYM(CBS_DISABLENOSCROLL),
                                                         QU_SYM(CBS_UPPERCASE),
                                                         QU_SYM(CBS_LOWERCASE),
                                                         QU_SYM(ES_LEFT),
                                                         QU_SYM(ES_CENTER),
                                                         QU_SYM(ES_RIGHT),
                                                         QU_SYM(ES_MULTILINE),
                                                         QU_SYM(ES_UPPERCASE),
                                                         QU_SYM(ES_LOWERCASE),
                                                         QU_SYM(ES_PASSWORD),
                                                         QU_SYM(ES_AUTOVSCROLL),
                                                         QU_SYM(ES_AUTOHSCROLL),
                                                         QU_SYM(ES_NOHIDESEL),
                                                         QU_SYM(ES_OEMCONVERT),
                                                         QU_SYM(ES_READONLY),
                                                         QU_SYM(ES_WANTRETURN),
                                                         QU_SYM(ES_NUMBER),
                                                         QU_SYM(SS_LEFT),
                                                         QU_SYM(SS_CENTER),
                                                         QU_SYM(SS_RIGHT),
                                                         QU_SYM(SS_ICON),
                                                         QU_SYM(SS_BLACKRECT),
                                                         QU_SYM(SS_GRAYRECT),
                                                         QU_SYM(SS_WHITERECT),
                                                         QU_SYM(SS_BLACKFRAME),
                                                         QU_SYM(SS_GRAYFRAME),
                                                         QU_SYM(SS_WHITEFRAME),
                                                         QU_SYM(SS_SIMPLE),
                                                         QU_SYM(SS_LEFTNOWORDWRAP),
                                                         QU_SYM(SS_OWNERDRAW),
                                                         QU_SYM(SS_BITMAP),
                                                         QU_SYM(SS_ETCHEDHORZ),
                                                         QU_SYM(SS_ETCHEDVERT),
                                                         QU_SYM(SS_ETCHEDFRAME),
                                                         QU_SYM(SS_TYPEMASK),
                                                         QU_SYM(SS_REALSIZECONTROL),
                                                         QU_SYM(SS_NOPREFIX),
                                                         QU_SYM(SS_NOTIFY),
                                                         QU_SYM(SS_CENTERIMAGE),
                                                         QU_SYM(SS_RIGHTJUST),
                                                         QU_SYM(SS_REALSIZEIMAGE),
                                                         QU_SYM(SS_SUNKEN),
                                                         QU_SYM(SS_EDITCONTROL),
                                                         QU_SYM(SS_ENDELLIPSIS),
                                                         QU_SYM(SS_PATHELLIPSIS),
                                                         QU_SYM(SS_WORDELLIPSIS),
                                                         QU_SYM(LBS_NOTIFY),
                                                         QU_SYM(LBS_SORT),
                                                         QU_SYM(LBS_NOINTEGRALHEIGHT),
                                                         QU_SYM(LBS_STANDARD),
                                                         QU_SYM(SBS_HORZ),
                                                         QU_SYM(SBS_VERT),
                                                         QU_SYM(IDOK),
                                                         QU_SYM(IDCANCEL),
                                                         QU_SYM(IDABORT),
                                                         QU_SYM(IDRETRY),
                                                         QU_SYM(IDIGNORE),
                                                         QU_SYM(IDYES),
                                                         QU_SYM(IDNO),
                                                         {"IDC_STATIC", -1}};
    return table;
}
#undef QU_SYM

// Headers of the platform's SDK: an #include of one that is not registered
// is skipped; their symbols come from builtinSymbols().
bool isSystemHeader(const std::string& name) {
    static const std::set<std::string> known = {
        "windows.h",  "winres.h",   "afxres.h", "winresrc.h", "winuser.h",
        "winuser.rh", "commctrl.h", "winver.h", "verrsrc.h",  "winnt.h",
        "dlgs.h",     "richedit.h", "prsht.h"};
    return known.count(lower(name)) != 0;
}

std::string normalisePath(std::string s) {
    std::replace(s.begin(), s.end(), '\\', '/');
    while (s.rfind("./", 0) == 0) s.erase(0, 2);
    return lower(s);
}

std::string baseName(const std::string& s) {
    const size_t slash = s.find_last_of('/');
    return slash == std::string::npos ? s : s.substr(slash + 1);
}

const ResourceFile* findFile(const std::vector<ResourceFile>& files, const std::string& name) {
    const std::string wanted = normalisePath(name);
    for (const ResourceFile& f : files) {
        if (normalisePath(f.name) == wanted) return &f;
    }
    for (const ResourceFile& f : files) {
        if (baseName(normalisePath(f.name)) == baseName(wanted)) return &f;
    }
    return nullptr;
}

// ---- Tokens -------------------------------------------------------------------

enum class Tok { Ident, Number, String, Punct, End };

struct Token {
    Tok kind = Tok::End;
    std::string text;  // identifier, decoded string or punctuator
    int64_t value = 0;
    std::string file;
    int line = 0;
};

struct Macro {
    bool functionLike = false;
    std::vector<Token> body;
};

struct ParseError {
    std::string message;
};

class Lexer {
public:
    Lexer(std::string file, int line) : file_(std::move(file)), line_(line) {}

    // Tokenises one logical line (comments already removed).
    bool run(const std::string& s, std::vector<Token>* out, std::string* error) {
        size_t i = 0;
        while (i < s.size()) {
            const char c = s[i];
            if (std::isspace(static_cast<unsigned char>(c))) {
                ++i;
                continue;
            }
            Token t;
            t.file = file_;
            t.line = line_;
            if ((c == 'L' || c == 'l') && i + 1 < s.size() && s[i + 1] == '"') {
                ++i;  // wide string: same text here
                continue;
            }
            if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
                size_t j = i;
                while (j < s.size() &&
                       (std::isalnum(static_cast<unsigned char>(s[j])) || s[j] == '_')) {
                    ++j;
                }
                t.kind = Tok::Ident;
                t.text = s.substr(i, j - i);
                i = j;
            } else if (std::isdigit(static_cast<unsigned char>(c))) {
                size_t j = i;
                int64_t v = 0;
                if (c == '0' && i + 1 < s.size() && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
                    j = i + 2;
                    if (j >= s.size() || !std::isxdigit(static_cast<unsigned char>(s[j]))) {
                        *error = "bad hexadecimal number";
                        return false;
                    }
                    while (j < s.size() && std::isxdigit(static_cast<unsigned char>(s[j]))) {
                        const char d = s[j];
                        const int digit =
                            std::isdigit(static_cast<unsigned char>(d))
                                ? d - '0'
                                : std::tolower(static_cast<unsigned char>(d)) - 'a' + 10;
                        v = ((v << 4) | digit) & 0xFFFFFFFFFFLL;
                        ++j;
                    }
                } else {
                    while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j]))) {
                        v = (v * 10 + (s[j] - '0')) % 0x10000000000LL;
                        ++j;
                    }
                }
                while (j < s.size() && std::strchr("lLuU", s[j]) != nullptr && s[j] != 0) ++j;
                if (j < s.size() &&
                    (std::isalnum(static_cast<unsigned char>(s[j])) || s[j] == '_')) {
                    *error = "bad number '" + s.substr(i, j + 1 - i) + "'";
                    return false;
                }
                t.kind = Tok::Number;
                t.value = v;
                t.text = s.substr(i, j - i);
                i = j;
            } else if (c == '"') {
                size_t j = i + 1;
                std::string text;
                bool closed = false;
                while (j < s.size()) {
                    const char d = s[j];
                    if (d == '"') {
                        if (j + 1 < s.size() && s[j + 1] == '"') {
                            text += '"';
                            j += 2;
                            continue;
                        }
                        closed = true;
                        ++j;
                        break;
                    }
                    if (d == '\\' && j + 1 < s.size()) {
                        j = escape(s, j + 1, &text);
                        continue;
                    }
                    text += d;
                    ++j;
                }
                if (!closed) {
                    *error = "unterminated string";
                    return false;
                }
                t.kind = Tok::String;
                t.text = std::move(text);
                i = j;
            } else {
                static const char* const twoChar[] = {
                    "&&", "||", "==", "!=", "<<", ">>", "<=", ">="};
                t.kind = Tok::Punct;
                t.text = std::string(1, c);
                for (const char* p : twoChar) {
                    if (s.compare(i, 2, p) == 0) t.text = p;
                }
                if (std::strchr(",|&()~!+-*/%^<>={}", c) == nullptr || c == 0) {
                    *error = std::string("unexpected character '") + c + "'";
                    return false;
                }
                i += t.text.size();
            }
            out->push_back(std::move(t));
        }
        return true;
    }

private:
    // Decodes the escape whose character is at s[j]; returns the index after it.
    static size_t escape(const std::string& s, size_t j, std::string* out) {
        const char e = s[j];
        switch (e) {
            case 'n':
                *out += '\n';
                return j + 1;
            case 'r':
                *out += '\r';
                return j + 1;
            case 't':
                *out += '\t';
                return j + 1;
            case 'a':
                *out += '\a';
                return j + 1;
            case 'b':
                *out += '\b';
                return j + 1;
            case 'f':
                *out += '\f';
                return j + 1;
            case 'v':
                *out += '\v';
                return j + 1;
            case '\\':
                *out += '\\';
                return j + 1;
            case '"':
                *out += '"';
                return j + 1;
            case '\'':
                *out += '\'';
                return j + 1;
            case 'x':
            case 'X': {
                size_t k = j + 1;
                int v = 0;
                int n = 0;
                while (k < s.size() && n < 2 && std::isxdigit(static_cast<unsigned char>(s[k]))) {
                    const char d = s[k];
                    v = v * 16 + (std::isdigit(static_cast<unsigned char>(d))
                                      ? d - '0'
                                      : std::tolower(static_cast<unsigned char>(d)) - 'a' + 10);
                    ++k;
                    ++n;
                }
                if (n == 0) {
                    *out += e;
                    return j + 1;
                }
                *out += static_cast<char>(v);
                return k;
            }
            default:
                if (e >= '0' && e <= '7') {
                    size_t k = j;
                    int v = 0;
                    while (k < s.size() && k < j + 3 && s[k] >= '0' && s[k] <= '7') {
                        v = v * 8 + (s[k] - '0');
                        ++k;
                    }
                    *out += static_cast<char>(v & 0xFF);
                    return k;
                }
                // Unknown escape: the backslash stays, as the resource compiler keeps it.
                *out += '\\';
                *out += e;
                return j + 1;
        }
    }

    std::string file_;
    int line_;
};

// ---- Expressions ----------------------------------------------------------------

class Expr {
public:
    // `preprocessor`: #if rules (defined(), unknown names are 0).
    Expr(const std::vector<Token>& toks, size_t pos, const std::map<std::string, Macro>& macros,
         bool preprocessor, int depth = 0)
        : toks_(toks), pos_(pos), macros_(macros), pp_(preprocessor), depth_(depth) {}

    size_t pos() const { return pos_; }

    int64_t parse() { return parseOr(); }

    // A style: terms joined by '|', each optionally preceded by NOT, applied
    // in order to `value`.
    uint32_t parseStyle(uint32_t value) {
        for (;;) {
            bool negate = false;
            if (peekIdent("NOT")) {
                ++pos_;
                negate = true;
            }
            const auto v = static_cast<uint32_t>(parseXor());
            value = negate ? (value & ~v) : (value | v);
            if (!peekPunct("|")) break;
            ++pos_;
        }
        return value;
    }

private:
    const Token& cur() const {
        static const Token end;
        return pos_ < toks_.size() ? toks_[pos_] : end;
    }
    bool peekPunct(const char* p) const { return cur().kind == Tok::Punct && cur().text == p; }
    bool peekIdent(const char* p) const {
        return cur().kind == Tok::Ident && iequals(cur().text, p);
    }
    [[noreturn]] void fail(const std::string& m) const { throw ParseError{m}; }
    static int64_t wrap(uint64_t v) { return static_cast<int64_t>(v); }

    int64_t parseOr() {
        int64_t v = parseLogicalAnd();
        while (peekPunct("||")) {
            ++pos_;
            const int64_t r = parseLogicalAnd();
            v = (v != 0 || r != 0) ? 1 : 0;
        }
        return v;
    }
    int64_t parseLogicalAnd() {
        int64_t v = parseEquality();
        while (peekPunct("&&")) {
            ++pos_;
            const int64_t r = parseEquality();
            v = (v != 0 && r != 0) ? 1 : 0;
        }
        return v;
    }
    int64_t parseEquality() {
        int64_t v = parseBitOr();
        for (;;) {
            const std::string op = cur().kind == Tok::Punct ? cur().text : "";
            if (op != "==" && op != "!=" && op != "<" && op != ">" && op != "<=" && op != ">=")
                return v;
            ++pos_;
            const int64_t r = parseBitOr();
            if (op == "==") v = v == r;
            if (op == "!=") v = v != r;
            if (op == "<") v = v < r;
            if (op == ">") v = v > r;
            if (op == "<=") v = v <= r;
            if (op == ">=") v = v >= r;
        }
    }
    int64_t parseBitOr() {
        int64_t v = parseXor();
        while (peekPunct("|")) {
            ++pos_;
            v |= parseXor();
        }
        return v;
    }
    int64_t parseXor() {
        int64_t v = parseAnd();
        while (peekPunct("^")) {
            ++pos_;
            v ^= parseAnd();
        }
        return v;
    }
    int64_t parseAnd() {
        int64_t v = parseShift();
        while (peekPunct("&")) {
            ++pos_;
            v &= parseShift();
        }
        return v;
    }
    int64_t parseShift() {
        int64_t v = parseAdd();
        while (peekPunct("<<") || peekPunct(">>")) {
            const bool left = cur().text == "<<";
            ++pos_;
            const int64_t r = parseAdd() & 63;
            v = left ? static_cast<int64_t>(static_cast<uint64_t>(v) << r) : (v >> r);
        }
        return v;
    }
    int64_t parseAdd() {
        int64_t v = parseMul();
        while (peekPunct("+") || peekPunct("-")) {
            const bool plus = cur().text == "+";
            ++pos_;
            const int64_t r = parseMul();
            v = plus ? wrap(static_cast<uint64_t>(v) + static_cast<uint64_t>(r))
                     : wrap(static_cast<uint64_t>(v) - static_cast<uint64_t>(r));
        }
        return v;
    }
    int64_t parseMul() {
        int64_t v = parseUnary();
        while (peekPunct("*") || peekPunct("/") || peekPunct("%")) {
            const std::string op = cur().text;
            ++pos_;
            int64_t r = parseUnary();
            if (op == "*") {
                v = wrap(static_cast<uint64_t>(v) * static_cast<uint64_t>(r));
            } else {
                if (r == 0) fail("division by zero");
                if (r == -1) {  // the one quotient that overflows
                    r = 1;
                    v = wrap(0 - static_cast<uint64_t>(v));
                }
                v = op == "/" ? v / r : v % r;
            }
        }
        return v;
    }
    int64_t parseUnary() {
        if (peekPunct("-")) {
            ++pos_;
            return wrap(0 - static_cast<uint64_t>(parseUnary()));
        }
        if (peekPunct("+")) {
            ++pos_;
            return parseUnary();
        }
        if (peekPunct("~")) {
            ++pos_;
            return ~parseUnary();
        }
        if (peekPunct("!")) {
            ++pos_;
            return parseUnary() == 0 ? 1 : 0;
        }
        return parsePrimary();
    }
    int64_t parsePrimary() {
        const Token& t = cur();
        if (t.kind == Tok::Number) {
            ++pos_;
            return t.value;
        }
        if (peekPunct("(")) {
            ++pos_;
            const int64_t v = parseOr();
            if (!peekPunct(")")) fail("expected ')'");
            ++pos_;
            return v;
        }
        if (t.kind == Tok::Ident) {
            if (pp_ && t.text == "defined") {
                ++pos_;
                const bool paren = peekPunct("(");
                if (paren) ++pos_;
                if (cur().kind != Tok::Ident) fail("expected a name after 'defined'");
                const bool known = macros_.count(cur().text) != 0;
                ++pos_;
                if (paren) {
                    if (!peekPunct(")")) fail("expected ')'");
                    ++pos_;
                }
                return known ? 1 : 0;
            }
            ++pos_;
            return symbol(t.text);
        }
        if (t.kind == Tok::End) fail("expected a value at end of line");
        fail("expected a value, found '" + t.text + "'");
    }
    int64_t symbol(const std::string& name) {
        auto m = macros_.find(name);
        if (m != macros_.end()) {
            if (m->second.functionLike) fail("macro '" + name + "' takes arguments");
            if (depth_ > 32) fail("macro '" + name + "' expands too deeply");
            if (m->second.body.empty()) {
                if (pp_) return 0;
                fail("macro '" + name + "' has no value");
            }
            Expr inner(m->second.body, 0, macros_, pp_, depth_ + 1);
            const int64_t v = inner.parse();
            if (inner.pos() != m->second.body.size()) fail("macro '" + name + "' is not a value");
            return v;
        }
        const auto& builtins = builtinSymbols();
        auto b = builtins.find(name);
        if (b != builtins.end()) return b->second;
        if (pp_) return 0;
        fail("undefined symbol '" + name + "'");
    }

    const std::vector<Token>& toks_;
    size_t pos_;
    const std::map<std::string, Macro>& macros_;
    bool pp_;
    int depth_;
};

// ---- Preprocessor --------------------------------------------------------------

class Preprocessor {
public:
    Preprocessor(const std::vector<ResourceFile>& files, std::map<std::string, Macro>* macros)
        : files_(files), macros_(*macros) {}

    void run(const ResourceFile& file, std::vector<Token>* out, int depth) {
        if (depth > 16) fail(file.name, 0, "#include nested too deeply");
        std::string text = file.bytes;
        if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
        // Split into lines, removing comments (which may span lines).
        std::vector<std::pair<int, std::string>> lines;
        {
            std::string line;
            int lineNo = 1;
            int startLine = 1;
            bool inBlock = false;
            bool inString = false;
            int commentLine = 0;
            for (size_t i = 0; i <= text.size(); ++i) {
                const char c = i < text.size() ? text[i] : '\n';
                if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
                if (c == '\n' || c == '\r') {
                    if (!inBlock) {
                        lines.emplace_back(startLine, line);
                        line.clear();
                        startLine = lineNo + 1;
                    }
                    inString = false;
                    ++lineNo;
                    if (inBlock) line += ' ';
                    continue;
                }
                if (inBlock) {
                    if (c == '*' && i + 1 < text.size() && text[i + 1] == '/') {
                        inBlock = false;
                        ++i;
                    }
                    continue;
                }
                if (!inString && c == '/' && i + 1 < text.size() && text[i + 1] == '/') {
                    while (i + 1 < text.size() && text[i + 1] != '\n' && text[i + 1] != '\r') ++i;
                    continue;
                }
                if (!inString && c == '/' && i + 1 < text.size() && text[i + 1] == '*') {
                    inBlock = true;
                    commentLine = lineNo;
                    ++i;
                    line += ' ';
                    continue;
                }
                if (c == '"') inString = !inString;
                line += c;
            }
            if (inBlock) fail(file.name, commentLine, "unterminated comment");
        }

        struct Cond {
            bool parentActive;
            bool active;
            bool taken;
            bool sawElse;
            int line;
        };
        std::vector<Cond> conds;
        auto active = [&] { return conds.empty() || conds.back().active; };

        for (size_t li = 0; li < lines.size(); ++li) {
            const int lineNo = lines[li].first;
            std::string line = lines[li].second;
            size_t k = line.find_first_not_of(" \t");
            if (k == std::string::npos) continue;
            if (line[k] != '#') {
                if (!active()) continue;
                std::string error;
                if (!Lexer(file.name, lineNo).run(line, out, &error)) {
                    fail(file.name, lineNo, error);
                }
                continue;
            }
            // Directive, with backslash continuations.
            while (!line.empty() && line.back() == '\\' && li + 1 < lines.size()) {
                line.pop_back();
                line += lines[++li].second;
            }
            std::string rest = line.substr(k + 1);
            size_t p = rest.find_first_not_of(" \t");
            rest = p == std::string::npos ? "" : rest.substr(p);
            size_t e = 0;
            while (e < rest.size() && (std::isalpha(static_cast<unsigned char>(rest[e])))) ++e;
            const std::string directive = rest.substr(0, e);
            std::string args = rest.substr(e);

            if (directive == "if" || directive == "ifdef" || directive == "ifndef") {
                bool value = false;
                if (active()) {
                    if (directive == "if") {
                        value = evalCondition(file.name, lineNo, args);
                    } else {
                        const std::string name = firstWord(args);
                        if (name.empty())
                            fail(file.name, lineNo, "#" + directive + " needs a name");
                        value = (macros_.count(name) != 0) == (directive == "ifdef");
                    }
                }
                conds.push_back({active(), active() && value, active() && value, false, lineNo});
            } else if (directive == "elif") {
                if (conds.empty() || conds.back().sawElse)
                    fail(file.name, lineNo, "#elif without #if");
                Cond& c = conds.back();
                const bool value =
                    c.parentActive && !c.taken && evalCondition(file.name, lineNo, args);
                c.active = value;
                c.taken = c.taken || value;
            } else if (directive == "else") {
                if (conds.empty() || conds.back().sawElse)
                    fail(file.name, lineNo, "#else without #if");
                Cond& c = conds.back();
                c.active = c.parentActive && !c.taken;
                c.taken = true;
                c.sawElse = true;
            } else if (directive == "endif") {
                if (conds.empty()) fail(file.name, lineNo, "#endif without #if");
                conds.pop_back();
            } else if (!active()) {
                continue;
            } else if (directive == "define") {
                define(file.name, lineNo, args);
            } else if (directive == "undef") {
                macros_.erase(firstWord(args));
            } else if (directive == "include") {
                include(file.name, lineNo, args, out, depth);
            } else if (directive == "error") {
                fail(file.name, lineNo, "#error" + args);
            } else if (directive == "pragma" || directive == "line" || directive.empty()) {
                // code_page and the like: nothing to do here
            } else {
                fail(file.name, lineNo, "unknown directive #" + directive);
            }
        }
        if (!conds.empty()) fail(file.name, conds.back().line, "#if without #endif");
    }

    [[noreturn]] static void fail(const std::string& file, int line, const std::string& message) {
        throw ParseError{file + "(" + std::to_string(line) + "): " + message};
    }

private:
    static std::string firstWord(const std::string& s) {
        size_t b = s.find_first_not_of(" \t");
        if (b == std::string::npos) return "";
        size_t e = b;
        while (e < s.size() && (std::isalnum(static_cast<unsigned char>(s[e])) || s[e] == '_')) ++e;
        return s.substr(b, e - b);
    }

    bool evalCondition(const std::string& file, int line, const std::string& args) {
        std::vector<Token> toks;
        std::string error;
        if (!Lexer(file, line).run(args, &toks, &error)) fail(file, line, error);
        if (toks.empty()) fail(file, line, "#if needs an expression");
        try {
            Expr e(toks, 0, macros_, true);
            const int64_t v = e.parse();
            if (e.pos() != toks.size()) fail(file, line, "unexpected '" + toks[e.pos()].text + "'");
            return v != 0;
        } catch (const ParseError& pe) {
            if (pe.message.find("): ") != std::string::npos) throw;
            fail(file, line, pe.message);
        }
    }

    void define(const std::string& file, int line, const std::string& args) {
        const std::string name = firstWord(args);
        if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0])))
            fail(file, line, "#define needs a name");
        const size_t after = args.find(name) + name.size();
        Macro m;
        std::string body = args.substr(after);
        if (!body.empty() && body[0] == '(') {
            m.functionLike = true;
            const size_t close = body.find(')');
            body = close == std::string::npos ? "" : body.substr(close + 1);
        }
        std::string error;
        if (!Lexer(file, line).run(body, &m.body, &error)) fail(file, line, error);
        macros_[name] = std::move(m);
    }

    void include(const std::string& file, int line, const std::string& args,
                 std::vector<Token>* out, int depth) {
        size_t b = args.find_first_of("\"<");
        if (b == std::string::npos) fail(file, line, "#include needs a file name");
        const char close = args[b] == '"' ? '"' : '>';
        const size_t e = args.find(close, b + 1);
        if (e == std::string::npos) fail(file, line, "#include: unterminated file name");
        const std::string name = args.substr(b + 1, e - b - 1);
        const ResourceFile* f = findFile(files_, name);
        if (f == nullptr) {
            if (close == '>' || isSystemHeader(baseName(normalisePath(name)))) return;
            fail(file, line, "cannot open include file '" + name + "'");
        }
        if (std::find(stack_.begin(), stack_.end(), f) != stack_.end()) {
            fail(file, line, "'" + name + "' includes itself");
        }
        stack_.push_back(f);
        run(*f, out, depth + 1);
        stack_.pop_back();
    }

    const std::vector<ResourceFile>& files_;
    std::map<std::string, Macro>& macros_;
    std::vector<const ResourceFile*> stack_;
};

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
