#include "tests/ui/ui_fixture.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace uitest {

std::vector<winsim::ui::ResourceFile> readTree(const std::string& dir) {
    std::vector<winsim::ui::ResourceFile> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        files.push_back(
            {std::filesystem::relative(entry.path(), dir).generic_string(), bytes.str()});
    }
    return files;
}

bool Script::waitForInput() {
    ++calls;
    if (steps.empty()) return false;
    std::function<void()> step = std::move(steps.front());
    steps.pop_front();
    step();
    return true;
}

std::vector<std::string> messageLog;
std::function<INT_PTR(HWND, UINT, WPARAM, LPARAM)> handler;

INT_PTR standardHandler(HWND hwnd, UINT msg, WPARAM wParam, LPARAM) {
    if (msg == WM_INITDIALOG) return TRUE;
    if (msg == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        EndDialog(hwnd, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

INT_PTR CALLBACK probeProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    // Named by a control only that template has (the caption would be asked
    // for with WM_GETTEXT, which comes back here).
    const std::string name = GetDlgItem(hwnd, IDC_LIST) != nullptr      ? "Main"
                             : GetDlgItem(hwnd, IDC_VERSION) != nullptr ? "About"
                                                                        : "Plain";
    switch (msg) {
        case WM_INITDIALOG:
            messageLog.push_back(name + ":WM_INITDIALOG");
            break;
        case WM_COMMAND:
            messageLog.push_back(name + ":WM_COMMAND " + std::to_string(LOWORD(wParam)) + "/" +
                                 std::to_string(HIWORD(wParam)));
            break;
        case WM_SYSCOMMAND:
            messageLog.push_back(name + ":WM_SYSCOMMAND " + std::to_string(wParam));
            break;
        case WM_CLOSE:
            messageLog.push_back(name + ":WM_CLOSE");
            break;
        case WM_DESTROY:
            messageLog.push_back(name + ":WM_DESTROY");
            break;
        case WM_PAINT:
            messageLog.push_back(name + ":WM_PAINT");
            break;
        default:
            break;
    }
    return handler ? handler(hwnd, msg, wParam, lParam)
                   : standardHandler(hwnd, msg, wParam, lParam);
}

void UiTest::SetUp() {
    winsim::ui::resetWindowSystem();
    messageLog.clear();
    handler = nullptr;
    std::string error;
    ASSERT_TRUE(winsim::ui::loadResources(readTree(UI_TEST_DATA), "sample.rc", &error)) << error;
    winsim::ui::setInputDriver(&script);
}

void UiTest::TearDown() {
    winsim::ui::resetWindowSystem();
    handler = nullptr;
}

INT_PTR UiTest::run(int id, HWND parent, LPARAM param) {
    return DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(id), parent, probeProc,
                           param);
}

}  // namespace uitest
