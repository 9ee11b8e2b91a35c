// Entry point of the Windows build.
#include "dialog/uninstall_app.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) { return theApp.run(instance); }
