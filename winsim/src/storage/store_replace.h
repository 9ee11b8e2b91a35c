// How a commit puts its new registry files in place without losing an edit
// another program makes meanwhile (store.h, step 5), and what the file
// system allows of that.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "winsim/src/base/posix_file.h"

namespace winsim {

// Counts a file-system step of a commit (store.cpp: the step hook and
// QU_CRASH_AFTER).
void commitStep(const char* what);

// Whether the file `name` of `dirFd` is, and stays while it is read, the
// one `want` names (its size and content hash; with `sameInode`, that very
// file). A read lease is held while it is read where the file system and
// the file's owner allow one: a process that has the file open for writing
// makes it fail, one that opens it meanwhile breaks it; either counts as a
// change.
bool sameFile(int dirFd, const std::string& name, const FileIdentity& want, bool sameInode);

// A registry file held under a read lease from the start of a commit until
// its new file is in place, its content hashed under that lease on a second
// thread while the commit writes the new file. While the lease is unbroken
// nothing has opened the file for writing since it was taken (the lease is
// refused while a writer has it open), so the check of what an exchange
// swapped out compares that hash instead of reading the file again. A
// writer that opens the file meanwhile breaks the lease and waits until the
// commit lets go of it (at most the commit's own time, and never past the
// kernel's lease-break time); the check then reads the file as before and
// finds the edit.
class LeasedRead {
public:
    LeasedRead() = default;
    ~LeasedRead() { release(); }
    LeasedRead(const LeasedRead&) = delete;
    LeasedRead& operator=(const LeasedRead&) = delete;

    // Takes the lease on `name` of `dirFd` and starts the hash. False, with
    // nothing held, where no lease that sees every writer can be taken (the
    // file open for writing elsewhere, another owner, a file system without
    // such leases) or no thread can be started.
    bool start(int dirFd, const std::string& name);
    bool started() const { return fd_.valid(); }
    // Whether `name` of `dirFd` is the leased file, of `base`'s size, its
    // lease never broken, and what was read under the lease has `base`'s
    // size and content hash. False on any doubt.
    bool holds(int dirFd, const std::string& name, const FileIdentity& base);
    // Stops the hash and gives the lease up.
    void release();

private:
    Fd fd_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    bool read_ = false;
    uint64_t size_ = 0, hash_ = 0;
};

// Exchanges the entries `a` and `b` of `dirFd` in one step (renameat2).
int exchange(int dirFd, const std::string& a, const std::string& b);

// One registry file to put in place: `newName` holds its new content and
// `name` must still be `base`.
struct Swap {
    std::string name, newName;
    FileIdentity base;
    // The loaded text guarding `base` (RegistryWrite::loaded): while its
    // lease holds, what was swapped out is checked by which file it is,
    // without reading it.
    const BaseText* guard = nullptr;
    // The file `base` names, held under a lease since before it was hashed
    // (nullptr: none): while that lease holds, it is not read again.
    LeasedRead* leased = nullptr;
};

// Whether a read lease on a file of `fd`'s file system sees every writer:
// a local file system the kernel writes itself (not a network or user-space
// one, where another machine or a daemon can change a file unseen).
bool leasesSeeEveryWriter(int fd);

// Whether `name` of `dirFd` is still the file `base` guarded by `guard`
// (its lease unbroken, the same file and size); false means "not known",
// and the file is then read.
bool stillGuarded(int dirFd, const std::string& name, const FileIdentity& base,
                  const BaseText* guard);

enum class Replaced { Done, Changed, Failed };

// Puts each new file in its registry file's place if every registry file is
// still its `base`. The two are exchanged in one step and what was swapped
// out is checked; when one is not its `base` (an edit came in since it was
// last checked, in place or as a new file), every pair is exchanged back.
// Where the file system cannot exchange, each file is checked and then
// replaced (an edit in between is lost; said at start, commitSafeguardGaps).
// `sameInode`: the very file that was checked must be the one swapped out.
// Failed: errno in `err`. `syncLater`: the folder is not synced once the
// files are in place; the caller syncs it with others (a commit does, before
// its journal goes).
Replaced replaceChecked(int dirFd, const std::vector<Swap>& swaps, bool sameInode, int* err,
                        bool syncLater = false);

}  // namespace winsim
