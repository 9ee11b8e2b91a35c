// Modal dialogs over raw Win32: one dialog procedure for every dialog, which
// binds the window to its Dialog object at WM_INITDIALOG and forwards the
// messages the program handles to virtual handlers.
#pragma once

#include "platform/win32.h"

namespace fw {

class Dialog {
public:
    Dialog(UINT templateId, HWND parent);
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;

    // Creates the dialog from its template in the application's module, runs
    // it until endDialog and returns the end result (-1 when the dialog
    // could not be created).
    INT_PTR doModal();

    HWND hwnd() const { return window_; }

protected:
    // Dialogs live as objects of their own classes (locals of the code that
    // runs them), never deleted through this base: no virtual destructor, so
    // no deleting destructors and no operator delete in the program.
    ~Dialog();

    // Handlers. "false" (or a null icon) hands the message to the dialog's
    // default processing.
    virtual BOOL onInitDialog() { return TRUE; }
    // Binds command identifiers to handlers; the default binds IDOK to onOK
    // and IDCANCEL to onCancel.
    virtual bool onCommand(WORD id, WORD notification, HWND control);
    virtual void onOK() { endDialog(IDOK); }
    virtual void onCancel() { endDialog(IDCANCEL); }
    virtual bool onSysCommand(WPARAM command, LPARAM position);
    virtual bool onPaint() { return false; }
    virtual HICON onQueryDragIcon() { return nullptr; }

    void endDialog(INT_PTR result);
    HWND item(int id) const { return GetDlgItem(window_, id); }

private:
    static INT_PTR CALLBACK dialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR dispatch(UINT message, WPARAM wParam, LPARAM lParam);

    UINT templateId_;
    HWND parent_;
    HWND window_ = nullptr;
};

}  // namespace fw
