// The old hive of a commit, read beside other work: its identity (status
// and content hash, for the journal and the backup) and hivex's handle on
// it for writing (hivex reads the whole hive into memory when it opens it
// for writing, the largest part of a hive's commit).
//
// What is read counts only for the file as it was: each read is bracketed
// by the file's status (what changes a file's content changes its
// modification time, the check a hive's commit makes anyway), and the
// commit's exchange checks what it swaps out against the content hash
// (store.h).
#pragma once

#include <sys/stat.h>

#include <hivex.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "winsim/src/base/posix_file.h"

namespace winsim {

// Whether `path` is still the file `before` describes, unchanged (the same
// file, size, modification and status change times).
bool sameFileStatus(const std::string& path, const struct stat& before);

// The identity of the hive at `file` with the hash of its content, which
// counts only when the file's status is the same after the read as before
// it. False when it cannot be read, changed meanwhile, or `stop` was set.
bool identifyWhole(const std::string& file, FileIdentity* identity, const std::atomic<bool>& stop);

// The identity of a hive taken on a thread of its own while hivex reads
// the same file for writing: two passes over the same cached pages side by
// side instead of one after the other.
class IdentityInBackground {
public:
    explicit IdentityInBackground(const std::string& file);
    ~IdentityInBackground();
    IdentityInBackground(const IdentityInBackground&) = delete;
    IdentityInBackground& operator=(const IdentityInBackground&) = delete;

    // False when no thread could be started (the commit reads the hive
    // itself).
    bool started() const { return started_; }
    bool result(FileIdentity* identity);

private:
    std::atomic<bool> stop_{false};
    bool ok_ = false;
    FileIdentity identity_;
    bool started_ = false;
    std::thread thread_;
};

// A hive opened for writing ahead of its commit, on a thread of its own,
// as soon as a run that may write has loaded it: its identity and, beside
// it, hivex's open for writing. It holds the hive in memory (its size) until
// taken or dropped. The handle is handed over only when the file's status
// stayed `loaded` (the status the load checked and read the hive under)
// from before the first read to after the last: the handle then holds the
// checked hive.
class PreparedHive {
public:
    PreparedHive(const std::string& file, const FileIdentity& loaded);
    ~PreparedHive();
    PreparedHive(const PreparedHive&) = delete;
    PreparedHive& operator=(const PreparedHive&) = delete;

    // Waits for the thread. The handle, or null when the hive changed or
    // could not be read (or no thread could be started); with it `identity`
    // (the file it was read from, with its content hash) and `status` (the
    // file's status throughout).
    std::shared_ptr<hive_h> take(FileIdentity* identity, struct stat* status);

private:
    void prepare(const std::string& file, const FileIdentity& loaded);

    std::atomic<bool> stop_{false};
    std::shared_ptr<hive_h> handle_;
    FileIdentity identity_;
    struct stat status_ {};
    std::thread thread_;
};

}  // namespace winsim
