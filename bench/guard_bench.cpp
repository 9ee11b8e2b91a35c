// The still-used guard against its goals, on NT images of realistic shape at
// three sizes: N MB with N * 1,000 device instances (N * 3 network
// adapters, the supported one last), as `qu_bench --write-image` makes them.
//
//   BM_GuardStartUp    load and detection, as the program starts
//   BM_GuardPlan       the NT removal run in a trial and undone, as the line
//                      mode's `plan` runs it (the image loaded and detected)
//   BM_GuardUninstall  an Uninstall end to end: start-up, the NT removal, the
//                      command's one commit with its backup, the search for
//                      what remains, the end of the run as the program
//                      ends it (winsim::endRun)
//   BM_GuardWriteCopy  writing and fsyncing a copy of system.reg: the floor
//                      of any commit that replaces it
//
// Goals: plan <= 0.5 x start-up; Uninstall <= 2 x (start-up + write copy).
#include "bench/detect.h"
#include "bench/image_gen.h"
#include "detection/device_catalogue.h"
#include "removal/nt_removal.h"
#include "winsim/machine.h"
#include "winsim/safety.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct GuardImage {
    fs::path dir;                    // the image as generated, never changed
    std::string reg;                 // its system.reg
    unsigned devices;                // device instances
    std::vector<std::string> files;  // the adapter's INF, PNF and driver
};

// The image of `megabytes` MB, written once.
const GuardImage& guardImage(int megabytes) {
    static std::map<int, GuardImage> images;
    auto it = images.find(megabytes);
    if (it != images.end()) return it->second;
    GuardImage image;
    const unsigned mb = static_cast<unsigned>(megabytes);
    image.devices = mb * 1000;
    image.reg = qu_bench::realisticImage(static_cast<size_t>(mb) << 20, image.devices, mb * 3);
    image.dir = qu_bench::scratchDir() / ("guard-" + std::to_string(megabytes));
    qu_bench::writeImage(image.dir.string(), "nt", image.reg);
    // The supported adapter is network adapter N * 3: INF oem<N * 3>.inf.
    const std::string inf = "WINDOWS/Inf/oem" + std::to_string(mb * 3);
    image.files = {inf + ".inf", inf + ".PNF", "WINDOWS/system32/DRIVERS/kestrelx.sys"};
    for (const std::string& file : image.files) {
        const fs::path path = image.dir / "drive_c" / file;
        fs::create_directories(path.parent_path());
        std::ofstream(path) << "x";
    }
    return images.emplace(megabytes, std::move(image)).first->second;
}

// A fresh copy of the image in `dir`.
void copyImage(const GuardImage& image, const fs::path& dir) {
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::copy(image.dir, dir, fs::copy_options::recursive);
}

// Loads `dir` and detects; the slot found, -1 (with `error`) when the
// supported adapter was not found once.
int startUp(const fs::path& dir, std::string* error) {
    if (!winsim::loadMachine(dir.string(), error)) return -1;
    int slot = -1;
    if (qu_bench::detectNt(&slot) != 1) {
        *error = "the supported adapter was not found once";
        return -1;
    }
    return slot;
}

void setSize(benchmark::State& state, const GuardImage& image) {
    state.SetComplexityN(image.devices);
    state.counters["devices"] = image.devices;
    state.counters["MB"] = static_cast<double>(image.reg.size()) / (1 << 20);
}

void BM_GuardStartUp(benchmark::State& state) {
    const GuardImage& image = guardImage(static_cast<int>(state.range(0)));
    winsim::setCallLogging(false);  // as the program runs
    for (auto _ : state) {
        std::string error;
        if (startUp(image.dir, &error) < 0) {
            state.SkipWithError(error.c_str());
            break;
        }
        state.PauseTiming();
        winsim::unloadMachine();
        state.ResumeTiming();
    }
    setSize(state, image);
}

// What the plan line saves and restores of the engine's tables.
struct Tables {
    DeviceRecord record;
    char inf[kPathBufferSize];
    char driver[kPathBufferSize];
};

void BM_GuardPlan(benchmark::State& state) {
    const GuardImage& image = guardImage(static_cast<int>(state.range(0)));
    winsim::setCallLogging(false);
    std::string error;
    const int slot = startUp(image.dir, &error);
    if (slot < 0) {
        state.SkipWithError(error.c_str());
        return;
    }
    size_t planned = 0;
    for (auto _ : state) {
        Tables saved;
        saved.record = deviceRecord(slot);
        std::memcpy(saved.inf, infFilePath(slot), kPathBufferSize);
        std::memcpy(saved.driver, driverFilePath(slot), kPathBufferSize);
        winsim::beginTrial();
        const RemovalResult result = removeNtInstallation(slot, deviceRecord(slot));
        const winsim::Deletions deleted = winsim::endTrial();
        deviceRecord(slot) = saved.record;
        std::memcpy(infFilePath(slot), saved.inf, kPathBufferSize);
        std::memcpy(driverFilePath(slot), saved.driver, kPathBufferSize);
        if (result != RemovalResult::Removed) {
            state.SkipWithError("the plan removes nothing");
            break;
        }
        planned = deleted.files.size();
    }
    winsim::unloadMachine();
    setSize(state, image);
    state.counters["files"] = static_cast<double>(planned);
}

void BM_GuardUninstall(benchmark::State& state) {
    const GuardImage& image = guardImage(static_cast<int>(state.range(0)));
    const fs::path dir = qu_bench::scratchDir() / ("guard-run-" + std::to_string(state.range(0)));
    winsim::setCallLogging(false);
    size_t traces = 0;
    for (auto _ : state) {
        state.PauseTiming();
        winsim::freeEndedRegistries();  // the previous run's, as its process ended
        copyImage(image, dir);
        ::sync();  // the copy just written is not the commit's to flush
        state.ResumeTiming();
        std::string error;
        int slot = startUp(dir, &error);
        // What the program says remains is searched by these, as detection
        // left them: pattern, service, INF name without extension, driver.
        std::vector<std::string> terms;
        if (slot >= 0) {
            const DeviceRecord& record = deviceRecord(slot);
            const std::string inf = fs::path(infFilePath(slot)).filename().string();
            terms = {record.pattern, record.service, inf.substr(0, inf.rfind('.')), "kestrelx.sys"};
        }
        if (slot >= 0 && removeNtInstallation(slot, deviceRecord(slot)) == RemovalResult::Removed) {
            winsim::startTraceSearch(terms);  // beside the commit, as the program starts it
        } else {
            slot = -1;
        }
        if (slot < 0 || !winsim::commit(&error)) {
            state.SkipWithError(error.empty() ? "the adapter was not removed" : error.c_str());
            break;
        }
        traces = winsim::findTraces(terms, 51).size();
        winsim::endRun();  // as the program ends
    }
    winsim::freeEndedRegistries();
    for (const std::string& file : image.files) {
        if (fs::exists(dir / "drive_c" / file)) state.SkipWithError("a file was not deleted");
    }
    setSize(state, image);
    state.counters["traces"] = static_cast<double>(traces);
}

void BM_GuardWriteCopy(benchmark::State& state) {
    const GuardImage& image = guardImage(static_cast<int>(state.range(0)));
    const std::string path = (qu_bench::scratchDir() / "guard-copy.reg").string();
    for (auto _ : state) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        size_t done = 0;
        while (done < image.reg.size()) {
            const ssize_t n = ::write(fd, image.reg.data() + done, image.reg.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        ::fsync(fd);
        ::close(fd);
        state.PauseTiming();
        ::unlink(path.c_str());
        state.ResumeTiming();
    }
    setSize(state, image);
}

#define GUARD_SIZES(bm)                 \
    BENCHMARK(bm)                       \
        ->Arg(10)                       \
        ->Arg(30)                       \
        ->Arg(100)                      \
        ->Unit(benchmark::kMillisecond) \
        ->Iterations(3)                 \
        ->UseRealTime()                 \
        ->Complexity(benchmark::oN)

GUARD_SIZES(BM_GuardStartUp);
GUARD_SIZES(BM_GuardPlan);
GUARD_SIZES(BM_GuardUninstall);
GUARD_SIZES(BM_GuardWriteCopy);

}  // namespace
