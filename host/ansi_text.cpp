#include "host/ansi_text.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iconv.h>

namespace {

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

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

unsigned machineCodePage(const std::string& machineDir) {
    constexpr unsigned kDefault = 1252;
    std::ifstream ini(machineDir + "/machine.ini", std::ios::binary);
    std::string line;
    bool inSystem = false;
    while (std::getline(ini, line)) {
        const auto comment = line.find(';');
        line = trim(comment == std::string::npos ? line : line.substr(0, comment));
        if (line.empty()) {
            continue;
        }
        if (line.front() == '[') {
            inSystem = trim(line) == "[system]";
            continue;
        }
        const auto equals = line.find('=');
        if (!inSystem || equals == std::string::npos ||
            trim(line.substr(0, equals)) != "codepage") {
            continue;
        }
        const std::string value = trim(line.substr(equals + 1));
        char* end = nullptr;
        errno = 0;
        const unsigned long number = std::strtoul(value.c_str(), &end, 10);
        if (errno == 0 && end != value.c_str() && *end == '\0' && number > 0 && number < 65536) {
            return static_cast<unsigned>(number);
        }
        return kDefault;
    }
    return kDefault;
}
