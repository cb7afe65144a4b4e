// What the actions are given. A deferred action may use only MsiGetProperty
// (CustomActionData, ProductCode, UserSID), MsiFormatRecord, MsiGetMode,
// MsiGetLanguage and MsiProcessMessage on its handle: everything else it
// needs comes in CustomActionData.
//
// CustomActionData: "<install folder>|<INF name>|<ProductCode>|
// <UpgradeCode>|<hardware IDs>", the hardware IDs one or more with "|"
// between them. Neither a folder, a file name, a GUID nor a hardware ID
// may hold "|" (kit/build-msi.sh refuses such an ID).
#include "action.h"

namespace {

// Copies text up to the first `end` character or the terminator into
// field; ERROR_INVALID_DATA when it is empty or does not fit. *next is
// where the following field starts, NULL when the text ended.
DWORD TakeField(const char* text, char end, char* field, DWORD size, const char** next) {
    DWORD length = 0;
    while (text[length] != end && text[length] != '\0') {
        if (length + 1 >= size) return ERROR_INVALID_DATA;
        field[length] = text[length];
        ++length;
    }
    field[length] = '\0';
    *next = text[length] != '\0' ? text + length + 1 : NULL;
    return length > 0 ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

// A field that another follows.
DWORD TakeLeadingField(const char** text, char* field, DWORD size) {
    DWORD error = TakeField(*text, '|', field, size, text);
    return error == ERROR_SUCCESS && *text == NULL ? ERROR_INVALID_DATA : error;
}

// Every ID there, none empty ("A||B", a trailing "|") nor too long.
DWORD CheckHardwareIds(const char* ids) {
    char id[ID_SIZE];
    DWORD error = ERROR_SUCCESS;
    for (const char* rest = ids; rest != NULL && error == ERROR_SUCCESS;) {
        error = TakeHardwareId(rest, id, &rest);
    }
    return error;
}

DWORD SplitActionData(const char* text, ActionData* data) {
    const char* rest = text;
    DWORD error = TakeLeadingField(&rest, data->folder, sizeof data->folder);
    if (error == ERROR_SUCCESS) {
        error = TakeLeadingField(&rest, data->infName, sizeof data->infName);
    }
    if (error == ERROR_SUCCESS) {
        error = TakeLeadingField(&rest, data->productCode, sizeof data->productCode);
    }
    if (error == ERROR_SUCCESS) {
        error = TakeLeadingField(&rest, data->upgradeCode, sizeof data->upgradeCode);
    }
    if (error == ERROR_SUCCESS) {
        error = TakeField(rest, '\0', data->hardwareIds, sizeof data->hardwareIds, &rest);
    }
    return error == ERROR_SUCCESS ? CheckHardwareIds(data->hardwareIds) : error;
}

BOOL ContainsAny(const char* text, const char* characters) {
    for (; *text != '\0'; ++text) {
        for (const char* c = characters; *c != '\0'; ++c) {
            if (*text == *c) return TRUE;
        }
    }
    return FALSE;
}

// The 64-bit Program Files folder, as Windows keeps it where only
// administrators may change it.
DWORD ReadProgramFiles(char* folder, DWORD size) {
    HKEY key;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion",
                                0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key);
    if (status != ERROR_SUCCESS) return (DWORD)status;
    DWORD type = 0;
    DWORD bytes = size - 1;
    status = RegQueryValueExA(key, "ProgramFilesDir", NULL, &type, (BYTE*)folder, &bytes);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return (DWORD)status;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
    folder[bytes] = '\0';
    return ERROR_SUCCESS;
}

// A "." or ".." step anywhere in path could climb out of the folder it
// seems to be below.
BOOL ContainsDotStep(const char* path) {
    for (const char* step = path; *step != '\0'; ++step) {
        if (step[0] == '\\' && step[1] == '.' &&
            (step[2] == '\\' || step[2] == '\0' || (step[2] == '.' && (step[3] == '\\' ||
                                                                        step[3] == '\0')))) {
            return TRUE;
        }
    }
    return FALSE;
}

// The program runs as SYSTEM from the install folder and takes the INF
// from there: a folder a user could write to (an administrator's
// "INSTALLFOLDER=C:\Games") would hand that user the machine. Only a
// folder below Program Files, without "." or ".." steps, passes.
BOOL IsBelowProgramFiles(const char* folder) {
    char programFiles[FOLDER_SIZE];
    if (ReadProgramFiles(programFiles, sizeof programFiles) != ERROR_SUCCESS) return FALSE;
    int length = lstrlenA(programFiles);
    if (length > 0 && programFiles[length - 1] == '\\') programFiles[--length] = '\0';
    if (lstrlenA(folder) <= length + 1 || folder[length] != '\\') return FALSE;
    if (CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, folder, length, programFiles,
                       length) != CSTR_EQUAL) {
        return FALSE;
    }
    return !ContainsDotStep(folder + length);
}

void DropTrailingBackslash(char* folder) {
    int length = lstrlenA(folder);
    if (length > 0 && folder[length - 1] == '\\') folder[length - 1] = '\0';
}

// Logs what is wrong with CustomActionData.
DWORD RefuseActionData(MSIHANDLE install, const char* problem) {
    LogError(install, problem, ERROR_INVALID_DATA);
    return ERROR_INVALID_DATA;
}

}  // namespace

DWORD TakeHardwareId(const char* ids, char* id, const char** rest) {
    return TakeField(ids, '|', id, ID_SIZE, rest);
}

// "{" 36 hex digits and dashes "}": the codes name registry keys, so
// nothing else (no backslash) may pass.
BOOL IsGuid(const char* text) {
    if (lstrlenA(text) != GUID_SIZE - 1 || text[0] != '{' || text[GUID_SIZE - 2] != '}') {
        return FALSE;
    }
    for (int at = 1; at < GUID_SIZE - 2; ++at) {
        char c = text[at];
        BOOL dash = at == 9 || at == 14 || at == 19 || at == 24;
        BOOL hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (dash ? c != '-' : !hex) return FALSE;
    }
    return TRUE;
}

DWORD ReadActionData(MSIHANDLE install, ActionData* data) {
    char text[DATA_SIZE];
    DWORD length = sizeof text;
    if (MsiGetPropertyA(install, "CustomActionData", text, &length) != ERROR_SUCCESS) {
        return RefuseActionData(install, "CustomActionData is missing or too long");
    }
    if (SplitActionData(text, data) != ERROR_SUCCESS) {
        return RefuseActionData(install,
                                "CustomActionData is not \"<folder>|<INF name>|<ProductCode>|"
                                "<UpgradeCode>|<hardware ID>|...\", no part empty");
    }
    if (!IsGuid(data->productCode) || !IsGuid(data->upgradeCode)) {
        return RefuseActionData(install, "the ProductCode and UpgradeCode must be GUIDs in braces");
    }
    // The program takes the INF name up to the first "+", from the folder.
    if (ContainsAny(data->infName, "\\/:+")) {
        return RefuseActionData(install, "the INF name must be a file name without \"+\"");
    }
    DropTrailingBackslash(data->folder);
    if (!IsBelowProgramFiles(data->folder)) {
        return RefuseActionData(install, "the install folder must be below Program Files");
    }
    return ERROR_SUCCESS;
}
