#include "dialog/about_dialog.h"

#include "dialog/framework/fw_application.h"
#include "dialog/framework/fw_string.h"
#include "dialog/resource.h"

namespace {
// The program version shown by the about box (and in the version resource).
constexpr int kVersion[4] = {1, 1, 1, 0};
}  // namespace

AboutDialog::AboutDialog(HWND parent) : fw::Dialog(IDD_ABOUTBOX, parent) {}

BOOL AboutDialog::onInitDialog() {
    fw::Dialog::onInitDialog();
    fw::String format;
    format.load(fw::resourceModule(), IDS_VERSION_FORMAT);
    fw::String versionLine;
    versionLine.format(format.c_str(), kVersion[0], kVersion[1], kVersion[2], kVersion[3]);
    SetWindowTextA(item(IDC_VERSION), versionLine.c_str());
    return TRUE;
}
