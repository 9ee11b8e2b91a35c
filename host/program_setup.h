// Start-up of the host program: the dialog's resources and the machine
// image it runs on.
#pragma once

#include <string>

// Registers the resources compiled into the program with the simulated
// window system.
bool loadDialogResources(std::string* error);

// The working copy of the default machine image: $XDG_STATE_HOME (or
// ~/.local/state)/quorvane-uninstall/machine. Empty, with `error` set, when
// neither variable gives an absolute directory.
std::string defaultMachineDir(std::string* error);

// Makes sure the working copy exists, creating it from the image compiled
// into the program on the first start. An existing copy is the user's data:
// one that is incomplete (machine.ini, system.reg or drive_c missing) is
// refused with a message pointing to --reset-machine, never replaced.
// `reset` replaces an existing copy atomically (the fresh copy is written
// beside it and exchanged with it in one rename), unless another process
// has it loaded (then `inUse` is set). Folders an interrupted start left
// beside the copy (machine.new-*, machine.old-*) are removed first.
// Returns false with `error` set on failure (the existing copy, if any, is
// then left as it was).
bool prepareDefaultMachine(const std::string& dir, bool reset, std::string* error,
                           bool* inUse = nullptr);

// The hint added to a message about a default working copy that cannot be
// used.
extern const char kResetHint[];
