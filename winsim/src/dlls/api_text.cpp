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

DWORD mapBytes(LPSTR text, DWORD length, unsigned char (*map)(unsigned, unsigned char)) {
    if (!text) return 0;
    const unsigned codePage = currentCodePage();
    for (DWORD i = 0; i < length; ++i) {
        text[i] = static_cast<char>(map(codePage, static_cast<unsigned char>(text[i])));
    }
    return length;
}

}  // namespace
}  // namespace winsim

extern "C" {

DWORD WINAPI CharUpperBuffA(LPSTR lpsz, DWORD cchLength) {
    return winsim::mapBytes(lpsz, cchLength, winsim::ansiUpper);
}

DWORD WINAPI CharLowerBuffA(LPSTR lpsz, DWORD cchLength) {
    return winsim::mapBytes(lpsz, cchLength, winsim::ansiLower);
}

}  // extern "C"
