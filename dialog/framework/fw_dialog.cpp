#include "dialog/framework/fw_dialog.h"

#include "dialog/framework/fw_application.h"

namespace fw {

Dialog::Dialog(UINT templateId, HWND parent) : templateId_(templateId), parent_(parent) {}

Dialog::~Dialog() = default;

INT_PTR Dialog::doModal() {
    return DialogBoxParamA(resourceModule(), MAKEINTRESOURCEA(templateId_), parent_,
                           &Dialog::dialogProc, reinterpret_cast<LPARAM>(this));
}

void Dialog::endDialog(INT_PTR result) { EndDialog(window_, result); }

bool Dialog::onCommand(WORD id, WORD, HWND) {
    switch (id) {
        case IDOK:
            onOK();
            return true;
        case IDCANCEL:
            onCancel();
            return true;
        default:
            return false;
    }
}

bool Dialog::onSysCommand(WPARAM, LPARAM) { return false; }

INT_PTR CALLBACK Dialog::dialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Dialog* self;
    if (message == WM_INITDIALOG) {
        // DialogBoxParamA hands our object over as the init parameter.
        self = reinterpret_cast<Dialog*>(lParam);
        self->window_ = window;
        SetWindowLongPtrA(window, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
    } else {
        // Messages sent before WM_INITDIALOG (WM_SETFONT) find no object yet.
        self = reinterpret_cast<Dialog*>(GetWindowLongPtrA(window, DWLP_USER));
    }
    if (self == nullptr) {
        return FALSE;
    }
    const INT_PTR result = self->dispatch(message, wParam, lParam);
    if (message == WM_DESTROY) {
        SetWindowLongPtrA(window, DWLP_USER, 0);
        self->window_ = nullptr;
    }
    return result;
}

INT_PTR Dialog::dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            return onInitDialog();
        case WM_COMMAND:
            return onCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam))
                       ? TRUE
                       : FALSE;
        case WM_SYSCOMMAND:
            return onSysCommand(wParam, lParam) ? TRUE : FALSE;
        case WM_PAINT:
            return onPaint() ? TRUE : FALSE;
        case WM_QUERYDRAGICON:
            // One of the messages whose dialog-procedure result is the answer.
            return reinterpret_cast<INT_PTR>(onQueryDragIcon());
        default:
            return FALSE;
    }
}

}  // namespace fw
