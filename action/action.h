// What the custom-action DLL's files share. Every helper that can fail
// returns a Windows error code, ERROR_SUCCESS (0) when it did its job; one
// whose name asks a question (Is..., Are..., Contains...) answers with a
// BOOL, FALSE when it cannot tell; log lines and clean-ups, which may fail
// without harm, return nothing.
#ifndef QUORIN_ACTION_H
#define QUORIN_ACTION_H

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include "../platform/text.h"

// The program refuses fields of 1,024 characters or more; Windows
// Installer's folders are MAX_PATH at most. A package's models are a few
// dozen IDs at most, each a few dozen characters.
enum {
    FOLDER_SIZE = MAX_PATH,
    NAME_SIZE = 256,
    ID_SIZE = 1024,
    IDS_SIZE = 4 * ID_SIZE,
    GUID_SIZE = 39,  // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
    DATA_SIZE = FOLDER_SIZE + NAME_SIZE + 2 * GUID_SIZE + IDS_SIZE + 4,
    // A line names one ID at most.
    LINE_SIZE = FOLDER_SIZE + NAME_SIZE + 2 * GUID_SIZE + ID_SIZE + 132,
};

// text.h's appends answer 1 when the text fits; as an error code.
inline DWORD FitsOrOverflow(int fits) {
    return fits ? ERROR_SUCCESS : ERROR_BUFFER_OVERFLOW;
}

// -- What the actions are given (action_data.cpp).

struct ActionData {
    char folder[FOLDER_SIZE];  // without a trailing backslash
    char infName[NAME_SIZE];
    char productCode[GUID_SIZE];
    char upgradeCode[GUID_SIZE];
    char hardwareIds[IDS_SIZE];  // one or more, "|" between them
};

// Reads and checks a deferred action's CustomActionData; logs what is
// wrong with it.
DWORD ReadActionData(MSIHANDLE install, ActionData* data);

// The first of the hardware IDs in ids, in id (ID_SIZE); *rest is where
// the next one starts, NULL after the last.
DWORD TakeHardwareId(const char* ids, char* id, const char** rest);

BOOL IsGuid(const char* text);

// -- The driver store (driver_store.cpp).

// Stages the installed INF; its name in Windows' INF folder in stagedName.
DWORD StagePackage(const ActionData* data, char* stagedName, DWORD size);

// The name in Windows' INF folder of the installed INF's copy, if any.
DWORD FindInStore(const ActionData* data, char* name, DWORD size);

// FNV-1a (32 bits) of the bytes of "<Windows>\inf\<name>".
DWORD StoreFingerprint(const char* name, DWORD* fingerprint);

// Whether "<Windows>\inf\<name>" still holds the bytes fingerprinted.
BOOL IsRecordedCopy(const char* name, DWORD fingerprint);

DWORD UninstallPackage(const char* name);

// -- The ownership record (ownership_record.cpp).

// The record's Undo when InstallDriver put the package into the store. A
// constant in each file, not an extern: MinGW reaches extern data through
// a pointer the DLL would have to relocate.
const char UNDO_ADDED[] = "added";

// What the package in the store was before the program ran.
struct StoreBefore {
    BOOL present;
    BOOL owned;  // by a version of this product
    char name[MAX_PATH];
    char owner[GUID_SIZE];
};

// InstallDriver's, before the program runs.
void ForgetLastRun(const ActionData* data);
DWORD FindOwner(const ActionData* data, const char* stagedName, char* owner);
// InstallDriver's, after the program succeeded; logs who owns the package.
DWORD WriteRecord(MSIHANDLE install, const ActionData* data, const StoreBefore* before,
                  const char* stagedName, BOOL restart);
// RollbackDriver's.
DWORD ReadUndo(const ActionData* data, char* undo, DWORD undoSize, char* name, DWORD nameSize);
DWORD ReturnPackage(const ActionData* data, const char* owner, const char* stagedName);
// RemoveDriver's.
DWORD ReadOwnedPackage(const ActionData* data, char* stagedName, DWORD size,
                       DWORD* fingerprint);
// ScheduleRestart's.
DWORD TakeRestartRequest(const char* upgradeCode, const char* productCode, BOOL* restart);
// Rollback's and removal's last step.
void DeleteRecord(const char* upgradeCode, const char* productCode);

// -- Log lines (log_lines.cpp): "Quorin64: <what>.", the error code before
// the full stop where there is one.

void LogNote(MSIHANDLE install, const char* what);
void LogError(MSIHANDLE install, const char* what, DWORD error);
// A line about the driver package in the store: "<before><name><after>".
void LogPackage(MSIHANDLE install, const char* before, const char* name, const char* after);
void LogPackageError(MSIHANDLE install, const char* before, const char* name,
                     const char* after, DWORD error);
// The program's exit code for a hardware ID, and what it means.
void LogExitCode(MSIHANDLE install, int code, const char* hardwareId);

// -- Running the program (run_program.cpp).

BOOL IsArm64Windows();

// Runs the program from the install folder once for each hardware ID, in
// order, and logs each exit code; ERROR_INSTALL_FAILURE at the first run
// after which the install cannot go on, which is the last. *outcome:
// INSTALL_NO_DEVICE when every run found no device, INSTALL_OK_REBOOT when
// any asked for a restart, else INSTALL_OK.
DWORD RunForEachId(MSIHANDLE install, const ActionData* data, int* outcome);

#endif
