// Opening the hive files of a 2000/XP installation and running detection on
// them, beside reading the system hive once: a 100 MB system hive whose bulk
// lies where detection never looks (the file is mapped; only the subtrees
// the simulated API reads are loaded).
#include <fcntl.h>
#include <hivex.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/detect.h"
#include "bench/image_gen.h"
#include "tests/support/hive_writer.h"
#include "winsim/machine.h"
#include "winsim/offline.h"
#include "winsim/safety.h"

namespace fs = std::filesystem;

namespace {

// The detection content of a large installation (100 network adapters,
// the supported one last) as an offline export.
std::string offlineExport() {
    std::string reg = qu_bench::ntRegistry(100, 2000);
    const std::string from = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\";
    const std::string to = "HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\";
    for (size_t at = reg.find(from); at != std::string::npos; at = reg.find(from, at)) {
        reg.replace(at, from.size(), to);
    }
    reg +=
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\r\n\"Current\"=dword:00000001\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
        "\"CurrentVersion\"=\"5.1\"\r\n\"CurrentBuildNumber\"=\"2600\"\r\n\r\n";
    return reg;
}

// A drive with WINDOWS/system32/config/{system,software}; the system hive
// is filled up to about `megabytes` MB with keys holding 64 KB binary
// values (as large hives carry caches and copies detection never reads).
fs::path installationOfSize(int megabytes) {
    char pattern[] = "/tmp/qu-hive-bench-XXXXXX";
    const fs::path root = ::mkdtemp(pattern);
    const fs::path config = root / "WINDOWS" / "system32" / "config";
    fs::create_directories(config);
    const std::string reg = offlineExport();
    std::string error;
    if (!qu_test::writeHiveFromReg(reg, "HKEY_LOCAL_MACHINE\\SYSTEM", (config / "system").string(),
                                   &error) ||
        !qu_test::writeHiveFromReg(reg, "HKEY_LOCAL_MACHINE\\SOFTWARE",
                                   (config / "software").string(), &error)) {
        std::fprintf(stderr, "bench: %s\n", error.c_str());
        std::exit(1);
    }
    hive_h* h = hivex_open((config / "system").c_str(), HIVEX_OPEN_WRITE);
    const hive_node_h bulk = hivex_node_add_child(h, hivex_root(h), "Bulk");
    std::string blob(64 << 10, '\x5A');
    const int count = megabytes * 14;  // 64 KB each, with the hive's overhead
    for (int i = 0; i < count; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "K%05d", i);
        const hive_node_h key = hivex_node_add_child(h, bulk, name);
        hive_set_value v{const_cast<char*>("Data"), hive_t_REG_BINARY, blob.size(), blob.data()};
        hivex_node_set_values(h, key, 1, &v, 0);
    }
    hivex_commit(h, nullptr, 0);
    hivex_close(h);
    return root;
}

std::string readWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

long statusKb(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::string(field).size()));
    }
    return -1;
}

// Made on first use, removed when the program ends.
struct TempInstallation {
    fs::path root;
    ~TempInstallation() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
};

const fs::path& installation() {
    static const TempInstallation made{installationOfSize(100)};
    return made.root;
}

void BM_ReadSystemHive(benchmark::State& state) {
    const fs::path file = installation() / "WINDOWS" / "system32" / "config" / "system";
    size_t bytes = 0;
    for (auto _ : state) {
        const std::string data = readWhole(file);
        bytes = data.size();
        benchmark::DoNotOptimize(data.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.counters["hiveMB"] = static_cast<double>(bytes) / (1 << 20);
}
BENCHMARK(BM_ReadSystemHive)->Unit(benchmark::kMillisecond);

// Loading the installation (hive files found, the needed subtrees loaded,
// machine facts read) and the engine's detection run on it. peakRssMB: the
// growth of the peak resident size over the run; anonMB: the growth of
// private memory (what the program allocates) at the end of detection;
// fileRssMB: file pages resident at that point (the program's own and the
// hive's, mapped by the structure check, once touched).
void BM_OpenHivesAndDetect(benchmark::State& state) {
    const fs::path root = installation();
    winsim::LoadOptions options;
    options.installation = true;
    options.readOnly = true;
    unsigned found = 0;
    long peakGrowth = 0, anonGrowth = 0, fileResident = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::ofstream("/proc/self/clear_refs") << "5";  // resets the peak
        const long before = statusKb("VmRSS:");
        const long anonBefore = statusKb("RssAnon:");
        state.ResumeTiming();
        std::string error;
        if (!winsim::loadMachine(root.string(), options, &error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        found = qu_bench::detectNt();
        state.PauseTiming();
        peakGrowth = std::max(peakGrowth, statusKb("VmHWM:") - before);
        anonGrowth = std::max(anonGrowth, statusKb("RssAnon:") - anonBefore);
        fileResident = std::max(fileResident, statusKb("RssFile:"));
        winsim::unloadMachine();
        winsim::resetCallCounts();
        state.ResumeTiming();
    }
    if (found != 1) state.SkipWithError("the supported adapter was not found");
    state.counters["peakRssMB"] = static_cast<double>(peakGrowth) / 1024;
    state.counters["anonMB"] = static_cast<double>(anonGrowth) / 1024;
    state.counters["fileRssMB"] = static_cast<double>(fileResident) / 1024;
}
BENCHMARK(BM_OpenHivesAndDetect)->Unit(benchmark::kMillisecond);

// The report of what remains on the installation: both hives checked and
// read whole (names and strings) and searched for the adapter's names.
void BM_WhatRemainsOnHives(benchmark::State& state) {
    winsim::LoadOptions options;
    options.installation = true;
    options.readOnly = true;
    std::string error;
    if (!winsim::loadMachine(installation().string(), options, &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    size_t found = 0;
    for (auto _ : state) {
        found = winsim::findTraces({"kestrelx", "VID_F3A7&PID_0053"}, 51).size();
    }
    winsim::unloadMachine();
    if (found == 0) state.SkipWithError("the adapter's traces were not found");
    state.counters["traces"] = static_cast<double>(found);
}
BENCHMARK(BM_WhatRemainsOnHives)->Unit(benchmark::kMillisecond);

// The floor of any commit that replaces the hive: copy it into a new file
// and fsync the copy (what `cp` plus `sync` of the file cost).
void BM_CopyAndFsyncSystemHive(benchmark::State& state) {
    const fs::path file = installation() / "WINDOWS" / "system32" / "config" / "system";
    const fs::path copy = installation() / "copy";
    std::vector<char> buffer(size_t{1} << 20);
    for (auto _ : state) {
        const int in = ::open(file.c_str(), O_RDONLY);
        const int out = ::open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        for (ssize_t n; (n = ::read(in, buffer.data(), buffer.size())) > 0;) {
            if (::write(out, buffer.data(), static_cast<size_t>(n)) != n) break;
        }
        ::fsync(out);
        ::close(out);
        ::close(in);
        state.PauseTiming();
        fs::remove(copy);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_CopyAndFsyncSystemHive)->Unit(benchmark::kMillisecond);

// An Uninstall on the installation's hives: the removal of the adapter
// found by detection and the commit of its changes, the backup before it
// included (the system hive kept in the backup, the new hive written through
// hivex, journal, replace). The argument: milliseconds between detection
// and the Uninstall (0: a script that uninstalls at once). A run that may
// write opens the hives for writing beside its other work from the load on;
// an Uninstall that comes before that is done waits for it. Each run is a
// process of its own (`qu_bench --uninstall-on-hives`), as each run of the
// program is, and times itself from the removal on: a process that has
// run the command before has its memory at hand already.
void BM_UninstallOnHives(benchmark::State& state) {
    const fs::path root = installation().string() + "-uninstall";
    const std::string delay = std::to_string(state.range(0));
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    for (auto _ : state) {
        fs::remove_all(root);
        fs::copy(installation(), root, fs::copy_options::recursive);
        ::sync();  // the copy just made is not the commit's to flush
        const std::string command =
            "'" + self + "' --uninstall-on-hives '" + root.string() + "' " + delay;
        FILE* run = ::popen(command.c_str(), "r");
        char line[64] = {};
        const bool read = run != nullptr && std::fgets(line, sizeof line, run) != nullptr;
        const int status = run != nullptr ? ::pclose(run) : -1;
        char* end = nullptr;
        const double ms = read ? std::strtod(line, &end) : 0;
        if (status != 0 || !read || end == line) {
            state.SkipWithError("the Uninstall on the hives failed");
            break;
        }
        state.SetIterationTime(ms / 1000);
    }
    std::error_code ignored;
    fs::remove_all(root, ignored);
}
BENCHMARK(BM_UninstallOnHives)->Arg(0)->Arg(1000)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
