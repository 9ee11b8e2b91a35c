// The preprocessor of a resource script: comments, #include of the given
// files, #define, #if/#ifdef/#else/#endif; produces the token stream.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "winsim/user/rc_lexer.h"
#include "winsim/user/rc_parser.h"

namespace winsim::ui::detail::rc {

class Preprocessor {
public:
    Preprocessor(const std::vector<ResourceFile>& files, std::map<std::string, Macro>* macros)
        : files_(files), macros_(*macros) {}

    void run(const ResourceFile& file, std::vector<Token>* out, int depth);

    [[noreturn]] static void fail(const std::string& file, int line, const std::string& message);

private:
    static std::string firstWord(const std::string& s);

    bool evalCondition(const std::string& file, int line, const std::string& args);

    void define(const std::string& file, int line, const std::string& args);

    void include(const std::string& file, int line, const std::string& args,
                 std::vector<Token>* out, int depth);

    const std::vector<ResourceFile>& files_;
    std::map<std::string, Macro>& macros_;
    std::vector<const ResourceFile*> stack_;
};

}  // namespace winsim::ui::detail::rc
