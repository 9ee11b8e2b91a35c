// Windows: the handle table, creation from templates, destruction and focus.
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
