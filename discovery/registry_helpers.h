// The engine's registry and file helpers. Key paths are relative to the
// parent (HKEY_LOCAL_MACHINE or a key the caller holds), single
// backslashes, no leading backslash. Every key opened here is opened for
// reading and closed before the helper returns.
#pragma once

#include "platform/win32.h"

// Opens `subkeyPath` below `parent` and reads `valueName` into `buffer`,
// whose size `*size` the caller sets (260) before the call; on success
// `*size` holds the bytes the platform wrote. True only when the value was
// read and holds a zero-terminated string within the buffer; otherwise the
// buffer is left empty, as for a missing value (a value larger than the
// buffer included).
bool readRegistryValue(HKEY parent, const char* subkeyPath, const char* valueName, char* buffer,
                       DWORD* size);

// Number of subkeys of HKEY_LOCAL_MACHINE\`prefix``name`; 0 when the key
// is missing or the composed path does not fit 260 bytes.
DWORD countSubkeys(const char* prefix, const char* name);

// Subkeys that a deletion passes over although they match: those for which
// keep(subkey name, context) is true.
struct KeptSubkeys {
    bool (*keep)(const char* subkeyName, const void* context);
    const void* context;
};

// Opens `keyPath` below `parent` and deletes its first subkey whose
// candidate matches `pattern`: the candidate is the subkey's value
// `valueName` (subkeys without a readable value are skipped), or the subkey
// name when `valueName` is null. `exact`: equal ignoring case; otherwise the
// upper-cased candidate contains `pattern`. True when a match was found and
// its deletion requested; at most one subkey per call. `deleted`, when
// given, tells whether the platform actually deleted it (a refused deletion
// leaves the subkey to be found again by the next call). A match that
// `kept` keeps is passed over and the search goes on.
bool deleteFirstMatchingSubkey(HKEY parent, const char* keyPath, const char* valueName,
                               const char* pattern, bool exact, bool* deleted = nullptr,
                               const KeptSubkeys* kept = nullptr);

// Clears the read-only attribute of the file at `path` and deletes it. False
// when the file is missing, is a directory, or its attributes cannot be
// written (then no deletion is tried); otherwise DeleteFileA's verdict.
bool deleteFileForced(const char* path);
