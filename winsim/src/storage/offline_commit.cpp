#include "winsim/src/storage/offline_commit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "winsim/src/storage/hive_store.h"

namespace winsim {

namespace {

bool writeAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string parentOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The export replaced atomically: a temporary file beside it, synced,
// renamed over it, the folder synced.
bool writeExport(const std::string& target, const std::string& data, std::string* error) {
    const std::string temp = target + ".tmp";
    auto fail = [&](const std::string& what) {
        *error = what + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        return false;
    };
    ::unlink(temp.c_str());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return fail("cannot create " + temp);
    const bool written = writeAll(fd, data) && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !written) return fail("cannot write " + temp);
    if (::rename(temp.c_str(), target.c_str()) != 0) return fail("cannot replace " + target);
    const int dfd = ::open(parentOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

}  // namespace

bool checkExportWritable(const std::string& path, std::string* error) {
    const std::string temp = path + ".tmp";
    auto refuse = [&](const char* verb, const std::string& what) {
        *error = path + ": the export cannot be saved (cannot " + verb + " " + what + ": " +
                 std::strerror(errno) + "); nothing was changed";
        return false;
    };
    if (::access(path.c_str(), W_OK) != 0) return refuse("write", path);
    ::unlink(temp.c_str());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return refuse("create", temp);
    ::close(fd);
    if (::unlink(temp.c_str()) != 0) return refuse("remove", temp);
    return true;
}

bool commitsOffline(const HiveStore* hives, const std::string& regPath, const std::string& dir) {
    return hives != nullptr || (!regPath.empty() && regPath != dir + "/system.reg");
}

bool commitOffline(HiveStore* hives, const Registry& registry, const std::string& regPath,
                   const std::string& driveDir, const StagedFiles& files, bool registryChanged,
                   std::string* data, std::string* error, std::vector<std::string>* warnings) {
    if (registryChanged) {
        if (hives) {
            if (!hives->save(registry, error)) return false;
        } else if (!writeExport(regPath, *data, error)) {
            return false;
        }
    }
    if (files.empty()) return true;
    Fd drive(::open(driveDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!drive.valid()) {
        warnings->push_back("cannot open the drive " + driveDir + ": " + std::strerror(errno) +
                            "; its files were not changed");
        return true;
    }
    std::vector<std::string> failures;
    applyFileOps(drive.get(), files.ops, &failures, nullptr);
    for (const auto& f : failures) warnings->push_back(f);
    return true;
}

}  // namespace winsim
