// Installing the driver package named by the argument string
// "<INF file name>+<hardware ID>".
#ifndef QUORIN_INSTALL_H
#define QUORIN_INSTALL_H

#include "../platform/platform.h"
#include "result_codes.h"

enum { TEXT_FIELD_SIZE = 1024 };

struct InstallRequest {
    char hardwareId[TEXT_FIELD_SIZE];      // handed to the sweep
    char infPath[TEXT_FIELD_SIZE];         // directory part + infName; handed to the update
    char infName[TEXT_FIELD_SIZE];
    char hardwareIdCopy[TEXT_FIELD_SIZE];  // handed to the update
    BOOL rebootRequired;
};

// Fills infName and hardwareId: the text before the first '+' and the last
// non-empty run after a '+'. Returns 0 when either is empty or too long.
int SplitArgumentString(const char* argumentString, InstallRequest* request);

// Writes the directory part and infName into infPath; returns 0 when the
// directory is unknown or the path does not fit.
int ComposeInfPath(InstallRequest* request);

// Reads the current directory into a TEXT_FIELD_SIZE buffer; returns 0 when
// it cannot be read or does not fit.
int ReadCurrentDirectory(char* directory);

typedef BOOL(WINAPI* UpdateDriverFunction)(HWND parent, LPCSTR hardwareId, LPCSTR fullInfPath,
                                           DWORD installFlags, PBOOL rebootRequired);

// The driver update, found in the newdev.dll of the system directory. Loaded
// once per process at the first install attempt, so that the x86 program's
// second attempt uses the same module.
struct DriverUpdate {
    HMODULE newdev;
    UpdateDriverFunction update;  // NULL: newdev.dll could not be had
    int loadTried;
};

// Loads newdev.dll by its full path in the system directory and finds the
// update in it; leaves update NULL when either fails.
void LoadDriverUpdate(DriverUpdate* driverUpdate);
void UnloadDriverUpdate(DriverUpdate* driverUpdate);

// One install: update the driver, sweep stale instances, map the outcome.
// Answers ERROR_IN_WOW64 with INSTALL_IN_WOW64.
int InstallDriver(const char* argumentString);

// The same, but answers ERROR_IN_WOW64 with its fallback: the 64-bit program
// started again (x64 program) or a second install (x86 program).
int InstallDriverWithFallback(const char* argumentString);

#if !QUORIN_X86_BUILD
// CreateProcessA takes at most 32,767 characters and a terminator.
enum { RELAUNCH_COMMAND_LINE_SIZE = 32768 };

// "<current directory>\Quorin64.exe" quoted, one blank, the argument string.
int ComposeRelaunchCommandLine(const char* argumentString, char* commandLine, size_t size);

// Runs Quorin64.exe from the current directory with the same argument string,
// marked as a relaunched copy, and returns its exit code, or INSTALL_FAILED
// when it cannot be run.
int RelaunchNativeInstaller(const char* argumentString);

// Whether this process was started by a relaunch, or cannot tell.
int IsRelaunchedCopy(void);
#endif

#endif
