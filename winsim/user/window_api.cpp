// The exported window functions: items, messages, state, text and focus.
#include <algorithm>
#include <cstring>

#include "winsim/user/internal.h"

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
