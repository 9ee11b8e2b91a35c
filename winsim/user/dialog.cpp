// Modal dialogs: creation, the modal loop with its queues, default window
// processing and the operator input of the host API.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "winsim/user/internal.h"

namespace winsim::ui::detail {

LRESULT defWindowProc(Window* w, UINT msg, WPARAM wParam, LPARAM lParam) {
    const HWND hwnd = w->handle;
    switch (msg) {
        case WM_SETTEXT: {
            const char* s = reinterpret_cast<const char*>(lParam);
            setText(w, s != nullptr ? s : "");
            return TRUE;
        }
        case WM_GETTEXT: {
            char* out = reinterpret_cast<char*>(lParam);
            if (out == nullptr || wParam == 0) return 0;
            const size_t n = std::min<size_t>(w->text.size(), wParam - 1);
            std::memcpy(out, w->text.data(), n);
            out[n] = '\0';
            return static_cast<LRESULT>(n);
        }
        case WM_GETTEXTLENGTH:
            return static_cast<LRESULT>(w->text.size());
        case WM_SYSCOMMAND:
            switch (wParam & 0xFFF0) {
                case SC_CLOSE:
                    send(hwnd, WM_CLOSE, 0, 0);
                    break;
                case SC_MINIMIZE:
                    ui::setIconic(hwnd, true);
                    break;
                case SC_RESTORE:
                    ui::setIconic(hwnd, false);
                    break;
                default:
                    break;  // moving and sizing have no effect here
            }
            return 0;
        case WM_CLOSE:
            DestroyWindow(hwnd);
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT ps;
            BeginPaint(hwnd, &ps);
            EndPaint(hwnd, &ps);
            return 0;
        }
        case WM_ERASEBKGND:
        case WM_ICONERASEBKGND: {
            auto it = state().paints.find(reinterpret_cast<HDC>(wParam));
            if (it != state().paints.end() && it->second.window == hwnd) it->second.erased = true;
            return TRUE;
        }
        case WM_SETICON: {
            HICON icon = reinterpret_cast<HICON>(lParam);
            HICON* slot = wParam == ICON_BIG     ? &w->bigIcon
                          : wParam == ICON_SMALL ? &w->smallIcon
                                                 : nullptr;
            if (slot == nullptr) return 0;
            HICON previous = *slot;
            *slot = icon;
            w->needsPaint = true;
            return reinterpret_cast<LRESULT>(previous);
        }
        case WM_GETICON:
            if (wParam == ICON_BIG) return reinterpret_cast<LRESULT>(w->bigIcon);
            if (wParam == ICON_SMALL) return reinterpret_cast<LRESULT>(w->smallIcon);
            return reinterpret_cast<LRESULT>(w->smallIcon != nullptr ? w->smallIcon : w->bigIcon);
        default:
            return 0;
    }
}

// The dialog is the active modal one and enabled; the control (when given)
// is one of its visible, enabled children.
bool acceptsInput(Window* dialog, Window* control) {
    if (dialog == nullptr || dialog->handle != activeDialog() || dialog->ended) return false;
    if ((dialog->style & WS_DISABLED) != 0) return false;
    if (control == nullptr) return true;
    return control->parent == dialog->handle &&
           (control->style & (WS_VISIBLE | WS_DISABLED)) == WS_VISIBLE;
}

namespace {

bool isPushButtonOrBox(const Window* c) {
    const DWORD type = c->style & BS_TYPEMASK;
    return c->kind == WinKind::Button &&
           (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON || type == BS_PUSHBOX);
}

void click(Window* dialog, Window* control) {
    (void)dialog;
    send(control->handle, BM_CLICK, 0, 0);
}

void selectItem(Window* combo, int index) {
    if (index < 0 || index >= static_cast<int>(combo->items.size())) return;
    combo->curSel = index;
    combo->needsPaint = true;
    notifyParent(combo, CBN_SELCHANGE);
}

bool hasMnemonic(const std::string& text, char letter) {
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != '&') continue;
        if (text[i + 1] == '&') {
            ++i;
            continue;
        }
        return std::tolower(static_cast<unsigned char>(text[i + 1])) ==
               std::tolower(static_cast<unsigned char>(letter));
    }
    return false;
}

void pressKeyNow(Window* d, ui::Key key) {
    Window* focus = find(d->focus);
    switch (key) {
        case ui::Key::Tab:
        case ui::Key::BackTab: {
            HWND next = GetNextDlgTabItem(d->handle, d->focus, key == ui::Key::BackTab);
            if (next != nullptr) setFocusTo(d, next);
            return;
        }
        case ui::Key::Space:
            if (focus != nullptr && focus->kind == WinKind::Button) click(d, focus);
            return;
        case ui::Key::Enter: {
            if (focus != nullptr && isPushButtonOrBox(focus)) {
                click(d, focus);
                return;
            }
            const LRESULT def = send(d->handle, DM_GETDEFID, 0, 0);
            d = findDialog(d->handle);
            if (d == nullptr) return;
            const int id = HIWORD(def) == DC_HASDEFID ? LOWORD(def) : IDOK;
            Window* button = childOf(d, id);
            if (button != nullptr && (button->style & WS_DISABLED) != 0) return;
            send(d->handle, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(button != nullptr ? button->handle : nullptr));
            return;
        }
        case ui::Key::Escape: {
            Window* cancel = childOf(d, IDCANCEL);
            if (cancel != nullptr && (cancel->style & WS_DISABLED) != 0) return;
            send(d->handle, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                 reinterpret_cast<LPARAM>(cancel != nullptr ? cancel->handle : nullptr));
            return;
        }
        default:
            break;
    }
    if (focus == nullptr) return;
    if (focus->kind == WinKind::ComboBox) {
        const int count = static_cast<int>(focus->items.size());
        if (count == 0) return;
        int target = focus->curSel;
        switch (key) {
            case ui::Key::Up:
                target = std::max(0, target - 1);
                break;
            case ui::Key::Down:
                target = std::min(count - 1, target + 1);
                break;
            case ui::Key::PageUp:
                target = std::max(0, target - 8);
                break;
            case ui::Key::PageDown:
                target = std::min(count - 1, std::max(0, target) + 8);
                break;
            case ui::Key::Home:
                target = 0;
                break;
            case ui::Key::End:
                target = count - 1;
                break;
            default:
                return;
        }
        if (target != focus->curSel) selectItem(focus, target);
    } else if (focus->kind == WinKind::Edit) {
        const int page = editVisibleLines(*focus);
        const int lines = static_cast<int>(editLines(*focus).size());
        switch (key) {
            case ui::Key::Up:
                editScroll(focus, -1);
                break;
            case ui::Key::Down:
                editScroll(focus, 1);
                break;
            case ui::Key::PageUp:
                editScroll(focus, -page);
                break;
            case ui::Key::PageDown:
                editScroll(focus, page);
                break;
            case ui::Key::Home:
                editScroll(focus, -lines);
                break;
            case ui::Key::End:
                editScroll(focus, lines);
                break;
            default:
                break;
        }
        focus->needsPaint = true;
    }
}

void mnemonicNow(Window* d, char letter) {
    const std::vector<HWND> kids = d->children;
    for (size_t i = 0; i < kids.size(); ++i) {
        Window* c = find(kids[i]);
        if (c == nullptr || (c->style & (WS_VISIBLE | WS_DISABLED)) != WS_VISIBLE) continue;
        if (c->kind == WinKind::Static && (c->style & SS_NOPREFIX) != 0) continue;
        if (!hasMnemonic(c->text, letter)) continue;
        if (c->kind == WinKind::Button) {
            if (isPushButtonOrBox(c)) {
                click(d, c);
            } else {
                setFocusTo(d, c->handle);
                click(d, c);
            }
            return;
        }
        // A label: the focus goes to the next control that can take it.
        for (size_t j = i + 1; j < kids.size(); ++j) {
            Window* next = find(kids[j]);
            if (next != nullptr && next->kind != WinKind::Static &&
                (next->style & (WS_VISIBLE | WS_DISABLED)) == WS_VISIBLE) {
                setFocusTo(d, next->handle);
                return;
            }
        }
        return;
    }
}

// Sends WM_PAINT to every visible window that needs it (controls draw
// themselves). Returns whether anything was painted.
bool paintPending() {
    State& s = state();
    std::vector<HWND> dialogs;
    bool any = false;
    for (auto& [h, w] : s.windows) {
        if (!w->needsPaint || !IsWindowVisible(h)) continue;
        if (w->kind == WinKind::Dialog) {
            dialogs.push_back(h);
        } else {
            w->needsPaint = false;
        }
    }
    for (HWND h : dialogs) {
        Window* w = find(h);
        if (w == nullptr) continue;
        w->needsPaint = false;  // a handler that never validates is not asked again
        send(h, WM_PAINT, 0, 0);
        any = true;
    }
    return any;
}

void deliver(const MSG& m) {
    if (find(m.hwnd) == nullptr) return;  // thread messages and gone windows
    send(m.hwnd, m.message, m.wParam, m.lParam);
}

void runLoop(Window* dialog) {
    State& s = state();
    bool noMoreInput = false;
    bool closeSent = false;
    while (dialog->alive && !dialog->ended) {
        if (!s.posted.empty()) {
            const MSG m = s.posted.front();
            s.posted.pop_front();
            deliver(m);
            continue;
        }
        if (!s.input.empty()) {
            const Input in = s.input.front();
            s.input.pop_front();
            processInput(in);
            continue;
        }
        if (paintPending()) continue;
        if (!noMoreInput) {
            // The last input has been handled completely (posted messages
            // included): the idle observer sees the dialog at rest first.
            if (s.idleObserver && !s.idleObserver()) {
                noMoreInput = true;
            } else if (s.driver != nullptr && s.driver->waitForInput()) {
                continue;
            }
            noMoreInput = true;
        }
        if (!closeSent) {
            // As the operator closing the window.
            closeSent = true;
            if ((dialog->style & WS_SYSMENU) != 0) {
                send(dialog->handle, WM_SYSCOMMAND, SC_CLOSE, 0);
            } else {
                send(dialog->handle, WM_CLOSE, 0, 0);
            }
            continue;
        }
        // Nothing will ever end it: end it here rather than hang.
        dialog->ended = true;
        dialog->result = -1;
    }
}

}  // namespace

void processInput(const Input& in) {
    Window* d = findDialog(in.dialog);
    if (!acceptsInput(d, nullptr)) return;
    Window* c = childOf(d, in.id);
    const bool controlTakesInput = c != nullptr && acceptsInput(d, c);
    switch (in.type) {
        case Input::Click:
            if (controlTakesInput && c->kind == WinKind::Button) click(d, c);
            break;
        case Input::Select:
            if (controlTakesInput && c->kind == WinKind::ComboBox) {
                setFocusTo(d, c->handle);
                c = find(c->handle);
                if (c != nullptr) selectItem(c, in.value);
            }
            break;
        case Input::Scroll:
            if (controlTakesInput && c->kind == WinKind::Edit) {
                editScroll(c, in.value);
                c->needsPaint = true;
            }
            break;
        case Input::Focus:
            if (controlTakesInput) setFocusTo(d, c->handle);
            break;
        case Input::SysCommand:
            send(d->handle, WM_SYSCOMMAND, in.command, 0);
            break;
        case Input::Key:
            pressKeyNow(d, in.key);
            break;
        case Input::Mnemonic:
            mnemonicNow(d, in.letter);
            break;
    }
}

}  // namespace winsim::ui::detail

using namespace winsim::ui::detail;

namespace winsim::ui {

void setInputDriver(InputDriver* driver) { state().driver = driver; }

void setIdleObserver(std::function<bool()> observer) { state().idleObserver = std::move(observer); }

HWND activeDialog() {
    const auto& running = state().running;
    return running.empty() ? nullptr : running.back();
}

std::vector<HWND> runningDialogs() { return state().running; }

namespace {

bool queue(Input in) {
    state().input.push_back(in);
    return true;
}

Window* inputControl(HWND dialog, int id, WinKind kind) {
    Window* d = findDialog(dialog);
    Window* c = childOf(d, id);
    return c != nullptr && acceptsInput(d, c) && c->kind == kind ? c : nullptr;
}

}  // namespace

bool clickButton(HWND dialog, int id) {
    if (inputControl(dialog, id, WinKind::Button) == nullptr) return false;
    return queue({Input::Click, dialog, id, 0, 0, Key::Enter, 0});
}

bool chooseListItem(HWND dialog, int id, int index) {
    Window* c = inputControl(dialog, id, WinKind::ComboBox);
    if (c == nullptr || index < 0 || index >= static_cast<int>(c->items.size())) return false;
    return queue({Input::Select, dialog, id, index, 0, Key::Enter, 0});
}

bool chooseSystemCommand(HWND dialog, UINT id) {
    Window* d = findDialog(dialog);
    if (!acceptsInput(d, nullptr)) return false;
    std::vector<MenuItem>* menu = systemMenu(d);
    if (menu == nullptr) return false;
    const bool found = std::any_of(menu->begin(), menu->end(), [id](const MenuItem& m) {
        return !m.separator && m.enabled && m.id == id;
    });
    if (!found) return false;
    return queue({Input::SysCommand, dialog, 0, 0, id, Key::Enter, 0});
}

bool closeBox(HWND dialog) {
    Window* d = findDialog(dialog);
    if (!acceptsInput(d, nullptr) || (d->style & WS_SYSMENU) == 0) return false;
    return queue({Input::SysCommand, dialog, 0, 0, SC_CLOSE, Key::Enter, 0});
}

bool scrollEdit(HWND dialog, int id, int lines) {
    if (inputControl(dialog, id, WinKind::Edit) == nullptr) return false;
    return queue({Input::Scroll, dialog, id, lines, 0, Key::Enter, 0});
}

bool focusControl(HWND dialog, int id) {
    Window* d = findDialog(dialog);
    Window* c = childOf(d, id);
    if (c == nullptr || !acceptsInput(d, c)) return false;
    return queue({Input::Focus, dialog, id, 0, 0, Key::Enter, 0});
}

bool pressKey(HWND dialog, Key key) {
    if (!acceptsInput(findDialog(dialog), nullptr)) return false;
    return queue({Input::Key, dialog, 0, 0, 0, key, 0});
}

bool pressMnemonic(HWND dialog, char letter) {
    if (!acceptsInput(findDialog(dialog), nullptr) ||
        !std::isalnum(static_cast<unsigned char>(letter))) {
        return false;
    }
    return queue({Input::Mnemonic, dialog, 0, 0, 0, Key::Enter, letter});
}

void setIconic(HWND window, bool iconic) {
    Window* w = findDialog(window);
    if (w == nullptr || w->iconic == iconic) return;
    w->iconic = iconic;
    if (iconic) {
        w->style |= WS_MINIMIZE;
    } else {
        w->style &= ~static_cast<DWORD>(WS_MINIMIZE);
    }
    w->needsPaint = true;
}

}  // namespace winsim::ui

extern "C" {

INT_PTR WINAPI DialogBoxParamA(HINSTANCE hInstance, LPCSTR lpTemplateName, HWND hWndParent,
                               DLGPROC lpDialogFunc, LPARAM dwInitParam) {
    State& s = state();
    if (hInstance != nullptr && hInstance != GetModuleHandleA(nullptr)) return -1;
    if (s.resources == nullptr || lpTemplateName == nullptr) return -1;
    const DialogTemplate* t = s.resources->findDialog(lpTemplateName);
    if (t == nullptr) return -1;
    if (hWndParent != nullptr) {
        Window* parent = find(hWndParent);
        if (parent == nullptr) return -1;
        // The owner of a dialog is a top-level window.
        if (parent->kind != WinKind::Dialog) hWndParent = parent->parent;
    }

    const HWND hwnd = createDialog(*t, hWndParent, lpDialogFunc);
    Window* d = find(hwnd);
    if ((t->style & DS_SETFONT) != 0) send(hwnd, WM_SETFONT, 0, FALSE);
    const HWND first = GetNextDlgTabItem(hwnd, nullptr, FALSE);
    const LRESULT init = send(hwnd, WM_INITDIALOG, reinterpret_cast<WPARAM>(first), dwInitParam);
    if (!d->alive) {
        if (s.running.empty()) s.graveyard.clear();
        return -1;
    }
    // A true result lets the dialog manager put the focus on the first tab
    // stop, looked up again: the handler may have enabled or disabled
    // controls (a focus the handler set itself is overridden, as on Windows).
    if (init != 0) {
        const HWND firstNow = GetNextDlgTabItem(hwnd, nullptr, FALSE);
        d = find(hwnd);
        if (d != nullptr && firstNow != nullptr) setFocusTo(d, firstNow);
    }

    bool ownerDisabled = false;
    if (hWndParent != nullptr && IsWindowEnabled(hWndParent)) {
        EnableWindow(hWndParent, FALSE);
        ownerDisabled = true;
    }
    d->running = true;
    s.running.push_back(hwnd);
    // A modal dialog is shown whether or not its template says WS_VISIBLE.
    if (!d->ended) ShowWindow(hwnd, SW_SHOWNORMAL);
    runLoop(d);
    s.running.erase(std::remove(s.running.begin(), s.running.end(), hwnd), s.running.end());
    d->running = false;
    if (ownerDisabled) EnableWindow(hWndParent, TRUE);
    const INT_PTR result = d->result;
    if (d->alive) destroy(d);
    if (s.running.empty()) s.graveyard.clear();
    return result;
}

BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult) {
    Window* d = findDialog(hDlg);
    if (d == nullptr) return FALSE;
    d->ended = true;
    d->result = nResult;
    d->style &= ~static_cast<DWORD>(WS_VISIBLE);
    return TRUE;
}

BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    if (hWnd != nullptr && find(hWnd) == nullptr) return FALSE;
    MSG m{};
    m.hwnd = hWnd;
    m.message = Msg;
    m.wParam = wParam;
    m.lParam = lParam;
    state().posted.push_back(m);
    return TRUE;
}

}  // extern "C"
