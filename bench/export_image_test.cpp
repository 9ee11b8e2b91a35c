// The benchmarks' export of real shape: its keys in an export's order, and
// the program on it as on a real export (CurrentControlSet found through
// Select, the adapter detected and removed from ControlSet001 only, every
// other byte of the file kept), as REGEDIT4 and as version 5.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/detect.h"
#include "bench/export_image.h"
#include "bench/image_gen.h"
#include "detection/device_catalogue.h"
#include "removal/nt_removal.h"
#include "winsim/machine.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kBytes = 1 << 20;

const std::string& exportText(qu_bench::ExportStats* stats = nullptr) {
    static qu_bench::ExportStats made;
    static const std::string text = qu_bench::exportImage(kBytes, 80, 3, &made);
    if (stats) *stats = made;
    return text;
}

struct Block {
    std::string path;  // below HKEY_LOCAL_MACHINE
    std::string text;  // the key line to the blank line after its values
};

std::vector<Block> blocks(const std::string& reg) {
    std::vector<Block> out;
    const std::string head = "\r\n[HKEY_LOCAL_MACHINE\\";
    for (size_t at = reg.find(head); at != std::string::npos;) {
        const size_t next = reg.find(head, at + 1);
        const size_t start = at + 2;
        const size_t path = start + head.size() - 2;  // after "[HKEY_LOCAL_MACHINE\"
        const size_t end = next == std::string::npos ? reg.size() : next + 2;
        out.push_back(
            {reg.substr(path, reg.find(']', path) - path), reg.substr(start, end - start)});
        at = next;
    }
    return out;
}

std::string upper(std::string s) {
    for (char& c : s) c = (c == '\\') ? '\x01' : static_cast<char>(std::toupper(c));
    return s;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// UTF-16 text as bytes, units above 255 as '?', for messages.
std::string narrow(const std::string& utf16) {
    std::string out;
    for (size_t i = 0; i + 1 < utf16.size(); i += 2) out += utf16[i + 1] ? '?' : utf16[i];
    return out;
}

TEST(ExportImage, ListsKeysAsAnExportOfTheHivesDoes) {
    qu_bench::ExportStats stats;
    const std::string& reg = exportText(&stats);
    EXPECT_GE(reg.size(), kBytes);
    EXPECT_LE(reg.size(), kBytes + 4096);
    const std::vector<Block> keys = blocks(reg);
    ASSERT_EQ(keys.size(), stats.keys);
    // Sorted by levels without case, so every parent comes first: written
    // as a key of its own, the one before or an ancestor of it.
    std::vector<std::string> open;  // the chain of ancestors of the last key
    for (size_t i = 0; i < keys.size(); ++i) {
        if (i > 0) {
            ASSERT_LT(upper(keys[i - 1].path), upper(keys[i].path)) << keys[i].path;
        }
        const size_t cut = keys[i].path.rfind('\\');
        const std::string parent = cut == std::string::npos ? "" : keys[i].path.substr(0, cut);
        while (!open.empty() && open.back() != parent) open.pop_back();
        ASSERT_TRUE(parent.empty() || !open.empty()) << keys[i].path << " before its parent";
        open.push_back(keys[i].path);
    }
    EXPECT_NE(reg.find("[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\r\n\"Current\"=dword:00000001\r\n"),
              std::string::npos);
    EXPECT_NE(reg.find("[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002\\Enum\\USB\\VID_F3A7&PID_0053]"),
              std::string::npos);
    EXPECT_EQ(reg.find("CurrentControlSet"), std::string::npos);
    EXPECT_GT(stats.softwareBytes, 2 * stats.systemBytes);
    EXPECT_GE(stats.deepestKey, 12u);
}

class ExportImageRun : public testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        char name[] = "/tmp/qu-export-test-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        dir_ = name;
    }
    void TearDown() override {
        winsim::unloadMachine();
        winsim::setMessageSink(nullptr);
        fs::remove_all(dir_);
    }
    fs::path dir_;
};

TEST_P(ExportImageRun, UninstallTakesTheAdapterFromTheCurrentSetAlone) {
    const bool v5 = GetParam();
    const std::string& reg = exportText();
    qu_bench::writeImage(dir_.string(), "nt", v5 ? qu_bench::toVersion5(reg) : reg);
    qu_bench::writeAdapterFiles(dir_.string(), 3);
    std::vector<std::string> messages;
    winsim::setMessageSink([&](const std::string& line) { messages.push_back(line); });
    std::string error;
    ASSERT_TRUE(winsim::loadMachine(dir_.string(), &error)) << error;
    EXPECT_EQ(messages, std::vector<std::string>{});
    EXPECT_EQ(winsim::machineFacts().codePage, 1252u);
    int slot = -1;
    ASSERT_EQ(qu_bench::detectNt(&slot), 1u);
    ASSERT_EQ(removeNtInstallation(slot, deviceRecord(slot)), RemovalResult::Removed);
    ASSERT_TRUE(winsim::commit(&error)) << error;
    winsim::unloadMachine();

    for (const char* file : {"Inf/oem3.inf", "Inf/oem3.PNF", "system32/DRIVERS/kestrelx.sys"}) {
        EXPECT_FALSE(fs::exists(dir_ / "drive_c" / "WINDOWS" / file)) << file;
    }
    // The removed subtrees of ControlSet001, and not one other byte.
    const std::string set = "SYSTEM\\ControlSet001\\";
    const std::vector<std::string> removed = {
        set + "Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0003",
        set + "Enum\\USB\\VID_F3A7&PID_0053", set + "Services\\Eventlog\\System\\kestrelx"};
    std::string expected = "REGEDIT4\r\n\r\n";
    size_t dropped = 0;
    for (const Block& b : blocks(reg)) {
        bool gone = false;
        for (const std::string& r : removed) {
            gone = gone || b.path == r || b.path.rfind(r + "\\", 0) == 0;
        }
        dropped += gone;
        if (!gone) expected += b.text;
    }
    EXPECT_EQ(dropped, 10u);  // class key with its Ndi subtree 6, device 3, source 1
    const std::string saved = readFile(dir_ / "system.reg");
    const std::string want = v5 ? qu_bench::toVersion5(expected) : expected;
    size_t differ = 0;
    while (differ < saved.size() && differ < want.size() && saved[differ] == want[differ]) {
        ++differ;
    }
    EXPECT_EQ(saved.size(), want.size());
    EXPECT_EQ(differ, want.size())
        << "first difference: "
        << (v5 ? narrow(saved.substr(differ & ~size_t{1}, 400)) : saved.substr(differ, 200));
}

INSTANTIATE_TEST_SUITE_P(BothFormats, ExportImageRun, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& param) {
                             return param.param ? "Version5" : "Regedit4";
                         });

}  // namespace
