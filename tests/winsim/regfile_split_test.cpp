// A load checked on two threads (the lines from a key line on checked by a
// second one) against the load on one: the same refusals, warnings with
// their line numbers, tree, places, and saves, wherever the text is cut.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/support/reg_dump.h"
#include "winsim/src/base/codepage.h"
#include "winsim/src/regfile/regfile.h"

namespace {

using qu_test::allKeys;
using winsim::Registry;
using winsim::RegKey;

// Files with damage anywhere, so that some of it falls just before or after
// any cut: hex values left open by a key line, bad and foreign key lines,
// deletions, values of no key, text in the code page, appended headers and,
// now and then, a line that refuses the file.
std::vector<std::string> damagedFiles() {
    std::vector<std::string> out;
    std::mt19937 rng(2027);
    const char* eols[] = {"\r\n", "\n", "\r"};
    const std::vector<std::string> oddKeyLines = {
        "[ HKEY_LOCAL_MACHINE\\B]",
        "[HKEY_LOCAL_MACHINE\\K0",
        "[HKEY_NOWHERE\\X]",
        "[HKEY_LOCAL_MACHINE\\\\K1]",
        "[-HKEY_LOCAL_MACHINE]",
        "[HKEY_CURRENT_USER\\U]",
        "  [HKEY_LOCAL_MACHINE\\K2\\I]",
        "[hkey_local_machine\\k1]",
        "[HKEY_LOCAL_MACHINE\\\xE9t\xE9]",
        "[-HKEY_CURRENT_USER\\U]",
    };
    const std::vector<std::string> oddLines = {
        "REGEDIT4",
        "; comment",
        "",
        "  02,03",
        "garbage",
        "\"v\"=\"unterminated",
        "@=\"d\"",
        "\"\xE9\"=\"\xE8\"",
        "\"x\"=dword:1234567890",
        "\"h\"=hex(2):41,00",
    };
    for (int n = 0; n < 27; ++n) {
        const std::string eol = eols[n % 3];
        std::string text = "REGEDIT4" + eol + eol;
        const int blocks = 6 + static_cast<int>(rng() % 10);
        const bool refuses = n % 7 == 4;
        const int refuseAt = static_cast<int>(rng() % static_cast<unsigned>(blocks));
        for (int b = 0; b < blocks; ++b) {
            if (refuses && b == refuseAt) {
                text += rng() % 2 ? "[HKEY_LOCAL_MACHINE\\" + std::string(256, 'n') + "]" + eol
                                  : "\"" + std::string(16384, 'v') + "\"=\"\"" + eol;
            }
            if (rng() % 4 == 0) {
                text += oddKeyLines[rng() % oddKeyLines.size()] + eol;
            } else {
                std::string path = rng() % 6 == 0 ? "-HKEY_LOCAL_MACHINE" : "HKEY_LOCAL_MACHINE";
                for (int d = 1 + static_cast<int>(rng() % 4); d > 0; --d)
                    path += "\\K" + std::to_string(rng() % 3);
                text += "[" + path + "]" + eol;
            }
            for (int v = static_cast<int>(rng() % 5); v > 0; --v) {
                const std::string name = "\"v" + std::to_string(rng() % 4) + "\"=";
                switch (rng() % 7) {
                    case 0:
                        text += name + "\"s\"" + eol;
                        break;
                    case 1:
                        text += name + "hex:01,\\" + eol + "  02" + eol;
                        break;
                    case 2:
                        text += name + "hex(7):41,\\" + eol;  // open: ended by what comes
                        break;
                    case 3:
                        text += name + "-" + eol;
                        break;
                    case 4:
                        text += oddLines[rng() % oddLines.size()] + eol;
                        break;
                    default:
                        text += name + "dword:0000000" + std::to_string(rng() % 9) + eol;
                        break;
                }
            }
        }
        out.push_back(text);
        if (n % 3 == 0) {
            out.push_back(
                "\xFF\xFE" +
                winsim::utf8ToUtf16le("Windows Registry Editor Version 5.00" + text.substr(8)));
        }
    }
    return out;
}

struct Loaded {
    bool ok = false;
    std::string error;
    winsim::RegImport import;
};

Loaded load(const std::string& bytes, Registry& r) {
    Loaded l;
    l.ok = winsim::importRegFile(bytes, "s.reg", 1252, r, &l.import, &l.error);
    return l;
}

// The same changes on a registry (picked by `seed` from its keys): what a
// save patches into the text depends on every place the load noted.
std::string changedSave(Registry& r, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<RegKey*> keys = allKeys(r);
    for (int step = 0; step < 3; ++step) {
        RegKey* k = keys[rng() % keys.size()];
        if (rng() % 2 && !k->subkeys.empty()) {
            k->removeSubkey(k->subkeys[rng() % k->subkeys.size()]->name);
            keys = allKeys(r);
        } else if (!k->values().empty()) {
            k->removeValue(k->values()[rng() % k->values().size()].name);
        } else {
            k->setValue("new", 4, {1, 0, 0, 0});
        }
    }
    return winsim::exportRegFile(r, r.sourceFormat, r.codePage);
}

// The places a second thread may start from: line starts, and now and then
// a place inside a line (the cut then moves to a later key line).
std::vector<size_t> cutPlaces(const std::string& file) {
    std::vector<size_t> out;
    for (size_t i = 0; i < file.size(); ++i) {
        if (file[i] == '\n' || (file[i] == '\r' && (i + 1 == file.size() || file[i + 1] != '\n'))) {
            out.push_back(i + (out.size() % 3 == 2 ? 4 : 1));
        }
    }
    return out;
}

TEST(RegFileSplit, TwoThreadsLoadAsOneWhereverTheCutFalls) {
    int loads = 0, refusals = 0, warned = 0;
    for (const std::string& file : damagedFiles()) {
        for (const uint32_t depth : {1u, 3u}) {
            Registry serial;
            serial.checkTwoFrom = 0;
            serial.builtDepth = depth;
            const Loaded one = load(file, serial);
            const std::string dump = qu_test::placesDump(serial);
            const std::string changed =
                one.ok ? changedSave(serial, static_cast<unsigned>(file.size())) : "";
            refusals += one.ok ? 0 : 1;
            warned += one.import.warnings.empty() ? 0 : 1;
            for (const size_t near : cutPlaces(file)) {
                SCOPED_TRACE("cut near " + std::to_string(near) + " of:\n" + file);
                Registry split;
                split.splitNear = near;
                split.builtDepth = depth;
                const Loaded two = load(file, split);
                ++loads;
                ASSERT_EQ(two.ok, one.ok);
                ASSERT_EQ(two.error, one.error);
                ASSERT_EQ(two.import.warnings, one.import.warnings);
                ASSERT_EQ(two.import.codePageUsed, one.import.codePageUsed);
                if (!one.ok) continue;
                ASSERT_EQ(winsim::exportRegFile(split, split.sourceFormat, split.codePage), file);
                ASSERT_EQ(qu_test::placesDump(split), dump);
                ASSERT_EQ(changedSave(split, static_cast<unsigned>(file.size())), changed);
            }
        }
    }
    // The files must give what the property is about.
    EXPECT_GT(loads, 3000);
    EXPECT_GT(refusals, 6);
    EXPECT_GT(warned, 60);
}

// A text at least checkTwoFrom long is cut near its middle.
TEST(RegFileSplit, LargeTextsAreCutNearTheMiddle) {
    std::string file = "REGEDIT4\r\n\r\n";
    for (int k = 0; file.size() < 200000; ++k) {
        file += "[HKEY_LOCAL_MACHINE\\A\\K" + std::to_string(k % 50) + "\\S" + std::to_string(k) +
                "]\r\n\"v\"=hex:01,\\\r\n";  // every value left open by the next key line
    }
    Registry serial;
    serial.checkTwoFrom = 0;
    const Loaded one = load(file, serial);
    Registry two;
    two.checkTwoFrom = 100000;
    const Loaded split = load(file, two);
    ASSERT_TRUE(one.ok && split.ok);
    EXPECT_EQ(split.import.warnings, one.import.warnings);
    EXPECT_EQ(qu_test::placesDump(two), qu_test::placesDump(serial));
}

}  // namespace
