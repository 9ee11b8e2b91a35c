// The one platform header of the product.
//
// Product code (detection/, discovery/, removal/, dialog/) includes this file
// and nothing else of the platform. On Windows it is the real SDK; on the
// host it is the simulated Windows machine's API, declared with the same
// names, types, constants, structure layouts and signatures (narrow "A"
// variants only).
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <setupapi.h>
#include <commctrl.h>
#else
#include "winsim/api/win32_base.h"
#include "winsim/api/win32_kernel.h"
#include "winsim/api/win32_registry.h"
#include "winsim/api/win32_setupapi.h"
#include "winsim/api/win32_user.h"
#endif
