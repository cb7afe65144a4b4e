// The program's entry: cuts the argument string out of the command line and
// picks the install variant.
#ifndef QUORIN_ENTRY_H
#define QUORIN_ENTRY_H

#include "../platform/platform.h"

// The tail of a full command line after the program name, by the unsigned
// rule: a quoted name runs to the next quote (a lead byte carrying its trail
// byte), an unquoted one to the first byte of code 32 or lower; then every
// byte of code 1 to 32 is skipped. Points into commandLine.
const char* ArgumentStringFromCommandLine(const char* commandLine);

// Runs the install variant this program uses and returns its result.
int RunInstaller(const char* argumentString);

// Takes the program's folder and the current directory out of the search
// for every DLL loaded from here on, where this Windows lets it.
void RestrictDllSearch(void);

#if !QUORIN_X86_BUILD
typedef BOOL(WINAPI* IsWow64ProcessFunction)(HANDLE process, PBOOL wow64Process);

// Filled once while the process starts; empty where Windows has no such
// function.
extern IsWow64ProcessFunction pfnIsWow64Process;

IsWow64ProcessFunction LookUpIsWow64Process(void);
int IsRunningUnderWow64(void);
#endif

#endif
