// The engine's part of a detection run on the NT family, as the dialog's
// start-up makes it: the three catalogue slots probed among the network
// devices, and the installation of each slot found traced.
#pragma once

namespace qu_bench {

// How many slots were found; `lastFound` (when given) gets the last of
// them, -1 when none.
unsigned detectNt(int* lastFound = nullptr);

}  // namespace qu_bench
