// The about box, the system menu, the window icon, and the framework's
// string loading and formatting.
#include "dialog/framework/fw_string.h"
#include "dialog/embedded_file.h"
#include "tests/dialog/dialog_fixture.h"

#include <gtest/gtest.h>

using namespace qu_test;

TEST_F(DialogTest, AboutBoxFromTheSystemMenu) {
    ImageCopy xp("xp");
    xp.load();

    std::vector<winsim::ui::MenuItem> menu;
    winsim::ui::DialogInfo about;
    HWND mainDialog = nullptr;
    std::string statusBefore, statusAfter;
    int opened = 0;
    input.add([&](HWND dialog) {
        mainDialog = dialog;
        menu = winsim::ui::systemMenuItems(dialog);
        statusBefore = statusText(dialog);
        EXPECT_TRUE(winsim::ui::chooseSystemCommand(dialog, IDM_ABOUTBOX));
    });
    // Runs inside the about box's own modal loop.
    input.add([&](HWND dialog) {
        ++opened;
        ASSERT_NE(dialog, mainDialog);
        ASSERT_TRUE(winsim::ui::describeDialog(dialog, &about));
        EXPECT_TRUE(winsim::ui::clickButton(dialog, IDOK));
    });
    input.add([&](HWND dialog) {
        EXPECT_EQ(dialog, mainDialog);
        statusAfter = statusText(dialog);
        // Opened again: a fresh box each time.
        EXPECT_TRUE(winsim::ui::chooseSystemCommand(dialog, IDM_ABOUTBOX));
    });
    input.add([&](HWND dialog) {
        ++opened;
        EXPECT_TRUE(winsim::ui::clickButton(dialog, IDOK));
    });
    // Any other system command gets the default processing: Close ends the dialog.
    input.add([&](HWND dialog) { EXPECT_TRUE(winsim::ui::chooseSystemCommand(dialog, 0xF060)); });
    EXPECT_EQ(runDialog(), IDCANCEL);

    ASSERT_GE(menu.size(), 2u);
    EXPECT_TRUE(menu[menu.size() - 2].separator);
    EXPECT_EQ(menu.back().id, 16u);
    EXPECT_EQ(menu.back().text, "&About QuorvaneUninstall...");

    EXPECT_EQ(opened, 2);
    EXPECT_EQ(about.caption, "About QuorvaneUninstall");
    std::vector<std::string> texts;
    std::string version;
    for (const auto& control : about.controls) {
        if (control.kind == winsim::ui::ControlKind::Static && control.imageType.empty()) {
            texts.push_back(control.text);
        }
        if (control.id == IDC_VERSION) {
            version = control.text;
        }
    }
    EXPECT_EQ(version, "v1.1.1.0");
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0], "Quorvane USB Miniport Driver Uninstall");
    EXPECT_EQ(statusAfter, statusBefore);
}

TEST_F(DialogTest, MinimisedDialogDrawsItsIconCentred) {
    ImageCopy xp("xp");
    xp.load();
    winsim::ui::DialogInfo info;
    RECT client = {};
    LRESULT dragIcon = 0;
    input.add([&](HWND dialog) {
        winsim::ui::describeDialog(dialog, &info);
        dragIcon = SendMessageA(dialog, WM_QUERYDRAGICON, 0, 0);
        winsim::ui::setIconic(dialog, true);
    });
    input.add([&](HWND dialog) { GetClientRect(dialog, &client); });
    runDialog();

    ASSERT_NE(info.bigIcon, nullptr);
    EXPECT_EQ(info.smallIcon, info.bigIcon);
    winsim::ui::IconInfo icon;
    ASSERT_TRUE(winsim::ui::describeIcon(info.bigIcon, &icon));
    EXPECT_EQ(icon.name, "128");
    EXPECT_EQ(reinterpret_cast<HICON>(dragIcon), info.bigIcon);

    const auto& calls = winsim::ui::drawIconCalls();
    ASSERT_FALSE(calls.empty());
    const auto& call = calls.back();
    EXPECT_EQ(call.icon, info.bigIcon);
    EXPECT_TRUE(call.backgroundErased);
    const int cx = GetSystemMetrics(SM_CXICON);
    const int cy = GetSystemMetrics(SM_CYICON);
    EXPECT_EQ(call.x, (client.right - client.left - cx + 1) / 2);
    EXPECT_EQ(call.y, (client.bottom - client.top - cy + 1) / 2);
}

TEST_F(DialogTest, EmptyAboutLabelAddsNothingToTheSystemMenu) {
    // The same resources with an empty IDS_ABOUT_MENU_TEXT.
    std::vector<winsim::ui::ResourceFile> files;
    for (std::size_t i = 0; i < dialog_resources::kFileCount; ++i) {
        const EmbeddedFile& f = dialog_resources::kFiles[i];
        files.push_back({f.name, std::string(reinterpret_cast<const char*>(f.data), f.size)});
    }
    for (auto& file : files) {
        if (file.name == "resources.rc") {
            const std::string label = "\"&About QuorvaneUninstall...\"";
            const auto at = file.bytes.find(label);
            ASSERT_NE(at, std::string::npos);
            file.bytes.replace(at, label.size(), "\"\"");
        }
    }
    std::string error;
    ASSERT_TRUE(winsim::ui::loadResources(files, "resources.rc", &error)) << error;

    ImageCopy xp("xp");
    xp.load();
    std::vector<winsim::ui::MenuItem> menu;
    input.add([&](HWND dialog) {
        menu = winsim::ui::systemMenuItems(dialog);
        EXPECT_FALSE(winsim::ui::chooseSystemCommand(dialog, IDM_ABOUTBOX));
    });
    runDialog();
    ASSERT_FALSE(menu.empty());  // the standard items stay
    for (const auto& item : menu) {
        EXPECT_FALSE(item.separator);
        EXPECT_NE(item.id, static_cast<UINT>(IDM_ABOUTBOX));
    }
}

TEST_F(DialogTest, StringLoadingAndFormatting) {
    HINSTANCE module = GetModuleHandleA(nullptr);
    fw::String text;
    // Longer than the first buffer the loader tries.
    ASSERT_TRUE(text.load(module, IDS_NO_DEVICE_NT));
    EXPECT_EQ(text.length(), message(IDS_NO_DEVICE_NT).size());
    EXPECT_EQ(std::string(text.c_str()).substr(text.length() - 3), "\r\r\n");

    EXPECT_FALSE(text.load(module, 114));  // not in the catalogue
    EXPECT_TRUE(text.empty());

    fw::String formatted;
    formatted.format("'%s' %u", "a", 3u, "surplus");
    EXPECT_STREQ(formatted.c_str(), "'a' 3");
    formatted.format("%s", std::string(5000, 'x').c_str());
    EXPECT_EQ(formatted.length(), 5000u);
    formatted.append(fw::String("!"));
    EXPECT_EQ(formatted.length(), 5001u);

    // The framework's own formatter: %s, %d, %u and %%; anything else stays
    // as written and takes no argument.
    const struct {
        const char* format;
        const char* expected;
    } cases[] = {
        {"v%d.%d.%d.%d", "v1.-2.2147483647.-2147483648"},
        {"%u times, %%s stays, %x and %5s and 100%",
         "4294967295 times, %s stays, %x and %5s and 100%"},
        {"'%s' and '%s'", "'(null)' and 'b'"},
        {"", ""},
    };
    formatted.format(cases[0].format, 1, -2, 2147483647, -2147483647 - 1);
    EXPECT_STREQ(formatted.c_str(), cases[0].expected);
    formatted.format(cases[1].format, 4294967295u);
    EXPECT_STREQ(formatted.c_str(), cases[1].expected);
    formatted.format(cases[2].format, static_cast<const char*>(nullptr), "b");
    EXPECT_STREQ(formatted.c_str(), cases[2].expected);
    formatted.format(cases[3].format, 1);
    EXPECT_STREQ(formatted.c_str(), cases[3].expected);
    EXPECT_TRUE(formatted.empty());
    formatted.format(nullptr);
    EXPECT_STREQ(formatted.c_str(), "");
}
