// Checks on registry-supplied names before they become paths of files the
// engine deletes, and the one way both families turn a registry-supplied
// driver name into a path: files the engine deletes lie inside the Windows
// directory; a name that points elsewhere is kept as the path it names.
#pragma once

// True for a bare file name: not empty, not "." or "..", and free of path
// separators and drive colons.
bool isBareFileName(const char* name);

// True when `path` has a ".." component (between separators '\' or '/').
bool hasParentComponent(const char* path);

// The file-name part of `path`: what follows its last '\', '/' or drive
// colon (the whole path when it has none).
const char* fileNamePart(const char* path);

// True for "X:\..." (either separator): an absolute path on a drive.
bool isDrivePath(const char* path);

// True when the absolute `path` lies below the directory `dir` (compared
// ignoring case, either separator; `dir` itself is not below itself).
bool isPathInside(const char* path, const char* dir);

// The full path of a service's "ImagePath" on 2000/XP, into `out` (260
// bytes): "\SystemRoot\..." and "%SystemRoot%\..." below `windowsDir`, a
// relative path appended to `windowsDir` as stored, an absolute one
// ("\??\C:\...", "C:\...") below `windowsDir` when it lies inside it and as
// it is (without "\??\"; "\??\UNC\..." as "\\...") when it does not. An
// empty image path gives "". False when the path does not fit or names no
// file ("\??\" or "\SystemRoot\" alone, the Windows directory itself).
bool resolveNtImagePath(const char* imagePath, const char* windowsDir, char* out);

// The full path of a 98/ME network driver name as normalize9xDriverName
// left it (`ownDriver`: its result was 1), into `out` (260 bytes): the
// family's own driver under "System32\Drivers", an absolute path like an
// absolute "ImagePath" above, any other name under "System". An empty name
// gives "". False when the path does not fit.
bool resolve9xDriverPath(const char* driverName, bool ownDriver, const char* windowsDir, char* out);

// True for the name the device installer gives an INF it copies in on
// 2000/XP: "oem<digits>.inf", ignoring case. Every other INF under Inf is
// one of Windows' own.
bool isOemInfName(const char* name);
