// The control procedures: dialog, button, combo box, edit and static, and
// the messages every window answers.
#include <algorithm>
#include <cstring>

#include "winsim/user/internal.h"

namespace winsim::ui::detail {

bool isPushButton(const Window* w) {
    if (w->kind != WinKind::Button) return false;
    const DWORD type = w->style & BS_TYPEMASK;
    return type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON;
}

namespace {

// Messages whose dialog-procedure result is the message's result.
bool returnsDirectly(UINT msg) {
    return msg == WM_INITDIALOG || msg == WM_QUERYDRAGICON || msg == 0x0039 /* COMPAREITEM */ ||
           msg == 0x002E /* VKEYTOITEM */ || msg == 0x002F /* CHARTOITEM */ ||
           msg == 0x0019 /* CTLCOLOR */ || (msg >= 0x0132 && msg <= 0x0138);
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

}  // namespace winsim::ui::detail
