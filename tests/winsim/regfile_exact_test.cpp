// Exact saves: a save is the loaded file patched with what changed, and
// nothing else; Windows' limits refuse a file; the change log undoes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>

#include "tests/support/reg_dump.h"
#include "winsim/src/base/codepage.h"
#include "winsim/src/regfile/regfile.h"

namespace {

namespace fs = std::filesystem;
using qu_test::allKeys;
using qu_test::placesDump;
using winsim::Registry;
using winsim::RegKey;

std::vector<uint8_t> sz(const std::string& s) {
    std::vector<uint8_t> v(s.begin(), s.end());
    v.push_back(0);
    return v;
}

std::vector<uint8_t> dword(uint32_t d) {
    return {static_cast<uint8_t>(d), static_cast<uint8_t>(d >> 8), static_cast<uint8_t>(d >> 16),
            static_cast<uint8_t>(d >> 24)};
}

// Every key and value of a registry, one line each, in tree order.
std::string dump(const Registry& r) {
    std::ostringstream out;
    std::vector<const RegKey*> stack = {r.localMachine.get()};
    for (const auto& root : r.otherRoots) {
        if (!root->subkeys.empty() || !root->values().empty()) stack.push_back(root.get());
    }
    while (!stack.empty()) {
        const RegKey* k = stack.back();
        stack.pop_back();
        // Names without case: a key keeps the spelling it was created with,
        // and a save may remove the line that created it.
        std::string path;
        for (const RegKey* p = k; p; p = p->parent) path = p->fold + "\\" + path;
        out << "[" << path << "]" << (k->deleted ? " deleted" : "") << "\n";
        for (const auto& v : k->values()) {
            out << "  " << winsim::foldName(v.name) << " " << v.type << ":";
            for (uint8_t b : v.data) out << ' ' << static_cast<int>(b);
            out << "\n";
        }
        for (auto it = k->subkeys.rbegin(); it != k->subkeys.rend(); ++it) {
            if ((*it)->parent != k) out << "  bad parent " << (*it)->name << "\n";
            stack.push_back(it->get());
        }
    }
    return out.str();
}

bool load(const std::string& bytes, Registry& r, std::string* error = nullptr) {
    winsim::RegImport imported;
    std::string scratch;
    return winsim::importRegFile(bytes, "t.reg", 1252, r, &imported, error ? error : &scratch);
}

// What a save writes; a commit gets the same bytes in pieces (the
// unchanged ranges straight from the base text), checked on every save.
std::string save(const Registry& r) {
    const std::string whole = winsim::exportRegFile(r, r.sourceFormat, r.codePage);
    std::string pieces;
    size_t count = 0;
    EXPECT_TRUE(
        winsim::exportRegFile(r, r.sourceFormat, r.codePage, [&](const char* data, size_t size) {
            pieces.append(data, size);
            ++count;
            return true;
        }));
    EXPECT_EQ(pieces, whole);
    if (count > 1) {
        // A sink that refuses a piece stops the save there.
        size_t calls = 0;
        EXPECT_FALSE(winsim::exportRegFile(r, r.sourceFormat, r.codePage,
                                           [&](const char*, size_t) { return ++calls < 2; }));
        EXPECT_EQ(calls, 2u);
    }
    return whole;
}

RegKey* key(Registry& r, const std::string& path) {
    return winsim::findKeyPath(r.localMachine.get(), path);
}

RegKey* createPath(Registry& r, const std::string& path) {
    std::vector<std::string> parts;
    winsim::splitKeyPath(path, &parts);
    RegKey* k = r.localMachine.get();
    for (const auto& p : parts) k = k->createSubkey(p);
    return k;
}

std::string u16(const std::string& utf8) { return "\xFF\xFE" + winsim::utf8ToUtf16le(utf8); }

struct Case {
    const char* name;
    std::string before;
    std::function<void(Registry&)> change;
    std::string after;
};

TEST(RegFileExact, HostileFilesChangeOnlyWhatChanged) {
    const std::string lone = std::string("\x00\xD8", 2);  // an unpaired surrogate
    const Case cases[] = {
        {"comments, blank lines and spacing stay; LF ends; a value set",
         "REGEDIT4\n\n; top comment\n[HKEY_LOCAL_MACHINE\\A]\n  \"x\" =  \"1\"   ; keep me\n\n"
         "# hash comment\n\"y\"=dword:1\n",
         [](Registry& r) { key(r, "A")->setValue("y", 4, dword(2)); },
         "REGEDIT4\n\n; top comment\n[HKEY_LOCAL_MACHINE\\A]\n  \"x\" =  \"1\"   ; keep me\n\n"
         "# hash comment\n\"y\"=dword:00000002\n"},
        {"CR ends; a new value goes after the block's last value line",
         "REGEDIT4\r\r[HKEY_LOCAL_MACHINE\\A]\r\"x\"=\"1\"\r; "
         "trailing\r\r[HKEY_LOCAL_MACHINE\\B]\r",
         [](Registry& r) { key(r, "A")->setValue("z", 1, sz("new")); },
         "REGEDIT4\r\r[HKEY_LOCAL_MACHINE\\A]\r\"x\"=\"1\"\r\"z\"=\"new\"\r; trailing\r\r"
         "[HKEY_LOCAL_MACHINE\\B]\r"},
        {"unsorted keys; a deleted key takes every block of its subtree",
         "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Z]\r\n\"a\"=\"1\"\r\n\r\n[HKEY_LOCAL_"
         "MACHINE\\A\\Sub]\r\n"
         "\"s\"=\"2\"\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"b\"=\"3\"\r\n\r\n[HKEY_LOCAL_MACHINE\\Z]"
         "\r\n"
         "\"c\"=\"4\"\r\n\r\n",
         [](Registry& r) { r.localMachine->removeSubkey("a"); },
         "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Z]\r\n\"a\"=\"1\"\r\n\r\n[HKEY_LOCAL_MACHINE\\Z]\r\n"
         "\"c\"=\"4\"\r\n\r\n"},
        {"a key in two blocks gets its new value in the last one",
         "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Z]\r\n\"a\"=\"1\"\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n"
         "\r\n[HKEY_LOCAL_MACHINE\\z]\r\n\"c\"=\"4\"\r\n\r\n",
         [](Registry& r) { key(r, "Z")->setValue("d", 4, dword(5)); },
         "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Z]\r\n\"a\"=\"1\"\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n"
         "\r\n[HKEY_LOCAL_MACHINE\\z]\r\n\"c\"=\"4\"\r\n\"d\"=dword:00000005\r\n\r\n"},
        {"a value defined twice: deleting it removes both lines",
         "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"x\"=\"1\"\n\"y\"=\"2\"\n\"X\"=\"3\"\n",
         [](Registry& r) { key(r, "K")->removeValue("x"); },
         "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"y\"=\"2\"\n"},
        {"a value defined twice: a change rewrites the line that wins",
         "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"x\"=\"1\"\n\"y\"=\"2\"\n\"X\"=\"3\"\n",
         [](Registry& r) { key(r, "K")->setValue("X", 1, sz("9")); },
         "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"x\"=\"1\"\n\"y\"=\"2\"\n\"x\"=\"9\"\n"},
        {"v5 UTF-16: odd-length and open hex(2)/hex(7) with continuation stay",
         u16("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n"
             "\"odd\"=hex(2):41,00,42\r\n\"open\"=hex(7):41,00,\\\r\n  42,00\r\n"
             "\"v\"=dword:00000001\r\n"),
         [](Registry& r) { key(r, "K")->setValue("v", 4, dword(2)); },
         u16("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n"
             "\"odd\"=hex(2):41,00,42\r\n\"open\"=hex(7):41,00,\\\r\n  42,00\r\n"
             "\"v\"=dword:00000002\r\n")},
        {"v5 UTF-16: a lone surrogate stays; a value deleted",
         u16("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"s\"=\"") +
             lone + winsim::utf8ToUtf16le("\"\r\n\"t\"=\"1\"\r\n"),
         [](Registry& r) { key(r, "K")->removeValue("t"); },
         u16("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"s\"=\"") +
             lone + winsim::utf8ToUtf16le("\"\r\n")},
        {"unknown lines stay; an empty new leaf key gets its own line",
         "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\nnoise line\n\"a\"=\"1\"\n",
         [](Registry& r) { key(r, "K")->createSubkey("New"); },
         "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\nnoise "
         "line\n\"a\"=\"1\"\n[HKEY_LOCAL_MACHINE\\K\\New]\n\n"},
        {"a key deleted by a [-KEY] line comes back after that line",
         "REGEDIT4\n[HKEY_LOCAL_MACHINE\\P]\n[HKEY_LOCAL_MACHINE\\P\\K]\n\"a\"=\"1\"\n"
         "[-HKEY_LOCAL_MACHINE\\P\\K]\n[HKEY_LOCAL_MACHINE\\Q]\n",
         [](Registry& r) { createPath(r, "P\\K")->setValue("b", 1, sz("2")); },
         "REGEDIT4\n[HKEY_LOCAL_MACHINE\\P]\n[HKEY_LOCAL_MACHINE\\P\\K]\n\"a\"=\"1\"\n"
         "[-HKEY_LOCAL_MACHINE\\P\\K]\n[HKEY_LOCAL_MACHINE\\P\\K]\n\"b\"=\"2\"\n\n"
         "[HKEY_LOCAL_MACHINE\\Q]\n"},
        {"lines of a key deleted in the text still make its parents: a deletion line follows",
         "REGEDIT4\n[HKEY_LOCAL_MACHINE\\S\\Q\\Leaf]\n[-HKEY_LOCAL_MACHINE\\S\\Q\\Leaf]\n"
         "[HKEY_LOCAL_MACHINE\\S\\Other]\n",
         [](Registry& r) { r.localMachine->removeSubkey("S"); },
         "REGEDIT4\n[HKEY_LOCAL_MACHINE\\S\\Q\\Leaf]\n[-HKEY_LOCAL_MACHINE\\S\\Q\\Leaf]\n"
         "[-HKEY_LOCAL_MACHINE\\S]\n"},
        {"values after a deletion line belong to no key, and a new key does not take them",
         "REGEDIT4\n[HKEY_LOCAL_MACHINE\\P]\n[HKEY_LOCAL_MACHINE\\P\\K]\n[-HKEY_LOCAL_"
         "MACHINE\\P\\K]\n"
         "\"orphan\"=\"1\"\n[HKEY_LOCAL_MACHINE\\Q]\n",
         [](Registry& r) { createPath(r, "P\\K")->setValue("v", 1, sz("2")); },
         "REGEDIT4\n[HKEY_LOCAL_MACHINE\\P]\n[HKEY_LOCAL_MACHINE\\P\\K]\n[-HKEY_LOCAL_"
         "MACHINE\\P\\K]\n"
         "\"orphan\"=\"1\"\n[HKEY_LOCAL_MACHINE\\P\\K]\n\"v\"=\"2\"\n\n[HKEY_LOCAL_MACHINE\\Q]\n"},
        {"a value deleted by a \"x\"=- line comes back after that line",
         "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"x\"=\"1\"\n\"x\"=-\n; end\n",
         [](Registry& r) { key(r, "K")->setValue("x", 1, sz("2")); },
         "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"x\"=\"1\"\n\"x\"=-\n\"x\"=\"2\"\n; end\n"},
        {"no line end at the end of the file", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"a\"=\"1\"",
         [](Registry& r) { key(r, "K")->setValue("b", 1, sz("2")); },
         "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"a\"=\"1\"\n\"b\"=\"2\"\n"},
        {"a hex value the end of the file completed is closed before text follows it",
         "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"o\"=hex:01,\\\r\n; c\r\n",
         [](Registry& r) { key(r, "K")->setValue("b", 1, sz("2")); },
         "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"o\"=hex:01\r\n\"b\"=\"2\"\r\n; c\r\n"},
        {"a key line that ended an open hex value goes: its own key line ends it",
         "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"o\"=hex:01,\\\r\n[HKEY_LOCAL_MACHINE\\B]\r\n"
         "  02\r\n",
         [](Registry& r) { r.localMachine->removeSubkey("B"); },
         "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"o\"=hex:01,\\\r\n[HKEY_LOCAL_MACHINE\\A]\r\n"},
        {"unterminated hex(2) stays; a new key goes after its parent's subtree",
         "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"e\"=hex(2):25,53\r\n\r\n"
         "[HKEY_LOCAL_MACHINE\\B]\r\n\"n\"=\"1\"\r\n",
         [](Registry& r) { createPath(r, "A\\New")->setValue("v", 4, dword(1)); },
         "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"e\"=hex(2):25,53\r\n\r\n"
         "[HKEY_LOCAL_MACHINE\\A\\New]\r\n\"v\"=dword:00000001\r\n\r\n"
         "[HKEY_LOCAL_MACHINE\\B]\r\n\"n\"=\"1\"\r\n"},
        {"v5 ANSI: a value with continuation and comment lines goes whole",
         "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\K]\n"
         "\"m\"=hex(7):61,00,\\\n  ; inner comment\n  00,00\n\"s\"=\"x\"\n",
         [](Registry& r) { key(r, "K")->removeValue("m"); },
         "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\K]\n\"s\"=\"x\"\n"},
        {"new keys: no line for a parent that holds nothing",
         "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n",
         [](Registry& r) { createPath(r, "New\\Deeper\\Leaf"); },
         "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n[HKEY_LOCAL_MACHINE\\New\\Deeper\\Leaf]\r\n"
         "\r\n"},
        {"a parent left empty by a deletion keeps a line of its own",
         "REGEDIT4\n[HKEY_LOCAL_MACHINE\\P\\C]\n\"a\"=\"1\"\n",
         [](Registry& r) { key(r, "P")->removeSubkey("C"); },
         "REGEDIT4\n[HKEY_LOCAL_MACHINE\\P]\n\n"},
        {"setting a value to what it holds changes nothing",
         "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"a\"=dword:1 ; odd form\n",
         [](Registry& r) { key(r, "K")->setValue("A", 4, dword(1)); },
         "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"a\"=dword:1 ; odd form\n"},
        {"keys under another root are patched alike",
         "REGEDIT4\n[HKEY_CURRENT_USER\\U]\n\"u\"=\"1\"\n[HKEY_LOCAL_MACHINE\\K]\n",
         [](Registry& r) { r.root("HKEY_CURRENT_USER", false)->removeSubkey("U"); },
         "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Registry r;
        ASSERT_TRUE(load(c.before, r));
        EXPECT_EQ(save(r), c.before) << "load then save is the identity";
        c.change(r);
        const std::string saved = save(r);
        EXPECT_EQ(saved, c.after);
        Registry back;
        ASSERT_TRUE(load(saved, back));
        EXPECT_EQ(dump(back), dump(r)) << "the save reads back as the changed registry";
        EXPECT_TRUE(rebase(r, saved));
        EXPECT_EQ(save(r), saved);
    }
}

// The files the property runs on: sample images, fuzz seeds, and some
// generated here.
std::vector<std::string> seedFiles() {
    std::vector<std::string> out;
    const fs::path root(QU_SOURCE_DIR);
    auto add = [&](const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        out.push_back(s.str());
    };
    for (const auto& dir : {root / "machines", root / "fuzz" / "corpus" / "regfile"}) {
        if (!fs::exists(dir)) continue;
        for (const auto& e : fs::recursive_directory_iterator(dir)) {
            if (e.is_regular_file() && e.path().extension() == ".reg") add(e.path());
        }
    }
    // Generated: mixed line ends, repeated keys, deletion lines, comments.
    std::mt19937 rng(7);
    const char* eols[] = {"\r\n", "\n", "\r"};
    for (int n = 0; n < 20; ++n) {
        const std::string eol = eols[n % 3];
        std::string text = "REGEDIT4" + eol + eol;
        for (int b = 0; b < 12; ++b) {
            const int depth = 1 + static_cast<int>(rng() % 3);
            std::string path = "HKEY_LOCAL_MACHINE";
            for (int d = 0; d < depth; ++d) path += "\\K" + std::to_string(rng() % 3);
            if (rng() % 7 == 0) {
                text += "[-" + path + "]" + eol;
                continue;
            }
            text += "[" + path + "]" + eol;
            for (int v = 0; v < static_cast<int>(rng() % 4); ++v) {
                const std::string name = "\"v" + std::to_string(rng() % 4) + "\"=";
                switch (rng() % 6) {
                    case 0:
                        text += name + "\"s" + std::to_string(rng() % 9) + "\"" + eol;
                        break;
                    case 1:
                        text += name + "dword:" + std::to_string(rng() % 9) + eol;
                        break;
                    case 2:
                        text += name + "hex:01,\\" + eol + "  ; c" + eol + "  02" + eol;
                        break;
                    case 3:
                        text += name + "-" + eol;
                        break;
                    case 4:
                        text += "; comment" + eol + eol;
                        break;
                    default:
                        text += name + "hex(2):41,\\" + eol;
                        break;  // open
                }
            }
        }
        out.push_back(text);
        out.push_back("\xFF\xFE" + winsim::utf8ToUtf16le("Windows Registry Editor Version 5.00" +
                                                         text.substr(8)));
    }
    // Long lines that the load checks many bytes at a time: lists of hex
    // groups (one byte broken at any place, or whole) continued over lines,
    // and strings with escapes and quotes anywhere in them.
    std::mt19937 more(27);
    const std::string kBreaks = "g ;\\\",-0";
    for (int n = 0; n < 12; ++n) {
        std::string text =
            "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\L\\M" + std::to_string(n) + "]\r\n";
        for (int v = 0; v < 8; ++v) {
            std::string line = "\"h" + std::to_string(v) + "\"=hex:";
            for (int g = static_cast<int>(more() % 60); g > 0; --g) line += "a9,";
            line += more() % 2 ? "\\" : "00";
            if (more() % 2) line[9 + more() % (line.size() - 9)] = kBreaks[more() % kBreaks.size()];
            text += line + "\r\n";
            if (line.back() == '\\')
                text += "  0F,1e,2D,3c,4B,5a,69,78,87,96,a5,B4,c3,D2,e1,F0,00\r\n";
            std::string data(more() % 70, 'q');
            for (int k = static_cast<int>(more() % 4); k > 0 && !data.empty(); --k) {
                const char* kEscapes[] = {"\\\\", "\\\"", "\\0", "\"", "\\"};
                data.insert(more() % data.size(), kEscapes[more() % 5]);
            }
            text += "\"s" + std::to_string(v) + "\"=\"" + data + "\"\r\n";
        }
        out.push_back(text);
        out.push_back("\xFF\xFE" + winsim::utf8ToUtf16le("Windows Registry Editor Version 5.00" +
                                                         text.substr(8)));
    }
    return out;
}

// A key reached from the root by a random path: the subtrees beside it stay
// in the text.
RegKey* randomDescent(Registry& r, std::mt19937& rng) {
    RegKey* k = r.localMachine.get();
    while (rng() % 4 != 0 && !k->subkeys.empty()) k = k->subkeys[rng() % k->subkeys.size()].get();
    return k;
}

TEST(RegFileExact, SaveIsIdentityAndReadsBackAsTheChangedTree) {
    std::mt19937 rng(11);
    int files = 0;
    // Each file twice: the second time with the keys below the first level
    // left in the text, changed before the tree around them is built (a
    // subtree deleted unbuilt, then rolled back).
    const std::vector<std::string> seeds = seedFiles();
    for (size_t run = 0; run < 2 * seeds.size(); ++run) {
        const std::string& file = seeds[run % seeds.size()];
        const bool unbuilt = run >= seeds.size();
        Registry r;
        if (unbuilt) r.builtDepth = 1;
        if (!load(file, r)) continue;
        ++files;
        SCOPED_TRACE(file.substr(0, 200));
        ASSERT_EQ(save(r), file);
        const std::string original = unbuilt ? std::string() : dump(r);
        for (int round = 0; round < 6; ++round) {
            const size_t point = r.savepoint();
            for (int step = 0; step < 1 + round; ++step) {
                std::vector<RegKey*> keys;
                if (!unbuilt) keys = allKeys(r);
                RegKey* k = unbuilt ? randomDescent(r, rng) : keys[rng() % keys.size()];
                switch (rng() % 5) {
                    case 0:
                        if (!k->subkeys.empty()) {
                            k->removeSubkey(k->subkeys[rng() % k->subkeys.size()]->name);
                        }
                        break;
                    case 1:
                        if (!k->values().empty())
                            k->removeValue(k->values()[rng() % k->values().size()].name);
                        break;
                    case 2:
                        if (!k->values().empty()) {
                            k->setValue(k->values()[rng() % k->values().size()].name, 3,
                                        {static_cast<uint8_t>(rng())});
                        }
                        break;
                    case 3:
                        k->setValue("n" + std::to_string(rng() % 3), 1, sz("new"));
                        break;
                    default:
                        k->createSubkey("S" + std::to_string(rng() % 3))
                            ->createSubkey("T" + std::to_string(rng() % 2));
                        break;
                }
            }
            const std::string saved = save(r);
            Registry back;
            ASSERT_TRUE(load(saved, back));
            ASSERT_EQ(dump(back), dump(r)) << "round " << round << "\n" << saved;
            r.rollback(point);
            ASSERT_EQ(save(r), file);
            if (unbuilt) {
                Registry fresh;
                ASSERT_TRUE(load(file, fresh));
                ASSERT_EQ(dump(r), dump(fresh));
                break;  // the dumps built every subtree
            }
            ASSERT_EQ(dump(r), original);
        }
    }
    EXPECT_GT(files, 80);
}

TEST(RegFileExact, ValuesReadOnFirstUseAreWhatTheEagerLoadBuilt) {
    int files = 0;
    for (const std::string& file : seedFiles()) {
        SCOPED_TRACE(file.substr(0, 200));
        Registry eager;
        eager.lazyValues = false;
        winsim::RegImport eagerImport;
        std::string eagerError;
        const bool eagerOk =
            winsim::importRegFile(file, "t.reg", 1252, eager, &eagerImport, &eagerError);
        // The last two runs leave the keys below the first level in the
        // text too, each subtree built when first walked.
        for (const int run : {0, 1, 2, 3}) {
            const bool lookupFirst = run % 2 == 1;
            Registry lazy;
            if (run >= 2) lazy.builtDepth = 1;
            winsim::RegImport lazyImport;
            std::string lazyError;
            ASSERT_EQ(winsim::importRegFile(file, "t.reg", 1252, lazy, &lazyImport, &lazyError),
                      eagerOk);
            EXPECT_EQ(lazyError, eagerError);
            EXPECT_EQ(lazyImport.warnings, eagerImport.warnings);
            if (!eagerOk) continue;
            ++files;
            // A lookup must not read the other values: still encoded.
            if (lookupFirst) {
                ASSERT_EQ(placesDump(lazy, &eager), placesDump(eager, &eager));
            } else {
                ASSERT_EQ(placesDump(lazy), placesDump(eager));
            }
            EXPECT_EQ(save(lazy), file);
        }
    }
    EXPECT_GT(files, 160);
}

// A lookup by name reads that value and no other one's data.
TEST(RegFileExact, LookupDecodesOnlyTheValueAskedFor) {
    Registry r;
    ASSERT_TRUE(
        load("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"a\"=\"1\"\r\n"
             "\"b\"=hex:01,\\\r\n  02\r\n\"A\"=dword:00000003\r\n\"c\"=-\r\n",
             r));
    RegKey* k = key(r, "K");
    ASSERT_TRUE(k);
    EXPECT_TRUE(k->valuesInText());
    const winsim::RegValue* a = k->findValue("A");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->name, "a");  // the first spelling, the last line's data
    EXPECT_EQ(a->data, dword(3));
    EXPECT_FALSE(k->findValue("c"));
    // A visit reads the values for the call and keeps nothing.
    std::string seen;
    k->visitValues([&](const winsim::RegValue& v) {
        seen += v.name + ":" + std::to_string(v.type) + ":" + std::to_string(v.data.size()) + ";";
    });
    EXPECT_EQ(seen, "a:4:4;b:3:2;");
    EXPECT_TRUE(k->valuesInText());
    // Held values: "b" is still text.
    const auto& held = k->heldValues();
    ASSERT_EQ(held.size(), 2u);
    EXPECT_TRUE(held[1].encoded);
    EXPECT_EQ(k->values()[1].data, (std::vector<uint8_t>{1, 2}));
    EXPECT_FALSE(k->heldValues()[1].encoded);
}

TEST(RegFileExact, RollbackRestoresKeysHandlesSeeAndChangesAreListed) {
    Registry r;
    ASSERT_TRUE(
        load("REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A\\B\\C]\r\n\"v\"=\"1\"\r\n"
             "[HKEY_LOCAL_MACHINE\\A\\D]\r\n\"w\"=dword:2\r\n",
             r));
    const std::string before = dump(r);
    std::shared_ptr<RegKey> held = r.localMachine->subkeys[0]->subkeys[0];  // A\B, as a handle
    const size_t point = r.savepoint();
    key(r, "A\\D")->setValue("w", 4, dword(3));
    key(r, "A\\D")->setValue("x", 1, sz("new"));
    key(r, "A\\D")->removeValue("w");
    key(r, "A")->removeSubkey("B");
    EXPECT_TRUE(held->deleted);
    createPath(r, "A\\B\\E");
    const auto changes = r.changesSince(point);
    ASSERT_EQ(changes.size(), 6u);
    EXPECT_EQ(changes[0].kind, winsim::RegChangeKind::ValueSet);
    EXPECT_EQ(changes[0].path, "HKEY_LOCAL_MACHINE\\A\\D");
    EXPECT_EQ(changes[0].before->data, dword(2));
    EXPECT_EQ(changes[0].after->data, dword(3));
    EXPECT_FALSE(changes[1].before);
    EXPECT_EQ(changes[2].kind, winsim::RegChangeKind::ValueDeleted);
    EXPECT_EQ(changes[3].kind, winsim::RegChangeKind::KeyDeleted);
    EXPECT_EQ(changes[3].path, "HKEY_LOCAL_MACHINE\\A\\B");
    ASSERT_TRUE(changes[3].subtree);
    EXPECT_EQ(winsim::exportKeys({{changes[3].path, changes[3].subtree.get()}},
                                 winsim::RegFormat::Regedit4, 1252),
              "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A\\B]\r\n\r\n[HKEY_LOCAL_MACHINE\\A\\B\\C]\r\n"
              "\"v\"=\"1\"\r\n\r\n");
    EXPECT_EQ(changes[4].kind, winsim::RegChangeKind::KeyCreated);
    EXPECT_EQ(changes[5].path, "HKEY_LOCAL_MACHINE\\A\\B\\E");
    r.rollback(point);
    EXPECT_EQ(dump(r), before);
    EXPECT_FALSE(held->deleted);
    EXPECT_EQ(held->parent, key(r, "A"));
    EXPECT_EQ(key(r, "A\\B"), held.get());
    EXPECT_TRUE(r.changesSince(0).empty());
}

TEST(RegFileExact, WindowsLimitsRefuseTheFileNamingTheLine) {
    auto chain = [](size_t depth, const std::string& leaf) {
        std::string path = "HKEY_LOCAL_MACHINE";
        for (size_t i = 1; i < depth; ++i) path += "\\k";
        return path + "\\" + leaf;
    };
    struct Limit {
        std::string line;
        const char* error;  // nullptr: accepted
    };
    const Limit limits[] = {
        {"[" + chain(512, "k") + "]", nullptr},
        {"[" + chain(513, "k") + "]", "t.reg:3: key nested 513 levels deep"},
        {"[HKEY_LOCAL_MACHINE\\" + std::string(255, 'n') + "]", nullptr},
        {"[HKEY_LOCAL_MACHINE\\" + std::string(256, 'n') + "]",
         "t.reg:3: key name of 256 characters"},
        {"[-HKEY_LOCAL_MACHINE\\" + std::string(256, 'n') + "]",
         "t.reg:3: key name of 256 characters"},
        {"[HKEY_LOCAL_MACHINE\\K]\r\n\"" + std::string(16383, 'v') + "\"=\"x\"", nullptr},
        {"[HKEY_LOCAL_MACHINE\\K]\r\n\"" + std::string(16384, 'v') + "\"=\"x\"",
         "t.reg:4: value name of 16384 characters"},
    };
    for (const Limit& l : limits) {
        SCOPED_TRACE(l.line.substr(0, 60));
        const std::string file = "REGEDIT4\r\n\r\n" + l.line + "\r\n";
        Registry r;
        std::string error;
        EXPECT_EQ(load(file, r, &error), l.error == nullptr) << error;
        if (l.error) {
            EXPECT_EQ(error.rfind(l.error, 0), 0u) << error;
            EXPECT_TRUE(r.localMachine->subkeys.empty());
        }
    }
    // Applied to a running registry, a refused file changes nothing.
    Registry r;
    ASSERT_TRUE(load("REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\Keep]\r\n", r));
    const std::string before = dump(r);
    winsim::RegImport imported;
    std::string error;
    EXPECT_FALSE(winsim::importRegFile(
        "REGEDIT4\r\n[-HKEY_LOCAL_MACHINE\\Keep]\r\n[" + chain(600, "k") + "]\r\n", "x.reg", 1252,
        r, &imported, &error, false));
    EXPECT_EQ(error.rfind("x.reg:3: key nested 600 levels deep", 0), 0u) << error;
    EXPECT_EQ(dump(r), before);
}

TEST(RegFileExact, DeepNestingNeedsNoRecursionAndDoesNotBalloon) {
    // 30,000 levels would need the limit lifted; the code paths that must not
    // recurse are the same at 512: check them on a tree built by the API too.
    Registry r;
    std::string file = "REGEDIT4\r\n\r\n[" + std::string("HKEY_LOCAL_MACHINE");
    for (int i = 0; i < 512; ++i) file += "\\k";
    file += "]\r\n";
    ASSERT_TRUE(load(file, r));
    // The change log names every key by its full path, so a chain built
    // through it costs its depth squared: 3,000 more levels are plenty.
    RegKey* k = key(r, "k");
    for (int i = 0; i < 3000; ++i) k = k->createSubkey("d");
    k->setValue("v", 4, dword(1));
    const std::string saved = save(r);
    // Only the new leaf's line is added: its path is the only long text.
    EXPECT_LT(saved.size(), file.size() + 2 * 3000 + 1200);
    Registry back;
    ASSERT_FALSE(load(saved, back));    // deeper than Windows allows
    r.localMachine->removeSubkey("k");  // marks 3,512 keys deleted
    r.rollback(0);                      // brings them back, then takes them away
    EXPECT_EQ(save(r), file);
    // 30,000 levels unrecorded: deletion and destruction.
    r.recording = false;
    k = key(r, "k");
    for (int i = 0; i < 30000; ++i) k = k->createSubkey("d");
    r.localMachine->removeSubkey("k");
    k = r.localMachine->createSubkey("k2");
    for (int i = 0; i < 30000; ++i) k = k->createSubkey("d");
    // The registry's destructor frees this chain.
}

}  // namespace
