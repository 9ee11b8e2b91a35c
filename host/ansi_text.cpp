#include "host/ansi_text.h"

#include <iconv.h>

namespace {

const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

}  // namespace

AnsiText::AnsiText(unsigned codePage) : codePage_(codePage) {}

std::string AnsiText::toUtf8(const std::string& ansi) const {
    std::string out;
    out.reserve(ansi.size());
    const std::string name = "CP" + std::to_string(codePage_);
    iconv_t cd = iconv_open("UTF-8", name.c_str());
    for (std::size_t i = 0; i < ansi.size(); ++i) {
        const unsigned char byte = static_cast<unsigned char>(ansi[i]);
        if (byte < 0x80) {
            out.push_back(static_cast<char>(byte));
            continue;
        }
        if (cd == reinterpret_cast<iconv_t>(-1)) {
            out += kReplacement;
            continue;
        }
        // One byte at a time: every code page used here is single-byte.
        char in[1] = {static_cast<char>(byte)};
        char buffer[8];
        char* inPtr = in;
        std::size_t inLeft = 1;
        char* outPtr = buffer;
        std::size_t outLeft = sizeof buffer;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1) ||
            outPtr == buffer) {
            out += kReplacement;
        } else {
            out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
        }
    }
    if (cd != reinterpret_cast<iconv_t>(-1)) {
        iconv_close(cd);
    }
    return out;
}
