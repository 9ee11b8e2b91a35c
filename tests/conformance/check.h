// A very small check framework for the conformance tests, which build both
// against the simulated machine (host) and with MinGW for Windows and Wine:
// no gtest in the Windows exe, no exceptions.
//
//   CHECK(condition);
//   CHECK_EQ(actual, expected);        integers (results, sizes, error codes)
//   CHECK_STR(actual, expected);       C strings, compared exactly
//   TODO_WINE { CHECK...; }            a known difference of Wine from
//                                      Windows (docs/wine-differences.md):
//                                      under Wine a failure there counts as
//                                      "todo", a pass as "todo passed"
//   TODO_SIMULATION { CHECK...; }      the same for a known, reported
//                                      difference of the simulation (host)
//                                      from Windows
#pragma once

#include <cstring>

namespace conformance {

struct Counts {
    int run = 0;
    int failed = 0;
    int todo = 0;        // failed, as expected, under Wine
    int todoPassed = 0;  // expected to fail under Wine, passed
};

Counts& counts();
// True when the program runs under Wine (ntdll exports wine_get_version);
// false on Windows and on the host.
bool onWine();
// True in the host build, against the simulated machine.
bool onSimulation();
// Records one check; prints a failure with its place and `detail`.
void record(bool ok, const char* what, const char* file, int line, const char* detail);
void recordInts(long long actual, long long expected, const char* what, const char* file, int line);
void recordStrings(const char* actual, const char* expected, const char* what, const char* file,
                   int line);
// Names a group of checks in failure messages.
void section(const char* name);

// Marks the checks of one block as a known difference where `applies`
// (see TODO_WINE).
class Todo {
public:
    explicit Todo(bool applies);
    ~Todo();
    bool once() { return first_ ? !(first_ = false) : false; }

private:
    bool applies_;
    bool first_ = true;
};

}  // namespace conformance

#define CHECK(condition) ::conformance::record((condition), #condition, __FILE__, __LINE__, "")
#define CHECK_EQ(actual, expected)                                                              \
    ::conformance::recordInts(static_cast<long long>(actual), static_cast<long long>(expected), \
                              #actual " == " #expected, __FILE__, __LINE__)
#define CHECK_STR(actual, expected) \
    ::conformance::recordStrings((actual), (expected), #actual " == " #expected, __FILE__, __LINE__)
#define TODO_WINE for (::conformance::Todo todo_wine_(::conformance::onWine()); todo_wine_.once();)
#define TODO_SIMULATION \
    for (::conformance::Todo todo_sim_(::conformance::onSimulation()); todo_sim_.once();)
