// The record of which package each installed version put into the store.
// What a deferred action learns for later goes here, not into the session.
//
// The record, in the 64-bit registry view: HKLM\SOFTWARE\Quorin64\Driver
// packages\<UpgradeCode>\<ProductCode>, one key per installed version:
//   InfName        the name in Windows' INF folder of the driver package
//                  this product put into the store (or took over from an
//                  earlier version of itself); absent when the package was
//                  there before the product came, which then never takes
//                  it out
//   InfFingerprint FNV-1a of that copy's bytes: Windows gives a freed
//                  oemNN.inf name to the next package staged, so the
//                  uninstall takes out the name only while it holds the
//                  same bytes
//   RestartNeeded  1: the program asked for a restart; ScheduleRestart
//                  passes it on and deletes it
//   Undo           what the last InstallDriver changed, for its rollback:
//                  "added", or the ProductCode it took the package from
// Keyed by the UpgradeCode, so that an upgrade's new version finds the old
// one's record and takes the package over: the old version's removal then
// finds no InfName and leaves the package alone.
#include "action.h"

namespace {

const char RECORD_ROOT[] = "SOFTWARE\\Quorin64\\Driver packages";

// "SOFTWARE\Quorin64\Driver packages\<UpgradeCode>[\<ProductCode>]".
DWORD RecordPath(const char* upgradeCode, const char* productCode, char* path, DWORD size) {
    TextBuffer text = MakeTextBuffer(path, size);
    return FitsOrOverflow(
        AppendText(&text, RECORD_ROOT) && AppendText(&text, "\\") &&
        AppendText(&text, upgradeCode) &&
        (productCode == NULL || (AppendText(&text, "\\") && AppendText(&text, productCode))));
}

// A version's record (productCode NULL: the product's key above them).
DWORD OpenRecord(const char* upgradeCode, const char* productCode, REGSAM rights, HKEY* key) {
    char path[sizeof RECORD_ROOT + 2 * GUID_SIZE];
    DWORD error = RecordPath(upgradeCode, productCode, path, sizeof path);
    if (error != ERROR_SUCCESS) return error;
    return (DWORD)RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, rights | KEY_WOW64_64KEY, key);
}

// A version's record to write to, made when it is not there yet.
DWORD CreateRecord(const char* upgradeCode, const char* productCode, HKEY* key) {
    char path[sizeof RECORD_ROOT + 2 * GUID_SIZE];
    DWORD error = RecordPath(upgradeCode, productCode, path, sizeof path);
    if (error != ERROR_SUCCESS) return error;
    return (DWORD)RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, 0,
                                  KEY_SET_VALUE | KEY_WOW64_64KEY, NULL, key, NULL);
}

DWORD OpenThisVersion(const ActionData* data, REGSAM rights, HKEY* key) {
    return OpenRecord(data->upgradeCode, data->productCode, rights, key);
}

// A text value that fits size with its terminator, which the value may
// lack; an empty one is as good as none.
DWORD ReadRecordText(HKEY key, const char* name, char* text, DWORD size) {
    DWORD type = 0;
    DWORD bytes = size;
    LONG status = RegQueryValueExA(key, name, NULL, &type, (BYTE*)text, &bytes);
    if (status != ERROR_SUCCESS) return (DWORD)status;
    if (type != REG_SZ || bytes == 0) return ERROR_INVALID_DATA;
    if (text[bytes - 1] != '\0') {
        if (bytes >= size) return ERROR_INVALID_DATA;
        text[bytes] = '\0';
    }
    return text[0] != '\0' ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

DWORD WriteRecordText(HKEY key, const char* name, const char* text) {
    return (DWORD)RegSetValueExA(key, name, 0, REG_SZ, (const BYTE*)text, lstrlenA(text) + 1);
}

DWORD ReadRecordNumber(HKEY key, const char* name, DWORD* number) {
    DWORD type = 0;
    DWORD bytes = sizeof *number;
    LONG status = RegQueryValueExA(key, name, NULL, &type, (BYTE*)number, &bytes);
    if (status != ERROR_SUCCESS) return (DWORD)status;
    return type == REG_DWORD ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

DWORD WriteRecordNumber(HKEY key, const char* name, DWORD number) {
    return (DWORD)RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE*)&number, sizeof number);
}

// The package's name and fingerprint, as what a version owns.
DWORD WriteOwned(HKEY key, const char* stagedName) {
    DWORD fingerprint = 0;
    DWORD error = StoreFingerprint(stagedName, &fingerprint);
    if (error == ERROR_SUCCESS) error = WriteRecordText(key, "InfName", stagedName);
    if (error == ERROR_SUCCESS) error = WriteRecordNumber(key, "InfFingerprint", fingerprint);
    return error;
}

// Windows compares file names and GUIDs without regard to case.
BOOL IsSameText(const char* one, const char* other) {
    return CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, one, -1, other, -1) == CSTR_EQUAL;
}

// Whether the version's record under products names the package.
BOOL IsOwnedBy(HKEY products, const char* productCode, const char* stagedName) {
    HKEY product;
    if (!IsGuid(productCode) ||
        RegOpenKeyExA(products, productCode, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &product) !=
            ERROR_SUCCESS) {
        return FALSE;
    }
    char name[MAX_PATH];
    BOOL owned = ReadRecordText(product, "InfName", name, sizeof name) == ERROR_SUCCESS &&
                 IsSameText(name, stagedName);
    RegCloseKey(product);
    return owned;
}

// Deletes a key that holds neither subkeys nor values.
void DeleteIfEmpty(const char* path) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) !=
        ERROR_SUCCESS) {
        return;
    }
    DWORD subkeys = 1;
    DWORD values = 1;
    LONG status = RegQueryInfoKeyA(key, NULL, NULL, NULL, &subkeys, NULL, NULL, &values, NULL,
                                   NULL, NULL, NULL);
    RegCloseKey(key);
    if (status == ERROR_SUCCESS && subkeys == 0 && values == 0) {
        RegDeleteKeyExA(HKEY_LOCAL_MACHINE, path, KEY_WOW64_64KEY, 0);
    }
}

// Forgets the package in another version's record: this version owns it now.
void DropInfName(const ActionData* data, const char* productCode) {
    HKEY key;
    if (OpenRecord(data->upgradeCode, productCode, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegDeleteValueA(key, "InfName");
        RegDeleteValueA(key, "InfFingerprint");
        RegCloseKey(key);
    }
}

// What this version's record gets after the program succeeded: the package
// it owns now and what its rollback undoes (undo NULL: neither changes).
struct Ownership {
    const char* owned;
    const char* undo;
};

// Decides which package this version owns now, and says so in the log.
Ownership DecideOwnership(MSIHANDLE install, const ActionData* data, const StoreBefore* before,
                          const char* stagedName) {
    Ownership ownership = {stagedName, NULL};
    if (before->owned) {
        if (!IsSameText(before->owner, data->productCode)) {
            ownership.undo = before->owner;
            ownership.owned = before->name;
            LogPackage(install, "driver package ", before->name,
                       " now belongs to this version, not to the one it replaces");
        }
    } else if (before->present) {
        LogPackage(install, "driver package ", before->name,
                   " was in the driver store before this product: uninstalling leaves it there");
    } else if (stagedName[0] != '\0') {
        ownership.undo = UNDO_ADDED;
    } else {
        LogNote(install, "no copy of the driver package is in the driver store");
    }
    return ownership;
}

DWORD WriteThisVersion(const ActionData* data, const Ownership* ownership, BOOL restart) {
    HKEY key;
    DWORD error = CreateRecord(data->upgradeCode, data->productCode, &key);
    if (error != ERROR_SUCCESS) return error;
    if (restart) error = WriteRecordNumber(key, "RestartNeeded", 1);
    if (error == ERROR_SUCCESS && ownership->undo != NULL) {
        error = WriteOwned(key, ownership->owned);
        if (error == ERROR_SUCCESS) error = WriteRecordText(key, "Undo", ownership->undo);
    }
    RegCloseKey(key);
    return error;
}

}  // namespace

// What an earlier run recorded for its restart and its rollback is done.
void ForgetLastRun(const ActionData* data) {
    HKEY key;
    if (OpenThisVersion(data, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegDeleteValueA(key, "RestartNeeded");
        RegDeleteValueA(key, "Undo");
        RegCloseKey(key);
    }
}

// The version of this product (any ProductCode under the UpgradeCode) whose
// record names the package, in owner (GUID_SIZE).
DWORD FindOwner(const ActionData* data, const char* stagedName, char* owner) {
    HKEY products;
    DWORD error = OpenRecord(data->upgradeCode, NULL, KEY_READ, &products);
    if (error != ERROR_SUCCESS) return error;
    error = ERROR_NOT_FOUND;
    for (DWORD index = 0; error == ERROR_NOT_FOUND; ++index) {
        DWORD length = GUID_SIZE;
        LONG status = RegEnumKeyExA(products, index, owner, &length, NULL, NULL, NULL, NULL);
        if (status == ERROR_MORE_DATA) continue;  // no GUID: not a version's record
        if (status != ERROR_SUCCESS) break;
        if (IsOwnedBy(products, owner, stagedName)) error = ERROR_SUCCESS;
    }
    RegCloseKey(products);
    return error;
}

// Writes this version's record after the program succeeded: the package
// it owns now, and the restart it needs; logs when it cannot.
DWORD WriteRecord(MSIHANDLE install, const ActionData* data, const StoreBefore* before,
                  const char* stagedName, BOOL restart) {
    Ownership ownership = DecideOwnership(install, data, before, stagedName);
    DWORD error = WriteThisVersion(data, &ownership, restart);
    if (error != ERROR_SUCCESS) {
        LogError(install, "could not record the driver package and the restart in the registry",
                 error);
        return error;
    }
    if (before->owned && ownership.undo != NULL) DropInfName(data, before->owner);
    return ERROR_SUCCESS;
}

// What the last InstallDriver changed (Undo) and the package it changed it
// for (InfName), for its rollback.
DWORD ReadUndo(const ActionData* data, char* undo, DWORD undoSize, char* name, DWORD nameSize) {
    HKEY key;
    DWORD error = OpenThisVersion(data, KEY_QUERY_VALUE, &key);
    if (error != ERROR_SUCCESS) return error;
    error = ReadRecordText(key, "Undo", undo, undoSize);
    if (error == ERROR_SUCCESS) error = ReadRecordText(key, "InfName", name, nameSize);
    RegCloseKey(key);
    return error;
}

// Gives the package back to the version it was taken from. A rollback
// cannot fail: once that version's record is open it does what it can.
DWORD ReturnPackage(const ActionData* data, const char* owner, const char* stagedName) {
    if (!IsGuid(owner)) return ERROR_INVALID_DATA;
    HKEY key;
    DWORD error = CreateRecord(data->upgradeCode, owner, &key);
    if (error != ERROR_SUCCESS) return error;
    WriteOwned(key, stagedName);
    RegCloseKey(key);
    return ERROR_SUCCESS;
}

// The package this version owns and the fingerprint recorded for it.
DWORD ReadOwnedPackage(const ActionData* data, char* stagedName, DWORD size,
                       DWORD* fingerprint) {
    HKEY key;
    DWORD error = OpenThisVersion(data, KEY_QUERY_VALUE, &key);
    if (error != ERROR_SUCCESS) return error;
    error = ReadRecordText(key, "InfName", stagedName, size);
    if (error == ERROR_SUCCESS) error = ReadRecordNumber(key, "InfFingerprint", fingerprint);
    RegCloseKey(key);
    return error;
}

// Whether the record asks for a restart, which it then forgets. An
// immediate action runs as the user, who may only read the record: then
// the restart is asked for all the same, and InstallDriver clears it on
// its next run.
DWORD TakeRestartRequest(const char* upgradeCode, const char* productCode, BOOL* restart) {
    HKEY key;
    DWORD error = OpenRecord(upgradeCode, productCode, KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
    if (error != ERROR_SUCCESS) {
        error = OpenRecord(upgradeCode, productCode, KEY_QUERY_VALUE, &key);
    }
    if (error != ERROR_SUCCESS) return error;
    DWORD value = 0;
    *restart = ReadRecordNumber(key, "RestartNeeded", &value) == ERROR_SUCCESS && value == 1;
    RegDeleteValueA(key, "RestartNeeded");
    RegCloseKey(key);
    return ERROR_SUCCESS;
}

// Removes a version's record, then the keys above it that are left empty.
void DeleteRecord(const char* upgradeCode, const char* productCode) {
    char path[sizeof RECORD_ROOT + 2 * GUID_SIZE];
    if (RecordPath(upgradeCode, productCode, path, sizeof path) == ERROR_SUCCESS) {
        RegDeleteKeyExA(HKEY_LOCAL_MACHINE, path, KEY_WOW64_64KEY, 0);
    }
    if (RecordPath(upgradeCode, NULL, path, sizeof path) == ERROR_SUCCESS) DeleteIfEmpty(path);
    DeleteIfEmpty(RECORD_ROOT);
    DeleteIfEmpty("SOFTWARE\\Quorin64");
}
