// What is ruled out from a key's lines before its values are read: the
// search for what remains and value lookups must answer as if every value
// had been read. Each case compares the answer on the loaded image (values
// still in the text) with the answer once every value has been read.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "tests/support/temp_image.h"
#include "winsim/machine.h"
#include "winsim/safety.h"
#include "winsim/src/base/codepage.h"
#include "winsim/src/base/hex_digit.h"
#include "winsim/src/machine/state.h"
#include "winsim/src/registry/key_text.h"

namespace {

using qu_test::TempImage;

// Reads every value of every key, so that nothing is left in the text.
void readEveryValue() {
    std::vector<winsim::RegKey*> stack = {winsim::currentMachine()->registry.localMachine.get()};
    while (!stack.empty()) {
        winsim::RegKey* key = stack.back();
        stack.pop_back();
        (void)key->values();
        for (const auto& sub : key->subkeys) stack.push_back(sub.get());
    }
}

std::string hexList(const std::string& bytes, std::mt19937& rng) {
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        char pair[4];
        std::snprintf(pair, sizeof pair, rng() % 2 ? "%02x" : "%02X",
                      static_cast<unsigned char>(bytes[i]));
        if (i > 0) out += rng() % 4 == 0 ? " , " : ",";
        // A continuation after a comma, now and then with a comment or a
        // blank line in between (the reader skips both).
        if (i > 0 && rng() % 6 == 0) {
            out.pop_back();
            out += ",\\\r\n";
            if (rng() % 4 == 0) out += "; a comment\r\n";
            if (rng() % 5 == 0) out += "\r\n";
            out += "  ";
        }
        out += pair;
    }
    return out;
}

std::string utf16(const std::string& utf8) { return winsim::utf8ToUtf16le(utf8); }

// Data that holds a term now and then: in another case, cut by an escape
// or a byte outside ASCII, or whole.
std::string dataFor(const std::vector<std::string>& terms, std::mt19937& rng) {
    static const char* const kFill[] = {"C:\\WINDOWS", "x", "caf\xC3\xA9", "a\"b", "", "%1"};
    std::string data = kFill[rng() % 6];
    if (rng() % 3 == 0) {
        std::string term = terms[rng() % terms.size()];
        for (char& c : term) {
            if (c >= 'a' && c <= 'z' && rng() % 2) c = static_cast<char>(c - 0x20);
            if (c >= 'A' && c <= 'Z' && rng() % 2) c = static_cast<char>(c + 0x20);
        }
        if (rng() % 4 == 0) term.insert(rng() % (term.size() + 1), rng() % 2 ? "\\" : "\xC3\xA9");
        data += term;
    }
    data += kFill[rng() % 6];
    return data;
}

// One value line setting `data` in one of the shapes an export writes.
std::string valueLine(const std::string& name, const std::string& data, bool v5,
                      std::mt19937& rng) {
    std::string line = name.empty() ? "@=" : "\"" + name + "\"=";
    switch (rng() % 5) {
        case 0:
        case 1: {
            line += '"';
            for (const char c : data) {
                if (c == '\\' || c == '"') line += '\\';
                line += c;
            }
            return line + "\"";
        }
        case 2:
            return line + "hex(1):" + hexList(v5 ? utf16(data) : data, rng);
        case 3:
            return line + "hex(2):" +
                   hexList((v5 ? utf16(data) : data) + std::string(v5 ? 2 : 1, '\0'), rng);
        default:
            return line + "hex(7):" +
                   hexList(v5 ? utf16(data + '\0' + data) + std::string(4, '\0')
                              : data + '\0' + data + std::string(2, '\0'),
                           rng);
    }
}

// The bytes of the hex strings read one place at a time, as the search
// read them before groups were read five at a time.
void hexStringBytesOneByOne(std::string_view text, size_t at, uint64_t seen[2]) {
    auto digit = [](char c) { return winsim::hexDigit(c); };
    const size_t n = text.size();
    while (at != std::string_view::npos) {
        bool backslash = false, blank = true, comment = false;
        size_t p = at;
        for (; p < n; ++p) {
            const char c = text[p];
            if (c == '\r' || c == '\n') {
                if (!backslash && !blank && !comment) break;
                backslash = comment = false;
                blank = true;
                continue;
            }
            if (c == '\\') backslash = true;
            if (c != ' ' && c != '\t') {
                if (blank && c == ';') comment = true;
                blank = false;
            }
            if (p + 1 < n && digit(c) >= 0 && digit(text[p + 1]) >= 0 &&
                (p == at || digit(text[p - 1]) < 0)) {
                const int b = digit(c) * 16 + digit(text[p + 1]);
                if (b < 0x80) seen[b >> 6] |= uint64_t{1} << (b & 63);
            }
        }
        at = p < n ? winsim::findNoCase(text, "HEX(", p) : std::string_view::npos;
    }
}

TEST(KeyText, TheSearchForWhatRemainsFindsWhatReadingEveryValueFinds) {
    const std::vector<std::string> terms = {"KestrelX", "VID_F3A7&PID_0053", "sys32\\drv",
                                            "caf\xC3\xA9s", "oem7"};
    std::mt19937 rng(23);
    size_t named = 0;
    for (int round = 0; round < 60; ++round) {
        const bool v5 = round % 3 == 0;
        const bool wide = v5 && round % 2 == 0;
        std::string text = v5 ? "Windows Registry Editor Version 5.00\r\n\r\n" : "REGEDIT4\r\n\r\n";
        for (int k = 0; k < 12; ++k) {
            // Odd rounds put the keys deeper, where the load leaves whole
            // subtrees in the text; some of their names hold a term.
            const std::string name = "K" + std::to_string(k);
            const std::string path =
                round % 2 == 0 ? name
                : k % 3 == 0   ? "V\\" + name + "\\oem" + std::to_string(k + 1) + "\\" + name
                               : "V\\" + name + "\\P\\" + name;
            const std::string key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\" + path + "]\r\n";
            text += key;
            for (int v = 0; v < 4; ++v) {
                text +=
                    valueLine(v == 0 ? "" : "V" + std::to_string(v), dataFor(terms, rng), v5, rng);
                text += "\r\n";
            }
            // Shapes the reader skips or ends early: a hex string cut by a
            // value line, a bad byte, binary and DWORD data.
            if (rng() % 3 == 0) text += "\"Cut\"=hex(2):6b,00,\\\r\n\"After\"=dword:00000001\r\n";
            if (rng() % 4 == 0) text += "\"Bad\"=hex(1):4b,zz,45\r\n\"Bin\"=hex:4b,45,53\r\n";
            if (rng() % 4 == 0) text += key;  // the key again: a second block
            text += "\r\n";
        }
        TempImage image;
        image.rawReg(wide ? "\xFF\xFE" + utf16(text) : text);
        testing::internal::CaptureStderr();  // the reader's notes on the skipped lines
        image.load();
        testing::internal::GetCapturedStderr();
        // The look at the text taken ahead on a second thread (as beside a
        // commit), dropped when other terms are searched; the lazy search;
        // the search once every value was read.
        winsim::startTraceSearch({"VID_F3A7"});
        winsim::startTraceSearch(round % 4 == 1 ? std::vector<std::string>{"oem7"} : terms);
        const std::vector<std::string> ahead = winsim::findTraces(terms, 1000);
        const std::vector<std::string> lazy = winsim::findTraces(terms, 1000);
        readEveryValue();
        const std::vector<std::string> read = winsim::findTraces(terms, 1000);
        EXPECT_EQ(ahead, read) << "round " << round;
        EXPECT_EQ(lazy, read) << "round " << round;
        named += read.size();
        // A look still under way when the machine ends.
        winsim::startTraceSearch(terms);
    }
    EXPECT_GT(named, 100u);  // the terms are there to be found
}

// Every name a value lookup of `path` gives for `names`, asked one after
// another (as the guard asks four of every device): result, size and data.
std::string lookUpInTurn(const std::string& path, const std::vector<std::string>& names) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
    std::string found;
    for (const std::string& name : names) {
        char data[64] = {};
        DWORD size = sizeof data;
        const LONG result = RegQueryValueExA(key, name.c_str(), nullptr, nullptr,
                                             reinterpret_cast<BYTE*>(data), &size);
        found += name + "=" + std::to_string(result) + "/" + std::to_string(size) + ":" +
                 std::string(data, result == ERROR_SUCCESS ? size : 0) + " ";
    }
    RegCloseKey(key);
    return found;
}

TEST(KeyText, ValueLookupsFindWhatReadingEveryValueFinds) {
    // Names that are, or only look like, "Service" or "Driver", and a hex
    // string continued over a line that looks like a value line.
    const std::vector<std::string> named = {"\"Service\"=\"a\"",
                                            "  \"SERVICE\" = \"b\"",
                                            "\"service\"=hex(2):61,00",
                                            "\"Services\"=\"c\"",
                                            "\"Ser\\vice\"=\"d\"",
                                            "\"xService\"=\"e\"",
                                            "\"Other\"=\"Service\"",
                                            "; \"Service\"=\"f\"",
                                            "\"Service\"",
                                            "\"Service\"=dword:00000001",
                                            "@=\"Service\"",
                                            "\"S\xC3\xA9rvice\"=\"g\"",
                                            "\"Driver\"=\"Net\\\\0007\"",
                                            "\"DRIVER\"=\"a\\\"b\"",
                                            "\"Class\"=\"Driver\"",
                                            "\"Id\"=hex(7):55,\\\r\n  \"Driver\"=\"h\""};
    // Strings read from their line: escapes, refusals, comments, no ASCII.
    std::vector<std::string> lines = named;
    lines.insert(lines.end(),
                 {"\"Driver\"=\"{4d36e972-e325-11ce-bfc1}\\\\0007\"", "\"Driver\"=\"a\\0b\"",
                  "\"Service\"=\"a\\x\\\"", "\"Driver\"=\"\\\\\" ; note", "\"Service\"=\"z\" x",
                  "\"Driver\"=\"\xC3\xA9\"", "\"Service\"=\"\""});
    const std::vector<std::string> names = {"Service", "Driver", "Class", "Service", "Driver"};
    std::mt19937 rng(7);
    for (int round = 0; round < 40; ++round) {
        std::string text = "REGEDIT4\r\n\r\n";
        for (int k = 0; k < 12; ++k) {
            // Keys 8 to 11 are keys 0 to 3 again: a second block.
            text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\K" + std::to_string(k % 8) + "]\r\n";
            for (int v = 0; v < 2; ++v) text += lines[rng() % lines.size()] + "\r\n";
            text += "\r\n";
        }
        TempImage image;
        image.rawReg(text);
        testing::internal::CaptureStderr();
        image.load();
        testing::internal::GetCapturedStderr();
        // Runs of one to five names of a key, the keys in turn, then back
        // and forth; the second name of a run on reads the key's names once.
        std::vector<std::pair<int, size_t>> runs;  // key, first name
        for (int run = 0; run < 16; ++run) runs.push_back({run < 8 ? run : rng() % 8, rng() % 5});
        auto lookUp = [&] {
            std::string found;
            for (const auto& [k, first] : runs) {
                const std::vector<std::string> some(names.begin() + first, names.end());
                found += lookUpInTurn("SOFTWARE\\K" + std::to_string(k), some) + "\n";
            }
            return found;
        };
        const std::string lazy = lookUp();
        readEveryValue();
        const std::string read = lookUp();
        EXPECT_EQ(lazy, read) << text;
    }
    // Another image of the same size, loaded where the one before was: what
    // was read of that one is not taken for this one.
    for (const char* name : {"Service", "Servicf", "Service"}) {
        TempImage image;
        image.reg(std::string("[HKEY_LOCAL_MACHINE\\SOFTWARE\\K]\r\n\"") + name +
                  "\"=\"x\"\r\n\"Driver\"=\"y\"\r\n");
        image.load();
        const std::string lazy = lookUpInTurn("SOFTWARE\\K", {"Driver", "Service"});
        readEveryValue();
        EXPECT_EQ(lazy, lookUpInTurn("SOFTWARE\\K", {"Driver", "Service"})) << name;
    }
}

TEST(KeyText, OnePassForManyNeedlesFindsWhatOnePassEachFinds) {
    // Bytes that differ from a needle's only in the letter bit ('@' and
    // '`', '[' and '{'), letters in both cases, and text long enough for
    // many passes of 16 places.
    const std::string alphabet = "aAbBhHeExX(@`[{\"\\0";
    std::mt19937 rng(5);
    size_t found = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string text(rng() % 90, ' ');
        for (char& c : text) c = alphabet[rng() % alphabet.size()];
        std::vector<std::string> needles(1 + rng() % 8);  // over six: one pass each
        for (std::string& needle : needles) {
            const size_t size = 1 + rng() % 5;
            if (text.size() >= size && rng() % 2) {
                needle = text.substr(rng() % (text.size() - size + 1), size);
            } else {
                needle.resize(size);
                for (char& c : needle) c = alphabet[rng() % alphabet.size()];
            }
            for (char& c : needle) {
                if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
            }
        }
        const std::vector<std::string_view> views(needles.begin(), needles.end());
        const size_t from = rng() % (text.size() + 2);
        size_t expectedWhich = 0, which = 99;
        size_t expected = std::string_view::npos;
        for (size_t i = 0; i < needles.size(); ++i) {
            const size_t at = winsim::findNoCase(text, needles[i], from);
            if (at < expected) {
                expected = at;
                expectedWhich = i;
            }
        }
        const size_t at = winsim::findAnyNoCase(text, views, from, &which);
        ASSERT_EQ(at, expected) << text << " from " << from;
        if (at != std::string_view::npos) {
            EXPECT_EQ(which, expectedWhich) << text;
            ++found;
        }
    }
    EXPECT_GT(found, 5000u);
}

TEST(KeyText, HexGroupsReadFiveAtATimeGiveTheBytesReadOneByOne) {
    // Runs of groups "xx," with a broken group now and then (one digit, three,
    // a letter past f or a byte next to the digits, no comma, as a line's last), continued and
    // ending lines, blanks, comments and further hex strings, read from places at and around them.
    const std::vector<std::string> pieces = {
        "",  "",       "",     "",   "0g,", "0:,", "F/,",  "7,",      "123,", "4a5",     "4a",
        ",", "\\\r\n", "\r\n", "\n", "  ",  "; c", "hex(", "HEX(7):", "x",    "\\\n\n  "};
    const std::string digits = "0123456789abcdefABCDEF";
    std::mt19937 rng(23);
    size_t bytes = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string text = rng() % 2 ? "\"H\"=hex(7):" : "";
        const size_t parts = rng() % 40;
        for (size_t i = 0; i < parts; ++i) {
            const std::string& piece = pieces[rng() % pieces.size()];
            if (!piece.empty()) {
                text += piece;
                continue;
            }
            for (size_t groups = rng() % 12; groups > 0; --groups) {
                text += digits[rng() % digits.size()];
                text += digits[rng() % digits.size()];
                text += ',';
            }
        }
        const size_t at = rng() % 4 == 0 ? rng() % (text.size() + 1) : 0;
        uint64_t fast[2] = {}, slow[2] = {};
        winsim::hexStringBytes(text, at, fast);
        hexStringBytesOneByOne(text, at, slow);
        ASSERT_EQ(fast[0], slow[0]) << text << " from " << at;
        ASSERT_EQ(fast[1], slow[1]) << text << " from " << at;
        bytes += static_cast<size_t>(__builtin_popcountll(slow[0]) + __builtin_popcountll(slow[1]));
    }
    EXPECT_GT(bytes, 50000u);
}

}  // namespace
