// Shared set-up of the window-system tests: the sample resources, a scripted
// input driver and a recording dialog procedure.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "tests/ui/data/sample_res.h"
#include "winsim/user.h"

namespace uitest {

// The files under `dir`, named by their paths relative to it.
std::vector<winsim::ui::ResourceFile> readTree(const std::string& dir);

// Runs one step per waitForInput call; returns false when the script is done.
class Script : public winsim::ui::InputDriver {
public:
    std::deque<std::function<void()>> steps;
    int calls = 0;
    bool waitForInput() override;
};

// The dialog procedure of the tests: logs messages as "Main:WM_X ..." and
// hands them to `handler` (default: `standardHandler`).
extern std::vector<std::string> messageLog;
extern std::function<INT_PTR(HWND, UINT, WPARAM, LPARAM)> handler;
INT_PTR CALLBACK probeProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// TRUE for WM_INITDIALOG; IDOK and IDCANCEL end the dialog with their id.
INT_PTR standardHandler(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

class UiTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Runs template `id` modally with `script` as the input driver.
    INT_PTR run(int id, HWND parent = nullptr, LPARAM param = 0);

    Script script;
};

}  // namespace uitest
