// The commit of an Uninstall on a large image: the program's registry
// changes and file deletions of one command go to disk in one commit (new
// system.reg, journal, rename, file operations; see winsim/src/storage/store.h).
// Beside it, the time to read the same file as `cat` does. The image is the
// supported adapter among software keys, at three sizes.
#include "bench/image_gen.h"
#include "detection/device_catalogue.h"
#include "detection/device_installer.h"
#include "discovery/nt_discovery.h"
#include "removal/nt_removal.h"
#include "winsim/machine.h"
#include "winsim/safety.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The system.reg text of about `megabytes` MB with the adapter, made once.
const std::string& imageText(int megabytes) {
    static std::map<int, std::string> texts;
    auto it = texts.find(megabytes);
    if (it == texts.end()) {
        // A software key of the generator is about 330 bytes.
        const unsigned keys = static_cast<unsigned>((static_cast<size_t>(megabytes) << 20) / 330);
        it = texts.emplace(megabytes, qu_bench::ntRegistry(2, keys)).first;
    }
    return it->second;
}

const char* const kAdapterFiles[] = {"WINDOWS/Inf/oem2.inf", "WINDOWS/Inf/oem2.PNF",
                                     "WINDOWS/system32/DRIVERS/kestrelx.sys"};

void writeImage(const fs::path& dir, const std::string& reg) {
    qu_bench::writeImage(dir.string(), "nt", reg);
    for (const char* file : kAdapterFiles) {
        const fs::path path = dir / "drive_c" / file;
        fs::create_directories(path.parent_path());
        std::ofstream(path) << "x";
    }
}

// The median of the wall times of single iterations (ms): on a shared
// machine a few slow iterations move the mean far more than the median.
double medianMs(std::vector<double> times) {
    if (times.empty()) return 0;
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

double sinceMs(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

// What `cat file >/dev/null` does: read it through a 128 KiB buffer.
void BM_CatSystemReg(benchmark::State& state) {
    const int megabytes = static_cast<int>(state.range(0));
    const fs::path dir = qu_bench::scratchDir() / ("cat-" + std::to_string(megabytes));
    writeImage(dir, imageText(megabytes));
    const std::string path = (dir / "system.reg").string();
    std::vector<char> buffer(128 << 10);
    size_t bytes = 0;
    for (auto _ : state) {
        const int fd = ::open(path.c_str(), O_RDONLY);
        bytes = 0;
        for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;) {
            bytes += static_cast<size_t>(n);
        }
        ::close(fd);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.counters["MB"] = static_cast<double>(bytes) / (1 << 20);
}
BENCHMARK(BM_CatSystemReg)->Arg(10)->Arg(50)->Arg(100)->Unit(benchmark::kMillisecond);

// The floor of any commit that replaces the file: write a copy of it into
// a new file and fsync it (what `cp` plus `sync` of the file cost).
void BM_WriteCopySystemReg(benchmark::State& state) {
    const int megabytes = static_cast<int>(state.range(0));
    const fs::path dir = qu_bench::scratchDir() / ("copy-" + std::to_string(megabytes));
    const std::string& reg = imageText(megabytes);
    fs::create_directories(dir);
    const std::string path = (dir / "copy.reg").string();
    std::vector<double> times;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        size_t done = 0;
        while (done < reg.size()) {
            const ssize_t n = ::write(fd, reg.data() + done, reg.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        ::fsync(fd);
        ::close(fd);
        times.push_back(sinceMs(start));
        state.PauseTiming();
        ::unlink(path.c_str());
        state.ResumeTiming();
    }
    state.counters["MB"] = static_cast<double>(reg.size()) / (1 << 20);
    state.counters["median_ms"] = medianMs(times);
}
BENCHMARK(BM_WriteCopySystemReg)->Arg(10)->Arg(50)->Arg(100)->Unit(benchmark::kMillisecond);

// Detection and removal of the adapter run untimed (their changes are
// staged); the commit is timed, with its backup (as the program makes one).
// `commits` counts the system.reg replacements per Uninstall: one.
void BM_UninstallCommit(benchmark::State& state) {
    const int megabytes = static_cast<int>(state.range(0));
    const fs::path dir = qu_bench::scratchDir() / ("commit-" + std::to_string(megabytes));
    const std::string& reg = imageText(megabytes);
    int renames = 0, steps = 0;
    std::vector<double> times;
    winsim::setCommitStepHook([&](int, const char* what) {
        ++steps;
        if (std::string(what) == "rename" || std::string(what) == "exchange") ++renames;
    });
    winsim::setBackupObserver([](const std::string&) {});
    for (auto _ : state) {
        state.PauseTiming();
        winsim::unloadMachine();
        fs::remove_all(dir);
        writeImage(dir, reg);
        std::string error;
        if (!winsim::loadMachine(dir.string(), &error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        DeviceRecord& record = deviceRecord(1);
        if (!probeDevice(networkClassGuid(), cataloguePattern(1), record) ||
            !discoverNtInstallation(1, "C:\\WINDOWS", record) ||
            removeNtInstallation(1, record) != RemovalResult::Removed) {
            state.SkipWithError("the adapter was not found or not removed");
            break;
        }
        winsim::resetCallCounts();
        ::sync();  // the image just written is not the commit's to flush
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        if (!winsim::commit(&error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        times.push_back(sinceMs(start));
    }
    winsim::setCommitStepHook(nullptr);
    winsim::setBackupObserver(nullptr);
    for (const char* file : kAdapterFiles) {
        if (fs::exists(dir / "drive_c" / file)) state.SkipWithError("a file was not deleted");
    }
    winsim::unloadMachine();
    state.counters["MB"] = static_cast<double>(reg.size()) / (1 << 20);
    state.counters["commits"] =
        static_cast<double>(renames) / static_cast<double>(state.iterations());
    state.counters["steps"] = static_cast<double>(steps) / static_cast<double>(state.iterations());
    state.counters["median_ms"] = medianMs(times);
}
BENCHMARK(BM_UninstallCommit)
    ->Arg(10)
    ->Arg(50)
    ->Arg(100)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

}  // namespace
