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
// into the program; `reset` replaces an existing copy. The copy is written
// beside its final place and renamed into it, so an interrupted run never
// leaves half an image. Returns false with `error` set on failure (the
// existing copy, if any, is then left as it was).
bool prepareDefaultMachine(const std::string& dir, bool reset, std::string* error);
