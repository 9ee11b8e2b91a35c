// Tokens of a resource script and the lexer that makes them from one logical
// line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace winsim::ui::detail::rc {

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
    bool run(const std::string& s, std::vector<Token>* out, std::string* error);

private:
    // Decodes the escape whose character is at s[j]; returns the index after it.
    static size_t escape(const std::string& s, size_t j, std::string* out);

    std::string file_;
    int line_;
};

}  // namespace winsim::ui::detail::rc
