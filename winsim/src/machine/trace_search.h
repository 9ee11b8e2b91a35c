// The search for what remains (findTraces, startTraceSearch in safety.h):
// its look at the text taken ahead ends before the machine does.
#pragma once

namespace winsim {

// Waits for a look started ahead and drops it.
void endTraceSearch();

}  // namespace winsim
