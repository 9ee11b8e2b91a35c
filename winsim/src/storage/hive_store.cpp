#include "winsim/src/storage/hive_store.h"

#include <fcntl.h>
#include <hivex.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>

#include "winsim/src/storage/hive_9x.h"
#include "winsim/src/storage/hive_check_nt.h"
#include "winsim/src/storage/hive_hivex.h"
#include "winsim/src/storage/hive_prepared.h"

namespace winsim {

namespace {

std::string errnoText() { return std::strerror(errno); }

// The structure of `hive` where the program reads and changes it, checked
// before hivex touches it (hive_check_nt.h): `check` is opened on the hive
// when `first` is 0, then checks hive.loaded from `first` on. With `mount`
// (the hive's key in the registry) the parts are loaded as they are
// checked.
bool checkHive(const HiveStore::Hive& hive, NtHiveCheck& check, size_t first, std::string* error,
               RegKey* mount = nullptr) {
    // The hive is mounted one level below HKEY_LOCAL_MACHINE.
    if (first == 0 && !check.open(hive.file, kMaxKeyDepth - 1, error)) return false;
    for (size_t i = first; i < hive.loaded.size(); ++i) {
        if (!check.checkPart(hive.loaded[i].path, hive.loaded[i].full, error, mount)) return false;
    }
    return true;
}

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

}  // namespace

HiveStore::~HiveStore() {
    if (closing_.joinable()) closing_.join();
}

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
    // Mounted as an export of the same installation spells them. The parts
    // are read as they are checked (hivex, which walks every bin of a hive
    // when it opens it, is only the writer).
    Hive system{src.systemHive, baseName(src.systemHive), "SYSTEM", {{"Select", true}}, {}};
    if (!identifyHive(src.systemHive, &system.identity, error)) return nullptr;
    NtHiveCheck systemCheck, softwareCheck;
    if (!checkHive(system, systemCheck, 0, error, hklm->createSubkey(system.mount))) {
        return nullptr;
    }
    {
        char set[32];
        std::snprintf(set, sizeof set, "ControlSet%03u",
                      systemCheck.dwordValue("Select", "Current").value_or(1));
        for (const char* sub : {"Enum", "Control\\Class", "Control\\DeviceClasses",
                                "Control\\Nls\\CodePage", "Services"}) {
            system.loaded.push_back({std::string(set) + "\\" + sub, true});
        }
    }
    if (!checkHive(system, systemCheck, 1, error, hklm->createSubkey(system.mount))) {
        return nullptr;
    }
    store->hives_.push_back(system);
    if (!src.softwareHive.empty()) {
        Hive software{src.softwareHive,
                      baseName(src.softwareHive),
                      "SOFTWARE",
                      {{"Microsoft\\Windows NT\\CurrentVersion", false},
                       {"Microsoft\\Windows\\CurrentVersion", false}},
                      {}};
        if (!identifyHive(src.softwareHive, &software.identity, error) ||
            !checkHive(software, softwareCheck, 0, error, hklm->createSubkey(software.mount))) {
            return nullptr;
        }
        store->hives_.push_back(software);
    } else {
        notes.push_back(src.windowsDir +
                        ": no system32/config/software hive; the version comes from machine.ini "
                        "or nowhere");
    }
    const std::string dirty = !systemCheck.clean() ? src.systemHive
                              : !src.softwareHive.empty() && !softwareCheck.clean()
                                  ? src.softwareHive
                                  : "";
    if (!dirty.empty()) {
        // hivex writes both sequence numbers equal, which would drop what
        // waits in the log.
        facts->readOnlyReason = dirty +
                                " was not closed cleanly by Windows (changes still wait in its "
                                ".LOG file); start that Windows once and shut it down, or work "
                                "from an export (see the README)";
        notes.push_back(dirty +
                        " was not closed cleanly by Windows: changes still wait in its .LOG "
                        "file, which Windows replays when it starts, and writing the hive would "
                        "drop them; it is used read-only");
    }
    return store;
}

void HiveStore::prepareWrites() {
    if (win9x_) return;
    prepared_.clear();
    for (const Hive& hive : hives_) {
        prepared_.push_back(std::make_unique<PreparedHive>(hive.file, hive.identity));
    }
}

bool HiveStore::stageWrites(const Registry& registry, std::vector<RegistryWrite>* writes,
                            std::string* error) {
    if (win9x_) {
        *error = "a Windows 98/ME registry file is never written";
        return false;
    }
    // A hive opened for writing since the load holds what the load checked
    // (its status never changed meanwhile); one that changed since is read
    // again, and the commit refuses it. Each is taken once.
    std::vector<std::shared_ptr<hive_h>> ready(hives_.size());
    std::vector<FileIdentity> readyIdentity(hives_.size());
    std::vector<struct stat> checked(hives_.size());
    for (size_t i = 0; i < prepared_.size() && i < hives_.size(); ++i) {
        ready[i] = prepared_[i]->take(&readyIdentity[i], &checked[i]);
        if (ready[i] && !sameFileStatus(hives_[i].file, checked[i])) ready[i].reset();
    }
    prepared_.clear();
    // The others are checked again before hivex opens them for writing: a
    // hive may have changed since it was loaded. What hivex reads must be
    // what was checked: the file may not change from before the check
    // until hivex has read it.
    for (size_t i = 0; i < hives_.size(); ++i) {
        if (ready[i]) continue;
        const Hive& hive = hives_[i];
        if (::stat(hive.file.c_str(), &checked[i]) != 0) {
            *error = "cannot open " + hive.file + " for writing (" + errnoText() + ")";
            return false;
        }
        NtHiveCheck check;
        if (!checkHive(hive, check, 0, error)) {
            *error += "; nothing was changed";
            return false;
        }
        if (!check.clean()) {
            *error = hive.file + " was not closed cleanly by Windows; nothing was changed";
            return false;
        }
    }
    RegKey* hklm = registry.localMachine.get();
    for (size_t i = 0; i < hives_.size(); ++i) {
        Hive& hive = hives_[i];
        RegKey* mount = hive.mount.empty() ? hklm : hklm->findSubkey(hive.mount);
        if (!mount) continue;
        std::shared_ptr<IdentityInBackground> identity;
        std::shared_ptr<hive_h> h = ready[i];
        if (!h) {
            identity = std::make_shared<IdentityInBackground>(hive.file);
            h.reset(hivex_open(hive.file.c_str(), HIVEX_OPEN_WRITE), HiveCloser());
            if (!h) {
                *error = "cannot open " + hive.file + " for writing (" + errnoText() + ")";
                endWrites();
                return false;
            }
            if (!sameFileStatus(hive.file, checked[i])) {
                *error = hive.file + " changed while it was being saved; it was not written";
                endWrites();
                return false;
            }
        }
        bool changed = false;
        std::string failure;
        if (!syncHive(h.get(), mount, hive.loaded, &changed, &failure)) {
            *error = hive.file + ": " + failure;
            endWrites();
            return false;
        }
        if (!changed) continue;  // `identity` stops its read
        open_.push_back(h);
        hive_h* handle = h.get();
        RegistryWrite write{
            hive.name,
            &hive.identity,
            [handle](int fd, const std::string& path, uint64_t* size, uint64_t* hash,
                     std::string* why) { return commitHive(handle, fd, path, size, hash, why); },
            {},
            {}};
        if (!identity) {
            // Identified when it was read for writing; still that file?
            const std::string file = hive.file;
            const FileIdentity read = readyIdentity[i];
            const struct stat status = checked[i];
            write.identifyNow = [file, read, status](FileIdentity* now) {
                if (!sameFileStatus(file, status)) return false;
                *now = read;
                return true;
            };
        } else if (identity->started()) {
            open_.push_back(identity);
            IdentityInBackground* taken = identity.get();
            write.identifyNow = [taken](FileIdentity* now) { return taken->result(now); };
        }
        writes->push_back(std::move(write));
    }
    return true;
}

void HiveStore::endWrites() {
    // The hives' memory (a hive's size each) is given back on a thread of
    // its own: what the command waits for is done.
    if (closing_.joinable()) closing_.join();
    if (open_.empty()) return;
    try {
        closing_ = std::thread([handles = std::move(open_)]() mutable { handles.clear(); });
    } catch (const std::system_error&) {
        // No thread: the lambda, and the hives with it, went here.
    }
    open_.clear();
}

FileIdentity* HiveStore::identityOf(const std::string& name) {
    for (auto& hive : hives_) {
        if (hive.name == name) return &hive.identity;
    }
    return nullptr;
}

bool HiveStore::loadWhole(Registry& scratch, std::string* error) const {
    scratch.recording = false;
    for (const auto& hive : hives_) {
        // Read as it is checked, whole: names and strings, which is what
        // the search for what remains reads (a hive's bulk is binary data).
        NtHiveCheck check;
        RegKey* mount = scratch.localMachine->createSubkey(hive.mount);
        if (!check.open(hive.file, kMaxKeyDepth - 1, error) ||
            !check.checkPart("", true, error, mount, NtHiveCheck::Data::StringsOnly)) {
            return false;
        }
    }
    return true;
}

}  // namespace winsim
