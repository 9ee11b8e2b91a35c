#include "host/machine_image.h"

#include "dialog/embedded_file.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <system_error>

namespace default_machine {
extern const EmbeddedFile kFiles[];
extern const std::size_t kFileCount;
}  // namespace default_machine

namespace fs = std::filesystem;

namespace {

const char kDrivePrefix[] = "drive_c/";

bool sameBytes(const fs::path& path, const EmbeddedFile& file) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec) || fs::file_size(path, ec) != file.size || ec) {
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    std::string bytes(file.size, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(file.size));
    return in.gcount() == static_cast<std::streamsize>(file.size) &&
           std::memcmp(bytes.data(), file.data, file.size) == 0;
}

}  // namespace

bool matchesBuiltInImage(const std::string& dirName) {
    const fs::path dir(dirName);
    std::set<std::string> expected;
    bool sawRegistry = false;
    for (std::size_t i = 0; i < default_machine::kFileCount; ++i) {
        const EmbeddedFile& file = default_machine::kFiles[i];
        const std::string name = file.name;
        const bool registry = name == "system.reg";
        if (!registry && name.rfind(kDrivePrefix, 0) != 0) continue;
        if (!sameBytes(dir / name, file)) return false;
        sawRegistry = sawRegistry || registry;
        if (!registry) expected.insert(name);
    }
    if (!sawRegistry) return false;
    // Nothing added under drive_c (a missing directory holds nothing).
    std::error_code ec;
    std::size_t files = 0;
    for (fs::recursive_directory_iterator it(dir / "drive_c", ec), end; !ec && it != end;
         it.increment(ec)) {
        if (it->is_directory(ec)) continue;
        const std::string name =
            kDrivePrefix + it->path().lexically_relative(dir / "drive_c").generic_string();
        if (expected.count(name) == 0) return false;
        ++files;
    }
    return !ec && files == expected.size();
}

MachineImage describeMachineImage(const std::string& dir, bool builtIn) {
    MachineImage image;
    std::error_code ec;
    const fs::path absolute = fs::absolute(dir, ec);
    image.dir = ec ? dir : absolute.string();
    image.builtIn = builtIn;
    image.changed = builtIn && !matchesBuiltInImage(dir);
    return image;
}

std::string imageRecordLine(const MachineImage& image) {
    std::string line = "Machine image: " + image.dir;
    if (image.builtIn) {
        line += image.changed ? " (working copy of the built-in image, changed by an earlier run)"
                              : " (working copy of the built-in image)";
    }
    return line;
}

std::string imageScreenLine(const MachineImage& image, const std::string& home) {
    if (image.builtIn && !image.changed) return {};
    if (image.builtIn) {
        return "Machine image changed by an earlier run; --reset-machine restores it";
    }
    std::string dir = image.dir;
    if (!home.empty() && home != "/" && dir.rfind(home + "/", 0) == 0) {
        dir = "~" + dir.substr(home.size());
    }
    return "Machine image: " + dir;
}
