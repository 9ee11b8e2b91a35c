// Checks on registry-supplied names before they become paths of files the
// engine deletes: nothing outside the Windows directory may be named.
#pragma once

// True for a bare file name: not empty, not "." or "..", and free of path
// separators and drive colons.
bool isBareFileName(const char* name);

// True when `path` has a ".." component (between separators '\' or '/').
bool hasParentComponent(const char* path);

// The file-name part of `path`: what follows its last '\', '/' or drive
// colon (the whole path when it has none).
const char* fileNamePart(const char* path);
