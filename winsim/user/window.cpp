// Windows and controls: creation from templates, the control procedures,
// text, state and focus.
#include <algorithm>
#include <cstring>

#include "winsim/user/internal.h"

namespace winsim::ui::detail {

State& state() {
    static State s;
    return s;
}

Window* find(HWND hwnd) {
    if (hwnd == nullptr) return nullptr;
    auto& windows = state().windows;
    auto it = windows.find(hwnd);
    return it == windows.end() ? nullptr : it->second.get();
}

Window* findDialog(HWND hwnd) {
    Window* w = find(hwnd);
    return w != nullptr && w->kind == WinKind::Dialog ? w : nullptr;
}

Window* childOf(Window* dialog, int id) {
    if (dialog == nullptr) return nullptr;
    for (HWND h : dialog->children) {
        Window* c = find(h);
        if (c != nullptr && c->id == id) return c;
    }
    return nullptr;
}

namespace {

// Messages whose dialog-procedure result is the message's result.
bool returnsDirectly(UINT msg) {
    return msg == WM_INITDIALOG || msg == WM_QUERYDRAGICON || msg == 0x0039 /* COMPAREITEM */ ||
           msg == 0x002E /* VKEYTOITEM */ || msg == 0x002F /* CHARTOITEM */ ||
           msg == 0x0019 /* CTLCOLOR */ || (msg >= 0x0132 && msg <= 0x0138);
}

bool isPushButton(const Window* w) {
    if (w->kind != WinKind::Button) return false;
    const DWORD type = w->style & BS_TYPEMASK;
    return type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON;
}

LRESULT defDialogProc(Window* w, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_CLOSE: {
            // The dialog manager turns a close into the cancel command, unless
            // the cancel button exists and is disabled.
            Window* cancel = childOf(w, IDCANCEL);
            if (cancel != nullptr && (cancel->style & WS_DISABLED) != 0) return 0;
            PostMessageA(w->handle, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                         reinterpret_cast<LPARAM>(cancel != nullptr ? cancel->handle : nullptr));
            return 0;
        }
        case DM_GETDEFID:
            return w->defId != 0 ? MAKELRESULT(w->defId, DC_HASDEFID) : 0;
        case DM_SETDEFID:
            w->defId = static_cast<int>(wParam);
            showDefaultButton(w);
            return TRUE;
        case WM_NEXTDLGCTL: {
            HWND target = LOWORD(lParam) != 0 ? reinterpret_cast<HWND>(wParam)
                                              : GetNextDlgTabItem(w->handle, w->focus, wParam != 0);
            setFocusTo(w, target);
            return 0;
        }
        default:
            return defWindowProc(w, msg, wParam, lParam);
    }
}

LRESULT dialogProc(Window* w, UINT msg, WPARAM wParam, LPARAM lParam) {
    const HWND hwnd = w->handle;
    w->msgResult = 0;
    const INT_PTR r = w->proc != nullptr ? w->proc(hwnd, msg, wParam, lParam) : 0;
    Window* after = find(hwnd);
    if (r != 0 || after == nullptr) {
        if (returnsDirectly(msg)) return r;
        return after != nullptr ? after->msgResult : 0;
    }
    return defDialogProc(after, msg, wParam, lParam);
}

LRESULT copyText(const std::string& text, WPARAM size, LPARAM buffer) {
    char* out = reinterpret_cast<char*>(buffer);
    if (out == nullptr || size == 0) return 0;
    const size_t n = std::min<size_t>(text.size(), size - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
    return static_cast<LRESULT>(n);
}

bool isDropDownList(const Window* w) { return (w->style & 3) == CBS_DROPDOWNLIST; }

LRESULT comboProc(Window* w, UINT msg, WPARAM wParam, LPARAM lParam) {
    const int count = static_cast<int>(w->items.size());
    const int index = static_cast<int>(static_cast<INT_PTR>(wParam));
    const bool inRange = index >= 0 && index < count;
    const char* str = reinterpret_cast<const char*>(lParam);
    auto less = [](const std::string& a, const std::string& b) {
        return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                            [](char x, char y) {
                                                return std::tolower(static_cast<unsigned char>(x)) <
                                                       std::tolower(static_cast<unsigned char>(y));
                                            });
    };
    auto find = [&](int start, bool exact) -> LRESULT {
        if (str == nullptr || count == 0) return CB_ERR;
        const size_t len = std::strlen(str);
        const int first = (start < -1 || start >= count) ? 0 : start + 1;
        for (int k = 0; k < count; ++k) {
            const int i = (first + k) % count;
            const std::string& t = w->items[static_cast<size_t>(i)].text;
            if ((exact && t.size() != len) || t.size() < len) continue;
            if (std::equal(str, str + len, t.begin(), [](char x, char y) {
                    return std::tolower(static_cast<unsigned char>(x)) ==
                           std::tolower(static_cast<unsigned char>(y));
                })) {
                return i;
            }
        }
        return CB_ERR;
    };
    switch (msg) {
        case CB_ADDSTRING:
        case CB_INSERTSTRING: {
            if (str == nullptr) return CB_ERR;
            if (state().refuseListAdds) return CB_ERRSPACE;
            int at = count;
            if (msg == CB_INSERTSTRING) {
                if (index < -1 || index > count) return CB_ERR;
                if (index != -1) at = index;
            } else if ((w->style & CBS_SORT) != 0) {
                at = 0;
                while (at < count && !less(str, w->items[static_cast<size_t>(at)].text)) ++at;
            }
            w->items.insert(w->items.begin() + at, ComboItem{str, 0});
            if (w->curSel >= at) ++w->curSel;
            return at;
        }
        case CB_DELETESTRING:
            if (!inRange) return CB_ERR;
            w->items.erase(w->items.begin() + index);
            if (w->curSel == index) {
                w->curSel = -1;
            } else if (w->curSel > index) {
                --w->curSel;
            }
            return count - 1;
        case CB_RESETCONTENT:
            w->items.clear();
            w->curSel = -1;
            return CB_OKAY;
        case CB_GETCOUNT:
            return count;
        case CB_GETCURSEL:
            return w->curSel;
        case CB_SETCURSEL:
            // Out of range (or -1) clears the selection and reports CB_ERR.
            w->curSel = inRange ? index : -1;
            return inRange ? index : CB_ERR;
        case CB_GETITEMDATA:
            return inRange ? w->items[static_cast<size_t>(index)].data : CB_ERR;
        case CB_SETITEMDATA:
            if (!inRange) return CB_ERR;
            w->items[static_cast<size_t>(index)].data = lParam;
            return TRUE;
        case CB_GETLBTEXT:
            if (!inRange || str == nullptr) return CB_ERR;
            {
                const std::string& t = w->items[static_cast<size_t>(index)].text;
                std::memcpy(reinterpret_cast<char*>(lParam), t.c_str(), t.size() + 1);
                return static_cast<LRESULT>(t.size());
            }
        case CB_GETLBTEXTLEN:
            return inRange ? static_cast<LRESULT>(w->items[static_cast<size_t>(index)].text.size())
                           : CB_ERR;
        case CB_FINDSTRING:
            return find(index, false);
        case CB_FINDSTRINGEXACT:
            return find(index, true);
        case CB_SELECTSTRING: {
            const LRESULT i = find(index, false);
            if (i != CB_ERR) w->curSel = static_cast<int>(i);
            return i;
        }
        case CB_SHOWDROPDOWN:
            return TRUE;
        case CB_GETDROPPEDSTATE:
            return FALSE;
        case WM_SETTEXT:
            if (isDropDownList(w)) return CB_ERR;
            setText(w, str != nullptr ? str : "");
            return TRUE;
        case WM_GETTEXT:
        case WM_GETTEXTLENGTH: {
            const std::string text =
                isDropDownList(w) ? (w->curSel >= 0 ? w->items[static_cast<size_t>(w->curSel)].text
                                                    : std::string())
                                  : w->text;
            if (msg == WM_GETTEXTLENGTH) return static_cast<LRESULT>(text.size());
            return copyText(text, wParam, lParam);
        }
        default:
            return defWindowProc(w, msg, wParam, lParam);
    }
}

LRESULT editProc(Window* w, UINT msg, WPARAM wParam, LPARAM lParam) {
    const bool multiLine = (w->style & ES_MULTILINE) != 0;
    switch (msg) {
        case WM_SETTEXT: {
            const char* s = reinterpret_cast<const char*>(lParam);
            w->firstLine = 0;  // a new text shows from its top
            w->selStart = w->selEnd = 0;
            setText(w, s != nullptr ? s : "");
            return TRUE;
        }
        case EM_GETLINECOUNT:
            return multiLine ? static_cast<LRESULT>(editLines(*w).size()) : 1;
        case EM_GETFIRSTVISIBLELINE:
            return multiLine ? w->firstLine : 0;
        case EM_LINESCROLL:
            if (!multiLine) return FALSE;
            editScroll(w, static_cast<int>(lParam));
            return TRUE;
        case EM_SCROLL: {
            if (!multiLine) return FALSE;
            const int page = editVisibleLines(*w);
            int delta = 0;
            switch (wParam) {
                case SB_LINEUP:
                    delta = -1;
                    break;
                case SB_LINEDOWN:
                    delta = 1;
                    break;
                case SB_PAGEUP:
                    delta = -page;
                    break;
                case SB_PAGEDOWN:
                    delta = page;
                    break;
                default:
                    return FALSE;
            }
            const int before = w->firstLine;
            editScroll(w, delta);
            return MAKELRESULT(static_cast<WORD>(w->firstLine - before), TRUE);
        }
        case EM_SETSEL: {
            const auto size = static_cast<LONG_PTR>(w->text.size());
            auto clamp = [size](LONG_PTR v) {
                return static_cast<DWORD>(v < 0 || v > size ? size : v);
            };
            LONG_PTR start = static_cast<LONG_PTR>(wParam);
            if (start == -1) {  // -1 removes the selection, keeping the caret
                w->selStart = w->selEnd;
                return 0;
            }
            w->selStart = clamp(start);
            w->selEnd = clamp(lParam);
            if (w->selStart > w->selEnd) std::swap(w->selStart, w->selEnd);
            return 0;
        }
        case EM_GETSEL:
            if (wParam != 0) *reinterpret_cast<DWORD*>(wParam) = w->selStart;
            if (lParam != 0) *reinterpret_cast<DWORD*>(lParam) = w->selEnd;
            return MAKELRESULT(w->selStart, w->selEnd);
        case EM_REPLACESEL: {
            const char* s = reinterpret_cast<const char*>(lParam);
            const std::string insert = s != nullptr ? s : "";
            std::string text = w->text;
            const DWORD start = std::min<DWORD>(w->selStart, static_cast<DWORD>(text.size()));
            const DWORD end = std::min<DWORD>(w->selEnd, static_cast<DWORD>(text.size()));
            text.replace(start, end - start, insert);
            w->selStart = w->selEnd = start + static_cast<DWORD>(insert.size());
            setText(w, text);
            return 0;
        }
        case EM_SETREADONLY:
            if (wParam != 0) {
                w->style |= ES_READONLY;
            } else {
                w->style &= ~static_cast<DWORD>(ES_READONLY);
            }
            return TRUE;
        default:
            return defWindowProc(w, msg, wParam, lParam);
    }
}

LRESULT buttonProc(Window* w, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case BM_CLICK: {
            // As a mouse click on the button: nothing when it is disabled.
            if ((w->style & WS_DISABLED) != 0) return 0;
            Window* dialog = findDialog(w->parent);
            if (dialog != nullptr) setFocusTo(dialog, w->handle);
            const DWORD type = w->style & BS_TYPEMASK;
            if (type == BS_AUTOCHECKBOX) w->check = w->check == BST_CHECKED ? 0 : BST_CHECKED;
            if (type == BS_AUTO3STATE) w->check = (w->check + 1) % 3;
            if (type == BS_AUTORADIOBUTTON) w->check = BST_CHECKED;
            notifyParent(w, BN_CLICKED);
            return 0;
        }
        case BM_GETCHECK:
            return w->check;
        case BM_SETCHECK:
            w->check = static_cast<UINT>(wParam) & 3;
            return 0;
        case BM_GETSTATE:
            return w->check;
        case BM_SETSTATE:
            return 0;
        case BM_SETSTYLE:
            w->style = (w->style & 0xFFFF0000u) | (static_cast<DWORD>(wParam) & 0xFFFF);
            return 0;
        default:
            return defWindowProc(w, msg, wParam, lParam);
    }
}

LRESULT staticProc(Window* w, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case STM_GETICON:
            return w->imageIsIcon ? reinterpret_cast<LRESULT>(w->imageHandle) : 0;
        case STM_GETIMAGE:
            if ((wParam == IMAGE_ICON) != w->imageIsIcon) return 0;
            return reinterpret_cast<LRESULT>(w->imageHandle);
        case STM_SETICON:
        case STM_SETIMAGE: {
            const bool icon = msg == STM_SETICON || wParam == IMAGE_ICON;
            const LPARAM handle = msg == STM_SETICON ? static_cast<LPARAM>(wParam) : lParam;
            const LRESULT previous =
                w->imageIsIcon == icon ? reinterpret_cast<LRESULT>(w->imageHandle) : 0;
            auto& images = state().images;
            auto it = images.find(reinterpret_cast<void*>(handle));
            w->imageHandle = reinterpret_cast<void*>(handle);
            w->imageIsIcon = icon;
            w->hasImage = it != images.end();
            if (w->hasImage) w->image = it->second.name;
            return previous;
        }
        default:
            return defWindowProc(w, msg, wParam, lParam);
    }
}

}  // namespace

LRESULT controlProc(Window* w, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (w->kind) {
        case WinKind::Button:
            return buttonProc(w, msg, wParam, lParam);
        case WinKind::ComboBox:
            return comboProc(w, msg, wParam, lParam);
        case WinKind::Edit:
            return editProc(w, msg, wParam, lParam);
        case WinKind::Static:
            return staticProc(w, msg, wParam, lParam);
        default:
            return defWindowProc(w, msg, wParam, lParam);
    }
}

LRESULT send(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    Window* w = find(hwnd);
    if (w == nullptr) return 0;
    if (w->kind == WinKind::Dialog) {
        if (msg == WM_COMMAND && HIWORD(wParam) == BN_CLICKED && state().clickFilter &&
            !state().clickFilter(hwnd, LOWORD(wParam))) {
            return 0;
        }
        return dialogProc(w, msg, wParam, lParam);
    }
    return controlProc(w, msg, wParam, lParam);
}

void notifyParent(Window* control, WORD code) {
    send(control->parent, WM_COMMAND, MAKEWPARAM(control->id, code),
         reinterpret_cast<LPARAM>(control->handle));
}

void setText(Window* w, const std::string& text) {
    const std::string before = w->text;
    w->text = text;
    w->needsPaint = true;
    if (state().textObserver) state().textObserver(w->handle, before, w->text);
}

// ---- Edit layout ------------------------------------------------------------------

namespace {

bool hasBorder(const Window& w) {
    return (w.style & WS_BORDER) != 0 || (w.exStyle & WS_EX_CLIENTEDGE) != 0;
}

// Characters per line: an average character is 4 dialog units wide; the
// border and the vertical scroll bar (10 units) take their share.
size_t editColumns(const Window& w) {
    int width = w.cx - (hasBorder(w) ? 2 : 0) - ((w.style & WS_VSCROLL) != 0 ? 10 : 0);
    return static_cast<size_t>(std::max(1, width / 4));
}

void wrapInto(std::string line, size_t columns, std::vector<std::string>* out) {
    while (line.size() > columns) {
        size_t cut = line.find_last_of(' ', columns);
        std::string head;
        if (cut != std::string::npos) {
            head = line.substr(0, cut);
            head.erase(head.find_last_not_of(' ') + 1);
        }
        if (head.empty()) {  // one word longer than the line: break inside it
            cut = columns;
            head = line.substr(0, columns);
        }
        out->push_back(head);
        const size_t next = line.find_first_not_of(' ', cut);
        if (next == std::string::npos) return;
        line.erase(0, next);
    }
    out->push_back(line);
}

}  // namespace

// Hard breaks are CR LF; CR CR LF (a soft break) shows as a break too. A
// lone CR or LF is an ordinary character. Without ES_AUTOHSCROLL a
// multi-line edit wraps long lines at word boundaries.
std::vector<std::string> editLines(const Window& w) {
    std::vector<std::string> logical;
    const std::string& t = w.text;
    size_t start = 0;
    for (size_t i = 0; i < t.size(); ++i) {
        size_t breakLen = 0;
        if (t.compare(i, 3, "\r\r\n") == 0) {
            breakLen = 3;
        } else if (t.compare(i, 2, "\r\n") == 0) {
            breakLen = 2;
        }
        if (breakLen == 0) continue;
        logical.push_back(t.substr(start, i - start));
        start = i + breakLen;
        i = start - 1;
    }
    logical.push_back(t.substr(start));
    if ((w.style & ES_MULTILINE) == 0 || (w.style & ES_AUTOHSCROLL) != 0) return logical;
    std::vector<std::string> lines;
    const size_t columns = editColumns(w);
    for (std::string& l : logical) wrapInto(std::move(l), columns, &lines);
    return lines;
}

int editVisibleLines(const Window& w) { return std::max(1, (w.cy - (hasBorder(w) ? 2 : 0)) / 8); }

void editScroll(Window* w, int lines) {
    const int count = static_cast<int>(editLines(*w).size());
    const int last = std::max(0, count - editVisibleLines(*w));
    const long target = static_cast<long>(w->firstLine) + lines;
    w->firstLine = static_cast<int>(std::clamp<long>(target, 0, last));
}

// ---- Creation, destruction, focus -------------------------------------------------

HWND createDialog(const DialogTemplate& t, HWND owner, DLGPROC proc) {
    State& s = state();
    auto dialog = std::make_unique<Window>();
    Window* d = dialog.get();
    d->handle = newHandle<HWND>();
    d->kind = WinKind::Dialog;
    d->className = "#32770";
    d->parent = owner;
    d->style = t.style & ~static_cast<DWORD>(WS_VISIBLE);  // shown after WM_INITDIALOG
    d->exStyle = t.exStyle;
    d->text = t.caption;
    d->x = t.x;
    d->y = t.y;
    d->cx = t.cx;
    d->cy = t.cy;
    d->templateName = t.name.str();
    d->fontName = t.fontName;
    d->fontSize = t.fontSize;
    d->proc = proc;
    s.windows[d->handle] = std::move(dialog);
    for (const ControlTemplate& ct : t.controls) {
        auto control = std::make_unique<Window>();
        Window* c = control.get();
        c->handle = newHandle<HWND>();
        c->className = ct.className;
        if (ct.className == "Button") c->kind = WinKind::Button;
        if (ct.className == "ComboBox") c->kind = WinKind::ComboBox;
        if (ct.className == "Edit") c->kind = WinKind::Edit;
        if (ct.className == "Static") c->kind = WinKind::Static;
        c->parent = d->handle;
        c->id = ct.id;
        c->style = ct.style;
        c->exStyle = ct.exStyle;
        c->x = ct.x;
        c->y = ct.y;
        c->cx = ct.cx;
        c->cy = ct.cy;
        if (ct.hasImage) {
            c->hasImage = true;
            c->imageIsIcon = (ct.style & SS_TYPEMASK) == SS_ICON;
            c->image = ct.image;
            c->imageHandle = imageHandle(c->imageIsIcon, ct.image);
        } else {
            c->text = ct.text;
        }
        // The dialog's default command is its (last) default push button.
        if (isPushButton(c) && (c->style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) d->defId = c->id;
        d->children.push_back(c->handle);
        s.windows[c->handle] = std::move(control);
    }
    return d->handle;
}

void destroy(Window* w) {
    if (w == nullptr || !w->alive) return;
    State& s = state();
    const HWND hwnd = w->handle;
    if (w->kind == WinKind::Dialog) {
        send(hwnd, WM_DESTROY, 0, 0);
        for (HWND h : w->children) {
            auto it = s.windows.find(h);
            if (it == s.windows.end()) continue;
            it->second->alive = false;
            s.graveyard.push_back(std::move(it->second));
            s.windows.erase(it);
        }
        w->children.clear();
        if (w->menuHandle != nullptr) s.menus.erase(w->menuHandle);
        if (w->running && !w->ended) {
            w->ended = true;
            w->result = 0;
        }
    } else if (Window* dialog = findDialog(w->parent)) {
        auto& kids = dialog->children;
        kids.erase(std::remove(kids.begin(), kids.end(), hwnd), kids.end());
        if (dialog->focus == hwnd) dialog->focus = nullptr;
    }
    for (auto it = s.paints.begin(); it != s.paints.end();) {
        it = it->second.window == hwnd ? s.paints.erase(it) : std::next(it);
    }
    auto it = s.windows.find(hwnd);
    if (it == s.windows.end()) return;
    it->second->alive = false;
    s.graveyard.push_back(std::move(it->second));
    s.windows.erase(it);
}

void showDefaultButton(Window* dialog) {
    // A push button with the focus shows as the default while it has it;
    // otherwise the button of the default command does.
    const Window* focus = find(dialog->focus);
    const int shown = focus != nullptr && isPushButton(focus) ? focus->id : dialog->defId;
    for (HWND h : dialog->children) {
        Window* c = find(h);
        if (c == nullptr || !isPushButton(c)) continue;
        const DWORD type = c->id == shown ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON;
        if ((c->style & BS_TYPEMASK) == type) continue;
        c->style = (c->style & ~static_cast<DWORD>(BS_TYPEMASK)) | type;
        c->needsPaint = true;
    }
}

bool setFocusTo(Window* dialog, HWND control) {
    Window* c = find(control);
    if (c != nullptr && (c->parent != dialog->handle || (c->style & WS_DISABLED) != 0)) {
        return false;
    }
    if (dialog->focus == control) return true;
    const HWND dialogHandle = dialog->handle;
    if (Window* old = find(dialog->focus)) {
        dialog->focus = nullptr;
        if (old->kind == WinKind::ComboBox) notifyParent(old, CBN_KILLFOCUS);
        if (old->kind == WinKind::Edit) notifyParent(old, EN_KILLFOCUS);
        if (old->kind == WinKind::Button && (old->style & BS_NOTIFY) != 0) {
            notifyParent(old, BN_KILLFOCUS);
        }
    }
    dialog = findDialog(dialogHandle);
    c = find(control);
    if (dialog == nullptr || c == nullptr) return false;
    dialog->focus = control;
    showDefaultButton(dialog);
    if (c->kind == WinKind::ComboBox) notifyParent(c, CBN_SETFOCUS);
    if (c->kind == WinKind::Edit) notifyParent(c, EN_SETFOCUS);
    if (c->kind == WinKind::Button && (c->style & BS_NOTIFY) != 0) notifyParent(c, BN_SETFOCUS);
    return true;
}

}  // namespace winsim::ui::detail

using namespace winsim::ui::detail;

extern "C" {

HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem) {
    Window* c = childOf(findDialog(hDlg), nIDDlgItem);
    return c != nullptr ? c->handle : nullptr;
}

int WINAPI GetDlgCtrlID(HWND hWnd) {
    Window* w = find(hWnd);
    return w != nullptr && w->kind != WinKind::Dialog ? w->id : 0;
}

LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    return send(hWnd, Msg, wParam, lParam);
}

LRESULT WINAPI SendDlgItemMessageA(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam,
                                   LPARAM lParam) {
    return send(GetDlgItem(hDlg, nIDDlgItem), Msg, wParam, lParam);
}

LRESULT WINAPI DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    Window* w = find(hWnd);
    return w != nullptr ? defWindowProc(w, Msg, wParam, lParam) : 0;
}

BOOL WINAPI IsWindow(HWND hWnd) { return find(hWnd) != nullptr ? TRUE : FALSE; }

BOOL WINAPI EnableWindow(HWND hWnd, BOOL bEnable) {
    Window* w = find(hWnd);
    if (w == nullptr) return FALSE;
    const bool wasDisabled = (w->style & WS_DISABLED) != 0;
    if (bEnable) {
        w->style &= ~static_cast<DWORD>(WS_DISABLED);
    } else {
        w->style |= WS_DISABLED;
        // A disabled window cannot keep the focus.
        if (Window* d = findDialog(w->parent); d != nullptr && d->focus == hWnd) {
            setFocusTo(d, nullptr);
        }
        w = find(hWnd);
        if (w == nullptr) return wasDisabled ? TRUE : FALSE;
    }
    if (wasDisabled == (bEnable != 0)) {
        w->needsPaint = true;
        if (w->kind == WinKind::Dialog) send(hWnd, WM_ENABLE, bEnable != 0 ? TRUE : FALSE, 0);
    }
    return wasDisabled ? TRUE : FALSE;
}

BOOL WINAPI IsWindowEnabled(HWND hWnd) {
    Window* w = find(hWnd);
    return w != nullptr && (w->style & WS_DISABLED) == 0 ? TRUE : FALSE;
}

BOOL WINAPI IsWindowVisible(HWND hWnd) {
    Window* w = find(hWnd);
    if (w == nullptr || (w->style & WS_VISIBLE) == 0) return FALSE;
    if (w->kind != WinKind::Dialog) return IsWindowVisible(w->parent);
    return TRUE;
}

BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow) {
    Window* w = find(hWnd);
    if (w == nullptr) return FALSE;
    const BOOL wasVisible = (w->style & WS_VISIBLE) != 0 ? TRUE : FALSE;
    if (nCmdShow == SW_HIDE) {
        w->style &= ~static_cast<DWORD>(WS_VISIBLE);
        if (Window* d = findDialog(w->parent); d != nullptr && d->focus == hWnd) d->focus = nullptr;
    } else {
        w->style |= WS_VISIBLE;
    }
    if (w->kind == WinKind::Dialog) {
        if (nCmdShow == SW_MINIMIZE || nCmdShow == SW_SHOWMINIMIZED ||
            nCmdShow == SW_SHOWMINNOACTIVE) {
            winsim::ui::setIconic(hWnd, true);
        } else if (nCmdShow == SW_RESTORE || nCmdShow == SW_SHOWNORMAL) {
            winsim::ui::setIconic(hWnd, false);
        }
    }
    w->needsPaint = true;
    return wasVisible;
}

BOOL WINAPI IsIconic(HWND hWnd) {
    Window* w = findDialog(hWnd);
    return w != nullptr && w->iconic ? TRUE : FALSE;
}

BOOL WINAPI DestroyWindow(HWND hWnd) {
    Window* w = find(hWnd);
    if (w == nullptr) return FALSE;
    destroy(w);
    return TRUE;
}

HWND WINAPI GetParent(HWND hWnd) {
    Window* w = find(hWnd);
    return w != nullptr && find(w->parent) != nullptr ? w->parent : nullptr;
}

HWND WINAPI SetFocus(HWND hWnd) {
    Window* w = find(hWnd);
    Window* dialog = w == nullptr                 ? nullptr
                     : w->kind == WinKind::Dialog ? w
                                                  : findDialog(w->parent);
    if (dialog == nullptr) return nullptr;
    const HWND previous = GetFocus();
    if (w == dialog) {
        setFocusTo(dialog, nullptr);
    } else if (!setFocusTo(dialog, hWnd)) {
        return nullptr;
    }
    return previous;
}

HWND WINAPI GetFocus(void) {
    Window* d = findDialog(winsim::ui::activeDialog());
    return d != nullptr ? d->focus : nullptr;
}

LONG_PTR WINAPI GetWindowLongPtrA(HWND hWnd, int nIndex) {
    Window* w = find(hWnd);
    if (w == nullptr) return 0;
    const bool dialog = w->kind == WinKind::Dialog;
    switch (nIndex) {
        case GWL_STYLE:
            return static_cast<LONG>(w->style);
        case GWL_EXSTYLE:
            return static_cast<LONG>(w->exStyle);
        case GWLP_ID:
            return dialog ? 0 : w->id;
        case GWLP_USERDATA:
            return w->userData;
        case GWLP_HINSTANCE:
            return reinterpret_cast<LONG_PTR>(GetModuleHandleA(nullptr));
        default:
            break;
    }
    if (dialog && nIndex == static_cast<int>(DWLP_MSGRESULT)) return w->msgResult;
    if (dialog && nIndex == static_cast<int>(DWLP_DLGPROC)) {
        return reinterpret_cast<LONG_PTR>(w->proc);
    }
    if (dialog && nIndex == static_cast<int>(DWLP_USER)) return w->dlgUser;
    return 0;
}

LONG_PTR WINAPI SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong) {
    Window* w = find(hWnd);
    if (w == nullptr) return 0;
    const LONG_PTR previous = GetWindowLongPtrA(hWnd, nIndex);
    const bool dialog = w->kind == WinKind::Dialog;
    switch (nIndex) {
        case GWL_STYLE:
            w->style = static_cast<DWORD>(dwNewLong);
            return previous;
        case GWL_EXSTYLE:
            w->exStyle = static_cast<DWORD>(dwNewLong);
            return previous;
        case GWLP_ID:
            if (!dialog) w->id = static_cast<int>(dwNewLong);
            return previous;
        case GWLP_USERDATA:
            w->userData = dwNewLong;
            return previous;
        default:
            break;
    }
    if (dialog && nIndex == static_cast<int>(DWLP_MSGRESULT)) {
        w->msgResult = dwNewLong;
    } else if (dialog && nIndex == static_cast<int>(DWLP_DLGPROC)) {
        w->proc = reinterpret_cast<DLGPROC>(dwNewLong);
    } else if (dialog && nIndex == static_cast<int>(DWLP_USER)) {
        w->dlgUser = dwNewLong;
    } else {
        return 0;
    }
    return previous;
}

LONG WINAPI GetWindowLongA(HWND hWnd, int nIndex) {
    return static_cast<LONG>(GetWindowLongPtrA(hWnd, nIndex));
}

LONG WINAPI SetWindowLongA(HWND hWnd, int nIndex, LONG dwNewLong) {
    return static_cast<LONG>(SetWindowLongPtrA(hWnd, nIndex, dwNewLong));
}

BOOL WINAPI SetWindowTextA(HWND hWnd, LPCSTR lpString) {
    if (find(hWnd) == nullptr) return FALSE;
    return send(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpString)) != CB_ERR ? TRUE : FALSE;
}

int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount) {
    if (lpString == nullptr || nMaxCount <= 0) return 0;
    lpString[0] = '\0';
    return static_cast<int>(
        send(hWnd, WM_GETTEXT, static_cast<WPARAM>(nMaxCount), reinterpret_cast<LPARAM>(lpString)));
}

int WINAPI GetWindowTextLengthA(HWND hWnd) {
    return static_cast<int>(send(hWnd, WM_GETTEXTLENGTH, 0, 0));
}

BOOL WINAPI SetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPCSTR lpString) {
    return SetWindowTextA(GetDlgItem(hDlg, nIDDlgItem), lpString);
}

UINT WINAPI GetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPSTR lpString, int cchMax) {
    HWND item = GetDlgItem(hDlg, nIDDlgItem);
    if (item == nullptr) {
        if (lpString != nullptr && cchMax > 0) lpString[0] = '\0';
        return 0;
    }
    return static_cast<UINT>(GetWindowTextA(item, lpString, cchMax));
}

HWND WINAPI GetNextDlgTabItem(HWND hDlg, HWND hCtl, BOOL bPrevious) {
    Window* d = findDialog(hDlg);
    if (d == nullptr) return nullptr;
    const auto& kids = d->children;
    const int n = static_cast<int>(kids.size());
    if (n == 0) return nullptr;
    int at = -1;
    for (int i = 0; i < n; ++i) {
        if (kids[static_cast<size_t>(i)] == hCtl) at = i;
    }
    const int step = bPrevious ? -1 : 1;
    int start = at >= 0 ? at + step : (bPrevious ? n - 1 : 0);
    for (int k = 0; k < n; ++k) {
        const int i = ((start + step * k) % n + n) % n;
        Window* c = find(kids[static_cast<size_t>(i)]);
        if (c != nullptr &&
            (c->style & (WS_TABSTOP | WS_VISIBLE | WS_DISABLED)) == (WS_TABSTOP | WS_VISIBLE)) {
            return c->handle;
        }
    }
    return nullptr;
}

}  // extern "C"
