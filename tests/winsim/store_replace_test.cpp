// The read a commit keeps under a lease from its check to its replace
// (store_replace.h, LeasedRead): it vouches for the file it leased only
// while nothing could have written that file, and only for the content the
// commit's check identified.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "winsim/src/base/posix_file.h"
#include "winsim/src/storage/store_replace.h"

namespace {

namespace fs = std::filesystem;

void writeWhole(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

struct LeaseCase {
    const char* what;
    // Before the lease is taken (the commit's check has identified "reg").
    std::function<void(const fs::path& dir, winsim::Fd* held)> before;
    // While the lease is held.
    std::function<void(const fs::path& dir)> meanwhile;
    const char* asked;  // the name the check looks at
    bool started, holds;
};

const LeaseCase kCases[] = {
    {"nothing touched it", nullptr, nullptr, "reg", true, true},
    {"the same file under the name it was exchanged to", nullptr,
     [](const fs::path& dir) {
         writeWhole(dir / "new", "the new content");
         ASSERT_EQ(::renameat2(AT_FDCWD, (dir / "new").c_str(), AT_FDCWD, (dir / "reg").c_str(),
                               RENAME_EXCHANGE),
                   0);
     },
     "new", true, true},
    {"edited between the check and the lease, same size",
     [](const fs::path& dir, winsim::Fd*) { writeWhole(dir / "reg", "the old contenT"); }, nullptr,
     "reg", true, false},
    {"opened for writing while the lease was held (the writer waits)", nullptr,
     [](const fs::path& dir) {
         const int fd = ::open((dir / "reg").c_str(), O_WRONLY | O_NONBLOCK);
         EXPECT_EQ(fd, -1);
         EXPECT_EQ(errno, EWOULDBLOCK);
     },
     "reg", true, false},
    {"another file renamed over it while the lease was held", nullptr,
     [](const fs::path& dir) {
         writeWhole(dir / "other", "the old content");
         fs::rename(dir / "other", dir / "reg");
     },
     "reg", true, false},
    {"open for writing elsewhere when the lease was asked for",
     [](const fs::path& dir, winsim::Fd* held) {
         *held = winsim::Fd(::open((dir / "reg").c_str(), O_WRONLY));
     },
     nullptr, "reg", false, false},
};

TEST(LeasedRead, VouchesOnlyForTheFileItLeasedWhileNothingCouldWriteIt) {
    for (const LeaseCase& c : kCases) {
        SCOPED_TRACE(c.what);
        char pattern[] = "/tmp/qu-lease-XXXXXX";
        const fs::path dir = ::mkdtemp(pattern);
        writeWhole(dir / "reg", "the old content");
        winsim::Fd folder(::open(dir.c_str(), O_RDONLY | O_DIRECTORY));
        winsim::FileIdentity base;
        ASSERT_TRUE(winsim::identifyFile(folder.get(), "reg", &base));
        winsim::Fd held;
        if (c.before) c.before(dir, &held);
        {
            winsim::LeasedRead read;
            const bool started = read.start(folder.get(), "reg");
            if (!started && c.started) {
                // A file system without leases for this process: nothing to vouch for.
                EXPECT_FALSE(read.holds(folder.get(), c.asked, base));
                fs::remove_all(dir);
                continue;
            }
            EXPECT_EQ(started, c.started);
            if (c.meanwhile) c.meanwhile(dir);
            EXPECT_EQ(read.holds(folder.get(), c.asked, base), c.holds);
        }
        held = winsim::Fd();
        // The lease is given up: a writer gets in at once.
        winsim::Fd writer(::open((dir / "reg").c_str(), O_WRONLY | O_NONBLOCK));
        EXPECT_TRUE(writer.valid()) << std::strerror(errno);
        fs::remove_all(dir);
    }
}

}  // namespace
