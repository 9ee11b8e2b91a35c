// What machine the program derived from the image, as the operator is told:
// a line of the log and of the record the terminal UI prints, a member of
// the line mode's state and devices lines, and a warning when the version
// is not one the utility was made for. Fact names are those of machine.ini's
// [system] keys and of --fact.
#pragma once

#include "winsim/machine.h"

#include <string>

// "Machine facts: platform=nt (2000/XP) from machine.ini, version=5.1.2600
// from the registry, windows=C:\WINDOWS by default, codepage=1252 by
// default" (UTF-8).
std::string factsLine(const winsim::MachineFacts& facts);

// {"platform": "nt", "version": "5.1.2600", "windows": "C:\\WINDOWS",
//  "codepage": 1252, "from": {"platform": "machine.ini", "version": "registry",
//  "windows": "default", "codepage": "default"}}
// Sources: "--fact", "machine.ini", "registry", "version" (the family
// follows from the version), "installation" (the name of the
// installation's Windows folder), "default".
std::string factsJson(const winsim::MachineFacts& facts);

// A one-line JSON object with "machine": factsJson(facts) added as its last
// member. The Wine differential leaves that member out: the real exe does
// not print it.
std::string withFacts(const std::string& jsonLine, const winsim::MachineFacts& facts);

// The warning for a version outside the ones of its family the utility was
// made for (98/ME: 4.10 to 4.90; 2000/XP: 5.0 and 5.1), without the
// program's name; "" for one of them.
std::string versionWarning(const winsim::MachineFacts& facts);

// "5.1.2600"; the build is left out when it is 0 ("4.10").
std::string versionText(const winsim::MachineFacts& facts);
