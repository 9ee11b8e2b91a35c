#include "winsim/user/rc_expression.h"

#include "winsim/user/rc_symbols.h"

namespace winsim::ui::detail::rc {

uint32_t Expr::parseStyle(uint32_t value) {
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

const Token& Expr::cur() const {
    static const Token end;
    return pos_ < toks_.size() ? toks_[pos_] : end;
}

bool Expr::peekIdent(const char* p) const {
    return cur().kind == Tok::Ident && iequals(cur().text, p);
}

int64_t Expr::parseOr() {
    int64_t v = parseLogicalAnd();
    while (peekPunct("||")) {
        ++pos_;
        const int64_t r = parseLogicalAnd();
        v = (v != 0 || r != 0) ? 1 : 0;
    }
    return v;
}

int64_t Expr::parseLogicalAnd() {
    int64_t v = parseEquality();
    while (peekPunct("&&")) {
        ++pos_;
        const int64_t r = parseEquality();
        v = (v != 0 && r != 0) ? 1 : 0;
    }
    return v;
}

int64_t Expr::parseEquality() {
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

int64_t Expr::parseBitOr() {
    int64_t v = parseXor();
    while (peekPunct("|")) {
        ++pos_;
        v |= parseXor();
    }
    return v;
}

int64_t Expr::parseXor() {
    int64_t v = parseAnd();
    while (peekPunct("^")) {
        ++pos_;
        v ^= parseAnd();
    }
    return v;
}

int64_t Expr::parseAnd() {
    int64_t v = parseShift();
    while (peekPunct("&")) {
        ++pos_;
        v &= parseShift();
    }
    return v;
}

int64_t Expr::parseShift() {
    int64_t v = parseAdd();
    while (peekPunct("<<") || peekPunct(">>")) {
        const bool left = cur().text == "<<";
        ++pos_;
        const int64_t r = parseAdd() & 63;
        v = left ? static_cast<int64_t>(static_cast<uint64_t>(v) << r) : (v >> r);
    }
    return v;
}

int64_t Expr::parseAdd() {
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

int64_t Expr::parseMul() {
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

int64_t Expr::parseUnary() {
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

int64_t Expr::parsePrimary() {
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

int64_t Expr::symbol(const std::string& name) {
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

}  // namespace winsim::ui::detail::rc
