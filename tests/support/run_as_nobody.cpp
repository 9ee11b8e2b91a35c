#include "tests/support/run_as_nobody.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace qu_test {

namespace {

namespace fs = std::filesystem;

// Whether others may search every folder above `path` and execute it.
bool othersCanRun(const fs::path& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0) return false;
    for (fs::path dir = path.parent_path(); !dir.empty(); dir = dir.parent_path()) {
        if (::stat(dir.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0) return false;
        if (dir == dir.root_path()) break;
    }
    return true;
}

std::string g_folder;

void removeFolder() {
    std::error_code ec;
    fs::remove_all(g_folder, ec);
}

}  // namespace

std::string programForNobody(const std::string& program) {
    static std::string reachable;
    if (!reachable.empty()) return reachable;
    const fs::path source = fs::absolute(program);
    if (othersCanRun(source)) return reachable = source.string();
    std::string pattern = (fs::temp_directory_path() / "qu-program-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    g_folder = pattern;
    std::atexit(removeFolder);
    ::chmod(g_folder.c_str(), 0755);
    const fs::path target = fs::path(g_folder) / source.filename();
    std::error_code ec;
    fs::create_hard_link(source, target, ec);
    if (ec) fs::copy_file(source, target);
    ::chmod(target.c_str(), 0755);
    if (!othersCanRun(target)) throw std::runtime_error("no folder others can search: " + g_folder);
    return reachable = target.string();
}

}  // namespace qu_test
