#include "winsim/src/storage/store_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <system_error>

#include "winsim/src/storage/store.h"
#include "winsim/src/storage/store_parallel.h"

namespace winsim {

namespace {

void step(const char* what) { commitStep(what); }

bool syncDir(int dirFd) { return ::fsync(dirFd) == 0 || errno == EINVAL; }

std::string errnoText(int err) { return std::strerror(err); }

bool noExchangeHere(int err) { return err == EINVAL || err == ENOSYS || err == EOPNOTSUPP; }

constexpr unsigned long kExt = 0xEF53, kXfs = 0x58465342, kBtrfs = 0x9123683E, kTmpfs = 0x01021994,
                        kF2fs = 0xF2F52010, kOverlay = 0x794C7630, kBcachefs = 0xCA451A4E;

bool fileSystemIs(int fd, std::initializer_list<unsigned long> types) {
    struct statfs fs;
    if (::fstatfs(fd, &fs) != 0) return false;
    for (unsigned long type : types) {
        if (static_cast<unsigned long>(fs.f_type) == type) return true;
    }
    return false;
}

// What was swapped out is the very file `base` names, of its size.
bool isFile(int dirFd, const std::string& name, const FileIdentity& base) {
    struct stat st;
    return ::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
           st.st_dev == base.dev && st.st_ino == base.ino &&
           static_cast<uint64_t>(st.st_size) == base.size;
}

}  // namespace

bool leasesSeeEveryWriter(int fd) {
    // Overlay leaves out: a write there copies the file up to another one.
    return fileSystemIs(fd, {kExt, kXfs, kBtrfs, kTmpfs, kF2fs, kBcachefs});
}

bool stillGuarded(int dirFd, const std::string& name, const FileIdentity& base,
                  const BaseText* guard) {
    // The lease is asked after the file was found: a writer that opened it
    // before has broken (or is breaking) the lease by then.
    return guard && leasesSeeEveryWriter(dirFd) && isFile(dirFd, name, base) &&
           guard->guardsFile(base.dev, base.ino);
}

bool sameFile(int dirFd, const std::string& name, const FileIdentity& want, bool sameInode) {
    Fd fd(::openat(dirFd, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (sameInode && (st.st_dev != want.dev || st.st_ino != want.ino)) return false;
    const bool leased = leaseSignalHandled() && ::fcntl(fd.get(), F_SETLEASE, F_RDLCK) == 0;
    if (!leased && errno == EAGAIN) return false;  // open for writing elsewhere
    uint64_t size = 0, hash = 0;
    const bool read = hashWholeFile(fd.get(), &size, &hash);
    const bool kept = !leased || ::fcntl(fd.get(), F_GETLEASE) == F_RDLCK;
    if (leased) ::fcntl(fd.get(), F_SETLEASE, F_UNLCK);
    return read && kept && size == want.size && hash == want.hash;
}

bool LeasedRead::start(int dirFd, const std::string& name) {
    release();
    stop_ = false;
    read_ = false;
    Fd fd(::openat(dirFd, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        !leasesSeeEveryWriter(fd.get()) || !leaseSignalHandled() ||
        ::fcntl(fd.get(), F_SETLEASE, F_RDLCK) != 0) {
        return false;
    }
    fd_ = std::move(fd);
    try {
        thread_ =
            inBackground([this] { read_ = hashWholeFile(fd_.get(), &size_, &hash_, &stop_); });
    } catch (const std::system_error&) {
        release();
        return false;
    }
    return true;
}

bool LeasedRead::holds(int dirFd, const std::string& name, const FileIdentity& base) {
    if (!fd_.valid()) return false;
    if (thread_.joinable()) thread_.join();
    struct stat held;
    // The lease is asked after the file was found (as stillGuarded does): a
    // writer that opened it before has broken the lease by then.
    return read_ && size_ == base.size && hash_ == base.hash && ::fstat(fd_.get(), &held) == 0 &&
           held.st_dev == base.dev && held.st_ino == base.ino && isFile(dirFd, name, base) &&
           ::fcntl(fd_.get(), F_GETLEASE) == F_RDLCK;
}

void LeasedRead::release() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_.valid()) ::fcntl(fd_.get(), F_SETLEASE, F_UNLCK);
    fd_ = Fd();
}

int exchange(int dirFd, const std::string& a, const std::string& b) {
    return ::renameat2(dirFd, a.c_str(), dirFd, b.c_str(), RENAME_EXCHANGE);
}

Replaced replaceChecked(int dirFd, const std::vector<Swap>& swaps, bool sameInode, int* err,
                        bool syncLater) {
    // For tests: QU_DELAY_BEFORE_REPLACE=MS holds the decided commit for
    // that long right before the registry files are replaced.
    static const long delayMs = [] {
        const char* v = std::getenv("QU_DELAY_BEFORE_REPLACE");
        return v ? std::strtol(v, nullptr, 10) : 0L;
    }();
    if (delayMs > 0 && !swaps.empty()) {
        const timespec pause{delayMs / 1000, (delayMs % 1000) * 1000000L};
        ::nanosleep(&pause, nullptr);
    }
    size_t exchanged = 0;
    for (; exchanged < swaps.size(); ++exchanged) {
        if (exchange(dirFd, swaps[exchanged].newName, swaps[exchanged].name) != 0) break;
        step("exchange");
    }
    if (exchanged < swaps.size() && (exchanged > 0 || !noExchangeHere(errno))) {
        *err = errno;
        for (size_t i = 0; i < exchanged; ++i) exchange(dirFd, swaps[i].newName, swaps[i].name);
        return Replaced::Failed;
    }
    bool changed = false;
    for (size_t i = 0; i < exchanged; ++i) {
        const Swap& s = swaps[i];
        changed = changed || !(stillGuarded(dirFd, s.newName, s.base, s.guard) ||
                               (s.leased && s.leased->holds(dirFd, s.newName, s.base)) ||
                               sameFile(dirFd, s.newName, s.base, sameInode));
    }
    if (changed) {
        for (size_t i = 0; i < exchanged; ++i) {
            if (exchange(dirFd, swaps[i].newName, swaps[i].name) != 0) {
                *err = errno;
                return Replaced::Failed;
            }
            step("exchange back");
        }
        if (!syncDir(dirFd)) {
            *err = errno;
            return Replaced::Failed;
        }
        return Replaced::Changed;
    }
    if (exchanged == 0) {
        // No exchange on this file system: checked, then renamed over.
        for (const Swap& s : swaps) {
            if (!stillGuarded(dirFd, s.name, s.base, s.guard) &&
                !(s.leased && s.leased->holds(dirFd, s.name, s.base)) &&
                !sameFile(dirFd, s.name, s.base, sameInode)) {
                return Replaced::Changed;
            }
        }
        for (const Swap& s : swaps) {
            if (::renameat(dirFd, s.newName.c_str(), dirFd, s.name.c_str()) != 0) {
                *err = errno;
                return Replaced::Failed;
            }
            step("rename");
        }
    } else {
        for (const Swap& s : swaps) {
            if (::unlinkat(dirFd, s.newName.c_str(), 0) != 0 && errno != ENOENT) {
                *err = errno;
                return Replaced::Failed;
            }
            step("unlink old");
        }
    }
    if (syncLater) return Replaced::Done;
    if (!syncDir(dirFd)) {
        *err = errno;
        return Replaced::Failed;
    }
    step("fsync directory");
    return Replaced::Done;
}

std::vector<std::string> commitSafeguardGaps(const StoreFolder& store) {
    std::vector<std::string> gaps;
    // Probed without writing: the file systems known to exchange two files
    // in one step. Elsewhere the commit still tries, and falls back when
    // refused.
    if (!fileSystemIs(store.dirFd, {kExt, kXfs, kBtrfs, kTmpfs, kF2fs, kOverlay, kBcachefs})) {
        gaps.push_back(store.dir +
                       ": its file system is not known to exchange two files in one step; an "
                       "edit another program makes to a registry file just as a change replaces "
                       "it can be lost");
    }
    for (const std::string& name : store.registryFiles) {
        Fd reg(::openat(store.dirFd, name.c_str(),
                        O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
        if (!reg.valid() || !leaseSignalHandled()) continue;
        if (::fcntl(reg.get(), F_SETLEASE, F_RDLCK) == 0) {
            ::fcntl(reg.get(), F_SETLEASE, F_UNLCK);
        } else if (errno != EAGAIN) {  // EAGAIN: open for writing now, not a lack
            gaps.push_back(store.dir + "/" + name + ": no lease can be taken on it (" +
                           errnoText(errno) +
                           "); an edit made in place by a program that keeps it open can be "
                           "lost when a change replaces it");
        }
    }
    return gaps;
}

}  // namespace winsim
