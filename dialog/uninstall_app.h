// The application object: shows UninstallDialog modally; the program ends
// when the dialog closes.
#pragma once

#include "dialog/framework/fw_application.h"

class UninstallApp : public fw::Application {
protected:
    bool initInstance() override;
};

extern UninstallApp theApp;
