#include "winsim/src/storage/hive_prepared.h"

#include <fcntl.h>
#include <unistd.h>

#include <system_error>

#include "winsim/src/storage/hive_hivex.h"

namespace winsim {

namespace {

bool sameStatus(const FileIdentity& a, const FileIdentity& b) {
    return a.dev == b.dev && a.ino == b.ino && a.size == b.size && a.mtimeNs == b.mtimeNs;
}

}  // namespace

bool sameFileStatus(const std::string& path, const struct stat& before) {
    struct stat now;
    return ::stat(path.c_str(), &now) == 0 && now.st_dev == before.st_dev &&
           now.st_ino == before.st_ino && now.st_size == before.st_size &&
           now.st_mtim.tv_sec == before.st_mtim.tv_sec &&
           now.st_mtim.tv_nsec == before.st_mtim.tv_nsec &&
           now.st_ctim.tv_sec == before.st_ctim.tv_sec &&
           now.st_ctim.tv_nsec == before.st_ctim.tv_nsec;
}

bool identifyWhole(const std::string& file, FileIdentity* identity, const std::atomic<bool>& stop) {
    Fd fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    FileIdentity first, last;
    if (!fd.valid() || !identifyByStatus(fd.get(), &first)) return false;
    uint64_t size = 0, hash = 0;
    if (!hashWholeFile(fd.get(), &size, &hash, &stop)) return false;
    if (!identifyByStatus(fd.get(), &last) || !sameStatus(first, last) || last.size != size) {
        return false;
    }
    *identity = first;
    identity->hash = hash;
    identity->statOnly = false;
    return true;
}

IdentityInBackground::IdentityInBackground(const std::string& file) {
    try {
        thread_ = std::thread([this, file] { ok_ = identifyWhole(file, &identity_, stop_); });
        started_ = true;
    } catch (const std::system_error&) {
        // No thread: started() is false.
    }
}

IdentityInBackground::~IdentityInBackground() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

bool IdentityInBackground::result(FileIdentity* identity) {
    if (thread_.joinable()) thread_.join();
    if (ok_) *identity = identity_;
    return ok_;
}

PreparedHive::PreparedHive(const std::string& file, const FileIdentity& loaded) {
    try {
        thread_ = std::thread([this, file, loaded] { prepare(file, loaded); });
    } catch (const std::system_error&) {
        // No thread: take() hands nothing over and the commit opens the hive.
    }
}

PreparedHive::~PreparedHive() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void PreparedHive::prepare(const std::string& file, const FileIdentity& loaded) {
    struct stat before;
    if (::stat(file.c_str(), &before) != 0) return;
    // The identity is read beside hivex's read (on a third thread where
    // one can be started), as a commit does that opens the hive itself.
    FileIdentity identity;
    std::shared_ptr<hive_h> h;
    {
        IdentityInBackground beside(file);
        if (!beside.started() && !identifyWhole(file, &identity, stop_)) return;
        if (!stop_) h.reset(hivex_open(file.c_str(), HIVEX_OPEN_WRITE), HiveCloser());
        if (beside.started() && !beside.result(&identity)) return;
    }
    if (!h || !sameStatus(identity, loaded) || !sameFileStatus(file, before)) return;
    handle_ = std::move(h);
    identity_ = identity;
    status_ = before;
}

std::shared_ptr<hive_h> PreparedHive::take(FileIdentity* identity, struct stat* status) {
    if (thread_.joinable()) thread_.join();
    if (handle_) {
        *identity = identity_;
        *status = status_;
    }
    return std::move(handle_);
}

}  // namespace winsim
