// Costs of the utility on a simulated machine: .reg import throughput beside
// a plain read of the same file, a detection run on a large NT registry,
// and the 9x registry scrub with many class keys. Each series grows the
// input and lets the library fit the growth.
//
// The images are generated into a temporary directory when the program
// starts and removed when it ends.
#include "bench/detect.h"
#include "bench/image_gen.h"
#include "bench/image_tool.h"
#include "detection/device_catalogue.h"
#include "detection/device_installer.h"
#include "discovery/nt_discovery.h"
#include "discovery/win9x_discovery.h"
#include "removal/win9x_removal.h"
#include "winsim/machine.h"
#include "winsim/src/regfile/regfile.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string readWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// The generated .reg file of about `megabytes` MB, written once.
const fs::path& regFileOfSize(int megabytes) {
    static std::map<int, fs::path> files;
    auto it = files.find(megabytes);
    if (it == files.end()) {
        const fs::path path =
            qu_bench::scratchDir() / ("import-" + std::to_string(megabytes) + "mb.reg");
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            << qu_bench::ntRegistryOfSize(static_cast<size_t>(megabytes) << 20);
        it = files.emplace(megabytes, path).first;
    }
    return it->second;
}

void loadOrDie(const fs::path& dir) {
    std::string error;
    if (!winsim::loadMachine(dir.string(), &error)) {
        std::fprintf(stderr, "bench: %s\n", error.c_str());
        std::exit(1);
    }
}

// ---- .reg import -------------------------------------------------------------------

void BM_ReadFile(benchmark::State& state) {
    const fs::path& path = regFileOfSize(static_cast<int>(state.range(0)));
    size_t bytes = 0;
    for (auto _ : state) {
        const std::string text = readWhole(path);
        bytes = text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.SetComplexityN(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_ReadFile)
    ->Arg(1)
    ->Arg(10)
    ->Arg(100)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

// Reading the file and importing it into an empty registry; freeing the
// registry afterwards is not timed.
void BM_ImportRegFile(benchmark::State& state) {
    const fs::path& path = regFileOfSize(static_cast<int>(state.range(0)));
    size_t bytes = 0, keys = 0;
    for (auto _ : state) {
        const std::string text = readWhole(path);
        bytes = text.size();
        auto registry = std::make_unique<winsim::Registry>();
        winsim::RegImport result;
        std::string error;
        if (!winsim::importRegFile(text, path.string(), 1252, *registry, &result, &error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        state.PauseTiming();
        if (keys == 0) keys = qu_bench::keyCount(text);
        registry.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.SetComplexityN(static_cast<int64_t>(bytes));
    state.counters["keys"] = static_cast<double>(keys);
}
BENCHMARK(BM_ImportRegFile)
    ->Arg(1)
    ->Arg(10)
    ->Arg(100)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

// ---- Shapes that were quadratic -----------------------------------------------------

void importText(benchmark::State& state, const std::string& text) {
    for (auto _ : state) {
        auto registry = std::make_unique<winsim::Registry>();
        winsim::RegImport result;
        std::string error;
        if (!winsim::importRegFile(text, "bench.reg", 1252, *registry, &result, &error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        state.PauseTiming();
        registry.reset();
        state.ResumeTiming();
    }
    state.SetComplexityN(state.range(0));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// One key with N values: every value line looks its name up first.
void BM_ImportValuesInOneKey(benchmark::State& state) {
    importText(state, qu_bench::manyValues(static_cast<unsigned>(state.range(0))));
}
BENCHMARK(BM_ImportValuesInOneKey)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

// One key with N subkeys listed in reverse order.
void BM_ImportReverseSubkeys(benchmark::State& state) {
    importText(state, qu_bench::reverseSubkeys(static_cast<unsigned>(state.range(0))));
}
BENCHMARK(BM_ImportReverseSubkeys)
    ->Arg(2000)
    ->Arg(20000)
    ->Arg(200000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

// ---- Detection ----------------------------------------------------------------------

// The engine's part of a detection run on the NT family: probe the three
// catalogue slots among `netDevices` network adapters and trace each found
// installation. Keys = 100 per network device.
void BM_DetectionNt(benchmark::State& state) {
    const unsigned netDevices = static_cast<unsigned>(state.range(0));
    const unsigned keys = netDevices * 100;
    const fs::path dir = qu_bench::scratchDir() / ("detect-" + std::to_string(netDevices));
    if (!fs::exists(dir)) qu_bench::writeImage(dir, "nt", qu_bench::ntRegistry(netDevices, keys));
    loadOrDie(dir);
    unsigned found = 0;
    for (auto _ : state) {
        found = qu_bench::detectNt();
        state.PauseTiming();
        winsim::resetCallCounts();  // the call log would grow with every run
        state.ResumeTiming();
    }
    winsim::unloadMachine();
    if (found != 1) state.SkipWithError("the supported adapter was not found");
    state.SetComplexityN(keys);
    state.counters["netDevices"] = netDevices;
    state.counters["keys"] = keys;
}
BENCHMARK(BM_DetectionNt)
    ->Arg(10)
    ->Arg(100)
    ->Arg(1000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

// ---- 9x scrub ------------------------------------------------------------------------

// scrub9xRegistry with `classKeys` network class keys, a tenth of them the
// adapter's, and as many device-interface keys. Every deletion saves the
// whole registry to system.reg, as the machine does after each change.
void BM_Scrub9x(benchmark::State& state) {
    const unsigned classKeys = static_cast<unsigned>(state.range(0));
    const fs::path dir = qu_bench::scratchDir() / ("scrub-" + std::to_string(classKeys));
    const std::string reg = qu_bench::win9xRegistry(classKeys);
    qu_bench::writeImage(dir, "9x", reg);
    loadOrDie(dir);
    DeviceRecord& record = deviceRecord(0);
    if (!probeDevice(networkClassGuid(), cataloguePattern(0), record) ||
        !discover9xInstallation(0, "C:\\WINDOWS", record)) {
        state.SkipWithError("the supported adapter was not found");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        std::ofstream(dir / "system.reg", std::ios::binary | std::ios::trunc) << reg;
        loadOrDie(dir);
        winsim::resetCallCounts();
        state.ResumeTiming();
        scrub9xRegistry(record);
    }
    state.counters["deletions"] = winsim::callCount("RegDeleteKeyA");
    winsim::unloadMachine();
    state.SetComplexityN(classKeys);
}
BENCHMARK(BM_Scrub9x)
    ->Arg(100)
    ->Arg(300)
    ->Arg(1000)
    ->Arg(3000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]).rfind("--", 0) == 0 &&
        std::string(argv[1]).rfind("--benchmark", 0) != 0) {
        return qu_bench::imageTool(argc, argv);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
