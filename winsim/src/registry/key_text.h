// A key's own lines in the base text, looked at before its values are read:
// what a search or a value lookup can rule out without the .reg reader.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "winsim/src/registry/registry.h"

namespace winsim {

// Where `text` holds `needle` (upper-case ASCII) in any case of its letters,
// first at or after `from`; npos when nowhere.
size_t findNoCase(std::string_view text, std::string_view needle, size_t from);
bool holdsNoCase(std::string_view text, std::string_view needle);
// The first place at or after `from` where `text` holds one of `needles`
// (each upper-case ASCII, none empty) in any case of its letters, and in
// `which` the first needle found there; npos when none is anywhere. One
// pass over the text for them all.
size_t findAnyNoCase(std::string_view text, const std::vector<std::string_view>& needles,
                     size_t from, size_t* which);

// The ASCII bytes (in `seen`, a bit each) that the hex strings of `text`
// from `at` (where one starts) can write: each byte is two hex digits with
// no hex digit before them, on the lines from a "hex(" through the first
// line that neither continues (no backslash) nor is blank or a comment,
// then from the next "hex(" after those lines, to the text's end. Groups
// "xx," as an export writes them are read five at a time.
void hexStringBytes(std::string_view text, size_t at, uint64_t seen[2]);

// The text of `block` of a key whose values are still in the text, as the
// reader reads it (through the end of the line it ends in), in UTF-8: a view
// of the base text, or a UTF-16 file's lines decoded into `room`.
std::string_view blockText(const Registry& registry, const KeyBlock& block, std::string* room);

// Whether a line of `key`'s blocks in the base text may write a value named
// `name`: false only when `name` is plain ASCII and no line holds it as a
// quoted name (the lines of a UTF-16 export are not looked at: true).
bool linesMayName(const RegKey& key, std::string_view name);

// The names of `key`'s value lines (TextValueReader::nameLines), read once
// when a name is asked of the same key as the lookup before it: the guard
// asks four names of every device in a row, and one reading of the lines
// answers them all. nullptr for the first name asked of a key (unless the
// key before was asked for two names or more, none remembered: a walk),
// and when the names cannot be noted. Valid until the next call. A key whose values
// are still in the text is the only kind asked about. `remembered`: the
// name was one the key remembers (a key read before, as a second `plan`
// reads it): the rest of the run looks at the lines as the first name did,
// and nullptr.
const std::vector<NameLine>* recentNameLines(const RegKey& key, bool remembered);

}  // namespace winsim
