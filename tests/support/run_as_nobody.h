// Running the program as an unprivileged user when the tests run as root,
// so that permission checks are the kernel's and not bypassed.
#pragma once

#include <string>

namespace qu_test {

// The user and group the program runs as under root.
constexpr unsigned kNobody = 65534;

// A path to `program` that kNobody can execute. The program itself when
// every folder above it is searchable by others; otherwise (a build tree
// under a private folder, such as one `mktemp -d` makes) a hard link to it,
// or a copy where no link can be made, in a folder of its own below the
// temporary directory that is removed when the process exits.
std::string programForNobody(const std::string& program);

}  // namespace qu_test
