// Which of the two deliverables is being built. The build system defines
// QUORIN_TARGET_X86 for the 32-bit program; everything else is the x64 one.
#ifndef QUORIN_BUILD_TARGET_H
#define QUORIN_BUILD_TARGET_H

#ifdef QUORIN_TARGET_X86
#define QUORIN_X86_BUILD 1
#else
#define QUORIN_X86_BUILD 0
#endif

// A Windows build must match the machine it is compiled for, or the x86
// program would carry the relaunch and the x64 one the debug notice.
#if defined(_WIN32) && defined(_WIN64) && QUORIN_X86_BUILD
#error "the x86 program cannot be built with a 64-bit compiler"
#endif
#if defined(_WIN32) && !defined(_WIN64) && !QUORIN_X86_BUILD
#error "the x64 program cannot be built with a 32-bit compiler"
#endif

#endif
