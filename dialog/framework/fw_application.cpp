#include "dialog/framework/fw_application.h"

#include "dialog/framework/fw_dialog.h"

namespace fw {

namespace {
Application* theApplication = nullptr;
}

Application* Application::current() { return theApplication; }

HINSTANCE resourceModule() {
    if (theApplication != nullptr && theApplication->instance() != nullptr) {
        return theApplication->instance();
    }
    return GetModuleHandleA(nullptr);
}

int Application::run(HINSTANCE instance) {
    theApplication = this;
    instance_ = instance;
    exitCode_ = 0;
    initInstance();
    mainDialog_ = nullptr;
    return exitCode_;
}

HWND Application::mainWindow() const {
    return mainDialog_ != nullptr ? mainDialog_->hwnd() : nullptr;
}

void Application::enableControlHosting() { InitCommonControls(); }

}  // namespace fw
