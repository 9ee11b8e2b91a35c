// The bookkeeping every simulated API call shares: counts, the call log and
// the refusals the test API arranges.
#include <map>

#include "winsim/api/win32_base.h"
#include "winsim/machine.h"
#include "winsim/src/dlls/calls.h"

namespace winsim {

namespace {

std::map<std::string, unsigned, std::less<>> g_callCounts;
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
    auto counted = g_callCounts.find(function);
    if (counted == g_callCounts.end()) {
        counted = g_callCounts.emplace(std::string(function), 0).first;
    }
    ++counted->second;
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
