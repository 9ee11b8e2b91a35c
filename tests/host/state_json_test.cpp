// The JSON lines shared by the line mode and the UI driver.
#include "protocol/state_json.h"

#include <gtest/gtest.h>

namespace {

TEST(UiDriverJson, StringEscapes) {
    // Named escapes.
    EXPECT_EQ(statejson::jsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(statejson::jsonString("line\r\r\n"), "\"line\\r\\r\\n\"");
    // Other control bytes: \u00xx, lower-case hex.
    EXPECT_EQ(statejson::jsonString(std::string("\t\x1b\x1f", 3)), "\"\\u0009\\u001b\\u001f\"");
    EXPECT_EQ(statejson::jsonString(std::string("a\0b", 3)), "\"a\\u0000b\"");
    // DEL, UTF-8 and the slash pass through.
    EXPECT_EQ(statejson::jsonString("\x7f/\xc3\xa9\xe2\x82\xac"), "\"\x7f/\xc3\xa9\xe2\x82\xac\"");
    EXPECT_EQ(statejson::jsonString(""), "\"\"");
}

TEST(UiDriverJson, StateLine) {
    statejson::DialogState empty;
    EXPECT_EQ(statejson::stateLine(empty),
              "{\"status\": \"\", \"devices\": [], \"selected\": -1, \"enabled\": {\"uninstall\": "
              "false, \"close\": false, \"detect\": false, \"restart\": false}, "
              "\"restartRequested\": false}");

    statejson::DialogState two;
    two.status = "Windows2000 / WindowsXP detected.\r\r\n";
    two.devices = {"Quorvane \"A\"", "B"};
    two.selected = 1;
    two.uninstallEnabled = true;
    two.closeEnabled = true;
    two.detectEnabled = true;
    two.restartEnabled = false;
    two.restartRequested = true;
    EXPECT_EQ(
        statejson::stateLine(two),
        "{\"status\": \"Windows2000 / WindowsXP detected.\\r\\r\\n\", \"devices\": "
        "[\"Quorvane \\\"A\\\"\", \"B\"], \"selected\": 1, \"enabled\": {\"uninstall\": true, "
        "\"close\": true, \"detect\": true, \"restart\": false}, \"restartRequested\": true}");
}

TEST(UiDriverJson, AboutLine) {
    statejson::AboutState about;
    about.caption = "About QuorvaneUninstall";
    EXPECT_EQ(statejson::aboutLine(about),
              "{\"caption\": \"About QuorvaneUninstall\", \"texts\": []}");
    about.texts = {"Quorvane USB Miniport Driver Uninstall", "v1.1.1.0", "x"};
    EXPECT_EQ(
        statejson::aboutLine(about),
        "{\"caption\": \"About QuorvaneUninstall\", \"texts\": [\"Quorvane USB Miniport Driver "
        "Uninstall\", \"v1.1.1.0\", \"x\"]}");
}

}  // namespace
