// The one seam between the program's logic and the operating system.
// On Windows the logic calls the real operations; everywhere else the
// simulated Windows layer supplies the same names, types and constants.
#ifndef QUORIN_PLATFORM_H
#define QUORIN_PLATFORM_H

#include "build_target.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <newdev.h>
#ifndef ERROR_NO_SUCH_DEVINST
#define ERROR_NO_SUCH_DEVINST 0xE000020BUL
#endif
#ifndef ERROR_IN_WOW64
#define ERROR_IN_WOW64 0xE0000235UL
#endif
// Headers for Windows XP leave out what later Windows added.
#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif
#else
#include "sim/windows_sim.h"
#endif

#endif
