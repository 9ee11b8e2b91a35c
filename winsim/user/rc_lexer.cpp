#include "winsim/user/rc_lexer.h"

#include <cctype>
#include <cstring>
#include <utility>

namespace winsim::ui::detail::rc {

bool Lexer::run(const std::string& s, std::vector<Token>* out, std::string* error) {
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
                    const int digit = std::isdigit(static_cast<unsigned char>(d))
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
            if (j < s.size() && (std::isalnum(static_cast<unsigned char>(s[j])) || s[j] == '_')) {
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
            static const char* const twoChar[] = {"&&", "||", "==", "!=", "<<", ">>", "<=", ">="};
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

size_t Lexer::escape(const std::string& s, size_t j, std::string* out) {
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

}  // namespace winsim::ui::detail::rc
