// A copy of a sample machine image that a case damages, runs the program on
// (as a process, in line mode) and then compares with its state before.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace qu_hardening {

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Every file, directory and link below a directory: kind, mode, content.
struct Entry {
    char kind = '?';  // 'f', 'd', 'l', 'o' (anything else)
    unsigned mode = 0;
    std::string content;  // file bytes or link target
};
using FileState = std::map<std::string, Entry>;  // relative path

// The registry of an image as key path -> the key's exported lines.
using RegistryState = std::map<std::string, std::string>;

// The string list `field` of the first `{"plan": ...}` line of `out`;
// `found` is false when the line is missing or `{"plan": null}`. Keys lose
// their "HKEY_LOCAL_MACHINE\" and files come back as "image/drive_c/..."
// paths, as ImageRun's sets name them.
std::set<std::string> planList(const std::string& out, const std::string& field, bool* found);

class ImageRun {
public:
    // Copies machines/<sample> into a fresh temporary directory, beside an
    // "outside" directory that links may point to.
    explicit ImageRun(const std::string& sample);
    ~ImageRun();
    ImageRun(const ImageRun&) = delete;
    ImageRun& operator=(const ImageRun&) = delete;

    std::string dir() const { return image_; }
    // Arguments added after the program's own (e.g. "--undo").
    std::string extraArgs;
    // A command the program runs under (e.g. "strace ... "), as the same user.
    std::string wrapper;
    std::string outside() const { return outside_; }

    // Registry edits through the machine's test API (saved to system.reg).
    void setString(const std::string& key, const std::string& name, const std::string& value);
    void setRaw(const std::string& key, const std::string& name, uint32_t type,
                const std::vector<uint8_t>& bytes);
    void deleteValue(const std::string& key, const std::string& name);
    void deleteKey(const std::string& key);
    // Raw file edits: C: paths below drive_c, or names in the image dir.
    void writeDriveFile(const std::string& cPath, const std::string& bytes, bool readOnly = false);
    void removeDriveFile(const std::string& cPath);
    void linkDrivePath(const std::string& cPath, const std::string& hostTarget);
    void writeImageFile(const std::string& name, const std::string& bytes);
    std::string readImageFile(const std::string& name) const;
    void appendIni(const std::string& text);
    // chmod on a path relative to the image dir ("" = the dir itself).
    void chmodImage(const std::string& relative, unsigned mode, bool recursive);

    // Records the files and the registry; `run` compares against them.
    void snapshot();
    // Runs the program with `commands` on standard input. When the tests run
    // as root the program runs as an unprivileged user, so that permissions
    // bind it. `shellSetup` runs first in the same shell (e.g. a ulimit).
    RunResult run(const std::string& commands, const std::string& shellSetup = "");
    // The same without the comparison afterwards (which loads the image in
    // this process): `environment` ("NAME=value ...") is passed to the
    // program, `stdoutRedirect` replaces the redirection of its standard
    // output (e.g. ">/dev/full", ">&-"). status -1: ended by a signal.
    RunResult runOnly(const std::string& commands, const std::string& environment = "",
                      const std::string& stdoutRedirect = "");
    // The shell command that runs the program on this image with standard
    // input from `stdinPath` and the outputs in io/stdout<suffix>.txt and
    // io/stderr<suffix>.txt (see runOnly).
    std::string programCommand(const std::string& stdinPath, const std::string& environment = "",
                               const std::string& stdoutRedirect = "",
                               const std::string& shellSetup = "", const std::string& suffix = "");
    // Compares the image with the snapshot (as run does afterwards).
    void compare();
    std::string ioDir() const { return root_ + "/io"; }

    // Differences since snapshot(): files (relative to the temp root)
    // removed / changed / created, system.reg excluded; registry keys
    // removed / changed / created.
    std::set<std::string> removedFiles, changedFiles, createdFiles;
    std::set<std::string> removedKeys, changedKeys, createdKeys;
    // The entries of image/backups/ (not in the sets above).
    std::set<std::string> backups;
    bool registryLoads = false;
    bool registryLoadedBefore = false;
    bool regFileKept = false;  // system.reg has the same bytes

private:
    void load();
    void unload();
    RegistryState registry(bool* loads);

    std::string root_, image_, outside_;
    FileState files_;
    RegistryState keys_;
    std::string regBytes_;
};

}  // namespace qu_hardening
