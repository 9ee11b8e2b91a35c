// The whole program on a fuzzed machine image (see fuzz_image.h): start-up,
// detection and the operator's commands through the line mode, in process.
//
// Besides the sanitizers, every run checks:
// - the status pane only grows, and each addition is one catalogue text
//   whose names are device descriptions the records hold;
// - every registry key and device set is released when the dialog closes;
// - outside drive_c/ nothing changes except system.reg (the registry), and
//   no save leaves its temporary file behind;
// - on drive_c/ nothing is created or changed, and nothing disappears or
//   loses its read-only bit outside the image's Windows directory;
// - a canary directory beside the image is untouched.
#include "detection/device_catalogue.h"
#include "dialog/resource.h"
#include "dialog/uninstall_app.h"
#include "fuzz/fuzz_image.h"
#include "fuzz/scratch.h"
#include "host/ansi_text.h"
#include "host/line_mode.h"
#include "host/program_setup.h"
#include "winsim/machine.h"
#include "winsim/user.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Bounds that keep one run short; larger inputs are cut, not refused.
constexpr size_t kMaxFiles = 64;
constexpr size_t kMaxCommands = 24;
constexpr size_t kMaxComponent = 120;

fs::path g_root;

[[noreturn]] void fail(const std::string& what) { qu_fuzz::failIn("machine_fuzz", what); }

// ---- The image on disk ---------------------------------------------------------

// Host path below drive_c/ of a C: path, or empty when the path is not a
// plain absolute C: path with ordinary components.
fs::path drivePath(const fs::path& drive, const std::string& cPath) {
    if (cPath.size() < 4 || (cPath[0] != 'C' && cPath[0] != 'c') || cPath[1] != ':' ||
        cPath[2] != '\\') {
        return {};
    }
    fs::path out = drive;
    size_t start = 3;
    while (start <= cPath.size()) {
        size_t end = cPath.find('\\', start);
        if (end == std::string::npos) end = cPath.size();
        const std::string part = cPath.substr(start, end - start);
        if (part.empty() || part == "." || part == ".." || part.size() > kMaxComponent ||
            part.find('/') != std::string::npos || part.find('\0') != std::string::npos) {
            return {};
        }
        out /= part;
        start = end + 1;
    }
    return out;
}

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

fs::path linkTarget(const std::string& word, const fs::path& image, const fs::path& canary) {
    if (word == "canary") return canary;
    if (word == "canaryfile") return canary / "keep.txt";
    if (word == "image") return image;
    if (word == "ini") return image / "machine.ini";
    if (word == "reg") return image / "system.reg";
    return image / "drive_c" / "WINDOWS";
}

void materialise(const qu_fuzz::FuzzImage& input, const fs::path& image, const fs::path& canary) {
    fs::create_directories(canary / "sub");
    writeFile(canary / "keep.txt", "canary");
    writeFile(canary / "sub" / "oem7.inf", "canary inf");
    const fs::path drive = image / "drive_c";
    fs::create_directories(drive / "WINDOWS");
    writeFile(image / "machine.ini", input.machineIni);
    writeFile(image / "system.reg", input.systemReg);

    std::error_code ec;
    size_t count = 0;
    for (const auto& file : input.files) {
        if (++count > kMaxFiles) break;
        const fs::path path = drivePath(drive, file.cPath);
        if (path.empty()) continue;
        fs::create_directories(path.parent_path(), ec);
        if (ec || fs::is_directory(path, ec) || fs::is_symlink(path, ec)) continue;
        writeFile(path, file.content);
        if (file.readOnly) {
            fs::permissions(
                path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                fs::perm_options::remove, ec);
        }
    }
    for (const auto& link : input.links) {
        if (++count > kMaxFiles) break;
        const fs::path path = drivePath(drive, link.cPath);
        if (path.empty() || fs::exists(fs::symlink_status(path, ec))) continue;
        fs::create_directories(path.parent_path(), ec);
        fs::create_symlink(linkTarget(link.target, image, canary), path, ec);
    }
}

void removeTree(const fs::path& path) {
    std::error_code ec;
    // Read-only files inside need no write bit to be unlinked; directories do.
    for (auto it = fs::recursive_directory_iterator(path, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec) break;
        if (!it->is_symlink() && it->is_directory()) {
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
        }
    }
    fs::remove_all(path, ec);
}

// ---- Snapshots -------------------------------------------------------------------

struct Entry {
    char kind = '?';  // 'f' file, 'd' directory, 'l' link
    unsigned mode = 0;
    std::string content;  // file bytes or link target
};
using Snapshot = std::map<std::string, Entry>;  // path relative to the root

Snapshot snapshot(const fs::path& root) {
    Snapshot out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec) break;
        Entry e;
        struct stat st;
        if (::lstat(it->path().c_str(), &st) != 0) continue;
        e.mode = st.st_mode & 07777;
        if (S_ISLNK(st.st_mode)) {
            e.kind = 'l';
            e.content = fs::read_symlink(it->path(), ec).string();
        } else if (S_ISDIR(st.st_mode)) {
            e.kind = 'd';
        } else {
            e.kind = 'f';
            std::ifstream in(it->path(), std::ios::binary);
            std::ostringstream bytes;
            bytes << in.rdbuf();
            e.content = bytes.str();
        }
        out[fs::relative(it->path(), root).string()] = e;
    }
    return out;
}

bool within(const fs::path& path, const fs::path& dir) {
    if (dir.empty()) return false;
    auto p = path.begin();
    for (auto d = dir.begin(); d != dir.end(); ++d, ++p) {
        if (p == path.end() || *p != *d) return false;
    }
    return true;
}

// `windowsDir`: the canonical host path of the Windows directory, empty
// when the machine has none (then nothing may be deleted).
void compare(const Snapshot& before, const Snapshot& after, const fs::path& windowsDir) {
    const std::string drivePrefix = "image/drive_c/";
    for (const auto& [path, was] : before) {
        const auto now = after.find(path);
        const bool onDrive = path.rfind(drivePrefix, 0) == 0;
        const fs::path host = g_root / path;
        std::error_code ec;
        // Where the entry really was: its parent directory resolved.
        const fs::path real = fs::weakly_canonical(host.parent_path(), ec) / host.filename();
        const bool deletable = onDrive && was.kind == 'f' && within(real, windowsDir);
        if (path == "image/system.reg") {
            if (now == after.end()) fail("system.reg was deleted");
            continue;
        }
        if (now == after.end()) {
            if (!deletable) fail("deleted outside the Windows directory: " + path);
            continue;
        }
        const Entry& is = now->second;
        if (is.kind != was.kind || is.content != was.content) fail("changed: " + path);
        if (is.mode != was.mode) {
            // Only the read-only bit of a file about to be deleted may go.
            const unsigned writeBits = 0222;
            if (!deletable || (is.mode & ~writeBits) != (was.mode & ~writeBits)) {
                fail("mode changed: " + path);
            }
        }
    }
    for (const auto& [path, is] : after) {
        if (before.count(path) == 0) fail("created: " + path);
    }
}

// ---- The status pane ---------------------------------------------------------------

const UINT kCatalogue[] = {102, 103, 104, 105, 106, 107, 108, 109, 110,
                           111, 112, 113, 115, 116, 117, 119, 120};

// Whether `text` is the format `format` with every %s one of `names` and
// every %u / %d a decimal number.
bool matches(const char* format, const char* text, const std::vector<std::string>& names) {
    while (*format != '\0') {
        if (format[0] == '%' && format[1] == '%') {
            if (*text != '%') return false;
            format += 2;
            ++text;
        } else if (format[0] == '%' && format[1] == 's') {
            for (const auto& name : names) {
                if (std::strncmp(text, name.c_str(), name.size()) == 0 &&
                    matches(format + 2, text + name.size(), names)) {
                    return true;
                }
            }
            return false;
        } else if (format[0] == '%' && (format[1] == 'u' || format[1] == 'd')) {
            if (format[1] == 'd' && *text == '-') ++text;
            if (*text < '0' || *text > '9') return false;
            while (*text >= '0' && *text <= '9') ++text;
            format += 2;
        } else {
            if (*format != *text) return false;
            ++format;
            ++text;
        }
    }
    return *text == '\0';
}

void checkStatusAddition(const std::string& before, const std::string& after) {
    if (after.size() < before.size() || after.compare(0, before.size(), before) != 0) {
        fail("the status log lost text");
    }
    const std::string added = after.substr(before.size());
    std::vector<std::string> names;
    for (int slot = 0; slot < kSlotCount; ++slot) names.push_back(deviceRecord(slot).deviceDesc);
    for (UINT id : kCatalogue) {
        std::string format;
        if (winsim::ui::stringResource(id, &format) &&
            matches(format.c_str(), added.c_str(), names)) {
            return;
        }
    }
    fail("not a catalogue text in the status pane: '" + added + "'");
}

// ---- One run -------------------------------------------------------------------------

std::string firstLines(const std::string& text, size_t count) {
    std::string out;
    size_t start = 0;
    for (size_t i = 0; i < count && start < text.size(); ++i) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        out += text.substr(start, end - start) + "\n";
        start = end + 1;
    }
    return out;
}

// The Windows directory as the machine names it, read past any fault.
fs::path windowsHostDir() {
    const bool faulted = winsim::faults().windowsDirFails;
    winsim::faults().windowsDirFails = false;
    char buffer[MAX_PATH] = {};
    const UINT length = GetWindowsDirectoryA(buffer, sizeof buffer);
    winsim::faults().windowsDirFails = faulted;
    winsim::resetCallCounts();
    if (length == 0 || length >= sizeof buffer) return {};
    const std::string host = winsim::hostPath(buffer);
    if (host.empty()) return {};
    std::error_code ec;
    return fs::weakly_canonical(host, ec);
}

// Runs the program on `image`; returns the canonical host path of its Windows
// directory (empty when the image is refused or names none).
fs::path runProgram(const qu_fuzz::FuzzImage& input, const fs::path& image) {
    std::string error;
    if (!winsim::loadMachine(image.string(), &error)) {
        if (error.empty()) fail("an image was refused without a message");
        return {};
    }
    const fs::path windowsDir = windowsHostDir();
    for (const auto& r : input.refusals) winsim::refuseCall(r.function, r.error, r.nth);

    // A fresh process starts with empty records and file tables.
    for (int slot = 0; slot < kSlotCount; ++slot) {
        std::memset(&deviceRecord(slot), 0, sizeof(DeviceRecord));
        std::memset(infFilePath(slot), 0, kPathBufferSize);
        std::memset(driverFilePath(slot), 0, kPathBufferSize);
    }

    std::istringstream in(firstLines(input.commands, kMaxCommands));
    std::ostringstream out, err;
    LineMode lineMode(in, out, err, AnsiText(winsim::codePage()), winsim::machineFacts());
    winsim::ui::resetWindowSystem();
    winsim::ui::setTextObserver(
        [&lineMode](HWND window, const std::string& before, const std::string& after) {
            if (GetDlgCtrlID(window) == IDC_STATUS) checkStatusAddition(before, after);
            lineMode.onTextChanged(window, before, after);
        });
    winsim::ui::setInputDriver(&lineMode);
    // As the host: one commit per command when the dialog is at rest, and
    // one at the end.
    bool commitFailed = false;
    winsim::ui::setIdleObserver([&commitFailed] {
        commitFailed = commitFailed || !winsim::commit();
        return !commitFailed;
    });
    theApp.run(GetModuleHandleA(nullptr));
    if (!commitFailed) winsim::commit();
    winsim::ui::setIdleObserver(nullptr);
    winsim::ui::setInputDriver(nullptr);
    winsim::ui::setTextObserver(nullptr);
    winsim::ui::resetWindowSystem();

    if (winsim::openKeyHandles() != 0) fail("registry keys left open");
    if (winsim::openDeviceSets() != 0) fail("device sets left open");
    winsim::clearRefusals();
    winsim::unloadMachine();

    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(image, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("system.reg.", 0) == 0) fail("a commit left " + name + " behind");
    }
    return windowsDir;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string error;
    if (!loadDialogResources(&error)) fail("resources: " + error);
    g_root = qu_fuzz::makeScratch("machine");
    if (g_root.empty()) fail("mkdtemp failed");
    std::atexit([] { removeTree(g_root); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const qu_fuzz::FuzzImage input =
        qu_fuzz::parseFuzzImage(std::string_view(reinterpret_cast<const char*>(data), size));
    const fs::path image = g_root / "image";
    const fs::path canary = g_root / "canary";
    removeTree(image);
    removeTree(canary);
    materialise(input, image, canary);

    const Snapshot before = snapshot(g_root);
    const fs::path windowsDir = runProgram(input, image);
    compare(before, snapshot(g_root), windowsDir);
    return 0;
}
