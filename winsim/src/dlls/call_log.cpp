// The bookkeeping every simulated API call shares: counts, the call log and
// the refusals the test API arranges.
#include <cstdint>
#include <map>

#include "winsim/api/win32_base.h"
#include "winsim/machine.h"
#include "winsim/src/dlls/calls.h"

namespace winsim {

namespace {

std::map<std::string, unsigned, std::less<>> g_callCounts;
// The counts of functions called lately, by where their name lies (the
// callers pass the same literal each time): a call made a hundred thousand
// times a run finds its count without a lookup among the names. The name
// is compared all the same. A count stays where it is until the reset.
struct Recent {
    const std::string* name = nullptr;
    unsigned* count = nullptr;
};
Recent g_recent[16];

unsigned& countOf(std::string_view function) {
    Recent& recent = g_recent[(reinterpret_cast<uintptr_t>(function.data()) >> 4) & 15];
    if (recent.name && *recent.name == function) return *recent.count;
    auto counted = g_callCounts.find(function);
    if (counted == g_callCounts.end()) {
        counted = g_callCounts.emplace(std::string(function), 0).first;
    }
    recent = Recent{&counted->first, &counted->second};
    return counted->second;
}
std::vector<std::string> g_callLog;
bool g_callLogging = true;

struct Refusal {
    std::string function;
    uint32_t error;
    unsigned nth;  // 0 = every call
    unsigned seen = 0;
};
std::vector<Refusal> g_refusals;

}  // namespace

bool callLogging() { return g_callLogging; }

void logCall(std::string entry) { g_callLog.push_back(std::move(entry)); }

std::optional<uint32_t> countCall(std::string_view function) {
    ++countOf(function);
    for (auto it = g_refusals.begin(); it != g_refusals.end(); ++it) {
        if (it->function != function) continue;
        ++it->seen;
        if (it->nth == 0) return it->error;
        if (it->seen == it->nth) {
            const uint32_t error = it->error;
            g_refusals.erase(it);
            return error;
        }
    }
    return std::nullopt;
}

unsigned callCount(const std::string& function) {
    auto it = g_callCounts.find(function);
    return it == g_callCounts.end() ? 0 : it->second;
}

void resetCallCounts() {
    for (Recent& recent : g_recent) recent = Recent{};
    g_callCounts.clear();
    g_callLog.clear();
}

bool refusedCall(uint32_t error) { return failWith(error, false); }

Machine* machineForCall() {
    Machine* m = currentMachine();
    if (!m) return failWith(ERROR_NOT_READY, nullptr);
    return m;
}

const std::vector<std::string>& callLog() { return g_callLog; }

void setCallLogging(bool on) {
    g_callLogging = on;
    if (!on) std::vector<std::string>().swap(g_callLog);
}

void refuseCall(const std::string& function, uint32_t error, unsigned nth) {
    g_refusals.push_back(Refusal{function, error, nth});
}

void clearRefusals() { g_refusals.clear(); }

}  // namespace winsim
