// Damaged and hostile registry hive files for tests: links between records
// rewritten after the published layouts (2000/XP regf hives, 98/ME
// SYSTEM.DAT), and shapes that hivex writes on request although Windows
// never would (names over the limits, nesting over 512 levels).
#pragma once

#include <cstdint>
#include <string>

namespace qu_test {

uint32_t get32(const std::string& bytes, size_t at);
void put32(std::string* bytes, size_t at, uint32_t value);

// ---- 2000/XP hives (bytes of a whole file) ----

// Where the data of the cell at `offset` (counted from the first hive bin,
// as links are) starts in the file.
size_t ntCellData(uint32_t offset);
// The key cell at `path` (backslash-separated, below the root key; names
// compared ignoring ASCII case); 0 when there is none.
uint32_t ntKeyCell(const std::string& hive, const std::string& path);
// Fields of a key cell, as positions in its data.
constexpr size_t kNtSubkeyList = 0x1C, kNtSecurity = 0x2C, kNtClassName = 0x30;
// The file position of the first entry of the key's subkey list (lf, lh
// or li: the entry's first 4 bytes are the subkey's cell).
size_t ntFirstSubkeyEntry(const std::string& hive, uint32_t keyCell);
// Sets the base block's primary and secondary sequence numbers (and its
// checksum): different numbers mean changes wait in the hive's .LOG file.
void ntSetSequenceNumbers(std::string* hive, uint32_t primary, uint32_t secondary);

// Through hivex, on the file: below `path` adds `levels` nested keys named
// `name` (false with `error`) ...
bool ntAddNestedKeys(const std::string& file, const std::string& path, size_t levels,
                     const std::string& name, std::string* error);
// ... or one value named `valueName` (a DWORD).
bool ntAddValue(const std::string& file, const std::string& path, const std::string& valueName,
                std::string* error);

// ---- 98/ME SYSTEM.DAT (bytes of a whole file) ----

// The navigation entry of the key at `path` (offset in the navigation
// record, as links are); 0 when there is none.
uint32_t creg9xKeyEntry(const std::string& file, const std::string& path);
// Fields of a navigation entry.
constexpr size_t k9xFirstChild = 0x10, k9xNextSibling = 0x14;
// Sets a field of the navigation entry `entry`.
void creg9xSetLink(std::string* file, uint32_t entry, size_t field, uint32_t value);

}  // namespace qu_test
