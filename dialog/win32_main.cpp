// Entry point of the Windows build.
#include <cstdlib>

#include "dialog/uninstall_app.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) { return theApp.run(instance); }

// The program never allocates with new, but the deleting destructors of the
// dialog classes name operator delete. These replace the C++ runtime's, which
// would bring their unwind tables (a 512-byte file block of .eh_frame).
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
