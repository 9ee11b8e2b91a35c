#include "host/diagnostics.h"

#include "host/run_log.h"

#include <utility>

const char kProgramPrefix[] = "quorvane-uninstall: ";

Diagnostics::Diagnostics(std::ostream& err) : err_(err) {}

Diagnostics::~Diagnostics() { release(); }

Diagnostics::LineBuffer::int_type Diagnostics::LineBuffer::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    if (traits_type::to_char_type(c) == '\n') {
        owner_.emit(std::move(line_));
        line_.clear();
    } else {
        line_ += traits_type::to_char_type(c);
    }
    return c;
}

void Diagnostics::say(const std::string& text) {
    size_t start = 0;
    bool first = true;
    while (start <= text.size()) {
        const size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? end : end - start);
        if (first) {
            emit(kProgramPrefix + line);
        } else if (!line.empty()) {
            emit(line.rfind("  ", 0) == 0 ? line : "  " + line);
        }
        first = false;
        if (end == std::string::npos) break;
        start = end + 1;
    }
}

void Diagnostics::emit(std::string line) {
    if (line.rfind(kProgramPrefix, 0) != 0 && line.rfind("  ", 0) != 0) {
        line = kProgramPrefix + line;
    }
    if (log_ != nullptr) log_->diagnostic(line);
    if (holding_) {
        held_ += line + "\n";
        return;
    }
    err_ << line << '\n';
    err_.flush();
}

void Diagnostics::release() {
    holding_ = false;
    err_ << held_;
    err_.flush();
    held_.clear();
}
