#include "winsim/src/storage/hive_store.h"

#include <fcntl.h>
#include <hivex.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>

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

// Loads hive.loaded below the mount key; false with `error` when the hive
// cannot be read.
bool loadHive(HiveStore::Hive& hive, RegKey* hklm, std::string* error) {
    HivePtr h(hivex_open(hive.file.c_str(), 0));
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

bool copyFile(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
    out.close();
    return in && out;
}

bool syncPath(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

std::string parentOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
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
    Hive system{src.systemHive, "System", {{"Select", true}}};
    {
        HivePtr h(hivex_open(src.systemHive.c_str(), 0));
        if (!h) {
            *error = src.systemHive + ": cannot be read as a registry hive (" + errnoText() + ")";
            return nullptr;
        }
        char set[32];
        std::snprintf(set, sizeof set, "ControlSet%03u", currentSet(h.get()).value_or(1));
        for (const char* sub : {"Enum", "Control\\Class", "Control\\DeviceClasses",
                                "Control\\Nls\\CodePage", "Services"}) {
            system.loaded.push_back({std::string(set) + "\\" + sub, true});
        }
    }
    store->hives_.push_back(system);
    if (!src.softwareHive.empty()) {
        store->hives_.push_back(Hive{src.softwareHive,
                                     "Software",
                                     {{"Microsoft\\Windows NT\\CurrentVersion", false},
                                      {"Microsoft\\Windows\\CurrentVersion", false}}});
    } else {
        notes.push_back(src.windowsDir +
                        ": no system32/config/software hive; the version comes from machine.ini "
                        "or nowhere");
    }
    for (auto& hive : store->hives_) {
        if (!loadHive(hive, hklm, error)) return nullptr;
    }
    return store;
}

bool HiveStore::checkSavable(std::string* error) const {
    for (const auto& hive : hives_) {
        const std::string dir = parentOf(hive.file);
        if (::access(hive.file.c_str(), W_OK) != 0 || ::access(dir.c_str(), W_OK) != 0) {
            *error = hive.file + " cannot be written (" + errnoText() + ")";
            return false;
        }
    }
    return true;
}

bool HiveStore::backup(Hive& hive, std::string* error) {
    if (hive.backedUp) return true;
    if (backupDir_.empty()) {
        char stamp[32];
        const std::time_t now = std::time(nullptr);
        std::tm tm{};
        gmtime_r(&now, &tm);
        std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm);
        const std::string base = parentOf(hives_.front().file) + "/backups";
        ::mkdir(base.c_str(), 0755);
        std::string dir = base + "/" + stamp;
        for (int n = 2; ::mkdir(dir.c_str(), 0755) != 0; ++n) {
            if (errno != EEXIST || n > 99) {
                *error = "cannot create the backup folder " + dir + " (" + errnoText() + ")";
                return false;
            }
            dir = base + "/" + stamp + "-" + std::to_string(n);
        }
        backupDir_ = dir;
        std::fprintf(stderr, "quorvane-uninstall: hives backed up in %s\n", dir.c_str());
    }
    const std::string name = hive.file.substr(hive.file.find_last_of('/') + 1);
    const std::string copy = backupDir_ + "/" + name;
    if (!copyFile(hive.file, copy) || !syncPath(copy, O_RDONLY)) {
        *error = "cannot copy " + hive.file + " to " + copy;
        return false;
    }
    hive.backedUp = true;
    return true;
}

bool HiveStore::save(const Registry& registry, std::string* error) {
    if (win9x_) {
        *error = "a Windows 98/ME registry file is never written";
        return false;
    }
    RegKey* hklm = registry.localMachine.get();
    for (auto& hive : hives_) {
        HivePtr h(hivex_open(hive.file.c_str(), HIVEX_OPEN_WRITE));
        if (!h) {
            *error = "cannot open " + hive.file + " for writing (" + errnoText() + ")";
            return false;
        }
        RegKey* mount = hive.mount.empty() ? hklm : hklm->findSubkey(hive.mount);
        if (!mount) continue;
        Writer writer(h.get());
        for (const auto& sub : hive.loaded) {
            if (!writer.sync(mount, sub)) {
                *error = hive.file + ": " + writer.failure;
                return false;
            }
        }
        if (!writer.changed) continue;
        if (!backup(hive, error)) return false;
        const std::string temp = hive.file + ".tmp";
        ::unlink(temp.c_str());
        if (hivex_commit(h.get(), temp.c_str(), 0) != 0 || !syncPath(temp, O_RDONLY)) {
            *error = "cannot write " + temp + " (" + errnoText() + ")";
            ::unlink(temp.c_str());
            return false;
        }
        if (::rename(temp.c_str(), hive.file.c_str()) != 0) {
            *error = "cannot replace " + hive.file + " (" + errnoText() + ")";
            ::unlink(temp.c_str());
            return false;
        }
        syncPath(parentOf(hive.file), O_RDONLY | O_DIRECTORY);
    }
    return true;
}

}  // namespace winsim
