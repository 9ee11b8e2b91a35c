// The bookkeeping every simulated API call shares: counting, logging and
// refusing calls, and the thread's last error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "winsim/src/machine/state.h"

namespace winsim {

// Counts and logs a call; returns the error to fail it with when the test
// API refuses it.
std::optional<uint32_t> enterCall(const std::string& function, const std::string& logEntry);

// The thread's last error (SetLastError).
void setLastError(uint32_t error);

// A failure of a function that reports through the last error: sets
// `error` and returns `result`.
template <typename T>
T failWith(uint32_t error, T result) {
    setLastError(error);
    return result;
}

// The opening of every simulated function that reports through the last
// error. admitCall counts and logs the call and is false, with the last
// error set, when the test API refuses it; admitMachineCall also needs a
// loaded machine and returns it, or nullptr with ERROR_NOT_READY.
bool admitCall(const std::string& function, const std::string& logEntry);
Machine* admitMachineCall(const std::string& function, const std::string& logEntry);

}  // namespace winsim
