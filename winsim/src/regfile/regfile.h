// .reg files as the registry editor reads and writes them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "winsim/src/registry/registry.h"
#include "winsim/src/base/posix_file.h"

namespace winsim {

// Windows' own limits, enforced when a file is read.
constexpr size_t kMaxKeyDepth = 512;          // key levels below a root
constexpr size_t kMaxKeyNameChars = 255;      // UTF-16 units
constexpr size_t kMaxValueNameChars = 16383;  // UTF-16 units

struct RegImport {
    RegFormat format = RegFormat::Regedit4;
    std::vector<std::string> warnings;  // "file:line: text", one per skipped line
    // Some text of an ANSI file was decoded in the code page given (a key
    // name, a value name, or data read at load): another code page would
    // have read it differently.
    bool codePageUsed = false;
};

// Reads the .reg file `bytes`. A file without a valid header is refused:
// false, `error` set, registry untouched. So is a file that breaks one of
// Windows' limits (a key nested too deep, a key or value name too long):
// `error` names the file and line. Malformed lines are skipped with a
// warning; the rest is applied. `fileName` only names the file in
// messages; `codePage` decodes an ANSI file.
//
// With `asBase` (the load of an image into an empty registry) the file
// becomes the registry's base text: its bytes are kept with the place of
// every key and value, and nothing is recorded in the change log. Without
// it the file is applied to the registry as the registry editor imports
// one: every change is recorded, and a refused file changes nothing.
bool importRegFile(std::string_view bytes, const std::string& fileName, unsigned codePage,
                   Registry& registry, RegImport* result, std::string* error, bool asBase = true);
inline bool importRegFile(const std::string& bytes, const std::string& fileName, unsigned codePage,
                          Registry& registry, RegImport* result, std::string* error,
                          bool asBase = true) {
    return importRegFile(std::string_view(bytes), fileName, codePage, registry, result, error,
                         asBase);
}
// The same, taking the bytes over as the base text instead of copying them.
bool importRegFile(std::string&& bytes, const std::string& fileName, unsigned codePage,
                   Registry& registry, RegImport* result, std::string* error, bool asBase = true);
bool importRegFile(BaseText&& bytes, const std::string& fileName, unsigned codePage,
                   Registry& registry, RegImport* result, std::string* error, bool asBase = true);

// The bytes a save writes. For a registry with a base text in `format`:
// that text patched with the changes since the base, and only with them
// (see registry.h); loading it gives this registry again. Otherwise the
// whole registry (HKEY_LOCAL_MACHINE, then any other hive) as a file of
// `format` with CRLF line ends. Values whose text form would not read back
// identically (a REG_SZ without its terminating zero, with an inner zero
// or a line break) are written in hex(1) form.
std::string exportRegFile(const Registry& registry, RegFormat format, unsigned codePage);
// The same bytes given to `sink` in pieces, in order, the unchanged ranges
// of a base text straight from it (the whole text is never built for a
// save that patches its base); false as soon as `sink` refuses a piece.
bool exportRegFile(const Registry& registry, RegFormat format, unsigned codePage,
                   const TextSink& sink);

// A standalone .reg file of `format` (CRLF line ends) holding the given
// subtrees, every key of them with its own key line. `path` is the full
// key path the subtree's top is written under ("HKEY_LOCAL_MACHINE\A").
struct RegSubtree {
    std::string path;
    const RegKey* key = nullptr;
};
std::string exportKeys(const std::vector<RegSubtree>& subtrees, RegFormat format,
                       unsigned codePage);

// After a successful save: `savedBytes` (what exportRegFile gave) becomes
// the base of `registry` and its change log is cleared. False (nothing
// changed) when the text does not read back to this very tree.
bool rebase(Registry& registry, std::string savedBytes);

}  // namespace winsim
