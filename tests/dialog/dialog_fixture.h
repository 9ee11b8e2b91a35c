// Runs UninstallDialog on a machine image through the simulated window
// system: a scripted input driver, state readers and image builders.
#pragma once

#include "dialog/resource.h"
#include "platform/win32.h"

#include <gtest/gtest.h>
#include "tests/support/temp_image.h"
#include "winsim/user.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qu_test {

// Operator steps, run one per idle turn of the innermost modal loop. When
// they run out the driver gives no more input and the loop closes the dialog.
class ScriptedInput : public winsim::ui::InputDriver {
public:
    using Step = std::function<void(HWND activeDialog)>;
    void add(Step step) { steps_.push_back(std::move(step)); }
    bool waitForInput() override;

private:
    std::vector<Step> steps_;
    std::size_t next_ = 0;
};

// Readers of the main dialog's controls.
std::string statusText(HWND dialog);
std::vector<std::string> deviceItems(HWND dialog);
int selectedItem(HWND dialog);
bool isEnabled(HWND dialog, int id);

// Catalogue texts with their line endings, as the pane shows them.
std::string message(UINT id, const std::string& name = "", unsigned count = 0);

// An NT-family adapter with its installation: the USB enumeration instance
// (the device of tests/support/reg_text.h), its network class key 00NN, its
// service (and optional lower filter) and the INF and driver files.
struct NtAdapter {
    std::string pid = "0053";  // catalogue slot 0: 0021, 1: 0053, 2: 0054
    std::string instance = "5&1f8d3a27&0&1";
    std::string description = "Quorvane USB 2.0 Network Adapter";
    int classIndex = 7;
    std::string service = "kestrelx";
    std::string lowerFilter;
    bool withInstallTraces = true;  // false: the class key lacks InfPath
};
std::string ntAdapterReg(const NtAdapter& device);
void addNtAdapterFiles(TempImage& image, const NtAdapter& device);

// A copy of one of the shipped images under machines/ in a temp dir.
class ImageCopy {
public:
    explicit ImageCopy(const std::string& name);
    ~ImageCopy();
    ImageCopy(const ImageCopy&) = delete;
    ImageCopy& operator=(const ImageCopy&) = delete;
    std::string dir() const { return dir_; }
    void appendIni(const std::string& text);
    void load();

private:
    std::string dir_;
};

// Loads the program's embedded resources and gives every test a fresh
// window system with `input` as its driver; runs the main dialog.
class DialogTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Runs UninstallDialog modally until the script ends; returns its result.
    INT_PTR runDialog();

    ScriptedInput input;
};

}  // namespace qu_test
