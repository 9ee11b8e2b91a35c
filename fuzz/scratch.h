// What the fuzz targets share: a failure that stops the run, reading a
// file whole, and a scratch folder for the files of one target.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace qu_fuzz {

// Reports `what` under the target's name and aborts, which the fuzzer
// records as a finding.
[[noreturn]] inline void failIn(const char* target, const std::string& what) {
    std::fprintf(stderr, "%s: %s\n", target, what.c_str());
    std::abort();
}

inline std::string readWhole(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// A new folder qu-fuzz-NAME-XXXXXX in /dev/shm where that can be written
// (no disk write per input), else in /tmp; empty when none can be made.
inline std::filesystem::path makeScratch(const std::string& name) {
    const char* shm = "/dev/shm";
    std::string pattern =
        std::string(::access(shm, W_OK) == 0 ? shm : "/tmp") + "/qu-fuzz-" + name + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return {};
    return pattern;
}

}  // namespace qu_fuzz
