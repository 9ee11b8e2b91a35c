// The store's promises for each kind of store, with real processes: the
// same cases run on an image folder, a bare export (--machine FILE.reg) and
// an installation's hives with their drive (--windows), a row each.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <hivex.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/hardening/background.h"

namespace {

namespace fs = std::filesystem;

std::string readWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void writeWhole(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Where a kind keeps its parts, relative to the copy of its sample.
struct Kind {
    const char* name;
    const char* sample;                 // below machines/
    const char* option;                 // --machine or --windows
    const char* named;                  // what the option names, relative to the copy
    const char* folder;                 // the store folder
    std::vector<std::string> registry;  // the registry files, in the folder
    const char* drive;                  // the C: drive
};

const Kind kKinds[] = {
    {"image folder", "xp", "--machine", "", "", {"system.reg"}, "drive_c"},
    {"bare export", "xp-offline", "--machine", "offline.reg", "", {"offline.reg"}, "drive_c"},
    {"hives",
     "xp-offline-drive",
     "--windows",
     "",
     "WINDOWS/system32/config",
     {"system", "software"},
     ""},
};

struct ProgramRun {
    int status = -1;  // -1: ended by a signal
    std::string out, err;
};

// Every entry below a folder: type, mode, owner and content.
using Tree = std::map<std::string, std::string>;

Tree walk(const fs::path& root, const std::string& leaveOut = "") {
    Tree tree;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        const std::string rel = fs::relative(it->path(), root).string();
        if (!leaveOut.empty() && rel.rfind(leaveOut, 0) == 0) {
            if (it->is_directory() && !it->is_symlink()) it.disable_recursion_pending();
            continue;
        }
        struct stat st;
        if (::lstat(it->path().c_str(), &st) != 0) continue;
        std::string entry = std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + ":" +
                            std::to_string(st.st_gid) + " ";
        if (S_ISLNK(st.st_mode)) {
            entry += "-> " + fs::read_symlink(it->path()).string();
        } else if (S_ISREG(st.st_mode)) {
            entry += readWhole(it->path());
        }
        tree[rel] = entry;
    }
    return tree;
}

// The differing paths of two trees.
std::set<std::string> differences(const Tree& a, const Tree& b) {
    std::set<std::string> out;
    for (const auto& [path, entry] : a) {
        auto other = b.find(path);
        if (other == b.end() || other->second != entry) out.insert(path);
    }
    for (const auto& [path, entry] : b) {
        if (!a.count(path)) out.insert(path);
    }
    return out;
}

class Store {
public:
    explicit Store(const Kind& kind) : kind_(kind) {
        char pattern[] = "/tmp/qu-kinds-XXXXXX";
        root_ = ::mkdtemp(pattern);
        fs::copy(fs::path(QU_SOURCE_DIR) / "machines" / kind.sample, root_ / "m",
                 fs::copy_options::recursive);
        // A bare export goes by any name.
        if (kind.registry[0] != "system.reg" && fs::exists(root_ / "m" / "system.reg")) {
            fs::rename(root_ / "m" / "system.reg", root_ / "m" / kind.registry[0]);
        }
        fs::create_directories(root_ / "outside");
        fs::create_directories(root_ / "io");
    }
    ~Store() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    fs::path copy() const { return root_ / "m"; }
    fs::path folder() const { return copy() / kind_.folder; }
    fs::path drive() const { return copy() / kind_.drive; }
    fs::path registry(size_t i = 0) const { return folder() / kind_.registry[i]; }
    fs::path outside() const { return root_ / "outside"; }
    fs::path backups() const { return folder() / "backups"; }
    // The store folder's path relative to the copy, "" for the copy itself.
    std::string backupsRelative() const {
        return std::string(kind_.folder) + (kind_.folder[0] ? "/" : "") + "backups";
    }
    Tree tree() const { return walk(copy()); }
    Tree treeWithoutBackups() const { return walk(copy(), backupsRelative()); }

    std::string command(const std::string& stdinPath, const std::string& args,
                        const std::string& environment, const std::string& suffix) const {
        return "env -i PATH=/usr/bin:/bin " + environment + " '" QU_PROGRAM "' " + kind_.option +
               " '" + (copy() / kind_.named).string() + "' --headless " + args + " <'" + stdinPath +
               "' >'" + (root_ / "io" / ("out" + suffix)).string() + "' 2>'" +
               (root_ / "io" / ("err" + suffix)).string() + "'";
    }
    ProgramRun run(const std::string& commands, const std::string& args = "",
                   const std::string& environment = "") const {
        writeWhole(root_ / "io" / "in", commands);
        const int raw =
            std::system(command((root_ / "io" / "in").string(), args, environment, "").c_str());
        ProgramRun r;
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        if (r.status > 128) r.status = -1;
        r.out = readWhole(root_ / "io" / "out");
        r.err = readWhole(root_ / "io" / "err");
        return r;
    }
    fs::path ioDir() const { return root_ / "io"; }
    const Kind& kind() const { return kind_; }

private:
    const Kind& kind_;
    fs::path root_;
};

// The latest backup folder, or "".
fs::path latestBackup(const Store& s) {
    fs::path latest;
    if (!fs::exists(s.backups())) return latest;
    for (const auto& e : fs::directory_iterator(s.backups())) {
        const std::string name = e.path().filename().string();
        if (name[0] != '.' && name != "undone" && e.path() > latest) latest = e.path();
    }
    return latest;
}

// A change another program makes to the registry while the program runs:
// a key appended to an export, a key added to the hive in place with hivex.
void editByHand(const Store& s) {
    if (s.kind().option == std::string("--windows")) {
        hive_h* h = hivex_open(s.registry().c_str(), HIVEX_OPEN_WRITE);
        ASSERT_NE(h, nullptr);
        ASSERT_NE(hivex_node_add_child(h, hivex_root(h), "ByHand"), 0u);
        ASSERT_EQ(hivex_commit(h, nullptr, 0), 0);  // in place: the same file
        hivex_close(h);
        return;
    }
    std::ofstream(s.registry(), std::ios::binary | std::ios::app)
        << "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\ByHand]\r\n";
}

// Whether the registry holds editByHand's key.
bool hasHandEdit(const Store& s) {
    if (s.kind().option == std::string("--windows")) {
        hive_h* h = hivex_open(s.registry().c_str(), 0);
        if (!h) return false;
        const bool found = hivex_node_get_child(h, hivex_root(h), "ByHand") != 0;
        hivex_close(h);
        return found;
    }
    return readWhole(s.registry()).find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\ByHand]") !=
           std::string::npos;
}

using qu_hardening::waitFor;

// The program in the background on `s`, its commands from a FIFO held open
// here; the status once its input is closed.
class Background {
public:
    explicit Background(const Store& s, const std::string& environment = "") : s_(s) {
        const std::string fifo = (s.ioDir() / "fifo").string();
        ::mkfifo(fifo.c_str(), 0600);
        const std::string status = (s.ioDir() / "status").string();
        const std::string line =
            "(" + s.command(fifo, "", environment, "-bg") + "; echo $? >'" + status + "') &";
        if (std::system(line.c_str()) != 0) ADD_FAILURE() << line;
        fd_ = ::open(fifo.c_str(), O_WRONLY);
    }
    ~Background() {
        if (fd_ >= 0) finish();
    }
    bool loaded() {
        send("state\n");
        return waitFor([&] {
            return readWhole(s_.ioDir() / "out-bg").find("\"devices\"") != std::string::npos;
        });
    }
    void send(const std::string& text) {
        if (::write(fd_, text.data(), text.size()) < 0) ADD_FAILURE() << "write";
    }
    int finish() {
        ::close(fd_);
        fd_ = -1;
        const fs::path status = s_.ioDir() / "status";
        if (!waitFor([&] { return fs::exists(status) && fs::file_size(status) > 0; })) return -1;
        return std::atoi(readWhole(status).c_str());
    }
    std::string err() const { return readWhole(s_.ioDir() / "err-bg"); }

private:
    const Store& s_;
    int fd_ = -1;
};

// Whether the store folder holds a commit's journal.
bool hasJournal(const Store& s) {
    std::error_code ec;
    for (fs::directory_iterator it(s.folder(), ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(s.kind().registry[0] + ".journal-", 0) == 0) return true;
    }
    return false;
}

// Another program edits the registry `waitMs` after the load, or (with
// `atTheReplace`) while the Uninstall's commit, decided, waits right before
// the registry is replaced; the program keeps the edit and refuses its commit.
void handEditRefused(Store& s, int waitMs, bool atTheReplace = false) {
    const Tree before = s.tree();
    Background first(s, atTheReplace ? "QU_DELAY_BEFORE_REPLACE=1500" : "");
    ASSERT_TRUE(first.loaded());
    std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
    if (atTheReplace) {
        first.send("uninstall\n");
        ASSERT_TRUE(waitFor([&] { return hasJournal(s); }));
    }
    editByHand(s);
    // At the replace, what the registry's name shows right after the edit
    // may still be the new file, about to be exchanged back.
    const std::string edited = atTheReplace ? "" : readWhole(s.registry());
    if (!atTheReplace) first.send("uninstall\n");
    EXPECT_EQ(first.finish(), 1);
    EXPECT_NE(first.err().find("was changed by another program since it was loaded"),
              std::string::npos)
        << first.err();
    if (!atTheReplace) {
        EXPECT_EQ(readWhole(s.registry()), edited);
    }
    EXPECT_TRUE(hasHandEdit(s));
    // Nothing else changed: no file deleted, no backup published.
    std::set<std::string> changed = differences(before, s.tree());
    changed.erase((fs::path(s.kind().folder) / s.kind().registry[0]).lexically_normal());
    // A commit given up after its backup was written leaves the folder
    // that backup was made in, empty.
    if (atTheReplace && fs::is_empty(s.backups())) changed.erase(s.backupsRelative());
    EXPECT_EQ(changed, std::set<std::string>{});
}

// One promise, checked on a fresh copy of each kind.
struct Promise {
    const char* what;
    std::function<void(Store&)> check;
};

const Promise kPromises[] = {
    {"a second process stops with status 3 and changes nothing",
     [](Store& s) {
         const Tree before = s.tree();
         const int fd = ::open(s.folder().c_str(), O_RDONLY | O_DIRECTORY);
         ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
         const ProgramRun r = s.run("uninstall\n");
         ::close(fd);
         EXPECT_EQ(r.status, 3) << r.err;
         EXPECT_NE(r.err.find("in use by another process"), std::string::npos) << r.err;
         EXPECT_EQ(differences(before, s.tree()), std::set<std::string>{});
     }},
    {"a hand edit during the run is kept and the commit refused",
     [](Store& s) { handEditRefused(s, 0); }},
    // A hive is identified and opened for writing beside the run from its
    // load on: an edit after that is found all the same.
    {"a hand edit after the registry was read for the commit is kept and the commit refused",
     [](Store& s) { handEditRefused(s, 500); }},
    // The file a commit replaces is read under a lease from the commit's
    // check to its replace, and not read again there while the lease held:
    // an edit at the last moment (whose writer waits for that lease) is
    // found all the same, and lands in the file that stays.
    {"a hand edit right before the registry is replaced is kept and the commit refused",
     [](Store& s) { handEditRefused(s, 0, true); }},
    {"the backup holds the registry and the deleted files; undo restores every byte",
     [](Store& s) {
         fs::permissions(s.registry(), fs::perms::owner_read | fs::perms::owner_write);
         const Tree before = s.tree();
         const std::string registry = readWhole(s.registry());
         const ProgramRun r = s.run("uninstall\n");
         ASSERT_EQ(r.status, 0) << r.err;
         const fs::path backup = latestBackup(s);
         ASSERT_FALSE(backup.empty()) << r.err;
         EXPECT_NE(r.err.find("what this command deletes is saved in " + backup.string()),
                   std::string::npos)
             << r.err;
         EXPECT_EQ(readWhole(backup / (s.kind().registry[0] + ".before")), registry);
         const std::set<std::string> gone = differences(before, s.treeWithoutBackups());
         size_t files = 0;
         for (const std::string& path : gone) {
             if (fs::exists(s.copy() / path)) continue;
             const std::string below =
                 fs::relative(s.copy() / path, s.drive()).lexically_normal().string();
             struct stat st;
             ASSERT_EQ(::lstat((backup / "files" / below).c_str(), &st), 0) << below;
             EXPECT_EQ(std::to_string(st.st_mode),
                       before.at(path).substr(0, before.at(path).find(' ')));
             ++files;
         }
         EXPECT_GE(files, 2u);
         const ProgramRun undo = s.run("", "--undo");
         EXPECT_EQ(undo.status, 0) << undo.err;
         EXPECT_EQ(differences(before, s.treeWithoutBackups()), std::set<std::string>{});
     }},
    {"undo refuses, changing nothing, when a deleted file is back",
     [](Store& s) {
         const Tree before = s.tree();
         ASSERT_EQ(s.run("uninstall\n").status, 0);
         const std::set<std::string> gone = differences(before, s.treeWithoutBackups());
         std::string back;
         for (const std::string& path : gone) {
             if (!fs::exists(s.copy() / path)) back = path;
         }
         ASSERT_FALSE(back.empty());
         writeWhole(s.copy() / back, "made again");
         const Tree now = s.tree();
         const ProgramRun undo = s.run("", "--undo");
         EXPECT_EQ(undo.status, 1) << undo.err;
         EXPECT_NE(undo.err.find("these exist again"), std::string::npos) << undo.err;
         EXPECT_EQ(differences(now, s.tree()), std::set<std::string>{});
     }},
    {"--undo --read-only is refused with status 2 and changes nothing",
     [](Store& s) {
         ASSERT_EQ(s.run("uninstall\n").status, 0);
         const Tree now = s.tree();
         const ProgramRun undo = s.run("", "--undo --read-only");
         EXPECT_EQ(undo.status, 2) << undo.err;
         EXPECT_NE(undo.err.find("read-only"), std::string::npos) << undo.err;
         EXPECT_EQ(differences(now, s.tree()), std::set<std::string>{});
     }},
    {"a read-only run finishes no interrupted change and says so; the next run does",
     [](Store& s) {
         // Killed right after the journal decided the change (3 steps for the
         // new registry file, 4 for the journal).
         const ProgramRun crashed = s.run("uninstall\n", "", "QU_CRASH_AFTER=7");
         ASSERT_EQ(crashed.status, -1) << crashed.err;
         const Tree interrupted = s.tree();
         const ProgramRun look = s.run("state\n", "--read-only");
         EXPECT_EQ(look.status, 0) << look.err;
         EXPECT_NE(look.err.find("an interrupted change is unfinished"), std::string::npos)
             << look.err;
         EXPECT_EQ(differences(interrupted, s.tree()), std::set<std::string>{});
         const ProgramRun next = s.run("");
         EXPECT_EQ(next.status, 0) << next.err;
         EXPECT_NE(next.err.find("finished an interrupted change"), std::string::npos) << next.err;
         EXPECT_NE(s.run("state\n").out.find("\"devices\": []"), std::string::npos);
     }},
    {"files beside the registry that the program did not make are left alone",
     [](Store& s) {
         for (const std::string& name : s.kind().registry) {
             writeWhole(s.folder() / (name + ".tmp"), "the user's");
             writeWhole(s.folder() / (name + ".new"), "the user's");
         }
         const Tree before = s.tree();
         const ProgramRun r = s.run("state\nclose\n");
         EXPECT_EQ(r.status, 0) << r.err;
         EXPECT_EQ(differences(before, s.tree()), std::set<std::string>{});
         ASSERT_EQ(s.run("uninstall\n").status, 0);
         for (const auto& e : fs::directory_iterator(s.folder())) {
             const std::string name = e.path().filename().string();
             EXPECT_TRUE(
                 before.count((fs::path(s.kind().folder) / name).lexically_normal().string()) ||
                 name == "backups")
                 << name;
         }
     }},
    {"a registry file that is a link is refused with status 2 and stays a link",
     [](Store& s) {
         fs::rename(s.registry(), s.outside() / "target");
         fs::create_symlink(s.outside() / "target", s.registry());
         const std::string target = readWhole(s.outside() / "target");
         const Tree before = s.tree();
         const ProgramRun r = s.run("uninstall\n");
         EXPECT_EQ(r.status, 2) << r.err;
         EXPECT_NE(r.err.find("is a symbolic link"), std::string::npos) << r.err;
         EXPECT_EQ(differences(before, s.tree()), std::set<std::string>{});
         EXPECT_EQ(readWhole(s.outside() / "target"), target);
         // Read-only use reads through it.
         EXPECT_EQ(s.run("detect\n", "--read-only").status, 0);
     }},
    {"saved registry files keep their mode and, as root, their owner",
     [](Store& s) {
         for (size_t i = 0; i < s.kind().registry.size(); ++i) {
             fs::permissions(s.registry(i), fs::perms::owner_read | fs::perms::owner_write);
             if (::geteuid() == 0) {
                 ASSERT_EQ(::chown(s.registry(i).c_str(), 4321, 4322), 0);
             }
         }
         const ProgramRun r = s.run("uninstall\n");
         ASSERT_EQ(r.status, 0) << r.err;
         struct stat st;
         ASSERT_EQ(::stat(s.registry().c_str(), &st), 0);
         EXPECT_EQ(st.st_mode & 07777, 0600u);
         if (::geteuid() == 0) {
             EXPECT_EQ(st.st_uid, 4321u);
             EXPECT_EQ(st.st_gid, 4322u);
         }
     }},
    {"a commit stopped while it writes (the file size limit, as a full disk) changes nothing",
     [](Store& s) {
         const Tree before = s.tree();
         const ProgramRun r =
             s.run("uninstall\n", "", "sh -c 'trap \"\" XFSZ; ulimit -f 8; exec \"$@\"' sh");
         EXPECT_EQ(r.status, 1) << r.err;
         EXPECT_NE(r.err.find("cannot write " + s.registry().string() + ".new-"), std::string::npos)
             << r.err;
         EXPECT_NE(r.err.find("File too large"), std::string::npos) << r.err;
         EXPECT_EQ(differences(before, s.tree()), std::set<std::string>{});
     }},
    {"a backups folder that is a link is never followed",
     [](Store& s) {
         fs::create_symlink(s.outside(), s.backups());
         const Tree before = s.tree();
         const ProgramRun r = s.run("uninstall\n");
         EXPECT_EQ(r.status, 2) << r.err;
         EXPECT_EQ(differences(before, s.tree()), std::set<std::string>{});
         EXPECT_TRUE(fs::is_empty(s.outside()));
     }},
};

TEST(StoreKinds, EveryKindKeepsEveryPromise) {
    for (const Promise& promise : kPromises) {
        for (const Kind& kind : kKinds) {
            SCOPED_TRACE(std::string(promise.what) + " (" + kind.name + ")");
            Store store(kind);
            promise.check(store);
        }
    }
}

// The lines of the report of what remains.
std::string remains(const std::string& err) {
    const size_t at = err.find("still on the machine");
    if (at == std::string::npos) return "";
    const size_t end = err.find("\nquorvane-uninstall:", at);
    return err.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// An export and the hives of the same installation report the same remains.
TEST(StoreKinds, TheReportOfWhatRemainsIsTheSameForEveryKind) {
    Store exported(kKinds[1]), hives(kKinds[2]);
    const ProgramRun a = exported.run("uninstall\n");
    const ProgramRun b = hives.run("uninstall\n");
    ASSERT_EQ(a.status, 0) << a.err;
    ASSERT_EQ(b.status, 0) << b.err;
    EXPECT_NE(remains(a.err).find("InstalledInf"), std::string::npos) << a.err;
    EXPECT_NE(remains(a.err).find("C:\\"), std::string::npos) << a.err;
    EXPECT_EQ(remains(b.err), remains(a.err));
}

// Killed after every step of an Uninstall's commit, the next start leaves
// each kind wholly as before the command or wholly as after it, registry and
// files together.
class KindCrashSweep : public testing::TestWithParam<int> {};

TEST_P(KindCrashSweep, TheNextStartFindsItUntouchedOrFullyUninstalled) {
    const Kind& kind = kKinds[GetParam()];
    Store clean(kind);
    const Tree original = clean.treeWithoutBackups();
    ASSERT_EQ(clean.run("uninstall\n").status, 0);
    const Tree uninstalled = clean.treeWithoutBackups();
    ASSERT_FALSE(differences(original, uninstalled).empty());
    int untouched = 0, finished = 0, completedBeforeTheKill = 0;
    for (int step = 1;; ++step) {
        SCOPED_TRACE("killed after step " + std::to_string(step));
        ASSERT_LT(step, 100);
        Store s(kind);
        const ProgramRun crashed =
            s.run("uninstall\n", "", "QU_CRASH_AFTER=" + std::to_string(step));
        if (crashed.status == 0) break;
        ASSERT_EQ(crashed.status, -1) << crashed.err;
        const ProgramRun rerun = s.run("");
        EXPECT_EQ(rerun.status, 0) << rerun.err;
        const Tree now = s.treeWithoutBackups();
        if (differences(original, now).empty()) {
            ++untouched;
        } else {
            EXPECT_EQ(differences(uninstalled, now), std::set<std::string>{});
            rerun.err.find("finished an interrupted change") != std::string::npos
                ? ++finished
                : ++completedBeforeTheKill;
        }
    }
    EXPECT_GT(untouched, 0);
    EXPECT_GT(finished, 0);
}

INSTANTIATE_TEST_SUITE_P(EveryKind, KindCrashSweep, testing::Values(0, 1, 2),
                         [](const testing::TestParamInfo<int>& param) {
                             return std::string(param.param == 0   ? "ImageFolder"
                                                : param.param == 1 ? "BareExport"
                                                                   : "Hives");
                         });

}  // namespace
