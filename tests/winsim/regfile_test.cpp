// .reg import and export as the registry editor does them.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string_view>

#include "platform/win32.h"
#include "tests/support/temp_image.h"
#include "winsim/machine.h"
#include "winsim/src/base/codepage.h"
#include "winsim/src/regfile/line_reader.h"
#include "winsim/src/registry/registry.h"

namespace {

using qu_test::TempImage;

std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

// The load's warnings without "file:line: ", sorted.
std::vector<std::string> warningTexts() {
    std::vector<std::string> out;
    for (const auto& w : winsim::loadWarnings()) {
        const size_t at = w.find(": ");
        out.push_back(w.substr(at + 2));
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Loads the image with its warnings kept off standard error.
void quietLoad(TempImage& image) {
    testing::internal::CaptureStderr();
    image.load();
    testing::internal::GetCapturedStderr();
}

TEST(RegFile, ValueForms) {
    TempImage image;
    image.rawReg(
        "\r\n  \t\n"
        "  REGEDIT4\n"
        "; comment\r"
        "# comment too\n"
        "[HKEY_LOCAL_MACHINE\\K]\n"
        "\"Plain\"=\"a \\\"quoted\\\" \\\\ back;slash # hash\"\n"
        "@=\"dflt\"\n"
        "\"Spaced\" = \"x\" ; trailing comment\n"
        "\"D1\"=dword:1\n"
        "\"D8\"=dword:FFFFFFFF ;c\n"
        "\"Bin\"=hex:de,ad, be ,ef,\n"
        "\"Empty\"=hex(0):\n"
        "\"Exp\"=hex(2):25,53,25\n"
        "\"Multi\"=hex(7):61,00,62,00,00,\\\n"
        "\n"
        "   ; inside a continuation\n"
        "  00\n"
        "\"Big\"=hex(ffffffff):01\n"
        "\"Gone\"=\"x\"\n"
        "\"Gone\"=-  ; deleted again\n"
        "\"Last\"=\"no newline\"");
    testing::internal::CaptureStderr();
    image.load();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(winsim::stringValue("K", "Plain"), "a \"quoted\" \\ back;slash # hash");
    EXPECT_EQ(winsim::stringValue("K", ""), "dflt");
    EXPECT_EQ(winsim::stringValue("K", "Spaced"), "x");
    EXPECT_EQ(winsim::dwordValue("K", "D1"), 1u);
    EXPECT_EQ(winsim::dwordValue("K", "D8"), 0xFFFFFFFFu);
    EXPECT_EQ(winsim::stringValue("K", "Exp"), "%S%");  // terminating zero added
    EXPECT_EQ(winsim::stringValue("K", "Multi"), std::string("a\0b\0\0\0", 6));
    EXPECT_FALSE(winsim::stringValue("K", "Gone"));
    EXPECT_EQ(winsim::stringValue("K", "Last"), "no newline");
    // Nothing changed: a save writes the file back byte for byte.
    EXPECT_EQ(winsim::exportRegistry(), image.systemReg());
    // A changed value's line is written in the registry editor's form, in
    // place; the lines around it stay as they were.
    winsim::setRawValue("K", "Big", 0xffffffff, {2});
    winsim::setRawValue("K", "Empty", 0, {});
    winsim::setDwordValue("K", "D1", 3);
    const std::string out = winsim::exportRegistry();
    EXPECT_NE(out.find("\"D1\"=dword:00000003\n\"D8\"=dword:FFFFFFFF ;c\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("\"Big\"=hex(ffffffff):02\n\"Gone\"=\"x\"\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\"Exp\"=hex(2):25,53,25\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\"Bin\"=hex:de,ad, be ,ef,\n"), std::string::npos) << out;
}

TEST(RegFile, MalformedLinesAreSkippedWithFileAndLine) {
    TempImage image;
    image.reg(
        "[HKEY_LOCAL_MACHINE\\K]\r\n"        // 3
        "\"A\"=\"inner\"quote\"\r\n"         // 4
        "\"B\"=\"nul\\0\"\r\n"               // 5
        "\"C\"=\"continued\\\r\n"            // 6
        "\"D\"=dword:123456789\r\n"          // 7
        "\"E\"=dword:0x10\r\n"               // 8
        "\"F\"=dword:10 # no\r\n"            // 9
        "\"G\"=hex:1,2\r\n"                  // 10
        "\"H\"=hex:01,02\\\r\n"              // 11
        "\"I\"=hex:01,\\\r\n"                // 12
        "  ,02\r\n"                          // 13
        "noise\r\n"                          // 14
        "\"J\"=\"ok\"\r\n"                   // 15
        "[ HKEY_LOCAL_MACHINE\\Blank]\r\n"   // 16
        "\"K1\"=\"dropped\"\r\n"             // 17
        "[HKLM\\Short]\r\n"                  // 18
        "\"K2\"=\"dropped\"\r\n"             // 19
        "[HKEY_LOCAL_MACHINE\\NoClose\r\n"   // 20
        "\"K3\"=\"dropped\"\r\n"             // 21
        "[HKEY_CURRENT_USER\\Other]\r\n"     // 22
        "\"K4\"=\"kept aside\"\r\n"          // 23
        "[HKEY_LOCAL_MACHINE\\Trail ]\r\n"   // 24
        "\"L\"=\"v\"\r\n"                    // 25
        "[-HKEY_LOCAL_MACHINE\\Trail ]\r\n"  // 26
        "\"K5\"=\"dropped\"\r\n");           // 27
    testing::internal::CaptureStderr();
    image.load();
    const std::string err = testing::internal::GetCapturedStderr();
    for (int line : {4, 5, 6, 7, 8, 9, 10, 11, 13, 14, 16, 17, 18, 19, 20, 21, 22, 27}) {
        EXPECT_NE(err.find("system.reg:" + std::to_string(line) + ":"), std::string::npos)
            << line << "\n"
            << err;
    }
    for (int line : {3, 12, 15, 23, 24, 25, 26}) {
        EXPECT_EQ(err.find("system.reg:" + std::to_string(line) + ":"), std::string::npos)
            << line << "\n"
            << err;
    }
    EXPECT_EQ(winsim::stringValue("K", "J"), "ok");
    for (const char* name :
         {"A", "B", "C", "D", "E", "F", "G", "H", "I", "K1", "K2", "K3", "K4", "K5"}) {
        EXPECT_FALSE(winsim::stringValue("K", name) || winsim::dwordValue("K", name)) << name;
    }
    EXPECT_FALSE(winsim::keyExists("Blank"));
    EXPECT_FALSE(winsim::keyExists("Trail "));
    EXPECT_FALSE(winsim::keyExists("Other"));
    // Keys of other hives are not part of the machine but survive a save.
    EXPECT_NE(winsim::exportRegistry().find("[HKEY_CURRENT_USER\\Other]\r\n\"K4\"=\"kept aside\""),
              std::string::npos);
}

TEST(RegFile, KeyDeletionAndParents) {
    TempImage image;
    image.reg(
        "[HKEY_LOCAL_MACHINE\\A\\B\\C]\r\n"
        "\"v\"=\"1\"\r\n"
        "[hkey_local_machine\\a\\b\\D]\r\n"
        "[-HKEY_LOCAL_MACHINE\\A\\B\\C]\r\n"
        "[-HKEY_LOCAL_MACHINE\\A\\Missing]\r\n");
    image.load();
    EXPECT_TRUE(winsim::keyExists("A\\B\\D"));
    EXPECT_FALSE(winsim::keyExists("A\\B\\C"));
    EXPECT_EQ(winsim::subkeyNames("A\\B"), std::vector<std::string>{"D"});
}

TEST(RegFile, ExportLayoutAndWrapping) {
    TempImage image;
    image.reg(
        "[HKEY_LOCAL_MACHINE\\Z]\r\n[HKEY_LOCAL_MACHINE\\a]\r\n\"second\"=\"2\"\r\n"
        "\"First\"=\"1\"\r\n");
    image.load();
    std::vector<uint8_t> big(100);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i);
    winsim::setRawValue("a", "Big", 3, big);
    winsim::setRawValue("a", "Raw", 1, bytes("ab"));  // no terminating zero
    winsim::setRawValue("a", "Inner", 1, bytes(std::string("a\0b\0", 4)));
    winsim::setStringValue("a", "Lines", "one\r\ntwo");
    const std::string out = winsim::exportRegistry();
    // The file's own order stays; new values follow the key's last value.
    EXPECT_EQ(out.rfind("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Z]\r\n[HKEY_LOCAL_MACHINE\\a]\r\n"
                        "\"second\"=\"2\"\r\n\"First\"=\"1\"\r\n\"Big\"=hex:00,",
                        0),
              0u)
        << out;
    EXPECT_NE(out.find("\"Raw\"=hex(1):61,62\r\n"), std::string::npos);
    EXPECT_NE(out.find("\"Inner\"=hex(1):61,00,62,00\r\n"), std::string::npos);
    EXPECT_NE(out.find("\"Lines\"=hex(1):6f,6e,65,0d,0a,74,77,6f,00\r\n"), std::string::npos);
    // Wrapped hex: lines end ",\", continue indented by two, none over 80.
    const size_t start = out.find("\"Big\"=hex:00,01,");
    ASSERT_NE(start, std::string::npos);
    size_t pos = start;
    int lines = 0;
    while (true) {
        const size_t end = out.find("\r\n", pos);
        const std::string line = out.substr(pos, end - pos);
        EXPECT_LE(line.size(), 80u) << line;
        if (lines > 0) {
            EXPECT_EQ(line.substr(0, 2), "  ");
        }
        ++lines;
        pos = end + 2;
        if (line.back() != '\\') break;
        EXPECT_EQ(line.substr(line.size() - 2), ",\\");
    }
    EXPECT_GE(lines, 4);
    // And all of it reads back exactly.
    image.rawReg(out);
    image.load();
    EXPECT_EQ(winsim::exportRegistry(), out);
}

TEST(RegFile, Version5Utf16RoundTrip) {
    TempImage image;
    const std::string text =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\K\\\u00C9t\u00E9 \u0416]\r\n"
        "\"Name\"=\"\u20AC \u0416\"\r\n"
        "\"Multi\"=hex(7):41,00,00,00,16,04,00,00,00,00\r\n"
        "\"Exp\"=hex(2):25,00,41,00,25,00\r\n";
    image.rawReg("\xFF\xFE" + winsim::utf8ToUtf16le(text));
    image.load();
    EXPECT_EQ(winsim::stringValue("K\\\u00E9T\u00C9 \u0436", "Name"), "\u20AC \u0416");
    EXPECT_EQ(winsim::stringValue("K\\\u00C9t\u00E9 \u0416", "Multi"),
              std::string("A\0\u0416\0\0", 6));
    EXPECT_EQ(winsim::stringValue("K\\\u00C9t\u00E9 \u0416", "Exp"), "%A%");
    winsim::setDwordValue("K", "New", 7);  // a save
    const std::string file = image.systemReg();
    ASSERT_EQ(file.substr(0, 2), "\xFF\xFE");
    const std::string back = winsim::utf16leToUtf8(file.substr(2));
    EXPECT_EQ(back.rfind("Windows Registry Editor Version 5.00\r\n\r\n", 0), 0u);
    // Untouched: the unterminated hex(2) keeps its form; the new value's key
    // had no line of its own and gets one at the end.
    EXPECT_EQ(back, text + "[HKEY_LOCAL_MACHINE\\K]\r\n\"New\"=dword:00000007\r\n\r\n");
    image.load();
    EXPECT_EQ(winsim::exportRegistry(), file);
}

TEST(RegFile, Version5AnsiKeepsItsForm) {
    TempImage image;
    image.rawReg(
        "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\K]\n"
        "\"S\"=\"caf\xE9\"\n\"M\"=hex(7):61,00,00,00,00,00\n");
    image.load();
    EXPECT_EQ(winsim::stringValue("K", "S"), "caf\u00E9");
    EXPECT_EQ(winsim::stringValue("K", "M"), std::string("a\0\0", 3));
    EXPECT_EQ(winsim::exportRegistry(), image.systemReg());
    winsim::setStringValue("K", "S", "\u00E9t\u00E9");
    EXPECT_EQ(image.systemReg(),
              "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\K]\n"
              "\"S\"=\"\xE9t\xE9\"\n\"M\"=hex(7):61,00,00,00,00,00\n");
}

TEST(RegFile, SkippedLinesStayWhereTheyAre) {
    TempImage image;
    const std::string gone = "[HKEY_LOCAL_MACHINE\\Gone]\r\n\"Bad\"=dword:0x1\r\n";
    const std::string head =
        "\"Early\"=\"before any key\"\r\n"
        "[HKEY_LOCAL_MACHINE\\K]\r\n"
        "\"Good\"=\"1\"\r\n"
        "\"Odd\"=dword:123456789\r\n"
        "noise here\r\n"
        "\"Open\"=hex:01,\\\r\n"
        "  02,\\\r\n"
        "; a comment inside the open value\r\n"
        "\"After\"=dword:2\r\n"
        "\"Cut\"=hex:01,\\\r\n"
        "  zz\r\n";
    const std::string tail =
        "[HKEY_CURRENT_USER\\Other]\r\n"
        "\"Dw\"=dword:\r\n"
        "[HKEY_LOCAL_MACHINE\\Last]\r\n"
        "\"Tail\"=hex:03,\\\r\n"
        "[-HKEY_LOCAL_MACHINE\\Nothing]\r\n"
        "\"Orphan\"=\"x\"\r\n";
    image.reg(head + gone + tail);
    quietLoad(image);
    std::vector<std::string> first = warningTexts();
    EXPECT_EQ(first.size(), 10u);

    // A deleted key takes its lines along, skipped ones too; every other
    // line stays where it was.
    ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Gone"), ERROR_SUCCESS);
    ASSERT_TRUE(winsim::commit());
    first.erase(std::find(first.begin(), first.end(), "bad dword data; line skipped"));
    const std::string saved = image.systemReg();
    EXPECT_EQ(saved, "REGEDIT4\r\n\r\n" + head + tail);

    // Read back: skipped again with the same warnings, nothing applied.
    quietLoad(image);
    EXPECT_EQ(warningTexts(), first);
    EXPECT_FALSE(winsim::keyExists("Gone"));
    EXPECT_EQ(winsim::stringValue("K", "Good"), "1");
    EXPECT_EQ(winsim::dwordValue("K", "After"), 2u);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "K", 0, KEY_READ, &key), ERROR_SUCCESS);
    for (const char* name : {"Odd", "Open", "Cut"}) {
        EXPECT_EQ(RegQueryValueExA(key, name, nullptr, nullptr, nullptr, nullptr),
                  ERROR_FILE_NOT_FOUND)
            << name;
    }
    RegCloseKey(key);
    EXPECT_EQ(winsim::exportRegistry(), saved);
    winsim::setStringValue("K", "Good", "2");
    EXPECT_NE(image.systemReg().find("[HKEY_LOCAL_MACHINE\\K]\r\n\"Good\"=\"2\"\r\n"
                                     "\"Odd\"=dword:123456789\r\n"),
              std::string::npos);

    // A file imported into the running machine is applied as the registry
    // editor applies it: its skipped lines do not become part of the image.
    std::vector<std::string> warnings;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(winsim::importRegistry(
        "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"New\"=dword:123456789\r\nstray\r\n", "z.reg",
        &warnings, nullptr));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(warnings.size(), 2u);
    EXPECT_EQ(image.systemReg().find("\"New\""), std::string::npos);
    EXPECT_EQ(image.systemReg().find("stray"), std::string::npos);
}

TEST(RegFile, Version5Utf16SkippedLinesKeepTheirText) {
    TempImage image;
    const std::string text =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\\u041A\u043B\u044E\u0447]\r\n"
        "\"\u0418\u043C\u044F\"=dword:123456789\r\n"
        "\"Ok\"=\"\u00E9\"\r\n"
        "\u0416 \u20AC noise\r\n"
        "\"Wide\"=hex(2):41,00,\\\r\n"
        "\"Next\"=\"n\"\r\n";
    image.rawReg("\xFF\xFE" + winsim::utf8ToUtf16le(text));
    quietLoad(image);
    const std::vector<std::string> first = warningTexts();
    EXPECT_EQ(first.size(), 3u);
    winsim::setDwordValue("\u041A\u043B\u044E\u0447", "New", 7);  // a save
    const std::string file = image.systemReg();
    ASSERT_EQ(file.substr(0, 2), "\xFF\xFE");
    EXPECT_EQ(winsim::utf16leToUtf8(file.substr(2)), text + "\"New\"=dword:00000007\r\n");
    quietLoad(image);
    EXPECT_EQ(warningTexts(), first);
    EXPECT_FALSE(winsim::stringValue("\u041A\u043B\u044E\u0447", "Wide"));
    EXPECT_EQ(winsim::exportRegistry(), file);
}

// The pieces the load reads many bytes at a time (hex groups, quoted text,
// line ends, key paths, ASCII checks) against readers of one byte at a time,
// on many generated lines: lists of hex groups broken at every place of the
// 16-byte pieces, quotes and escapes across them, line ends at block edges.
TEST(RegFile, LinePiecesReadManyBytesAtATimeAgreeWithOneByteAtATime) {
    // The quoted-string reader as it was, one byte at a time.
    auto quotedOracle = [](std::string_view s, std::string* out, size_t* used) {
        out->clear();
        for (size_t i = 1; i < s.size(); ++i) {
            const char c = s[i];
            if (c == '"') {
                *used = i + 1;
                return true;
            }
            if (c == '\\' && i + 1 < s.size()) {
                const char n = s[i + 1];
                if (n == '\\' || n == '"') {
                    *out += n;
                    ++i;
                    continue;
                }
                if (n == '0') return false;
            }
            *out += c;
        }
        return false;
    };
    auto splitOracle = [](std::string_view path, std::vector<std::string_view>* parts) {
        parts->clear();
        if (path.empty()) return true;
        if (path.back() == '\\') path.remove_suffix(1);
        for (size_t start = 0;;) {
            const size_t end = path.find('\\', start);
            const std::string_view part = path.substr(start, end - start);
            if (part.empty()) return false;
            parts->push_back(part);
            if (end == std::string_view::npos) return true;
            start = end + 1;
        }
    };
    const std::string kOdd = "0123456789abcdefABCDEFgG,\\\" ;\r\n\x80\xE9-(:x";
    std::mt19937 random(20261209);
    auto odd = [&] { return kOdd[random() % kOdd.size()]; };
    const char* kEols[] = {"\r\n", "\n", "\r", ""};
    std::string file;
    for (int round = 0; round < 20000; ++round) {
        // Groups "xx," (an export's lists), a few bytes changed, inserted
        // or dropped anywhere, then an end such lines have.
        std::string line;
        const int groups = static_cast<int>(random() % 40);
        for (int g = 0; g < groups; ++g) {
            line += "0123456789abcdefABCDEF"[random() % 22];
            line += "0123456789abcdefABCDEF"[random() % 22];
            line += ',';
        }
        const char* kEnds[] = {"", "\\", "00", " ;c", "\\ ", "0", ",", "\"", "\\\\"};
        line += kEnds[random() % 9];
        for (int k = static_cast<int>(random() % 3); k > 0 && !line.empty(); --k) {
            const size_t at = random() % line.size();
            switch (random() % 3) {
                case 0:
                    line[at] = odd();
                    break;
                case 1:
                    line.insert(line.begin() + static_cast<long>(at), odd());
                    break;
                default:
                    line.erase(at, 1);
            }
        }
        SCOPED_TRACE(line);
        std::vector<uint8_t> bytes;
        EXPECT_EQ(winsim::parseHexBytes(line, nullptr), winsim::parseHexBytes(line, &bytes));
        const size_t run = winsim::hexGroupRun(line);
        ASSERT_EQ(run % 3, 0u);
        for (size_t at = 0; at < run; at += 3) {
            ASSERT_TRUE(winsim::hexDigit(line[at]) >= 0 && winsim::hexDigit(line[at + 1]) >= 0 &&
                        line[at + 2] == ',');
        }
        // The same bytes as a quoted string, a key path and a file.
        const std::string quoted = "\"" + line;
        std::string_view rest = quoted;
        std::string got, expected;
        size_t used = 0;
        const bool ok = quotedOracle(quoted, &expected, &used);
        ASSERT_EQ(winsim::parseQuoted(rest, &got), ok);
        if (ok) {
            EXPECT_EQ(got, expected);
            EXPECT_EQ(rest.size(), quoted.size() - used);
            rest = quoted;
            EXPECT_TRUE(winsim::parseQuoted(rest, nullptr));
            EXPECT_EQ(rest.size(), quoted.size() - used);
        }
        std::vector<std::string_view> parts, expectedParts;
        EXPECT_EQ(winsim::splitKeyPathViews(line, &parts), splitOracle(line, &expectedParts));
        EXPECT_EQ(parts, expectedParts);
        EXPECT_EQ(winsim::isAscii(line),
                  std::none_of(line.begin(), line.end(), [](char c) { return c & 0x80; }));
        file += line + kEols[random() % 4];
    }
    // All the lines as one file: line ends anywhere in the 64-byte blocks.
    winsim::LineReader reader(file, false);
    winsim::RawLine raw;
    size_t at = 0;
    while (reader.next(&raw)) {
        ASSERT_EQ(raw.begin, at);
        at = file.find_first_of("\r\n", at);
        if (at == std::string::npos) at = file.size();
        ASSERT_EQ(raw.end, at);
        if (at < file.size()) at += file.compare(at, 2, "\r\n") == 0 ? 2 : 1;
        ASSERT_EQ(raw.next, at);
    }
    EXPECT_EQ(at, file.size());
    // And as UTF-16 units, some of them with a high byte (never a line end),
    // an odd byte at the end.
    std::string wide = "\xFF\xFE";
    for (char c : file) {
        wide += c;
        wide += random() % 50 == 0 ? '\x0D' : '\0';
    }
    wide += 'x';
    winsim::LineReader units(wide, true);
    at = 2;
    auto isBreak = [&](size_t p) {
        return (wide[p] == '\r' || wide[p] == '\n') && wide[p + 1] == 0;
    };
    while (units.next(&raw)) {
        ASSERT_EQ(raw.begin, at);
        size_t end = at;
        while (end + 1 < wide.size() && !isBreak(end)) end += 2;
        if (end + 1 >= wide.size()) {
            ASSERT_EQ(raw.end, wide.size());
            at = wide.size();
        } else {
            ASSERT_EQ(raw.end, end);
            const bool crlf = wide[end] == '\r' && end + 3 < wide.size() && wide[end + 2] == '\n' &&
                              wide[end + 3] == 0;
            at = end + (crlf ? 4 : 2);
        }
        ASSERT_EQ(raw.next, at);
    }
    EXPECT_EQ(at, wide.size());
}

TEST(RegFile, ImportIntoTheRunningMachine) {
    TempImage image;
    image.reg("[HKEY_LOCAL_MACHINE\\K]\r\n\"v\"=\"1\"\r\n");
    image.load();
    const std::string before = image.systemReg();
    std::string error;
    EXPECT_FALSE(winsim::importRegistry("not a reg file\r\n[-HKEY_LOCAL_MACHINE\\K]\r\n", "x.txt",
                                        nullptr, &error));
    EXPECT_NE(error.find("x.txt: not a registry file"), std::string::npos);
    EXPECT_TRUE(winsim::keyExists("K"));
    EXPECT_EQ(image.systemReg(), before);
    std::vector<std::string> warnings;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(winsim::importRegistry("REGEDIT4\r\n[-HKEY_LOCAL_MACHINE\\K]\r\nbad\r\n", "y.reg",
                                       &warnings, &error));
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].rfind("y.reg:3:", 0), 0u);
    EXPECT_FALSE(winsim::keyExists("K"));
    EXPECT_EQ(image.systemReg().find("[HKEY_LOCAL_MACHINE\\K]"), std::string::npos);
}

}  // namespace
