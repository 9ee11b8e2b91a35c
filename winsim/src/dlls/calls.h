// The bookkeeping every simulated API call shares: counting, logging and
// refusing calls, and the thread's last error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "winsim/src/machine/state.h"

namespace winsim {

// Whether calls are logged (setCallLogging): the program keeps no log.
bool callLogging();
void logCall(std::string entry);
// Counts a call; returns the error to fail it with when the test API
// refuses it.
std::optional<uint32_t> countCall(std::string_view function);

// The log entry of a call: text, or a function that makes it (a call made
// a hundred thousand times a run builds none while no log is kept).
template <class Entry>
std::string logEntryOf(Entry&& entry) {
    if constexpr (std::is_invocable_v<Entry&>) {
        return entry();
    } else {
        return std::string(entry);
    }
}

// Counts and logs a call; returns the error to fail it with when the test
// API refuses it.
template <class Entry>
std::optional<uint32_t> enterCall(std::string_view function, Entry&& entry) {
    if (callLogging()) logCall(logEntryOf(entry));
    return countCall(function);
}

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
bool refusedCall(uint32_t error);
Machine* machineForCall();

template <class Entry>
bool admitCall(std::string_view function, Entry&& entry) {
    if (auto refused = enterCall(function, entry)) return refusedCall(*refused);
    return true;
}

template <class Entry>
Machine* admitMachineCall(std::string_view function, Entry&& entry) {
    if (!admitCall(function, entry)) return nullptr;
    return machineForCall();
}

}  // namespace winsim
