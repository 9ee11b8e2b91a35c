// The about box: product line, program version and owner line.
#pragma once

#include "dialog/framework/fw_dialog.h"

class AboutDialog : public fw::Dialog {
public:
    explicit AboutDialog(HWND parent);

protected:
    BOOL onInitDialog() override;
};
