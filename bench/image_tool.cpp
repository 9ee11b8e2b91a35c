// Outside Google Benchmark, so that the process's peak memory is the
// program's own (measure with /usr/bin/time -v):
//   qu_bench --write-image DIR MB [v5] [flat]
//       writes an NT image of about MB megabytes of REGEDIT4 (v5: the same
//       registry as a version 5 export, UTF-16) with the supported adapter's
//       INF, precompiled INF and driver on its drive, and prints its shape.
//       The image has the shape of an export of a real machine's hives
//       (export_image.h); `flat` writes the earlier shape instead (every key
//       under System\CurrentControlSet, no parents, devices first).
//   qu_bench --load-image DIR
//       loads it, detects, unloads; prints the times
//   qu_bench --uninstall-image DIR
//       loads it, detects, removes the adapter, commits, searches for what
//       remains, unloads; prints the times. DIR is changed: use a copy.
//   qu_bench --uninstall-on-hives DIR MS
//       as a run of the program on an installation's hives: loads the
//       installation DIR, detects the adapter of slot 1, waits MS
//       milliseconds, removes it and commits; prints the time of the
//       removal and commit in ms (BM_UninstallOnHives). DIR is changed.
#include "bench/image_tool.h"

#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/detect.h"
#include "bench/export_image.h"
#include "bench/image_gen.h"
#include "detection/device_catalogue.h"
#include "removal/nt_removal.h"
#include "winsim/machine.h"
#include "winsim/offline.h"
#include "winsim/safety.h"

namespace fs = std::filesystem;

namespace qu_bench {

namespace {

// The process's peak resident memory so far (VmHWM), in KB.
long peakResidentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

// Wall and CPU time of each phase: on a machine shared with other work the
// CPU time is the steadier figure.
class Phases {
public:
    Phases() { mark(); }
    // Ends the phase `name` begun at the last call.
    void end(const char* name) {
        const auto wall = std::chrono::steady_clock::now();
        const double cpu = cpuMs();
        char text[96];
        std::snprintf(text, sizeof text, "%s%s %.1f ms (CPU %.1f)", line_.empty() ? "" : ", ", name,
                      std::chrono::duration<double, std::milli>(wall - wall_).count(), cpu - cpu_);
        line_ += text;
        mark();
    }
    // Starts the next phase now (time since the last one is not counted).
    void mark() {
        wall_ = std::chrono::steady_clock::now();
        cpu_ = cpuMs();
    }
    const std::string& line() const { return line_; }

private:
    static double cpuMs() {
        timespec ts{};
        ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
    }
    std::chrono::steady_clock::time_point wall_;
    double cpu_ = 0;
    std::string line_;
};

int fail(const std::string& what) {
    std::fprintf(stderr, "qu_bench: %s\n", what.c_str());
    return 1;
}

int writeImageCommand(const std::string& dir, size_t mb, bool v5, bool flat) {
    const unsigned adapter = static_cast<unsigned>(mb * 3);
    std::string reg;
    ExportStats stats;
    if (flat) {
        reg = realisticImage(mb << 20, static_cast<unsigned>(mb * 1000), adapter);
    } else {
        // Each control set: 80 device instances per MB of export; the
        // SOFTWARE subtree fills the rest, about three quarters of the file.
        reg = exportImage(mb << 20, static_cast<unsigned>(mb * 80), adapter, &stats);
    }
    const size_t ansiBytes = reg.size();
    if (v5) reg = toVersion5(reg);
    writeImage(dir, "nt", reg);
    writeAdapterFiles(dir, adapter);
    std::printf("%s/system.reg: %zu bytes (%s; %zu as REGEDIT4)", dir.c_str(), reg.size(),
                v5 ? "version 5" : "REGEDIT4", ansiBytes);
    if (flat) {
        std::printf(", %zu keys\n", keyCount(reg));
    } else {
        std::printf(
            ", %zu keys, %zu values; SYSTEM %zu bytes of REGEDIT4 (ControlSet001, ControlSet002, "
            "Select), SOFTWARE %zu; deepest key %u levels below HKEY_LOCAL_MACHINE\n",
            stats.keys, stats.values, stats.systemBytes, stats.softwareBytes, stats.deepestKey);
    }
    return 0;
}

int loadImageCommand(const std::string& dir) {
    Phases phases;
    std::string error;
    if (!winsim::loadMachine(dir, &error)) return fail(error);
    phases.end("load");
    const long peakLoaded = peakResidentKb();
    const unsigned found = detectNt();
    phases.end("detect");
    const long peakDetected = peakResidentKb();
    winsim::unloadMachine();
    phases.end("unload");
    std::printf("%s, found %u\n", phases.line().c_str(), found);
    std::printf("peak resident: %ld KB after the load, %ld KB after detection\n", peakLoaded,
                peakDetected);
    return found == 1 ? 0 : 1;
}

// As the program's Uninstall runs it, without the dialog: the phases are
// those of BM_GuardUninstall.
int uninstallImageCommand(const std::string& dir) {
    winsim::setCallLogging(false);  // as the program runs
    Phases phases;
    std::string error;
    if (!winsim::loadMachine(dir, &error)) return fail(error);
    phases.end("load");
    int slot = -1;
    if (detectNt(&slot) != 1) return fail(dir + ": the supported adapter was not found once");
    phases.end("detect");
    const DeviceRecord& record = deviceRecord(slot);
    const std::string inf = fs::path(infFilePath(slot)).filename().string();
    const std::vector<std::string> terms = {record.pattern, record.service,
                                            inf.substr(0, inf.rfind('.')),
                                            fs::path(driverFilePath(slot)).filename().string()};
    if (removeNtInstallation(slot, deviceRecord(slot)) != RemovalResult::Removed) {
        return fail(dir + ": the adapter was not removed");
    }
    phases.end("removal");
    ::sync();  // what the load left dirty is not the commit's to flush
    phases.mark();
    winsim::startTraceSearch(terms);  // beside the commit, as the program starts it
    if (!winsim::commit(&error)) return fail(error);
    phases.end("commit");
    const size_t traces = winsim::findTraces(terms, 51).size();
    phases.end("search");
    winsim::endRun();  // as the program ends
    phases.end("unload");
    std::printf("%s, traces %zu\n", phases.line().c_str(), traces);
    std::printf("peak resident: %ld KB\n", peakResidentKb());
    return 0;
}

// An Uninstall on an installation's hives as the program runs it, after
// `delayMs` of an operator's pause between detection and the click.
int uninstallOnHivesCommand(const std::string& dir, unsigned delayMs) {
    winsim::setCallLogging(false);
    winsim::setBackupObserver([](const std::string&) {});
    winsim::LoadOptions options;
    options.installation = true;
    std::string error;
    if (!winsim::loadMachine(dir, options, &error)) return fail(error);
    int slot = -1;
    if (detectNt(&slot) != 1) return fail(dir + ": the supported adapter was not found once");
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    const auto start = std::chrono::steady_clock::now();
    if (removeNtInstallation(slot, deviceRecord(slot)) != RemovalResult::Removed ||
        !winsim::commit(&error)) {
        return fail(dir + ": not removed: " + error);
    }
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    winsim::endRun();
    std::printf("%.3f\n", took.count());
    return 0;
}

}  // namespace

int imageTool(int argc, char** argv) {
    const std::string mode = argv[1];
    if (mode == "--write-image" && argc >= 4 && argc <= 6) {
        bool v5 = false, flat = false, bad = false;
        for (int i = 4; i < argc; ++i) {
            const std::string option = argv[i];
            v5 = v5 || option == "v5";
            flat = flat || option == "flat";
            bad = bad || (option != "v5" && option != "flat");
        }
        char* end = nullptr;
        const unsigned long mb = std::strtoul(argv[3], &end, 10);
        if (!bad && *end == '\0' && mb >= 1 && mb <= 1024) {
            return writeImageCommand(argv[2], mb, v5, flat);
        }
    }
    if (mode == "--load-image" && argc == 3) return loadImageCommand(argv[2]);
    if (mode == "--uninstall-image" && argc == 3) return uninstallImageCommand(argv[2]);
    if (mode == "--uninstall-on-hives" && argc == 4) {
        char* end = nullptr;
        const unsigned long ms = std::strtoul(argv[3], &end, 10);
        if (*end == '\0' && ms <= 60000) {
            return uninstallOnHivesCommand(argv[2], static_cast<unsigned>(ms));
        }
    }
    std::fprintf(stderr,
                 "usage: qu_bench --write-image DIR MB [v5] [flat] | --load-image DIR | "
                 "--uninstall-image DIR | --uninstall-on-hives DIR MS\n");
    return 2;
}

}  // namespace qu_bench
