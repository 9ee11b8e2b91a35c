// Options for offline installations: --windows DIR, --hive-root KEY,
// --read-only; and the guard that keeps a read-only machine unchanged.
#pragma once

#include "winsim/offline.h"

#include <ostream>
#include <string>

struct OfflineOptions {
    winsim::LoadOptions load;
    std::string windows;  // --windows DIR
};

// Takes argv[*i] (and its argument) when it is one of these options:
// returns 1 (with *i advanced past an argument), 0 when it is not one, -1
// with `error` when its argument is missing.
int parseOfflineOption(int argc, char** argv, int* i, OfflineOptions* options, std::string* error);

// Usage lines for --help.
extern const char kOfflineUsage[];

// On a read-only machine, clicks on Uninstall and Restart write one line
// to `err` saying why and do nothing. Removed by the destructor.
class ReadOnlyGuard {
public:
    explicit ReadOnlyGuard(std::ostream& err);
    ~ReadOnlyGuard();
    ReadOnlyGuard(const ReadOnlyGuard&) = delete;
    ReadOnlyGuard& operator=(const ReadOnlyGuard&) = delete;
    // A change was refused although the operator did not ask for
    // read-only use (the exit status says so).
    bool refusedUnasked() const { return refusedUnasked_; }

private:
    std::ostream& err_;
    bool refusedUnasked_ = false;
};
