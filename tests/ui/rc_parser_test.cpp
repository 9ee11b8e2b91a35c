// The resource-script reader: templates, string table, images, errors.
#include <filesystem>

#include "tests/ui/ui_fixture.h"
#include "winsim/user/rc_parser.h"

namespace {

using winsim::ui::ResourceFile;
using winsim::ui::detail::ControlTemplate;
using winsim::ui::detail::parseResources;
using winsim::ui::detail::ResourceSet;

const DWORD kChild = WS_CHILD | WS_VISIBLE;

TEST(RcParser, SampleScript) {
    ResourceSet set;
    std::string error;
    ASSERT_TRUE(parseResources(uitest::readTree(UI_TEST_DATA), "sample.rc", &set, &error)) << error;

    // Main template: options, implied styles and every control form.
    const auto* main = set.findDialog(MAKEINTRESOURCEA(102));
    ASSERT_NE(main, nullptr);
    EXPECT_TRUE(main->extended);
    EXPECT_EQ(main->cx, 200);
    EXPECT_EQ(main->cy, 120);
    EXPECT_EQ(main->caption, "Main \"sample\" dialog");
    EXPECT_EQ(main->fontName, "MS Sans Serif");
    EXPECT_EQ(main->fontSize, 8);
    EXPECT_EQ(main->style, static_cast<uint32_t>(DS_SETFONT | DS_MODALFRAME | WS_POPUP |
                                                 WS_VISIBLE | WS_CAPTION | WS_SYSMENU));
    EXPECT_EQ(main->exStyle, static_cast<uint32_t>(WS_EX_APPWINDOW));
    ASSERT_EQ(main->controls.size(), 9u);
    const ControlTemplate& go = main->controls[0];
    EXPECT_EQ(go.className, "Button");
    EXPECT_EQ(go.text, "Go");
    EXPECT_EQ(go.id, IDOK);
    EXPECT_EQ(go.style, kChild | BS_DEFPUSHBUTTON | WS_TABSTOP | WS_DISABLED);
    EXPECT_EQ(main->controls[2].id, 1006);  // (IDC_BASE + 6)
    const ControlTemplate& label = main->controls[3];
    EXPECT_EQ(label.className, "Static");
    EXPECT_EQ(label.id, -1);
    EXPECT_EQ(label.style, kChild | SS_LEFT | WS_GROUP);
    EXPECT_EQ(main->controls[4].className, "ComboBox");
    EXPECT_EQ(main->controls[4].style, kChild | CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP);
    EXPECT_EQ(main->controls[4].cy, 60);
    const ControlTemplate& log = main->controls[5];
    EXPECT_EQ(log.className, "Edit");
    EXPECT_EQ(log.style, kChild | WS_BORDER | WS_TABSTOP | ES_MULTILINE | ES_AUTOVSCROLL |
                             ES_READONLY | WS_VSCROLL);
    const ControlTemplate& hidden = main->controls[6];
    EXPECT_EQ(hidden.id, 1007);  // continued #define line
    EXPECT_EQ(hidden.style, WS_CHILD | BS_PUSHBUTTON | WS_TABSTOP | WS_DISABLED);
    const ControlTemplate& picture = main->controls[7];
    EXPECT_TRUE(picture.hasImage);
    EXPECT_EQ(picture.image.str(), "129");
    EXPECT_EQ(picture.style, kChild | SS_BITMAP | SS_SUNKEN);
    const ControlTemplate& icon = main->controls[8];
    EXPECT_TRUE(icon.hasImage);
    EXPECT_EQ(icon.image.str(), "128");
    EXPECT_EQ(icon.style, kChild | SS_ICON);
    EXPECT_EQ(icon.cx, 20);

    // DIALOG with braces; a template without STYLE gets the default style.
    const auto* about = set.findDialog(MAKEINTRESOURCEA(100));
    ASSERT_NE(about, nullptr);
    EXPECT_FALSE(about->extended);
    EXPECT_EQ(about->controls.size(), 2u);
    EXPECT_EQ(about->controls[0].style, kChild | SS_CENTER | WS_GROUP | SS_NOPREFIX);
    const auto* plain = set.findDialog("#103");
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->controls[0].exStyle, static_cast<uint32_t>(WS_EX_STATICEDGE));
    EXPECT_EQ(plain->controls[0].style, kChild | BS_PUSHBUTTON | WS_TABSTOP);
    EXPECT_EQ(set.findDialog(MAKEINTRESOURCEA(101)), nullptr);

    // String table: escapes, doubled quotes, adjacent literals, empty text.
    EXPECT_EQ(set.strings.at(101), "Hello, world\r\r\n");
    EXPECT_EQ(set.strings.at(102), "say \"hi\" \\ \tAA and more");
    EXPECT_EQ(set.strings.at(103), "");
    EXPECT_EQ(set.strings.size(), 4u);  // TEXTINCLUDE under APSTUDIO_INVOKED was skipped

    // Images keep their file's name and bytes (NULs included).
    ASSERT_EQ(set.icons.size(), 1u);
    EXPECT_EQ(set.icons[0].file, "art/main.ico");
    EXPECT_EQ(set.icons[0].bytes, std::string("ICO\0\1\2\377main", 11));
    ASSERT_EQ(set.bitmaps.size(), 1u);
    EXPECT_EQ(set.bitmaps[0].file, "art\\pic.bmp");
    EXPECT_EQ(set.bitmaps[0].bytes.size(), 8u);
}

// Each bad script gives "file(line): message" and no resources.
TEST(RcParser, ErrorsNameFileAndLine) {
    struct Case {
        const char* rc;
        const char* expected;
    };
    const Case cases[] = {
        {"#include \"missing.h\"\n", "x.rc(1): cannot open include file 'missing.h'"},
        {"\n1 DIALOG 0,0,10,10\nBEGIN\n LTEXT \"open, -1, 0,0,1,1\nEND\n",
         "x.rc(4): unterminated string"},
        {"1 DIALOG 0,0,10,10\nBEGIN\n  PUSHBUTTON \"a\", IDC_NOPE, 0,0,1,1\nEND\n",
         "x.rc(3): undefined symbol 'IDC_NOPE' in control id"},
        {"1 DIALOG 0,0,10,10\nBEGIN\n  PUSHBUTTON \"a\", 5, 0,0,1,1\n", "missing END of dialog"},
        {"STRINGTABLE\nBEGIN\n 1 \"a\"\n 1 \"b\"\nEND\n", "x.rc(4): duplicate string id 1"},
        {"STRINGTABLE\nBEGIN\n 70000 \"a\"\nEND\n", "x.rc(3): string id must be 0 to 65535"},
        {"5 ICON \"nothere.ico\"\n", "x.rc(1): cannot find file 'nothere.ico'"},
        {"\n#ifdef X\n", "x.rc(2): #if without #endif"},
        {"#else\n", "x.rc(1): #else without #if"},
        {"1 DIALOG 0,0,10,10\nBEGIN\n  SLIDER 5, 0,0,1,1\nEND\n",
         "x.rc(3): unknown control statement 'SLIDER'"},
        {"1 DIALOG 0,0,10,10\nBEGIN\n  PUSHBUTTON \"a\" 5, 0,0,1,1\nEND\n",
         "x.rc(3): expected ',' after the control text, found '5'"},
        {"1 DIALOG 0,0,0x,10\n", "x.rc(1): bad hexadecimal number"},
        {"1 DIALOG 0,0,10,10\nBEGIN\n CONTROL 200, -1, \"Static\", SS_BITMAP, 0,0,1,1\nEND\n",
         "x.rc(3): dialog 1 shows bitmap 200, which is not defined"},
        {"/* never closed\n", "x.rc(1): unterminated comment"},
        {"#error stop here\n", "x.rc(1): #error stop here"},
        {"1 DIALOG 0,0,10,10 / 0\n", "division by zero"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rc);
        ResourceSet set;
        std::string error;
        EXPECT_FALSE(parseResources({{"x.rc", c.rc}}, "x.rc", &set, &error));
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
        EXPECT_TRUE(set.dialogs.empty());
    }

    // A failed load keeps the resources loaded before.
    std::string error;
    ASSERT_TRUE(
        winsim::ui::loadResources({{"a.rc", "STRINGTABLE { 7 \"seven\" }"}}, "a.rc", &error));
    EXPECT_FALSE(winsim::ui::loadResources({{"b.rc", "STRINGTABLE { 7 }"}}, "b.rc", &error));
    EXPECT_EQ(error, "b.rc(1): expected string, found '}'");
    EXPECT_FALSE(winsim::ui::loadResources({}, "none.rc", &error));
    EXPECT_EQ(error, "none.rc: no such resource file");
    char buffer[16];
    EXPECT_EQ(LoadStringA(nullptr, 7, buffer, sizeof buffer), 5);
    winsim::ui::unloadResources();
    EXPECT_EQ(LoadStringA(nullptr, 7, buffer, sizeof buffer), 0);
}

TEST(RcParser, PreprocessorConditions) {
    const char* rc =
        "#define A 1\n"
        "#define B (A << 3) | 2\n"
        "#if defined(A) && !defined(C) && B == 10\n"
        "STRINGTABLE { 1 \"yes\" }\n"
        "#elif 1\n"
        "STRINGTABLE { 1 \"elif\" }\n"
        "#else\n"
        "STRINGTABLE { 1 \"no\" }\n"
        "#endif\n"
        "#if 0\n#if 1\nSTRINGTABLE { 2 \"nested\" }\n#endif\n#else\n"
        "STRINGTABLE { 3, \"else\" }\n#endif\n"
        "#undef A\n#ifndef A\nSTRINGTABLE { 4 + 7 \"eleven\" }\n#endif\n";
    ResourceSet set;
    std::string error;
    ASSERT_TRUE(parseResources({{"p.rc", rc}}, "p.rc", &set, &error)) << error;
    EXPECT_EQ(set.strings.at(1), "yes");
    EXPECT_EQ(set.strings.count(2), 0u);
    EXPECT_EQ(set.strings.at(3), "else");
    EXPECT_EQ(set.strings.at(11), "eleven");
}

// The program's own script parses, with the templates and catalogue its
// dialogs rely on.
TEST(RcParser, ProductScript) {
    const std::string dir = std::string(QU_SOURCE_DIR) + "/dialog";
    if (!std::filesystem::exists(dir + "/resources.rc")) GTEST_SKIP() << "no product script";
    ResourceSet set;
    std::string error;
    ASSERT_TRUE(parseResources(uitest::readTree(dir), "resources.rc", &set, &error)) << error;
    const auto* main = set.findDialog(MAKEINTRESOURCEA(102));
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(main->cx, 267);
    EXPECT_EQ(main->cy, 191);
    EXPECT_EQ(main->controls.size(), 11u);
    ASSERT_NE(set.findDialog(MAKEINTRESOURCEA(100)), nullptr);
    for (unsigned id = 101; id <= 120; ++id) {
        EXPECT_EQ(set.strings.count(static_cast<uint16_t>(id)), id == 114 ? 0u : 1u) << id;
    }
    EXPECT_EQ(set.icons.size(), 1u);
    EXPECT_EQ(set.bitmaps.size(), 2u);
}

}  // namespace
