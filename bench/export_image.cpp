#include "bench/export_image.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "bench/export_text.h"

namespace fs = std::filesystem;

namespace qu_bench {

std::string exportImage(size_t bytes, unsigned instances, unsigned netDevices, ExportStats* stats) {
    Export b;
    Values version;
    version.sz("CurrentVersion", "5.1");
    version.sz("CurrentBuildNumber", "2600");
    version.sz("CSDVersion", "Service Pack 2");
    version.expand("SystemRoot", "C:\\WINDOWS");
    b.key("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", version);
    systemHive(b, instances, std::max(1u, netDevices));
    b.limit(bytes);
    for (unsigned unit = 0; !b.full(); ++unit) softwareUnit(b, unit);
    return b.text(stats);
}

void writeAdapterFiles(const std::string& dir, unsigned adapter) {
    const fs::path windows = fs::path(dir) / "drive_c" / "WINDOWS";
    fs::create_directories(windows / "Inf");
    fs::create_directories(windows / "system32" / "DRIVERS");
    const std::string inf = "oem" + std::to_string(adapter);
    std::ofstream(windows / "Inf" / (inf + ".inf"), std::ios::binary)
        << "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Net\r\nClassGUID=" << kNetClass
        << "\r\n\r\n[Install.ndi]\r\nCopyFiles=kestrelx.CopyFiles\r\n";
    std::ofstream(windows / "Inf" / (inf + ".PNF"), std::ios::binary) << std::string(512, '\x01');
    std::ofstream(windows / "system32" / "DRIVERS" / "kestrelx.sys", std::ios::binary)
        << "MZ" << std::string(4094, '\0');
}

}  // namespace qu_bench
