#include "winsim/src/storage/hive_store.h"

#include <fcntl.h>
#include <hivex.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>
#include <system_error>
#include <thread>

#include "winsim/src/base/codepage.h"
#include "winsim/src/storage/hive_9x.h"

namespace winsim {

namespace {

struct HiveCloser {
    void operator()(hive_h* h) const {
        if (h) hivex_close(h);
    }
};
using HivePtr = std::unique_ptr<hive_h, HiveCloser>;

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
        hive_type t = hive_t_REG_NONE;
        size_t len = 0;
        char* data = hivex_value_value(h, values[i], &t, &len);
        if (!data) {
            *ok = false;
            continue;
        }
        v.type = static_cast<uint32_t>(t);
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

void loadValues(hive_h* h, hive_node_h node, RegKey* key, bool* ok) {
    for (const RawValue& v : rawValues(h, node, ok)) key->setValue(v.name, v.type, toRegistry(v));
}

bool loadTree(hive_h* h, hive_node_h node, RegKey* key) {
    bool ok = true;
    loadValues(h, node, key, &ok);
    hive_node_h* children = hivex_node_children(h, node);
    if (!children) return false;
    for (size_t i = 0; children[i]; ++i) {
        const std::string name = takeString(hivex_node_name(h, children[i]));
        if (name.empty() || !loadTree(h, children[i], key->createSubkey(name))) ok = false;
    }
    std::free(children);
    return ok;
}

std::optional<uint32_t> currentSet(hive_h* h) {
    const hive_node_h select = nodeAt(h, {"Select"});
    if (!select) return std::nullopt;
    const hive_value_h v = hivex_node_get_value(h, select, "Current");
    if (!v) return std::nullopt;
    hive_type t;
    size_t len = 0;
    if (hivex_value_type(h, v, &t, &len) != 0 || t != hive_t_REG_DWORD || len != 4) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(hivex_value_dword(h, v));
}

// Loads hive.loaded below the mount key from `h` (the hive opened for
// reading; opened here when null); false with `error` when the hive cannot
// be read.
bool loadHive(HiveStore::Hive& hive, HivePtr h, RegKey* hklm, std::string* error) {
    if (!h) h.reset(hivex_open(hive.file.c_str(), 0));
    if (!h) {
        *error = hive.file + ": cannot be read as a registry hive (" + errnoText() + ")";
        return false;
    }
    RegKey* mount = hive.mount.empty() ? hklm : hklm->createSubkey(hive.mount);
    for (const auto& sub : hive.loaded) {
        const hive_node_h node = nodeAt(h.get(), splitPath(sub.path));
        if (!node) continue;
        RegKey* key = mount;
        for (const auto& p : splitPath(sub.path)) key = key->createSubkey(p);
        bool ok = true;
        if (sub.full) {
            ok = loadTree(h.get(), node, key);
        } else {
            loadValues(h.get(), node, key, &ok);
        }
        if (!ok) {
            *error = hive.file + ": damaged below " + sub.path + " (" + errnoText() + ")";
            return false;
        }
    }
    return true;
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
            set[i].t = static_cast<hive_type>(key->values()[i].type);
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

std::string baseName(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

// The identity of the hive at `file` by its status (a hive is not read
// whole at load).
bool identifyHive(const std::string& file, FileIdentity* identity, std::string* error) {
    Fd fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid() || !identifyByStatus(fd.get(), identity)) {
        *error = file + ": cannot be read as a registry hive (" + errnoText() + ")";
        return false;
    }
    return true;
}

bool sameStatus(const FileIdentity& a, const FileIdentity& b) {
    return a.dev == b.dev && a.ino == b.ino && a.size == b.size && a.mtimeNs == b.mtimeNs;
}

// The identity of the hive at `file` with the hash of its content. The
// hash counts only when the file's status is the same after the read as
// before it (what changes a file's content changes its modification time:
// the check a hive's commit makes anyway). False when it cannot be read,
// changed meanwhile, or `stop` was set.
bool identifyWhole(const std::string& file, FileIdentity* identity, const std::atomic<bool>& stop) {
    Fd fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    FileIdentity first, last;
    if (!fd.valid() || !identifyByStatus(fd.get(), &first)) return false;
    ContentHasher hasher;
    std::vector<char> buffer(size_t{1} << 20);
    uint64_t size = 0;
    while (!stop.load(std::memory_order_relaxed)) {
        const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) {
            if (!identifyByStatus(fd.get(), &last) || !sameStatus(first, last) ||
                last.size != size) {
                return false;
            }
            *identity = first;
            identity->hash = hasher.finish();
            identity->statOnly = false;
            return true;
        }
        hasher.update(buffer.data(), static_cast<size_t>(n));
        size += static_cast<uint64_t>(n);
    }
    return false;
}

// The commit's check of a hive (still the file loaded?) needs its content
// hash for the journal and the backup. It is taken on a thread of its own
// while hivex reads the same file for writing, two passes over the same
// cached pages side by side instead of one after the other.
class IdentityInBackground {
public:
    explicit IdentityInBackground(const std::string& file) {
        try {
            thread_ = std::thread([this, file] { ok_ = identifyWhole(file, &identity_, stop_); });
            started_ = true;
        } catch (const std::system_error&) {
            // No thread: the commit reads the hive itself (started() is false).
        }
    }
    ~IdentityInBackground() {
        stop_ = true;
        wait();
    }
    IdentityInBackground(const IdentityInBackground&) = delete;
    IdentityInBackground& operator=(const IdentityInBackground&) = delete;

    bool started() const { return started_; }
    bool result(FileIdentity* identity) {
        wait();
        if (ok_) *identity = identity_;
        return ok_;
    }

private:
    void wait() {
        if (thread_.joinable()) thread_.join();
    }
    std::atomic<bool> stop_{false};
    bool ok_ = false;
    FileIdentity identity_;
    bool started_ = false;
    std::thread thread_;
};

// The new hive: hivex writes the staged hive to `path` (the commit's new
// file), which is then read back for its size and hash.
bool commitHive(hive_h* h, int fd, const std::string& path, uint64_t* size, uint64_t* hash,
                std::string* error) {
    if (hivex_commit(h, path.c_str(), 0) != 0) {
        *error = "cannot write " + path + " (" + errnoText() + ")";
        return false;
    }
    ContentHasher hasher;
    std::vector<char> buffer(size_t{1} << 20);
    *size = 0;
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = "cannot read back " + path + " (" + errnoText() + ")";
            return false;
        }
        if (n == 0) break;
        hasher.update(buffer.data(), static_cast<size_t>(n));
        at += n;
        *size += static_cast<uint64_t>(n);
    }
    *hash = hasher.finish();
    return true;
}

}  // namespace

HiveStore::~HiveStore() = default;

std::shared_ptr<HiveStore> HiveStore::open(const ImageSource& src, Registry& registry,
                                           HiveFacts* facts, std::vector<std::string>& notes,
                                           std::string* error) {
    std::shared_ptr<HiveStore> store(new HiveStore());
    // What is loaded is the base, not a change to record.
    struct NotRecording {
        Registry& r;
        bool was;
        ~NotRecording() { r.recording = was; }
    } notRecording{registry, registry.recording};
    registry.recording = false;
    RegKey* hklm = registry.localMachine.get();
    if (src.hives == HiveKind::Win9x) {
        store->win9x_ = true;
        unsigned codePage = 1252;
        if (!loadWin9xHive(src.systemHive, registry, &codePage, error)) return nullptr;
        facts->codePage = codePage;
        facts->readOnlyReason = src.systemHive +
                                " is a Windows 98/ME registry, which this program only reads; to "
                                "uninstall, use an export made with regedit /e (see the README)";
        notes.push_back("read " + src.systemHive + " (Windows 98/ME registry, read-only)");
        return store;
    }
    // Mounted as an export of the same installation spells them.
    Hive system{src.systemHive, baseName(src.systemHive), "SYSTEM", {{"Select", true}}, {}};
    if (!identifyHive(src.systemHive, &system.identity, error)) return nullptr;
    // Opened once: hivex walks every bin of a hive when it opens it.
    HivePtr systemHandle(hivex_open(src.systemHive.c_str(), 0));
    if (!systemHandle) {
        *error = src.systemHive + ": cannot be read as a registry hive (" + errnoText() + ")";
        return nullptr;
    }
    char set[32];
    std::snprintf(set, sizeof set, "ControlSet%03u", currentSet(systemHandle.get()).value_or(1));
    for (const char* sub : {"Enum", "Control\\Class", "Control\\DeviceClasses",
                            "Control\\Nls\\CodePage", "Services"}) {
        system.loaded.push_back({std::string(set) + "\\" + sub, true});
    }
    store->hives_.push_back(system);
    if (!src.softwareHive.empty()) {
        Hive software{src.softwareHive,
                      baseName(src.softwareHive),
                      "SOFTWARE",
                      {{"Microsoft\\Windows NT\\CurrentVersion", false},
                       {"Microsoft\\Windows\\CurrentVersion", false}},
                      {}};
        if (!identifyHive(src.softwareHive, &software.identity, error)) return nullptr;
        store->hives_.push_back(software);
    } else {
        notes.push_back(src.windowsDir +
                        ": no system32/config/software hive; the version comes from machine.ini "
                        "or nowhere");
    }
    for (auto& hive : store->hives_) {
        HivePtr open = &hive == &store->hives_.front() ? std::move(systemHandle) : HivePtr();
        if (!loadHive(hive, std::move(open), hklm, error)) return nullptr;
    }
    return store;
}

bool HiveStore::stageWrites(const Registry& registry, std::vector<RegistryWrite>* writes,
                            std::string* error) {
    if (win9x_) {
        *error = "a Windows 98/ME registry file is never written";
        return false;
    }
    RegKey* hklm = registry.localMachine.get();
    for (auto& hive : hives_) {
        RegKey* mount = hive.mount.empty() ? hklm : hklm->findSubkey(hive.mount);
        if (!mount) continue;
        auto identity = std::make_shared<IdentityInBackground>(hive.file);
        std::shared_ptr<hive_h> h(hivex_open(hive.file.c_str(), HIVEX_OPEN_WRITE), HiveCloser());
        if (!h) {
            *error = "cannot open " + hive.file + " for writing (" + errnoText() + ")";
            endWrites();
            return false;
        }
        Writer writer(h.get());
        for (const auto& sub : hive.loaded) {
            if (!writer.sync(mount, sub)) {
                *error = hive.file + ": " + writer.failure;
                endWrites();
                return false;
            }
        }
        if (!writer.changed) continue;  // `identity` stops its read
        open_.push_back(h);
        open_.push_back(identity);
        hive_h* handle = h.get();
        RegistryWrite write{
            hive.name,
            &hive.identity,
            [handle](int fd, const std::string& path, uint64_t* size, uint64_t* hash,
                     std::string* why) { return commitHive(handle, fd, path, size, hash, why); },
            {},
            {}};
        if (identity->started()) {
            IdentityInBackground* taken = identity.get();
            write.identifyNow = [taken](FileIdentity* now) { return taken->result(now); };
        }
        writes->push_back(std::move(write));
    }
    return true;
}

void HiveStore::endWrites() { open_.clear(); }

FileIdentity* HiveStore::identityOf(const std::string& name) {
    for (auto& hive : hives_) {
        if (hive.name == name) return &hive.identity;
    }
    return nullptr;
}

bool HiveStore::loadWhole(Registry& scratch, std::string* error) const {
    scratch.recording = false;
    for (const auto& hive : hives_) {
        HivePtr h(hivex_open(hive.file.c_str(), 0));
        RegKey* mount = scratch.localMachine->createSubkey(hive.mount);
        if (!h || !loadTree(h.get(), hivex_root(h.get()), mount)) {
            *error = hive.file + ": cannot be read as a registry hive (" + errnoText() + ")";
            return false;
        }
    }
    return true;
}

}  // namespace winsim
