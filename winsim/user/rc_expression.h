// Constant expressions of a resource script: #if conditions, control
// identifiers and styles.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "winsim/user/rc_lexer.h"

namespace winsim::ui::detail::rc {

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
    uint32_t parseStyle(uint32_t value);

private:
    const Token& cur() const;
    bool peekPunct(const char* p) const { return cur().kind == Tok::Punct && cur().text == p; }
    bool peekIdent(const char* p) const;
    [[noreturn]] void fail(const std::string& m) const { throw ParseError{m}; }
    static int64_t wrap(uint64_t v) { return static_cast<int64_t>(v); }

    int64_t parseOr();
    int64_t parseLogicalAnd();
    int64_t parseEquality();
    int64_t parseBitOr();
    int64_t parseXor();
    int64_t parseAnd();
    int64_t parseShift();
    int64_t parseAdd();
    int64_t parseMul();
    int64_t parseUnary();
    int64_t parsePrimary();
    int64_t symbol(const std::string& name);

    const std::vector<Token>& toks_;
    size_t pos_;
    const std::map<std::string, Macro>& macros_;
    bool pp_;
    int depth_;
};

}  // namespace winsim::ui::detail::rc
