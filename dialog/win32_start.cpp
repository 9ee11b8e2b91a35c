// Process entry point of the Windows product exe, which links without the C
// runtime's start-up objects (dialog/CMakeLists.txt): their code needs a
// Pentium Pro (conditional moves) and brings argument parsing, thread-local
// storage callbacks, pseudo-relocation and exit tables the program does not
// use. What the program needs of a start-up is done here: static
// constructors, should there ever be any, then WinMain with the arguments the
// C runtime would give it, then the process ends with WinMain's result.
//
// The C library functions the program imports from msvcrt.dll (memory and
// string functions, malloc, realloc, free) need no set-up by the exe; msvcrt
// initialises its heap when it is loaded. Nothing here uses stdio, atexit,
// thread-local storage or data imported through pseudo-relocations (the
// linker's list of them is empty); the Wine stage's import check fails an exe
// that imports the runtime's start-up, stdio or exit functions again.
#include "platform/win32.h"

namespace {

using Constructor = void (*)();

// The command line's arguments: what follows the program's name (quoted, up
// to its closing quote, or up to the first blank) and the blanks after it.
char* argumentsOf(char* line) {
    if (*line == '"') {
        ++line;
        while (*line != '\0' && *line != '"') {
            ++line;
        }
        if (*line == '"') {
            ++line;
        }
    } else {
        while (static_cast<unsigned char>(*line) > ' ') {
            ++line;
        }
    }
    while (*line != '\0' && static_cast<unsigned char>(*line) <= ' ') {
        ++line;
    }
    return line;
}

}  // namespace

// The linker's table of static constructors: a -1 marker, the constructors,
// a null. They run from the last to the first, the order GCC gives them.
extern "C" Constructor __CTOR_LIST__[];

extern "C" void quStart() {
    Constructor* end = __CTOR_LIST__ + 1;
    while (*end != nullptr) {
        ++end;
    }
    while (end != __CTOR_LIST__ + 1) {
        (*--end)();
    }

    STARTUPINFOA startup;
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    const int show =
        (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 ? startup.wShowWindow : SW_SHOWDEFAULT;
    ExitProcess(static_cast<UINT>(
        WinMain(GetModuleHandleA(nullptr), nullptr, argumentsOf(GetCommandLineA()), show)));
}
