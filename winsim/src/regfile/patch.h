// The exact save: a registry's base text patched with the changes recorded
// since it was loaded (see registry.h), and nothing else.
#pragma once

#include <string>

#include "winsim/src/base/posix_file.h"
#include "winsim/src/registry/registry.h"

namespace winsim {

// The base text of `registry` patched with its change log.
std::string patchedText(const Registry& registry);
// The same in pieces, in order; false when `sink` refused one.
bool patchedText(const Registry& registry, const TextSink& sink);

}  // namespace winsim
