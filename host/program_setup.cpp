#include "host/program_setup.h"

#include "dialog/embedded_file.h"
#include "winsim/user.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace default_machine {
extern const EmbeddedFile kFiles[];
extern const std::size_t kFileCount;
}  // namespace default_machine

namespace fs = std::filesystem;

bool loadDialogResources(std::string* error) {
    std::vector<winsim::ui::ResourceFile> files;
    for (std::size_t i = 0; i < dialog_resources::kFileCount; ++i) {
        const EmbeddedFile& file = dialog_resources::kFiles[i];
        files.push_back(
            {file.name, std::string(reinterpret_cast<const char*>(file.data), file.size)});
    }
    return winsim::ui::loadResources(files, "resources.rc", error);
}

std::string defaultMachineDir(std::string* error) {
    const char* state = std::getenv("XDG_STATE_HOME");
    fs::path base;
    // The base directory specification ignores relative values.
    if (state != nullptr && fs::path(state).is_absolute()) {
        base = state;
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || !fs::path(home).is_absolute()) {
            *error =
                "cannot find a state directory for the default machine image: "
                "set HOME or XDG_STATE_HOME, or use --machine DIR";
            return {};
        }
        base = fs::path(home) / ".local" / "state";
    }
    return (base / "quorvane-uninstall" / "machine").string();
}

namespace {

bool writeImage(const fs::path& dir, std::string* error) {
    for (std::size_t i = 0; i < default_machine::kFileCount; ++i) {
        const EmbeddedFile& file = default_machine::kFiles[i];
        const fs::path path = dir / file.name;
        std::error_code ec;
        fs::create_directories(path.parent_path(), ec);
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(file.data),
                  static_cast<std::streamsize>(file.size));
        out.close();
        if (ec || !out) {
            *error = "cannot write " + path.string();
            return false;
        }
    }
    return true;
}

}  // namespace

const char kResetHint[] =
    "; --reset-machine replaces the working copy with a fresh copy of the built-in image "
    "(its changes are lost)";

namespace {

// An open, flock-ed folder; the lock goes with the descriptor.
class DirLock {
public:
    ~DirLock() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    // false with errno set; EWOULDBLOCK: held by another process.
    bool lock(const fs::path& dir, bool wait) {
        fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0) {
            return false;
        }
        while (::flock(fd_, LOCK_EX | (wait ? 0 : LOCK_NB)) != 0) {
            if (errno != EINTR) {
                return false;
            }
        }
        return true;
    }

private:
    int fd_ = -1;
};

std::string uniqueSuffix() {
    uint32_t r = 0;
    if (::getrandom(&r, sizeof r, 0) != sizeof r) {
        r = static_cast<uint32_t>(::time(nullptr));
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%ld-%08x", static_cast<long>(getpid()), r);
    return buf;
}

// What a usable working copy must hold; empty when it is complete.
std::string missingPart(const fs::path& dir) {
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return "it is not a folder";
    }
    for (const char* name : {"machine.ini", "system.reg", "drive_c"}) {
        if (::lstat((dir / name).c_str(), &st) != 0) {
            return std::string(name) + " is missing";
        }
    }
    return {};
}

}  // namespace

bool prepareDefaultMachine(const std::string& dirName, bool reset, std::string* error,
                           bool* inUse) {
    if (inUse != nullptr) {
        *inUse = false;
    }
    const fs::path dir(dirName);
    const fs::path parent = dir.parent_path();
    std::error_code ec;
    fs::create_directories(parent, ec);
    if (ec) {
        *error = "cannot create " + parent.string() + ": " + ec.message();
        return false;
    }
    // Only one start prepares the copy at a time; what an interrupted one
    // left behind is removed under that lock.
    DirLock setup;
    if (!setup.lock(parent, true)) {
        *error = "cannot lock " + parent.string() + ": " + std::strerror(errno);
        return false;
    }
    const std::string base = dir.filename().string();
    for (const auto& entry : fs::directory_iterator(parent, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(base + ".new-", 0) == 0 || name.rfind(base + ".old-", 0) == 0) {
            std::error_code removeError;
            fs::remove_all(entry.path(), removeError);
        }
    }
    struct stat st;
    const bool hadCopy = ::lstat(dir.c_str(), &st) == 0;
    if (hadCopy && !reset) {
        const std::string missing = missingPart(dir);
        if (missing.empty()) {
            return true;
        }
        *error = dirName + ": the working copy of the default machine image is incomplete (" +
                 missing + ")" + kResetHint;
        return false;
    }
    if (default_machine::kFileCount == 0) {
        *error = "this build carries no default machine image; use --machine DIR";
        return false;
    }
    DirLock image;
    if (hadCopy && !image.lock(dir, false)) {
        if (errno == EWOULDBLOCK) {
            if (inUse != nullptr) {
                *inUse = true;
            }
            *error = dirName + ": the machine image is in use by another process";
        } else {
            *error = "cannot replace " + dirName + ": " + std::strerror(errno);
        }
        return false;
    }
    const fs::path fresh = parent / (base + ".new-" + uniqueSuffix());
    if (!writeImage(fresh, error)) {
        fs::remove_all(fresh, ec);
        return false;
    }
    // One rename puts the fresh copy in place: exchanged with the old one
    // (which then goes), or moved in when there was none.
    const int rc =
        hadCopy ? ::renameat2(AT_FDCWD, fresh.c_str(), AT_FDCWD, dir.c_str(), RENAME_EXCHANGE)
                : ::renameat2(AT_FDCWD, fresh.c_str(), AT_FDCWD, dir.c_str(), RENAME_NOREPLACE);
    if (rc != 0) {
        *error = "cannot create " + dirName + ": " + std::strerror(errno);
        fs::remove_all(fresh, ec);
        return false;
    }
    fs::remove_all(fresh, ec);  // the old copy, when there was one
    return true;
}
