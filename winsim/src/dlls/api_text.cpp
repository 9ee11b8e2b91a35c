// Narrow text functions of user32 that follow the machine's ANSI code page.
#include "winsim/api/win32_user.h"
#include "winsim/src/base/codepage.h"
#include "winsim/src/dlls/calls.h"

namespace winsim {
namespace {

// Without a loaded machine the default code page of an image applies.
unsigned currentCodePage() {
    const Machine* m = currentMachine();
    return m ? m->codePage : 1252u;
}

// `upper`: ASCII letters map as every supported code page maps them; the
// other bytes go through `map`.
DWORD mapBytes(LPSTR text, DWORD length, unsigned char (*map)(unsigned, unsigned char),
               bool upper) {
    if (!text) return 0;
    const unsigned codePage = currentCodePage();
    const bool ascii = codePageSupported(codePage);
    const char from = upper ? 'a' : 'A';
    for (DWORD i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (ascii && c < 0x80) {
            if (c >= from && c <= from + 25) text[i] = static_cast<char>(c ^ 0x20);
            continue;
        }
        text[i] = static_cast<char>(map(codePage, c));
    }
    return length;
}

}  // namespace
}  // namespace winsim

extern "C" {

DWORD WINAPI CharUpperBuffA(LPSTR lpsz, DWORD cchLength) {
    return winsim::mapBytes(lpsz, cchLength, winsim::ansiUpper, true);
}

DWORD WINAPI CharLowerBuffA(LPSTR lpsz, DWORD cchLength) {
    return winsim::mapBytes(lpsz, cchLength, winsim::ansiLower, false);
}

}  // extern "C"
