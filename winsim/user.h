// The simulated window system seen from the host: registering the program's
// resources, driving its modal dialogs (the line mode, the terminal UI and
// tests are all input drivers) and inspecting windows for rendering and
// state output. Product code never includes this file; it sees the window
// system only through platform/win32.h.
//
// Geometry is in dialog units, as in the templates. The model's pixels (for
// GetClientRect and MapDialogRect) use the base units of an 8-point dialog
// font: 4 horizontal dialog units = 6 pixels, 8 vertical = 13 pixels.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "winsim/api/win32_base.h"
#include "winsim/api/win32_user.h"

namespace winsim::ui {

// ---- Resources --------------------------------------------------------------

// One file of the program's resources: the .rc text, the headers it
// includes, or a binary file an ICON or BITMAP statement names. `name` is
// the file's name as the .rc spells it ("res/app.ico") or its base name.
struct ResourceFile {
    std::string name;
    std::string bytes;
};

// Parses `rcName` (one of `files`) with the headers it includes and makes
// its dialogs, string table, icons and bitmaps the program's resources. On
// failure returns false, sets `error` to "file(line): message" and keeps the
// resources loaded before (if any).
bool loadResources(const std::vector<ResourceFile>& files, const std::string& rcName,
                   std::string* error);
void unloadResources();

// The string table entry `id`, or false when there is none.
bool stringResource(UINT id, std::string* text);

// ---- Driving dialogs ----------------------------------------------------------

class InputDriver {
public:
    virtual ~InputDriver() = default;
    // Called by the modal loop whenever its queue is empty. Deliver input
    // through the functions below and return true, or return false when no
    // input will ever come: the loop then closes the active dialog as the
    // window's close box would, and ends it with -1 if it stays open.
    virtual bool waitForInput() = 0;
};

// The driver every modal loop asks for input (not owned; null = none, which
// behaves like a driver that returns false).
void setInputDriver(InputDriver* driver);

// Called by every modal loop when its queue is empty (posted messages and
// queued input all handled), right before it asks the input driver for
// input: the operator's last command is complete. Returning false ends the
// input as a driver returning false does (the active dialog is closed as
// its close box would). nullptr: none.
void setIdleObserver(std::function<bool()> observer);

// The innermost running modal dialog, or null; all running ones, outermost
// first.
HWND activeDialog();
std::vector<HWND> runningDialogs();

// Operator input. Each acts as the mouse or keyboard would and returns false,
// doing nothing, when the target does not take input: the dialog is not the
// active modal one, or the control is missing, hidden or disabled.
bool clickButton(HWND dialog, int id);
// Selects item `index` of a combo box and notifies CBN_SELCHANGE.
bool chooseListItem(HWND dialog, int id, int index);
// Chooses an enabled item of the system menu: WM_SYSCOMMAND(id).
bool chooseSystemCommand(HWND dialog, UINT id);
// The title bar's close box (WM_SYSCOMMAND SC_CLOSE); false without one.
bool closeBox(HWND dialog);
// Scrolls a multi-line edit by `lines` (as its scroll bar would).
bool scrollEdit(HWND dialog, int id, int lines);
// Moves the focus to a visible enabled control.
bool focusControl(HWND dialog, int id);

enum class Key { Enter, Escape, Space, Tab, BackTab, Up, Down, PageUp, PageDown, Home, End };
// A key for the dialog: Enter = focused push button or the default button,
// Escape = cancel, Space = focused button, Tab/BackTab = next tab stop,
// the others move a combo box's selection or scroll an edit.
bool pressKey(HWND dialog, Key key);
// Alt+letter: clicks the button with that mnemonic, or focuses the control
// after a label with it.
bool pressMnemonic(HWND dialog, char letter);

// Minimises or restores a dialog; the window is repainted by the modal loop.
void setIconic(HWND window, bool iconic);

// ---- Inspection ---------------------------------------------------------------

enum class ControlKind { Button, ComboBox, Edit, Static, Other };

// The character grid text is laid out on: a cell is 4 dialog units wide and
// 8 high (the dialog font's average character and its line). A rectangle in
// dialog units covers the cells between its edges, each rounded to the
// nearest cell boundary, and at least one cell each way.
struct Cells {
    int col = 0, row = 0, cols = 1, rows = 1;
};
Cells gridCells(int x, int y, int cx, int cy);
// Where a multi-line edit lays out its text: its cells less one on each side
// for a border (WS_BORDER or WS_EX_CLIENTEDGE) when it has more than two
// each way; the vertical scroll bar runs on the right border. Lines are
// `cols` characters wide and `rows` of them are in view.
Cells editTextCells(int x, int y, int cx, int cy, DWORD style, DWORD exStyle);

struct ControlInfo {
    HWND hwnd = nullptr;
    ControlKind kind = ControlKind::Other;
    std::string className;  // "Button", "ComboBox", "Edit", "Static", ...
    int id = 0;
    std::string text;                         // window text (a drop-down list: its selected item)
    int x = 0, y = 0, width = 0, height = 0;  // dialog units
    DWORD style = 0;
    DWORD exStyle = 0;
    bool visible = false;
    bool enabled = false;
    bool isDefault = false;  // BS_DEFPUSHBUTTON
    bool focused = false;
    bool tabStop = false;
    // Picture statics: "ICON" or "BITMAP", the resource's name ("128") and
    // its file's name and bytes.
    std::string imageType;
    std::string imageName;
    std::string imageFile;
    const std::string* imageBytes = nullptr;
    // Combo boxes.
    std::vector<std::string> items;
    int curSel = -1;
    // Edits: the lines as displayed and the first visible one. CR LF and
    // CR CR LF break lines; a multi-line edit without ES_AUTOHSCROLL wraps at
    // word boundaries to the width of its text cells (editTextCells, here
    // relative to the client area), which also give the lines in view.
    std::vector<std::string> lines;
    int firstVisibleLine = 0;
    int visibleLines = 0;
    Cells textCells;
};

struct DialogInfo {
    HWND hwnd = nullptr;
    std::string templateName;  // "102" or the template's name
    std::string caption;
    int width = 0, height = 0;  // dialog units
    std::string fontName;
    int fontSize = 0;
    DWORD style = 0;
    DWORD exStyle = 0;
    bool enabled = false;
    bool iconic = false;
    HICON bigIcon = nullptr;
    HICON smallIcon = nullptr;
    std::vector<ControlInfo> controls;  // template order = tab order
};

// False when `dialog` is not a dialog window.
bool describeDialog(HWND dialog, DialogInfo* info);
bool describeControl(HWND control, ControlInfo* info);

struct MenuItem {
    UINT id = 0;
    std::string text;
    bool separator = false;
    bool enabled = true;
};
// The system menu's items (empty when the window has none).
std::vector<MenuItem> systemMenuItems(HWND window);

// The resource an icon handle was loaded from ("128", file name, bytes).
struct IconInfo {
    std::string name;
    std::string file;
    const std::string* bytes = nullptr;
};
bool describeIcon(HICON icon, IconInfo* info);

// The control with the focus in `dialog`, or null; the next (or previous)
// visible, enabled tab stop after `from` (null: the first or last).
HWND focusedControl(HWND dialog);
HWND nextTabStop(HWND dialog, HWND from, bool backwards);

// ---- Observers and records ------------------------------------------------------

// Called after every change of a window's text (WM_SETTEXT).
void setTextObserver(
    std::function<void(HWND window, const std::string& before, const std::string& after)> observer);
// Called by UpdateWindow, so a front end can redraw before a slow operation.
void setRepaintObserver(std::function<void(HWND window)> observer);
// Consulted before a dialog receives the click of its button `id`
// (WM_COMMAND with BN_CLICKED, however the click came); returning false
// drops it, as the host does for changes a read-only machine cannot take.
void setClickFilter(std::function<bool(HWND dialog, int id)> filter);

struct DrawIconCall {
    HWND window = nullptr;  // the window whose paint context received it
    int x = 0;
    int y = 0;
    HICON icon = nullptr;
    bool backgroundErased = false;  // WM_ICONERASEBKGND went to default processing first
};
const std::vector<DrawIconCall>& drawIconCalls();

struct MessageBoxCall {
    HWND owner = nullptr;
    std::string text;
    std::string caption;
    UINT type = 0;
};
const std::vector<MessageBoxCall>& messageBoxes();

// While set, CB_ADDSTRING and CB_INSERTSTRING fail with CB_ERRSPACE, as a
// list out of memory would.
void refuseListAdds(bool refuse);

// True once InitCommonControls(Ex) has been called.
bool commonControlsInitialised();

// Destroys every window, empties the queue and clears observers (the idle
// observer too), records and the driver (resources stay). Not while a modal loop runs.
void resetWindowSystem();

}  // namespace winsim::ui
