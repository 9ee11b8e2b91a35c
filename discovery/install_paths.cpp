#include "discovery/install_paths.h"

#include "detection/bounded_text.h"
#include "detection/device_catalogue.h"

#include <cstring>

namespace {

// Prefixes of an image path that Windows resolves against its own directory.
const char* const kSystemRootPrefixes[] = {"\\SystemRoot\\", "%SystemRoot%\\"};
// Prefix of an absolute path in the object namespace, "\??\C:\...".
const char kObjectPathPrefix[] = "\\??\\";

bool isSeparator(char c) { return c == '\\' || c == '/'; }

// The part of the absolute `path` below `dir` (after the separators that
// follow it; "" for `dir` itself), or nullptr when `path` is not inside
// `dir`.
const char* pathBelow(const char* path, const char* dir) {
    char prefix[kPathBufferSize];
    if (!joinText(prefix, {dir})) return nullptr;
    size_t length = std::strlen(prefix);
    while (length > 0 && isSeparator(prefix[length - 1])) --length;
    prefix[length] = '\0';
    if (length == 0 || !startsWithNoCase(path, prefix)) return nullptr;
    const char* rest = path + length;
    if (!isSeparator(*rest)) return nullptr;
    while (isSeparator(*rest)) ++rest;
    return rest;
}

// An absolute path: below `windowsDir` when inside it, else as it is. False
// for the Windows directory itself, which is no driver file.
bool resolveAbsolute(const char* path, const char* windowsDir, char* out) {
    const char* below = pathBelow(path, windowsDir);
    if (below != nullptr && below[0] == '\0') return false;
    if (below != nullptr) return joinText(out, kPathBufferSize, {windowsDir, "\\", below});
    return joinText(out, kPathBufferSize, {path});
}

}  // namespace

bool isBareFileName(const char* name) {
    if (name == nullptr || name[0] == '\0') return false;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
    return std::strpbrk(name, "\\/:") == nullptr;
}

bool hasParentComponent(const char* path) {
    if (path == nullptr) return false;
    const char* component = path;
    for (const char* p = path;; ++p) {
        if (isSeparator(*p) || *p == '\0') {
            if (p - component == 2 && component[0] == '.' && component[1] == '.') return true;
            if (*p == '\0') return false;
            component = p + 1;
        }
    }
}

const char* fileNamePart(const char* path) {
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (isSeparator(*p) || *p == ':') name = p + 1;
    }
    return name;
}

bool isDrivePath(const char* path) {
    const char letter = path[0];
    const bool isLetter = (letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z');
    return isLetter && path[1] == ':' && isSeparator(path[2]);
}

bool isPathInside(const char* path, const char* dir) {
    if (path == nullptr || dir == nullptr) return false;
    const char* below = pathBelow(path, dir);
    return below != nullptr && below[0] != '\0';
}

bool resolveNtImagePath(const char* imagePath, const char* windowsDir, char* out) {
    out[0] = '\0';
    if (imagePath[0] == '\0') return true;
    for (const char* prefix : kSystemRootPrefixes) {
        if (startsWithNoCase(imagePath, prefix)) {
            const char* rest = imagePath + std::strlen(prefix);
            return rest[0] != '\0' && joinText(out, kPathBufferSize, {windowsDir, "\\", rest});
        }
    }
    const bool objectPath = std::strncmp(imagePath, kObjectPathPrefix, 4) == 0;
    const char* absolute = objectPath ? imagePath + 4 : imagePath;
    if (objectPath && absolute[0] == '\0') return false;
    // "\??\UNC\server\share\..." is the network path "\\server\share\...".
    if (objectPath && startsWithNoCase(absolute, "UNC\\")) {
        return absolute[4] != '\0' && joinText(out, kPathBufferSize, {"\\\\", absolute + 4});
    }
    if (objectPath || isDrivePath(absolute)) return resolveAbsolute(absolute, windowsDir, out);
    return joinText(out, kPathBufferSize, {windowsDir, "\\", imagePath});
}

bool resolve9xDriverPath(const char* driverName, bool ownDriver, const char* windowsDir,
                         char* out) {
    out[0] = '\0';
    if (driverName[0] == '\0') return true;
    if (ownDriver)
        return joinText(out, kPathBufferSize, {windowsDir, "\\System32\\Drivers\\", driverName});
    if (isDrivePath(driverName)) return resolveAbsolute(driverName, windowsDir, out);
    return joinText(out, kPathBufferSize, {windowsDir, "\\System\\", driverName});
}

bool isOemInfName(const char* name) {
    if (!startsWithNoCase(name, "oem")) return false;
    const char* p = name + 3;
    const char* digits = p;
    while (*p >= '0' && *p <= '9') ++p;
    return p > digits && equalTextNoCase(p, ".inf");
}
