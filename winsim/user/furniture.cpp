// Painting, icons, the system menu, resources and the host's inspection API.
#include <algorithm>
#include <cstring>

#include "winsim/user/internal.h"

namespace winsim::ui::detail {

namespace {

const uintptr_t kModule = 0x00400000;
const uintptr_t kSystemIcon = 0x00010003;

// Base units of the 8-point dialog font: 4 x-units = 6 px, 8 y-units = 13 px.
LONG toPixelsX(int units) { return static_cast<LONG>((units * 6 + 2) / 4); }
LONG toPixelsY(int units) { return static_cast<LONG>((units * 13 + 4) / 8); }

}  // namespace

void* imageHandle(bool icon, const ResName& name) {
    State& s = state();
    for (const auto& [handle, ref] : s.images) {
        if (ref.icon == icon && ref.name == name) return handle;
    }
    void* handle = newHandle<void*>();
    s.images[handle] = ImageRef{icon, name};
    return handle;
}

std::vector<MenuItem>* systemMenu(Window* w) {
    if (w == nullptr || w->kind != WinKind::Dialog || (w->style & WS_SYSMENU) == 0) {
        return nullptr;
    }
    if (!w->hasMenuCopy) {
        w->menu.clear();
        if ((w->style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX)) != 0) {
            w->menu.push_back({SC_RESTORE, "&Restore", false, w->iconic});
            w->menu.push_back({SC_MOVE, "&Move", false, !w->iconic});
            if ((w->style & WS_MINIMIZEBOX) != 0) {
                w->menu.push_back({SC_MINIMIZE, "Mi&nimize", false, !w->iconic});
            }
            w->menu.push_back({0, "", true, true});
        } else {
            w->menu.push_back({SC_MOVE, "&Move", false, true});
        }
        w->menu.push_back({SC_CLOSE, "&Close\tAlt+F4", false, true});
        w->hasMenuCopy = true;
    }
    return &w->menu;
}

}  // namespace winsim::ui::detail

using namespace winsim::ui::detail;
using winsim::ui::MenuItem;

extern "C" {

// ---- Painting ------------------------------------------------------------------------

BOOL WINAPI UpdateWindow(HWND hWnd) {
    Window* w = find(hWnd);
    if (w == nullptr) return FALSE;
    if (w->needsPaint && IsWindowVisible(hWnd)) {
        w->needsPaint = false;
        if (w->kind == WinKind::Dialog) send(hWnd, WM_PAINT, 0, 0);
    }
    if (state().repaintObserver && find(hWnd) != nullptr) state().repaintObserver(hWnd);
    return TRUE;
}

BOOL WINAPI InvalidateRect(HWND hWnd, const RECT* lpRect, BOOL bErase) {
    (void)lpRect;
    (void)bErase;
    if (hWnd == nullptr) {
        for (auto& [h, w] : state().windows) w->needsPaint = true;
        return TRUE;
    }
    Window* w = find(hWnd);
    if (w == nullptr) return FALSE;
    w->needsPaint = true;
    return TRUE;
}

HDC WINAPI BeginPaint(HWND hWnd, LPPAINTSTRUCT lpPaint) {
    Window* w = find(hWnd);
    if (w == nullptr || lpPaint == nullptr) return nullptr;
    HDC dc = newHandle<HDC>();
    state().paints[dc] = PaintContext{hWnd, false};
    std::memset(lpPaint, 0, sizeof(*lpPaint));
    lpPaint->hdc = dc;
    lpPaint->fErase = FALSE;
    GetClientRect(hWnd, &lpPaint->rcPaint);
    w->needsPaint = false;
    return dc;
}

BOOL WINAPI EndPaint(HWND hWnd, const PAINTSTRUCT* lpPaint) {
    if (lpPaint != nullptr) {
        auto& paints = state().paints;
        auto it = paints.find(lpPaint->hdc);
        if (it != paints.end() && it->second.window == hWnd) paints.erase(it);
    }
    return TRUE;
}

BOOL WINAPI DrawIcon(HDC hDC, int X, int Y, HICON hIcon) {
    State& s = state();
    auto dc = s.paints.find(hDC);
    const bool known = reinterpret_cast<uintptr_t>(hIcon) == kSystemIcon ||
                       (s.images.count(hIcon) != 0 && s.images[hIcon].icon);
    if (dc == s.paints.end() || !known) return FALSE;
    s.drawIconCalls.push_back({dc->second.window, X, Y, hIcon, dc->second.erased});
    return TRUE;
}

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
    static const int kFirstButton[] = {IDOK, IDOK, IDABORT, IDYES, IDYES, IDRETRY};
    const UINT buttons = uType & 0xF;
    if (buttons >= sizeof kFirstButton / sizeof kFirstButton[0]) return 0;
    // A null caption is "Error", as on Windows.
    state().messageBoxes.push_back(
        {hWnd, lpText ? lpText : "", lpCaption ? lpCaption : "Error", uType});
    return kFirstButton[buttons];
}

// A minimised dialog keeps its restored client size in this model.
BOOL WINAPI GetClientRect(HWND hWnd, LPRECT lpRect) {
    Window* w = find(hWnd);
    if (w == nullptr || lpRect == nullptr) return FALSE;
    lpRect->left = 0;
    lpRect->top = 0;
    lpRect->right = toPixelsX(w->cx);
    lpRect->bottom = toPixelsY(w->cy);
    return TRUE;
}

BOOL WINAPI MapDialogRect(HWND hDlg, LPRECT lpRect) {
    if (findDialog(hDlg) == nullptr || lpRect == nullptr) return FALSE;
    lpRect->left = toPixelsX(lpRect->left);
    lpRect->right = toPixelsX(lpRect->right);
    lpRect->top = toPixelsY(lpRect->top);
    lpRect->bottom = toPixelsY(lpRect->bottom);
    return TRUE;
}

int WINAPI GetSystemMetrics(int nIndex) {
    switch (nIndex) {
        case SM_CXSCREEN:
            return 1024;
        case SM_CYSCREEN:
            return 768;
        case SM_CXICON:
        case SM_CYICON:
            return 32;
        case SM_CXSMICON:
        case SM_CYSMICON:
            return 16;
        default:
            return 0;
    }
}

// ---- Menus --------------------------------------------------------------------------

HMENU WINAPI GetSystemMenu(HWND hWnd, BOOL bRevert) {
    Window* w = findDialog(hWnd);
    if (w == nullptr || (w->style & WS_SYSMENU) == 0) return nullptr;
    State& s = state();
    if (bRevert) {
        w->hasMenuCopy = false;
        systemMenu(w);
        if (w->menuHandle != nullptr) s.menus.erase(w->menuHandle);
        w->menuHandle = nullptr;
        return nullptr;
    }
    systemMenu(w);
    if (w->menuHandle == nullptr) {
        w->menuHandle = newHandle<HMENU>();
        s.menus[w->menuHandle] = hWnd;
    }
    return w->menuHandle;
}

BOOL WINAPI AppendMenuA(HMENU hMenu, UINT uFlags, UINT_PTR uIDNewItem, LPCSTR lpNewItem) {
    auto& menus = state().menus;
    auto it = menus.find(hMenu);
    if (it == menus.end()) return FALSE;
    std::vector<MenuItem>* menu = systemMenu(find(it->second));
    if (menu == nullptr) return FALSE;
    if ((uFlags & MF_SEPARATOR) != 0) {
        menu->push_back({0, "", true, true});
        return TRUE;
    }
    if ((uFlags & (MF_POPUP | MF_BITMAP | MF_OWNERDRAW)) != 0 || lpNewItem == nullptr) {
        return FALSE;  // only text items and separators in this model
    }
    const bool enabled = (uFlags & (MF_GRAYED | MF_DISABLED)) == 0;
    menu->push_back({static_cast<UINT>(uIDNewItem), lpNewItem, false, enabled});
    return TRUE;
}

// ---- Resources ------------------------------------------------------------------------

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
    if (lpModuleName != nullptr) return nullptr;  // only the program's own module
    return reinterpret_cast<HMODULE>(kModule);
}

HICON WINAPI LoadIconA(HINSTANCE hInstance, LPCSTR lpIconName) {
    if (lpIconName == nullptr) return nullptr;
    if (hInstance == nullptr) {
        return lpIconName == IDI_APPLICATION ? reinterpret_cast<HICON>(kSystemIcon) : nullptr;
    }
    State& s = state();
    if (hInstance != GetModuleHandleA(nullptr) || s.resources == nullptr) return nullptr;
    for (const ImageResource& icon : s.resources->icons) {
        if (icon.name.matches(lpIconName)) {
            return static_cast<HICON>(imageHandle(true, icon.name));
        }
    }
    return nullptr;
}

int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax) {
    if (lpBuffer == nullptr || cchBufferMax <= 0) return 0;
    lpBuffer[0] = '\0';
    State& s = state();
    if ((hInstance != nullptr && hInstance != GetModuleHandleA(nullptr)) ||
        s.resources == nullptr || uID > 0xFFFF) {
        return 0;
    }
    auto it = s.resources->strings.find(static_cast<uint16_t>(uID));
    if (it == s.resources->strings.end()) return 0;
    const size_t n = std::min(it->second.size(), static_cast<size_t>(cchBufferMax - 1));
    std::memcpy(lpBuffer, it->second.data(), n);
    lpBuffer[n] = '\0';
    return static_cast<int>(n);
}

void WINAPI InitCommonControls(void) { state().commonControls = true; }

BOOL WINAPI InitCommonControlsEx(const INITCOMMONCONTROLSEX* picce) {
    if (picce == nullptr || picce->dwSize != sizeof(INITCOMMONCONTROLSEX)) return FALSE;
    state().commonControls = true;
    return TRUE;
}

}  // extern "C"

// ---- Host API ----------------------------------------------------------------------------

namespace winsim::ui {

bool loadResources(const std::vector<ResourceFile>& files, const std::string& rcName,
                   std::string* error) {
    std::string ignored;
    if (error == nullptr) error = &ignored;
    State& s = state();
    if (!s.running.empty()) {
        *error = "resources cannot change while a dialog runs";
        return false;
    }
    auto set = std::make_unique<ResourceSet>();
    if (!parseResources(files, rcName, set.get(), error)) return false;
    s.resources = std::move(set);
    s.images.clear();  // handles of the previous resources go stale
    return true;
}

void unloadResources() {
    State& s = state();
    if (!s.running.empty()) return;
    s.resources.reset();
    s.images.clear();
}

bool stringResource(UINT id, std::string* text) {
    State& s = state();
    if (s.resources == nullptr || id > 0xFFFF) return false;
    auto it = s.resources->strings.find(static_cast<uint16_t>(id));
    if (it == s.resources->strings.end()) return false;
    if (text != nullptr) *text = it->second;
    return true;
}

namespace {

const ImageResource* imageOf(bool icon, const ResName& name) {
    State& s = state();
    if (s.resources == nullptr) return nullptr;
    return icon ? s.resources->findIcon(name) : s.resources->findBitmap(name);
}

}  // namespace

bool describeControl(HWND control, ControlInfo* info) {
    Window* c = find(control);
    if (c == nullptr || c->kind == WinKind::Dialog || info == nullptr) return false;
    Window* d = findDialog(c->parent);
    ControlInfo out;
    out.hwnd = control;
    switch (c->kind) {
        case WinKind::Button:
            out.kind = ControlKind::Button;
            break;
        case WinKind::ComboBox:
            out.kind = ControlKind::ComboBox;
            break;
        case WinKind::Edit:
            out.kind = ControlKind::Edit;
            break;
        case WinKind::Static:
            out.kind = ControlKind::Static;
            break;
        default:
            out.kind = ControlKind::Other;
            break;
    }
    out.className = c->className;
    out.id = c->id;
    const int length = GetWindowTextLengthA(control);
    std::string text(static_cast<size_t>(length) + 1, '\0');
    GetWindowTextA(control, &text[0], length + 1);
    text.resize(static_cast<size_t>(length));
    out.text = text;
    out.x = c->x;
    out.y = c->y;
    out.width = c->cx;
    out.height = c->cy;
    out.style = c->style;
    out.exStyle = c->exStyle;
    out.visible = IsWindowVisible(control) != FALSE;
    out.enabled = (c->style & WS_DISABLED) == 0;
    out.isDefault = c->kind == WinKind::Button && (c->style & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
    out.focused = d != nullptr && d->focus == control;
    out.tabStop = (c->style & WS_TABSTOP) != 0;
    if (c->hasImage) {
        out.imageType = c->imageIsIcon ? "ICON" : "BITMAP";
        out.imageName = c->image.str();
        if (const ImageResource* r = imageOf(c->imageIsIcon, c->image)) {
            out.imageFile = r->file;
            out.imageBytes = &r->bytes;
        }
    }
    for (const ComboItem& item : c->items) out.items.push_back(item.text);
    out.curSel = c->curSel;
    if (c->kind == WinKind::Edit) {
        out.lines = editLines(*c);
        out.firstVisibleLine = c->firstLine;
        out.visibleLines = editVisibleLines(*c);
        out.textCells = editTextCells(c->x, c->y, c->cx, c->cy, c->style, c->exStyle);
    }
    *info = std::move(out);
    return true;
}

bool describeDialog(HWND dialog, DialogInfo* info) {
    Window* d = findDialog(dialog);
    if (d == nullptr || info == nullptr) return false;
    DialogInfo out;
    out.hwnd = dialog;
    out.templateName = d->templateName;
    out.caption = d->text;
    out.width = d->cx;
    out.height = d->cy;
    out.fontName = d->fontName;
    out.fontSize = d->fontSize;
    out.style = d->style;
    out.exStyle = d->exStyle;
    out.enabled = (d->style & WS_DISABLED) == 0;
    out.iconic = d->iconic;
    out.bigIcon = d->bigIcon;
    out.smallIcon = d->smallIcon;
    for (HWND h : d->children) {
        ControlInfo c;
        if (describeControl(h, &c)) out.controls.push_back(std::move(c));
    }
    *info = std::move(out);
    return true;
}

std::vector<MenuItem> systemMenuItems(HWND window) {
    std::vector<MenuItem>* menu = systemMenu(findDialog(window));
    return menu != nullptr ? *menu : std::vector<MenuItem>();
}

bool describeIcon(HICON icon, IconInfo* info) {
    auto& images = state().images;
    auto it = images.find(icon);
    if (it == images.end() || !it->second.icon || info == nullptr) return false;
    info->name = it->second.name.str();
    const ImageResource* r = imageOf(true, it->second.name);
    info->file = r != nullptr ? r->file : "";
    info->bytes = r != nullptr ? &r->bytes : nullptr;
    return true;
}

HWND focusedControl(HWND dialog) {
    Window* d = findDialog(dialog);
    return d != nullptr && find(d->focus) != nullptr ? d->focus : nullptr;
}

HWND nextTabStop(HWND dialog, HWND from, bool backwards) {
    return GetNextDlgTabItem(dialog, from, backwards ? TRUE : FALSE);
}

void setTextObserver(
    std::function<void(HWND window, const std::string& before, const std::string& after)>
        observer) {
    state().textObserver = std::move(observer);
}

void setClickFilter(std::function<bool(HWND dialog, int id)> filter) {
    state().clickFilter = std::move(filter);
}

void setRepaintObserver(std::function<void(HWND window)> observer) {
    state().repaintObserver = std::move(observer);
}

const std::vector<DrawIconCall>& drawIconCalls() { return state().drawIconCalls; }

const std::vector<MessageBoxCall>& messageBoxes() { return state().messageBoxes; }

bool commonControlsInitialised() { return state().commonControls; }

void refuseListAdds(bool refuse) { state().refuseListAdds = refuse; }

void resetWindowSystem() {
    State& s = state();
    if (!s.running.empty()) return;
    s.windows.clear();
    s.graveyard.clear();
    s.posted.clear();
    s.input.clear();
    s.driver = nullptr;
    s.textObserver = nullptr;
    s.repaintObserver = nullptr;
    s.idleObserver = nullptr;
    s.drawIconCalls.clear();
    s.messageBoxes.clear();
    s.paints.clear();
    s.menus.clear();
    s.commonControls = false;
    s.refuseListAdds = false;
}

}  // namespace winsim::ui
