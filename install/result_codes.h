// The exit codes a setup program sees. Each means exactly one thing.
#ifndef QUORIN_RESULT_CODES_H
#define QUORIN_RESULT_CODES_H

#include "../platform/platform.h"

enum InstallResult {
    INSTALL_OK_REBOOT = 1,       // installed; Windows asks for a restart
    INSTALL_OK = 0,              // installed
    INSTALL_FAILED = -1,         // any other failure, or the 64-bit program could not start
    INSTALL_INF_NOT_FOUND = -2,  // the INF path does not exist
    INSTALL_NO_DEVICE = -3,      // no present device has the hardware ID
    INSTALL_BAD_FLAGS = -4,      // Windows refused the install flags
    INSTALL_IN_WOW64 = -6        // a 32-bit process may not install here
};

// The result of a failed driver update, from the last-error code it left.
int ResultFromLastError(DWORD lastError);

#endif
