// Growth with the shapes that used to be quadratic, each at three sizes:
// values of one key read after the load, unrelated USB device instances at
// start-up and Uninstall, and instances of the supported adapter at
// Uninstall. Start-up is the load of the image, the detection (the three
// catalogue probes and the NT discovery of the slot found) and the unload;
// an Uninstall is start-up, the NT removal and its one commit.
#include "bench/detect.h"
#include "bench/image_gen.h"
#include "detection/device_catalogue.h"
#include "detection/device_installer.h"
#include "discovery/nt_discovery.h"
#include "removal/nt_removal.h"
#include "winsim/machine.h"
#include "winsim/safety.h"
#include "winsim/src/regfile/regfile.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

namespace fs = std::filesystem;

namespace {

// The image `reg` in `dir`, with the adapter's INF, PNF and driver file.
void writeImage(const fs::path& dir, const std::string& reg) {
    std::error_code ec;
    fs::remove_all(dir, ec);
    qu_bench::writeImage(dir.string(), "nt", reg);
    for (const char* file : {"WINDOWS/Inf/oem2.inf", "WINDOWS/Inf/oem2.PNF",
                             "WINDOWS/system32/DRIVERS/kestrelx.sys"}) {
        const fs::path path = dir / "drive_c" / file;
        fs::create_directories(path.parent_path());
        std::ofstream(path) << "x";
    }
}

// Loads `dir` and detects; the slot found (-1: none, or more than one).
int startUp(const fs::path& dir, std::string* error) {
    if (!winsim::loadMachine(dir.string(), error)) return -1;
    int found = -1;
    const unsigned count = qu_bench::detectNt(&found);
    if (count != 1) *error = "the supported adapter was not found once";
    return count == 1 ? found : -1;
}

// One key with N values, loaded and then every value read (a load alone no
// longer reads them); a lookup of the last one by name first.
void BM_ReadValuesInOneKey(benchmark::State& state) {
    const std::string text = qu_bench::manyValues(static_cast<unsigned>(state.range(0)));
    char last[32];
    std::snprintf(last, sizeof last, "Value%07u", static_cast<unsigned>(state.range(0) - 1));
    size_t read = 0;
    for (auto _ : state) {
        auto registry = std::make_unique<winsim::Registry>();
        winsim::RegImport result;
        std::string error;
        if (!winsim::importRegFile(text, "bench.reg", 1252, *registry, &result, &error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        read = 0;
        const winsim::RegKey* key =
            winsim::findKeyPath(registry->localMachine.get(), "SOFTWARE\\Many");
        if (!key || !key->findValue(last)) {
            state.SkipWithError("the last value is not there");
            break;
        }
        for (const auto& v : key->values()) read += v.data.size() == 4 ? 1 : 0;
        state.PauseTiming();
        registry.reset();
        state.ResumeTiming();
    }
    state.counters["values"] = static_cast<double>(read);
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ReadValuesInOneKey)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

const std::string& usbImage(unsigned others) {
    static std::map<unsigned, std::string> texts;
    auto it = texts.find(others);
    if (it == texts.end()) it = texts.emplace(others, qu_bench::usbInstances(others)).first;
    return it->second;
}

// Start-up with N unrelated USB device instances.
void BM_StartUsbInstances(benchmark::State& state) {
    const unsigned others = static_cast<unsigned>(state.range(0));
    const fs::path dir = qu_bench::scratchDir() / ("usb-start-" + std::to_string(others));
    writeImage(dir, usbImage(others));
    for (auto _ : state) {
        std::string error;
        if (startUp(dir, &error) < 0) {
            state.SkipWithError(error.c_str());
            break;
        }
        winsim::unloadMachine();
    }
    state.SetComplexityN(others);
}
BENCHMARK(BM_StartUsbInstances)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

// Start-up, removal and commit; the image is written afresh, untimed.
void uninstallOn(benchmark::State& state, const std::string& name, const std::string& reg) {
    const fs::path dir = qu_bench::scratchDir() / name;
    for (auto _ : state) {
        state.PauseTiming();
        writeImage(dir, reg);
        ::sync();  // the image just written is not the commit's to flush
        state.ResumeTiming();
        std::string error;
        const int slot = startUp(dir, &error);
        if (slot < 0 || removeNtInstallation(slot, deviceRecord(slot)) != RemovalResult::Removed) {
            state.SkipWithError(error.empty() ? "the adapter was not removed" : error.c_str());
            break;
        }
        if (!winsim::commit(&error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        winsim::unloadMachine();
    }
    if (fs::exists(dir / "drive_c/WINDOWS/Inf/oem2.inf")) state.SkipWithError("INF not deleted");
}

// An Uninstall with N unrelated USB device instances.
void BM_UninstallUsbInstances(benchmark::State& state) {
    const unsigned others = static_cast<unsigned>(state.range(0));
    uninstallOn(state, "usb-uninstall-" + std::to_string(others), usbImage(others));
    state.SetComplexityN(others);
}
BENCHMARK(BM_UninstallUsbInstances)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

// An Uninstall of N instances of the supported adapter.
void BM_UninstallAdapterInstances(benchmark::State& state) {
    const unsigned instances = static_cast<unsigned>(state.range(0));
    uninstallOn(state, "adapter-" + std::to_string(instances),
                qu_bench::adapterInstances(instances));
    state.SetComplexityN(instances);
}
BENCHMARK(BM_UninstallAdapterInstances)
    ->Arg(10)
    ->Arg(100)
    ->Arg(1000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

}  // namespace

namespace {

// The NT image with `keys` keys (one string value each) below a chain of
// `depth` keys.
std::string deepTree(unsigned keys, unsigned depth) {
    std::string text = qu_bench::ntRegistry(1, 100);
    std::string chain = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Deep";
    for (unsigned level = 0; level < depth; ++level) {
        chain += "\\L" + std::to_string(level);
        text += "\r\n[" + chain + "]\r\n";
    }
    for (unsigned k = 0; k < keys; ++k) {
        text += "\r\n[" + chain + "\\Key" + std::to_string(k) + "]\r\n\"Data\"=\"nothing here " +
                std::to_string(k) + "\"\r\n";
    }
    return text;
}

// The search for what remains after an Uninstall over N keys below a chain
// of D keys: every key and string value is looked at, and the cost is the
// keys', whatever the depth.
void BM_FindTracesDeep(benchmark::State& state) {
    const unsigned keys = static_cast<unsigned>(state.range(0));
    const unsigned depth = static_cast<unsigned>(state.range(1));
    const fs::path dir =
        qu_bench::scratchDir() / ("deep-" + std::to_string(keys) + "-" + std::to_string(depth));
    writeImage(dir, deepTree(keys, depth));
    std::string error;
    if (!winsim::loadMachine(dir.string(), &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    size_t found = 0;
    for (auto _ : state) {
        found = winsim::findTraces({"kestrel-never-named"}, 51).size();
        benchmark::DoNotOptimize(found);
    }
    winsim::unloadMachine();
    state.counters["found"] = static_cast<double>(found);
    state.SetComplexityN(keys);
}
BENCHMARK(BM_FindTracesDeep)
    ->Args({10000, 480})
    ->Args({50000, 480})
    ->Args({110000, 480})
    ->Args({110000, 1})
    ->Unit(benchmark::kMillisecond);

}  // namespace
