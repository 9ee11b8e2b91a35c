// The search for what remains of a device on the loaded machine.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "winsim/safety.h"
#include "winsim/src/base/codepage.h"
#include "winsim/src/machine/state.h"

namespace winsim {

namespace {

bool containsAny(const std::string& fold, const std::vector<std::string>& terms) {
    for (const std::string& t : terms) {
        if (fold.find(t) != std::string::npos) return true;
    }
    return false;
}

void walkDrive(int dirFd, const std::string& windowsDir, const std::vector<std::string>& terms,
               size_t limit, int depth, std::vector<std::string>* out) {
    Fd own(::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* d = ::fdopendir(own.release());
    if (!d) return;
    std::vector<std::pair<std::string, bool>> entries;
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        struct stat st;
        if (::fstatat(::dirfd(d), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        entries.push_back({name, S_ISDIR(st.st_mode)});
    }
    std::sort(entries.begin(), entries.end());
    for (const auto& entry : entries) {
        if (out->size() >= limit) break;
        const std::string path = windowsDir + "\\" + entry.first;
        if (containsAny(foldName(entry.first), terms)) out->push_back(path);
        if (entry.second && depth < 64) {
            Fd sub(::openat(::dirfd(d), entry.first.c_str(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (sub.valid()) walkDrive(sub.get(), path, terms, limit, depth + 1, out);
        }
    }
    ::closedir(d);
}

}  // namespace

std::vector<std::string> findTraces(const std::vector<std::string>& wanted, size_t limit) {
    std::vector<std::string> out;
    Machine* m = currentMachine();
    std::vector<std::string> terms;
    for (const std::string& t : wanted) {
        if (!t.empty()) terms.push_back(foldName(t));
    }
    if (!m || terms.empty()) return out;
    // Depth first, without recursion: the tree may be deep. The path is
    // one buffer cut back to the parent's length and extended by the name,
    // so that a key costs its own name, not its depth.
    std::vector<std::pair<const RegKey*, size_t>> stack = {
        {m->registry.localMachine.get(), 0}};  // key, the length of its parent's path
    std::string path;
    while (!stack.empty() && out.size() < limit) {
        const auto [key, parentLength] = stack.back();
        stack.pop_back();
        path.resize(parentLength);
        if (parentLength > 0) path += '\\';
        path += key->name;
        if (key->parent && containsAny(key->fold, terms)) out.push_back(path);
        // Values still in the text are read for the search, not kept.
        key->visitValues([&](const RegValue& v) {
            if (out.size() >= limit || !isStringType(v.type)) return;
            const std::string data(v.data.begin(), v.data.end());
            if (containsAny(foldName(data), terms)) {
                out.push_back(path + " : " + (v.name.empty() ? "(Default)" : v.name));
            }
        });
        for (auto it = key->subkeys.rbegin(); it != key->subkeys.rend(); ++it) {
            stack.push_back({it->get(), path.size()});
        }
    }
    Fd drive(::openat(m->lock.get(), "drive_c", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (drive.valid() && out.size() < limit) walkDrive(drive.get(), "C:", terms, limit, 0, &out);
    return out;
}

}  // namespace winsim
