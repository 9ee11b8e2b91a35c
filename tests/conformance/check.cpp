#include "tests/conformance/check.h"

#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#endif

namespace conformance {

namespace {

const char* g_section = "";
int g_todoDepth = 0;

}  // namespace

Counts& counts() {
    static Counts c;
    return c;
}

bool onWine() {
#ifdef _WIN32
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

bool onSimulation() {
#ifdef _WIN32
    return false;
#else
    return true;
#endif
}

void section(const char* name) { g_section = name; }

Todo::Todo(bool applies) : applies_(applies) {
    if (applies_) ++g_todoDepth;
}
Todo::~Todo() {
    if (applies_) --g_todoDepth;
}

void record(bool ok, const char* what, const char* file, int line, const char* detail) {
    Counts& c = counts();
    ++c.run;
    const bool todo = g_todoDepth > 0;
    if (todo) {
        if (ok) {
            ++c.todoPassed;
            std::printf("%s:%d: [%s] todo passed (now behaves like Windows): %s\n", file, line,
                        g_section, what);
        } else {
            ++c.todo;
        }
        return;
    }
    if (ok) return;
    ++c.failed;
    std::printf("%s:%d: [%s] FAILED %s%s%s\n", file, line, g_section, what, *detail ? ": " : "",
                detail);
}

void recordInts(long long actual, long long expected, const char* what, const char* file,
                int line) {
    char detail[96];
    std::snprintf(detail, sizeof detail, "got %lld (0x%llx), expected %lld", actual,
                  static_cast<unsigned long long>(actual), expected);
    record(actual == expected, what, file, line, detail);
}

void recordStrings(const char* actual, const char* expected, const char* what, const char* file,
                   int line) {
    char detail[600];
    std::snprintf(detail, sizeof detail, "got \"%.250s\", expected \"%.250s\"",
                  actual != nullptr ? actual : "(null)", expected);
    record(actual != nullptr && std::strcmp(actual, expected) == 0, what, file, line, detail);
}

}  // namespace conformance
