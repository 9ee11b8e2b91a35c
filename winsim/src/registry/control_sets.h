// Control sets as Windows presents them after boot. An offline system hive
// (an export of it, or the hive file) has ControlSet001.. and Select but no
// CurrentControlSet: Windows makes that name at boot as a link to the set
// Select\Current names. The same for a hive loaded under another name
// (HKEY_LOCAL_MACHINE\OFFLINE): here it is linked as HKEY_LOCAL_MACHINE\System.
// Links are consulted by name only, so a save keeps the spelling of the file.
#pragma once

#include <string>
#include <vector>

#include "winsim/src/registry/registry.h"

namespace winsim {

// Links HKEY_LOCAL_MACHINE\System to the key `hiveRoot` names (a full path
// such as "HKEY_LOCAL_MACHINE\OFFLINE" or "HKLM\OFFLINE"). With an empty
// `hiveRoot`, and no System key, the one key under HKEY_LOCAL_MACHINE that
// holds Select and control sets is linked, and `notes` says so; none, or
// several, link nothing. Then links System\CurrentControlSet as Select\Current
// says when the key is missing. Returns false, with `error`, when `hiveRoot`
// names no key, or System exists already as another key.
bool linkControlSets(Registry& registry, const std::string& hiveRoot,
                     std::vector<std::string>* notes, std::string* error);

// The key a link makes `link` (under `parent`) stand for; the target must be
// a key of the tree. Replaces a link of the same name.
void addKeyLink(RegKey* parent, const std::string& link, const std::shared_ptr<RegKey>& target);

// The shared owner of `key` (a key with a parent), for links to it.
std::shared_ptr<RegKey> sharedKey(RegKey* key);

}  // namespace winsim
