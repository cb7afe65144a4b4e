// The exit codes a setup program sees. Each means exactly one thing.
#ifndef QUORIN_RESULT_CODES_H
#define QUORIN_RESULT_CODES_H

#include "../platform/platform.h"

// The comment above each says what docs/exit-codes.tsv says.
enum InstallResult {
    // installed; Windows asks for a restart
    INSTALL_OK_REBOOT = 1,
    // installed; no restart needed
    INSTALL_OK = 0,
    // any other failure (a bad or over-long argument, an unreadable current
    // directory, no usable newdev.dll, or a relaunch that could not be started)
    INSTALL_FAILED = -1,
    // the INF file was not found at the INF path
    INSTALL_INF_NOT_FOUND = -2,
    // no present device has that hardware ID
    INSTALL_NO_DEVICE = -3,
    // Windows refused the install flags
    INSTALL_BAD_FLAGS = -4,
    // x86 program: Windows refused a 32-bit driver install twice (64-bit
    // Windows). x64 program: Windows refused to install from the x64 program
    // and its relaunched copy (an x64 program emulated on ARM64 Windows)
    INSTALL_IN_WOW64 = -6
};

// The result of a failed driver update, from the last-error code it left.
int ResultFromLastError(DWORD lastError);

#endif
