// Internal state of the simulated window system, shared by its sources.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "winsim/api/win32_user.h"
#include "winsim/user.h"
#include "winsim/user/rc_parser.h"

namespace winsim::ui::detail {

enum class WinKind { Dialog, Button, ComboBox, Edit, Static, Other };

struct ComboItem {
    std::string text;
    LPARAM data = 0;
};

struct Window {
    HWND handle = nullptr;
    WinKind kind = WinKind::Other;
    std::string className;
    HWND parent = nullptr;  // controls: their dialog; dialogs: the owner
    int id = 0;
    DWORD style = 0;
    DWORD exStyle = 0;
    std::string text;
    int x = 0, y = 0, cx = 0, cy = 0;  // dialog units
    bool alive = true;
    bool needsPaint = true;
    LONG_PTR userData = 0;

    // Dialogs.
    std::string templateName;
    std::string fontName;
    int fontSize = 0;
    DLGPROC proc = nullptr;
    LONG_PTR msgResult = 0;
    LONG_PTR dlgUser = 0;
    std::vector<HWND> children;  // template order
    HWND focus = nullptr;
    int defId = 0;  // the default command (DM_GETDEFID), whichever button shows as default
    bool iconic = false;
    HICON bigIcon = nullptr;
    HICON smallIcon = nullptr;
    bool running = false;  // its modal loop runs
    bool ended = false;
    INT_PTR result = 0;
    bool hasMenuCopy = false;
    std::vector<MenuItem> menu;
    HMENU menuHandle = nullptr;

    // Combo boxes.
    std::vector<ComboItem> items;
    int curSel = -1;

    // Edits.
    int firstLine = 0;
    DWORD selStart = 0;
    DWORD selEnd = 0;

    // Buttons.
    UINT check = BST_UNCHECKED;

    // Picture statics.
    bool hasImage = false;
    bool imageIsIcon = false;
    ResName image;
    void* imageHandle = nullptr;
};

struct PaintContext {
    HWND window = nullptr;
    bool erased = false;
};

// Operator input, queued and carried out by the modal loop.
struct Input {
    enum Type { Click, Select, SysCommand, Key, Mnemonic, Scroll, Focus } type = Click;
    HWND dialog = nullptr;
    int id = 0;
    int value = 0;
    UINT command = 0;
    ui::Key key = ui::Key::Enter;
    char letter = 0;
};

struct ImageRef {
    bool icon = true;
    ResName name;
};

struct State {
    std::map<HWND, std::unique_ptr<Window>> windows;
    std::vector<std::unique_ptr<Window>> graveyard;  // destroyed, freed when no loop runs
    uintptr_t nextHandle = 0x10000;
    std::deque<MSG> posted;
    std::deque<Input> input;
    std::vector<HWND> running;  // modal dialogs, outermost first
    InputDriver* driver = nullptr;
    std::function<void(HWND, const std::string&, const std::string&)> textObserver;
    std::function<bool(HWND, int)> clickFilter;
    std::function<void(HWND)> repaintObserver;
    std::function<bool()> idleObserver;
    std::vector<DrawIconCall> drawIconCalls;
    std::vector<MessageBoxCall> messageBoxes;
    std::map<HDC, PaintContext> paints;
    std::map<HMENU, HWND> menus;
    std::map<void*, ImageRef> images;  // HICON / HBITMAP of resources
    bool commonControls = false;
    bool refuseListAdds = false;
    std::unique_ptr<ResourceSet> resources;
};

State& state();

template <typename H>
H newHandle() {
    State& s = state();
    s.nextHandle += 0x10;
    return reinterpret_cast<H>(s.nextHandle);
}

Window* find(HWND hwnd);
Window* findDialog(HWND hwnd);
Window* childOf(Window* dialog, int id);

// Window procedures of the model.
LRESULT send(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT defWindowProc(Window* w, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT controlProc(Window* w, UINT msg, WPARAM wParam, LPARAM lParam);
void notifyParent(Window* control, WORD code);
void setText(Window* w, const std::string& text);
void destroy(Window* w);
HWND createDialog(const DialogTemplate& t, HWND owner, DLGPROC proc);
// Moves the focus within `dialog` (notifications included) and updates
// which push button shows as the default.
bool setFocusTo(Window* dialog, HWND control);
void showDefaultButton(Window* dialog);
// BS_PUSHBUTTON or BS_DEFPUSHBUTTON.
bool isPushButton(const Window* w);

// Edit control layout: lines as displayed and lines in view.
std::vector<std::string> editLines(const Window& w);
int editVisibleLines(const Window& w);
void editScroll(Window* w, int lines);

// System menu (created on first use for windows with WS_SYSMENU).
std::vector<MenuItem>* systemMenu(Window* w);

// Resource images.
void* imageHandle(bool icon, const ResName& name);
bool acceptsInput(Window* dialog, Window* control);
void processInput(const Input& in);

}  // namespace winsim::ui::detail
