#include "discovery/registry_helpers.h"

#include "detection/bounded_text.h"
#include "detection/device_catalogue.h"
#include "discovery/registry_key.h"

#include <cstring>

bool readRegistryValue(HKEY parent, const char* subkeyPath, const char* valueName, char* buffer,
                       DWORD* size) {
    if (buffer == nullptr || size == nullptr || *size == 0) return false;
    const DWORD capacity = *size;
    // Zero-filled first: a string stored without its terminating zero is then
    // terminated by the filler, unless it fills the whole buffer.
    std::memset(buffer, 0, capacity);

    RegistryKey key(parent, subkeyPath);
    if (!key.valid()) return false;
    DWORD type = REG_NONE;
    if (RegQueryValueExA(key.get(), valueName, nullptr, &type, reinterpret_cast<LPBYTE>(buffer),
                         size) != ERROR_SUCCESS) {
        buffer[0] = '\0';  // ERROR_MORE_DATA leaves garbage behind
        return false;
    }
    return isTerminatedText(buffer, capacity);
}

DWORD countSubkeys(const char* prefix, const char* name) {
    char path[kPathBufferSize];
    if (!joinText(path, {prefix, name})) return 0;
    RegistryKey key(HKEY_LOCAL_MACHINE, path);
    if (!key.valid()) return 0;

    DWORD count = 0;
    for (;; ++count) {
        char subkey[kPathBufferSize];
        DWORD length = sizeof subkey;
        FILETIME written;
        if (RegEnumKeyExA(key.get(), count, subkey, &length, nullptr, nullptr, nullptr, &written) !=
            ERROR_SUCCESS) {
            break;
        }
    }
    return count;
}

bool deleteFirstMatchingSubkey(HKEY parent, const char* keyPath, const char* valueName,
                               const char* pattern, bool exact, bool* deleted,
                               const KeptSubkeys* kept) {
    if (deleted != nullptr) *deleted = false;
    if (pattern == nullptr) return false;
    RegistryKey key(parent, keyPath);
    if (!key.valid()) return false;

    for (DWORD index = 0;; ++index) {
        char subkey[kPathBufferSize];
        DWORD length = sizeof subkey;
        FILETIME written;
        if (RegEnumKeyExA(key.get(), index, subkey, &length, nullptr, nullptr, nullptr, &written) !=
            ERROR_SUCCESS) {
            return false;
        }

        char candidate[kPathBufferSize];
        if (valueName != nullptr) {
            DWORD size = sizeof candidate;
            if (!readRegistryValue(key.get(), subkey, valueName, candidate, &size)) continue;
        } else if (!joinText(candidate, {subkey})) {
            continue;
        }

        bool match;
        if (exact) {
            match = equalTextNoCase(candidate, pattern);
        } else {
            upperText(candidate);
            match = containsText(candidate, pattern);
        }
        if (match && kept != nullptr && kept->keep(subkey, kept->context)) continue;
        if (match) {
            // Deleted by its name as enumerated; the platform matches names
            // without regard to case.
            const LONG result = RegDeleteKeyA(key.get(), subkey);
            if (deleted != nullptr) *deleted = result == ERROR_SUCCESS;
            return true;
        }
    }
}

bool deleteFileForced(const char* path) {
    if (path == nullptr || path[0] == '\0') return false;
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return false;
    }
    const DWORD writable = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (!SetFileAttributesA(path, writable)) return false;
    if (DeleteFileA(path)) return true;
    // A file that stays keeps the protection it had.
    if (writable != attributes) SetFileAttributesA(path, attributes);
    return false;
}
