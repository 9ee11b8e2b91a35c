#include "host/program_setup.h"

#include "dialog/embedded_file.h"
#include "winsim/user.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
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

bool prepareDefaultMachine(const std::string& dirName, bool reset, std::string* error) {
    const fs::path dir(dirName);
    std::error_code ec;
    if (!reset && fs::exists(dir / "machine.ini", ec)) {
        return true;
    }
    if (default_machine::kFileCount == 0) {
        *error = "this build carries no default machine image; use --machine DIR";
        return false;
    }
    fs::create_directories(dir.parent_path(), ec);
    if (ec) {
        *error = "cannot create " + dir.parent_path().string() + ": " + ec.message();
        return false;
    }
    const fs::path fresh = dir.parent_path() / ("machine.new-" + std::to_string(getpid()));
    fs::remove_all(fresh, ec);
    if (!writeImage(fresh, error)) {
        fs::remove_all(fresh, ec);
        return false;
    }
    // Move the old copy aside first: rename cannot replace a non-empty
    // directory, and the old copy must survive a failure up to here.
    const fs::path old = dir.parent_path() / ("machine.old-" + std::to_string(getpid()));
    const bool hadCopy = fs::exists(dir, ec);
    if (hadCopy) {
        fs::rename(dir, old, ec);
        if (ec) {
            *error = "cannot replace " + dir.string() + ": " + ec.message();
            fs::remove_all(fresh, ec);
            return false;
        }
    }
    fs::rename(fresh, dir, ec);
    if (ec) {
        *error = "cannot create " + dir.string() + ": " + ec.message();
        if (hadCopy) {
            fs::rename(old, dir, ec);
        }
        fs::remove_all(fresh, ec);
        return false;
    }
    fs::remove_all(old, ec);
    return true;
}
