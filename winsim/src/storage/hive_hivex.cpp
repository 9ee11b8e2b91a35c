#include "winsim/src/storage/hive_hivex.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

#include "winsim/src/base/base_text.h"
#include "winsim/src/base/codepage.h"
#include "winsim/src/base/posix_file.h"

namespace winsim {

namespace {

// hivex hands a value's type over as its enum, which holds only the
// predefined types; a hive may store any 32-bit type.
static_assert(sizeof(hive_type) == sizeof(uint32_t));
hive_type* typeSlot(uint32_t* type) { return reinterpret_cast<hive_type*>(type); }

std::string errnoText() { return std::strerror(errno); }

std::string takeString(char* s) {
    std::string out = s ? s : "";
    std::free(s);
    return out;
}

std::vector<std::string> splitPath(const std::string& path) {
    std::vector<std::string> parts;
    splitKeyPath(path, &parts);
    return parts;
}

// The child of `node` named `name` ignoring case (0 when none).
hive_node_h childNamed(hive_h* h, hive_node_h node, const std::string& name) {
    const std::string want = foldName(name);
    hive_node_h* children = hivex_node_children(h, node);
    if (!children) return 0;
    hive_node_h found = 0;
    for (size_t i = 0; children[i] && !found; ++i) {
        if (foldName(takeString(hivex_node_name(h, children[i]))) == want) found = children[i];
    }
    std::free(children);
    return found;
}

hive_node_h nodeAt(hive_h* h, const std::vector<std::string>& parts) {
    hive_node_h node = hivex_root(h);
    for (const auto& p : parts) {
        if (!node) return 0;
        node = childNamed(h, node, p);
    }
    return node;
}

struct RawValue {
    std::string name;
    uint32_t type = 0;
    std::string data;  // as stored in the hive
};

std::vector<RawValue> rawValues(hive_h* h, hive_node_h node, bool* ok) {
    std::vector<RawValue> out;
    *ok = true;
    hive_value_h* values = hivex_node_values(h, node);
    if (!values) {
        *ok = false;
        return out;
    }
    for (size_t i = 0; values[i]; ++i) {
        RawValue v;
        v.name = takeString(hivex_value_key(h, values[i]));
        size_t len = 0;
        char* data = hivex_value_value(h, values[i], typeSlot(&v.type), &len);
        if (!data) {
            *ok = false;
            continue;
        }
        v.data.assign(data, len);
        std::free(data);
        out.push_back(std::move(v));
    }
    std::free(values);
    return out;
}

// Hive data <-> the registry's form (strings in UTF-8 inside).
std::vector<uint8_t> toRegistry(const RawValue& v) {
    if (isStringType(v.type)) {
        const std::string text = utf16leToUtf8(v.data);
        return std::vector<uint8_t>(text.begin(), text.end());
    }
    return std::vector<uint8_t>(v.data.begin(), v.data.end());
}

std::string toHive(const RegValue& v) {
    const std::string bytes(v.data.begin(), v.data.end());
    return isStringType(v.type) ? utf8ToUtf16le(bytes) : bytes;
}

// ---- saving: the loaded subtrees compared with the hive ----

class Writer {
public:
    explicit Writer(hive_h* h) : h_(h) {}
    bool changed = false;
    std::string failure;

    bool syncValues(RegKey* key, hive_node_h node) {
        bool ok = true;
        const std::vector<RawValue> old = rawValues(h_, node, &ok);
        if (!ok) return fail("cannot read the values of " + key->path());
        bool same = old.size() == key->values().size();
        std::vector<std::string> encoded;
        for (size_t i = 0; i < key->values().size(); ++i) {
            const RegValue& v = key->values()[i];
            // A value the program did not change keeps its stored bytes.
            const RawValue* before = nullptr;
            for (const auto& o : old) {
                if (namesEqual(o.name, v.name)) before = &o;
            }
            if (before && before->type == v.type && toRegistry(*before) == v.data) {
                encoded.push_back(before->data);
            } else {
                encoded.push_back(toHive(v));
                same = false;
            }
            if (same && !(before && old[i].name == before->name)) same = false;
        }
        if (same) return true;
        std::vector<hive_set_value> set(key->values().size());
        for (size_t i = 0; i < set.size(); ++i) {
            set[i].key = const_cast<char*>(key->values()[i].name.c_str());
            std::memcpy(&set[i].t, &key->values()[i].type, sizeof set[i].t);
            set[i].len = encoded[i].size();
            set[i].value = encoded[i].data();
        }
        if (hivex_node_set_values(h_, node, set.size(), set.data(), 0) != 0) {
            return fail("cannot set the values of " + key->path());
        }
        changed = true;
        return true;
    }

    bool syncTree(RegKey* key, hive_node_h node) {
        if (!syncValues(key, node)) return false;
        hive_node_h* children = hivex_node_children(h_, node);
        if (!children) return fail("cannot list the subkeys of " + key->path());
        std::vector<std::pair<std::string, hive_node_h>> existing;
        for (size_t i = 0; children[i]; ++i) {
            existing.emplace_back(takeString(hivex_node_name(h_, children[i])), children[i]);
        }
        std::free(children);
        for (const auto& [name, child] : existing) {
            bool kept = false;
            for (const auto& sub : key->subkeys) kept = kept || namesEqual(sub->name, name);
            if (kept) continue;
            if (hivex_node_delete_child(h_, child) != 0) {
                return fail("cannot delete " + key->path() + "\\" + name);
            }
            changed = true;
        }
        for (const auto& sub : key->subkeys) {
            hive_node_h child = 0;
            for (const auto& [name, c] : existing) {
                if (namesEqual(sub->name, name)) child = c;
            }
            if (!child) {
                child = hivex_node_add_child(h_, node, sub->name.c_str());
                if (!child) return fail("cannot create " + sub->path());
                changed = true;
            }
            if (!syncTree(sub.get(), child)) return false;
        }
        return true;
    }

    bool sync(RegKey* mount, const HiveStore::Subtree& sub) {
        const std::vector<std::string> parts = splitPath(sub.path);
        RegKey* key = findKeyPath(mount, sub.path);
        hive_node_h node = nodeAt(h_, parts);
        if (!key) {
            if (!node || !sub.full) return true;
            if (hivex_node_delete_child(h_, node) != 0) return fail("cannot delete " + sub.path);
            changed = true;
            return true;
        }
        if (!node) {
            // Made again after it was deleted (or never in the hive).
            node = hivex_root(h_);
            for (const auto& p : parts) {
                hive_node_h child = childNamed(h_, node, p);
                if (!child) {
                    child = hivex_node_add_child(h_, node, p.c_str());
                    if (!child) return fail("cannot create " + sub.path);
                    changed = true;
                }
                node = child;
            }
        }
        return sub.full ? syncTree(key, node) : syncValues(key, node);
    }

private:
    bool fail(const std::string& what) {
        failure = what + " (" + errnoText() + ")";
        return false;
    }
    hive_h* h_;
};

}  // namespace

bool syncHive(hive_h* h, RegKey* mount, const std::vector<HiveStore::Subtree>& loaded,
              bool* changed, std::string* failure) {
    Writer writer(h);
    for (const auto& sub : loaded) {
        if (!writer.sync(mount, sub)) {
            *failure = writer.failure;
            return false;
        }
    }
    *changed = writer.changed;
    return true;
}

namespace {

// hivex writes straight into `path`, which is then read back for its size
// and hash.
bool commitDirectly(hive_h* h, int fd, const std::string& path, uint64_t* size, uint64_t* hash,
                    std::string* error) {
    if (hivex_commit(h, path.c_str(), 0) != 0 || !hashWholeFile(fd, size, hash)) {
        *error = "cannot write " + path + " (" + errnoText() + ")";
        return false;
    }
    return true;
}

// Moves what comes through the pipe `from` into the file `to`, a pipe's
// size at a time, hashing it on the way, until the pipe's writers are gone.
// 0, or the errno of the first failure (the rest is then read and dropped,
// so that the writer never waits on a full pipe).
int relay(int from, int to, uint64_t* size, uint64_t* hash) {
    std::vector<char> piece(size_t{1} << 20);
    ContentHasher hasher;
    *size = 0;
    int failed = 0;
    for (bool end = false; !end;) {
        size_t have = 0;
        while (have < piece.size()) {
            const ssize_t n = ::read(from, piece.data() + have, piece.size() - have);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                if (n < 0 && !failed) failed = errno;
                end = true;
                break;
            }
            have += static_cast<size_t>(n);
        }
        if (failed || have == 0) continue;
        hasher.update(piece.data(), have);
        *size += have;
        if (!writeAll(to, piece.data(), have)) failed = errno;
    }
    *hash = hasher.finish();
    return failed;
}

}  // namespace

// hivex writes the whole hive with one write(). Into the page cache of a new
// file that asks the kernel for its largest blocks of memory, which it may
// have to take from memory nothing touched for a while (on a virtual
// machine that hands its free memory back to the host, that write took
// several times the copy's own time). So hivex writes into a pipe, which is
// emptied into the new file in pieces of 1 MiB, as a copy writes, and
// hashed on the way; where that cannot be set up, hivex writes the file
// itself.
bool commitHive(hive_h* h, int fd, const std::string& path, uint64_t* size, uint64_t* hash,
                std::string* error) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return commitDirectly(h, fd, path, size, hash, error);
    Fd from(ends[0]), into(ends[1]);
    ::fcntl(into.get(), F_SETPIPE_SZ, 1 << 20);  // a smaller pipe works too
    const std::string through = "/proc/self/fd/" + std::to_string(into.get());
    struct stat st;
    if (::stat(through.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode)) {
        return commitDirectly(h, fd, path, size, hash, error);  // no /proc
    }
    int relayed = 0;
    std::thread mover;
    try {
        mover = inBackground([&] { relayed = relay(from.get(), fd, size, hash); });
    } catch (const std::system_error&) {
        return commitDirectly(h, fd, path, size, hash, error);
    }
    const bool wrote = hivex_commit(h, through.c_str(), 0) == 0;
    const int hivexErr = errno;
    into = Fd();  // the end of the hive: the mover stops
    mover.join();
    if (!wrote && relayed == 0 && *size == 0) {
        // hivex could not open the pipe's name: it writes the file itself.
        return commitDirectly(h, fd, path, size, hash, error);
    }
    if (!wrote || relayed != 0) {
        errno = wrote ? relayed : hivexErr;
        *error = "cannot write " + path + " (" + errnoText() + ")";
        return false;
    }
    return true;
}

}  // namespace winsim
