#include "dialog/uninstall_app.h"

#include "dialog/uninstall_dialog.h"

UninstallApp theApp;

bool UninstallApp::initInstance() {
    enableControlHosting();
    UninstallDialog dialog(nullptr);
    setMainDialog(&dialog);
    dialog.doModal();
    setMainDialog(nullptr);
    // No message loop of the application's own: the program ends here.
    return false;
}
