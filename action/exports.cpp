// Custom actions of the example Windows Installer package (quorin64.wxs).
//
// InstallDriver (deferred, as LocalSystem, which may change every device key
// the program's sweep removes) starts "<folder>\Quorin64.exe" <INF
// name>+<hardware ID> in the install folder for each of the package's
// hardware IDs, waits for each and turns their exit codes into the
// installer's result: a DLL action, because Windows Installer fails the
// install on any non-zero exit code of a program it starts itself, and 1
// means "installed, restart needed". RollbackDriver undoes what
// InstallDriver recorded when the install fails later; RemoveDriver takes
// out of the driver store the package this product put there;
// ScheduleRestart (immediate, after InstallFinalize) asks Windows
// Installer for the restart InstallDriver recorded.
//
// Nothing but KERNEL32, ADVAPI32, msi and SETUPAPI: no C runtime, so the
// DLL has its own entry point; text is built with the program's own bounded
// helpers (platform/text.h).
#include "action.h"

#include <setupapi.h>

#include "../install/result_codes.h"

namespace {

// Windows Installer fails the install on ERROR_INSTALL_FAILURE.
UINT InstallerResult(DWORD error) {
    return error == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// What the package in the store was before the program ran.
void SurveyStore(const ActionData* data, StoreBefore* before) {
    before->present = FindInStore(data, before->name, sizeof before->name) == ERROR_SUCCESS;
    before->owned =
        before->present && FindOwner(data, before->name, before->owner) == ERROR_SUCCESS;
}

// The package's name in the store after the program succeeded for every
// hardware ID. With no device to install on for any of them, the package
// goes into the store, so that Windows installs it when the device comes;
// installing on a device puts it there as well.
DWORD PackageAfterProgram(MSIHANDLE install, const ActionData* data, int code,
                          char* stagedName, DWORD size) {
    if (code == INSTALL_NO_DEVICE) {
        DWORD error = StagePackage(data, stagedName, size);
        if (error != ERROR_SUCCESS) {
            LogError(install, "could not put the driver package into the driver store", error);
            return error;
        }
        LogPackage(install, "the driver package is in the driver store as ", stagedName,
                   "; Windows installs it when the controller is connected");
    } else if (FindInStore(data, stagedName, size) != ERROR_SUCCESS) {
        stagedName[0] = '\0';
    }
    return ERROR_SUCCESS;
}

// An immediate action reads the codes from its session.
DWORD ReadProductCodes(MSIHANDLE install, char* productCode, char* upgradeCode) {
    DWORD productLength = GUID_SIZE;
    DWORD upgradeLength = GUID_SIZE;
    if (MsiGetPropertyA(install, "ProductCode", productCode, &productLength) != ERROR_SUCCESS ||
        MsiGetPropertyA(install, "UpgradeCode", upgradeCode, &upgradeLength) != ERROR_SUCCESS ||
        !IsGuid(productCode) || !IsGuid(upgradeCode)) {
        return ERROR_INVALID_DATA;
    }
    return ERROR_SUCCESS;
}

void TakeOutAddedPackage(MSIHANDLE install, const char* stagedName) {
    DWORD error = UninstallPackage(stagedName);
    if (error == ERROR_SUCCESS) {
        LogPackage(install, "rollback: driver package ", stagedName,
                   " taken out of the driver store");
    } else {
        LogPackageError(install, "rollback: driver package ", stagedName,
                        " could not be taken out of the driver store", error);
    }
}

// Windows refuses to take out a package that a device still uses; the
// device keeps its driver then, and the log says so.
void TakeOutOwnedPackage(MSIHANDLE install, const char* stagedName) {
    DWORD error = UninstallPackage(stagedName);
    if (error == ERROR_SUCCESS) {
        LogPackage(install, "driver package ", stagedName, " taken out of the driver store");
    } else if (error == ERROR_INF_IN_USE_BY_DEVICES) {
        LogPackage(install, "driver package ", stagedName,
                   " stays in the driver store: a device still uses it");
    } else {
        LogPackageError(install, "driver package ", stagedName,
                        " could not be taken out of the driver store", error);
    }
}

}  // namespace

// The DLL needs no set-up of its own: there is no C runtime to start.
extern "C" BOOL WINAPI DriverActionEntry(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}

extern "C" __declspec(dllexport) UINT WINAPI InstallDriver(MSIHANDLE install) {
    ActionData data;
    if (ReadActionData(install, &data) != ERROR_SUCCESS) return ERROR_INSTALL_FAILURE;
    if (IsArm64Windows()) {
        LogError(install, "the driver cannot be installed on Windows for ARM processors",
                 ERROR_NOT_SUPPORTED);
        return ERROR_INSTALL_FAILURE;
    }
    ForgetLastRun(&data);
    StoreBefore before = {};
    SurveyStore(&data, &before);

    int code = INSTALL_FAILED;
    if (RunForEachId(install, &data, &code) != ERROR_SUCCESS) return ERROR_INSTALL_FAILURE;
    char stagedName[MAX_PATH] = "";
    DWORD error = PackageAfterProgram(install, &data, code, stagedName, sizeof stagedName);
    if (error == ERROR_SUCCESS) {
        error = WriteRecord(install, &data, &before, stagedName, code == INSTALL_OK_REBOOT);
    }
    return InstallerResult(error);
}

// Runs when the install fails after InstallDriver: takes out the package
// that InstallDriver added, or gives it back to the version it was taken
// from, and forgets this version's record.
extern "C" __declspec(dllexport) UINT WINAPI RollbackDriver(MSIHANDLE install) {
    ActionData data;
    if (ReadActionData(install, &data) != ERROR_SUCCESS) return ERROR_SUCCESS;
    char undo[GUID_SIZE];
    char stagedName[MAX_PATH];
    if (ReadUndo(&data, undo, sizeof undo, stagedName, sizeof stagedName) != ERROR_SUCCESS) {
        return ERROR_SUCCESS;
    }
    if (lstrcmpA(undo, UNDO_ADDED) == 0) {
        TakeOutAddedPackage(install, stagedName);
    } else if (ReturnPackage(&data, undo, stagedName) == ERROR_SUCCESS) {
        LogPackage(install, "rollback: driver package ", stagedName,
                   " belongs to the version it was taken from again");
    }
    DeleteRecord(data.upgradeCode, data.productCode);
    return ERROR_SUCCESS;
}

// Takes out of the store only the package this version's record names: one
// that was there before the product came, or that a newer version took
// over, stays. Never fails the uninstall: a product that cannot be removed
// helps nobody.
extern "C" __declspec(dllexport) UINT WINAPI RemoveDriver(MSIHANDLE install) {
    ActionData data;
    if (ReadActionData(install, &data) != ERROR_SUCCESS) return ERROR_SUCCESS;
    char stagedName[MAX_PATH];
    DWORD recorded = 0;
    if (ReadOwnedPackage(&data, stagedName, sizeof stagedName, &recorded) != ERROR_SUCCESS) {
        LogNote(install, "this version owns no driver package in the driver store: none taken out");
    } else if (!IsRecordedCopy(stagedName, recorded)) {
        LogPackage(install, "driver package ", stagedName,
                   " is no longer the one this product put into the driver store: left there");
    } else {
        TakeOutOwnedPackage(install, stagedName);
    }
    DeleteRecord(data.upgradeCode, data.productCode);
    return ERROR_SUCCESS;
}

// Immediate, after InstallFinalize: a deferred action may not call
// MsiSetMode, so InstallDriver recorded the restart and this action asks
// for it; msiexec then ends with 3010 (ERROR_SUCCESS_REBOOT_REQUIRED).
extern "C" __declspec(dllexport) UINT WINAPI ScheduleRestart(MSIHANDLE install) {
    char productCode[GUID_SIZE];
    char upgradeCode[GUID_SIZE];
    BOOL restart = FALSE;
    if (ReadProductCodes(install, productCode, upgradeCode) == ERROR_SUCCESS &&
        TakeRestartRequest(upgradeCode, productCode, &restart) == ERROR_SUCCESS && restart) {
        MsiSetMode(install, MSIRUNMODE_REBOOTATEND, TRUE);
        LogNote(install, "the driver needs a restart: Windows Installer asks for it at the end");
    }
    return ERROR_SUCCESS;
}
