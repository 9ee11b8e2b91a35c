#include "host/ansi_text.h"

#include "winsim/codepage.h"

namespace {

const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

}  // namespace

AnsiText::AnsiText(unsigned codePage) : codePage_(codePage) {}

std::string AnsiText::toUtf8(const std::string& ansi) const {
    if (winsim::codePageSupported(codePage_)) return winsim::ansiToUtf8(codePage_, ansi);
    std::string out;
    out.reserve(ansi.size());
    for (const char c : ansi) {
        if (static_cast<unsigned char>(c) < 0x80) {
            out.push_back(c);
        } else {
            out += kReplacement;
        }
    }
    return out;
}
