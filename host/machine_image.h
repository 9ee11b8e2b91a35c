// Which machine image a run works on, as the operator is told: on the
// terminal UI's screen, in the record printed when it ends and in the log.
#pragma once

#include <string>

struct MachineImage {
    std::string dir;
    bool builtIn = false;  // the default working copy of the built-in image
    bool changed = false;  // builtIn only: it no longer matches the built-in image
};

// Describes `dir` as it is before the run loads it. `builtIn`: `dir` is the
// default working copy.
MachineImage describeMachineImage(const std::string& dir, bool builtIn);

// True when the working copy in `dir` has the built-in image's system.reg
// and exactly its files, with the same bytes, under drive_c.
bool matchesBuiltInImage(const std::string& dir);

// "Machine image: <dir>", with what it is when it is the working copy.
std::string imageRecordLine(const MachineImage& image);

// The terminal UI's line outside the dialog: empty for an unchanged working
// copy of the built-in image. A home directory prefix shows as "~".
std::string imageScreenLine(const MachineImage& image, const std::string& home);
