#include "install.h"

#include "../platform/text.h"
#include "../registry/sweep.h"

static int PrepareRequest(const char* argumentString, InstallRequest* request) {
    if (!SplitArgumentString(argumentString, request) || !ComposeInfPath(request)) {
        return 0;
    }
    CopyAndZeroFill(request->hardwareIdCopy, request->hardwareId, TEXT_FIELD_SIZE);
    return 1;
}

// The sweep runs whatever the update did, before the outcome is looked at.
int InstallDriver(const char* argumentString) {
    InstallRequest request;
    if (!PrepareRequest(argumentString, &request)) {
        return INSTALL_FAILED;
    }
    request.rebootRequired = FALSE;
    BOOL updated = UpdateDriverForPlugAndPlayDevicesA(NULL, request.hardwareIdCopy,
                                                      request.infPath, INSTALLFLAG_FORCE,
                                                      &request.rebootRequired);
    DWORD lastError = GetLastError();
    RemoveStaleInstances(request.hardwareId);
    if (updated) {
        return request.rebootRequired ? INSTALL_OK_REBOOT : INSTALL_OK;
    }
    return ResultFromLastError(lastError);
}

#if QUORIN_X86_BUILD
int InstallDriverWithFallback(const char* argumentString) {
    int result = InstallDriver(argumentString);
    return result == INSTALL_IN_WOW64 ? InstallDriver(argumentString) : result;
}
#else
// A relaunch that could not be composed is refused before anything is done,
// so no install is left half finished for want of room.
static int RelaunchCommandLineFits(const char* argumentString) {
    char commandLine[RELAUNCH_COMMAND_LINE_SIZE];
    return ComposeRelaunchCommandLine(argumentString, commandLine, sizeof commandLine);
}

int InstallDriverWithFallback(const char* argumentString) {
    if (!RelaunchCommandLineFits(argumentString)) {
        return INSTALL_FAILED;
    }
    int result = InstallDriver(argumentString);
    return result == INSTALL_IN_WOW64 ? RelaunchNativeInstaller(argumentString) : result;
}
#endif
