// What on the loaded machine still names a removed device: the report after
// an Uninstall, the same whichever kind of store the machine was read from.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "winsim/safety.h"
#include "winsim/src/base/codepage.h"
#include "winsim/src/machine/state.h"
#include "winsim/src/storage/hive_store.h"

namespace winsim {

namespace {

bool containsAny(const std::string& fold, const std::vector<std::string>& terms) {
    for (const std::string& t : terms) {
        if (fold.find(t) != std::string::npos) return true;
    }
    return false;
}

// A folder the walk leaves out (the store's backups/ when it lies on the
// drive, as an installation's does).
struct Skipped {
    dev_t dev = 0;
    ino_t ino = 0;
    bool any = false;
};

void walkDrive(int dirFd, const std::string& windowsDir, const std::vector<std::string>& terms,
               size_t limit, int depth, const Skipped& skipped, std::vector<std::string>* out) {
    Fd own(::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* d = ::fdopendir(own.release());
    if (!d) return;
    std::vector<std::pair<std::string, bool>> entries;
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        struct stat st;
        if (::fstatat(::dirfd(d), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (skipped.any && st.st_dev == skipped.dev && st.st_ino == skipped.ino) continue;
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
            if (sub.valid()) walkDrive(sub.get(), path, terms, limit, depth + 1, skipped, out);
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
    // Everything the installation holds, whichever kind it was read from:
    // hives are read whole for this (the machine holds only what the
    // simulated API reads).
    Registry whole;
    const RegKey* top = m->registry.localMachine.get();
    if (m->hives && !m->hives->win9x()) {
        std::string why;
        if (m->hives->loadWhole(whole, &why)) {
            top = whole.localMachine.get();
        } else {
            tell(why);
        }
    }
    // Depth first in the order of names (as an export lists them, whatever
    // order the source keeps), without recursion: the tree may be deep. The
    // path is one buffer cut back to the parent's length and extended by the
    // key's name, so that a key costs its own name, not its depth.
    auto byName = [](const RegKey* a, const RegKey* b) { return a->fold < b->fold; };
    std::vector<std::pair<const RegKey*, size_t>> stack = {{top, 0}};  // key, parent's length
    std::string path;
    while (!stack.empty() && out.size() < limit) {
        const auto [key, parentLength] = stack.back();
        stack.pop_back();
        path.resize(parentLength);
        if (parentLength > 0) path += '\\';
        path += key->name;
        if (key->parent && containsAny(key->fold, terms)) out.push_back(path);
        // Values still in the text are read for the search, not kept.
        std::vector<std::string> named;
        key->visitValues([&](const RegValue& v) {
            if (!isStringType(v.type)) return;
            const std::string data(v.data.begin(), v.data.end());
            if (containsAny(foldName(data), terms)) {
                named.push_back(path + " : " + (v.name.empty() ? "(Default)" : v.name));
            }
        });
        std::sort(named.begin(), named.end(), [](const std::string& a, const std::string& b) {
            return foldName(a) < foldName(b);
        });
        for (size_t i = 0; i < named.size() && out.size() < limit; ++i) out.push_back(named[i]);
        std::vector<const RegKey*> children;
        for (const auto& sub : key->subkeys) children.push_back(sub.get());
        std::sort(children.begin(), children.end(), byName);
        for (auto it = children.rbegin(); it != children.rend(); ++it) {
            stack.push_back({*it, path.size()});
        }
    }
    Skipped skipped;
    struct stat st;
    if (::fstatat(m->lock.get(), "backups", &st, AT_SYMLINK_NOFOLLOW) == 0) {
        skipped = Skipped{st.st_dev, st.st_ino, true};
    }
    Fd drive(::open(m->driveDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (drive.valid() && out.size() < limit) {
        walkDrive(drive.get(), "C:", terms, limit, 0, skipped, &out);
    }
    return out;
}

}  // namespace winsim
