// The application object: reads the switches of the command line
// (command_line.h), then shows UninstallDialog modally, or runs it unattended
// for /quiet, or shows the switches in a message box for /? or a bad switch;
// the program ends when that is done, with the exit code of command_line.h
// for an unattended run or a bad switch, else 0.
#pragma once

#include "dialog/framework/fw_application.h"

class UninstallApp : public fw::Application {
protected:
    bool initInstance() override;
};

extern UninstallApp theApp;
