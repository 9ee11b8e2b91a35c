#include "winsim/user/rc_preprocessor.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "winsim/user/rc_expression.h"
#include "winsim/user/rc_symbols.h"

namespace winsim::ui::detail::rc {

void Preprocessor::run(const ResourceFile& file, std::vector<Token>* out, int depth) {
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
                    if (name.empty()) fail(file.name, lineNo, "#" + directive + " needs a name");
                    value = (macros_.count(name) != 0) == (directive == "ifdef");
                }
            }
            conds.push_back({active(), active() && value, active() && value, false, lineNo});
        } else if (directive == "elif") {
            if (conds.empty() || conds.back().sawElse) fail(file.name, lineNo, "#elif without #if");
            Cond& c = conds.back();
            const bool value = c.parentActive && !c.taken && evalCondition(file.name, lineNo, args);
            c.active = value;
            c.taken = c.taken || value;
        } else if (directive == "else") {
            if (conds.empty() || conds.back().sawElse) fail(file.name, lineNo, "#else without #if");
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

void Preprocessor::fail(const std::string& file, int line, const std::string& message) {
    throw ParseError{file + "(" + std::to_string(line) + "): " + message};
}

std::string Preprocessor::firstWord(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    size_t e = b;
    while (e < s.size() && (std::isalnum(static_cast<unsigned char>(s[e])) || s[e] == '_')) ++e;
    return s.substr(b, e - b);
}

bool Preprocessor::evalCondition(const std::string& file, int line, const std::string& args) {
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

void Preprocessor::define(const std::string& file, int line, const std::string& args) {
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

void Preprocessor::include(const std::string& file, int line, const std::string& args,
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

}  // namespace winsim::ui::detail::rc
