// The resource script's vocabulary: the symbols the system headers define,
// which headers are the system's, and how a script names its files.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "winsim/user/rc_parser.h"

namespace winsim::ui::detail::rc {

std::string upper(std::string s);
std::string lower(std::string s);
bool iequals(const std::string& a, const char* b);

// Values the system headers give a resource script.
const std::map<std::string, int64_t>& builtinSymbols();

// Headers of the platform's SDK: an #include of one that is not registered
// is skipped; their symbols come from builtinSymbols().
bool isSystemHeader(const std::string& name);

std::string normalisePath(std::string s);
std::string baseName(const std::string& s);

// The file an #include or a resource statement names: by its path, else by
// its base name; nullptr when there is none.
const ResourceFile* findFile(const std::vector<ResourceFile>& files, const std::string& name);

}  // namespace winsim::ui::detail::rc
