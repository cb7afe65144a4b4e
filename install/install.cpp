#include "install.h"

#include "../platform/services.h"
#include "../platform/text.h"
#include "../registry/sweep.h"

static int PrepareRequest(const char* argumentString, InstallRequest* request) {
    if (!SplitArgumentString(argumentString, request) || !ComposeInfPath(request)) {
        return 0;
    }
    CopyAndZeroFill(request->hardwareIdCopy, request->hardwareId, TEXT_FIELD_SIZE);
    return 1;
}

static const DriverUpdate NO_DRIVER_UPDATE = {NULL, NULL, 0};

// Where nobody can answer, an install that would ask (an untrusted
// publisher, a missing disk) must fail at once rather than wait for ever.
static DWORD InstallFlags(void) {
    return SomeoneCanAnswer() ? INSTALLFLAG_FORCE : INSTALLFLAG_FORCE | INSTALLFLAG_NONINTERACTIVE;
}

// The sweep runs whatever the update did, before the outcome is looked at.
// Without newdev.dll the attempt fails as a whole: the last-error code of a
// failed load says nothing about the driver package.
static int InstallWith(const char* argumentString, DriverUpdate* driverUpdate) {
    InstallRequest request;
    if (!PrepareRequest(argumentString, &request)) {
        return INSTALL_FAILED;
    }
    if (!driverUpdate->loadTried) {
        LoadDriverUpdate(driverUpdate);
    }
    request.rebootRequired = FALSE;
    BOOL updated = FALSE;
    DWORD lastError = 0;
    if (driverUpdate->update != NULL) {
        updated = driverUpdate->update(NULL, request.hardwareIdCopy, request.infPath,
                                       InstallFlags(), &request.rebootRequired);
        lastError = GetLastError();
    }
    RemoveStaleInstances(request.hardwareId);
    if (updated) {
        return request.rebootRequired ? INSTALL_OK_REBOOT : INSTALL_OK;
    }
    return driverUpdate->update != NULL ? ResultFromLastError(lastError) : INSTALL_FAILED;
}

int InstallDriver(const char* argumentString) {
    DriverUpdate driverUpdate = NO_DRIVER_UPDATE;
    int result = InstallWith(argumentString, &driverUpdate);
    UnloadDriverUpdate(&driverUpdate);
    return result;
}

#if QUORIN_X86_BUILD
int InstallDriverWithFallback(const char* argumentString) {
    DriverUpdate driverUpdate = NO_DRIVER_UPDATE;
    int result = InstallWith(argumentString, &driverUpdate);
    if (result == INSTALL_IN_WOW64) {
        result = InstallWith(argumentString, &driverUpdate);
    }
    UnloadDriverUpdate(&driverUpdate);
    return result;
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
