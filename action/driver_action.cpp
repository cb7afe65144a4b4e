// Custom actions of the example Windows Installer package (quorin64.wxs).
//
// InstallDriver (deferred, as LocalSystem, which may change every device key
// the program's sweep removes) starts "<folder>\Quorin64.exe" <INF
// name>+<hardware ID> in the install folder, waits for it and turns its
// exit code into the installer's result: a DLL action, because Windows
// Installer fails the install on any non-zero exit code of a program it
// starts itself, and 1 means "installed, restart needed". RollbackDriver
// undoes what InstallDriver recorded when the install fails later;
// RemoveDriver takes out of the driver store the package this product put
// there; ScheduleRestart (immediate, after InstallFinalize) asks Windows
// Installer for the restart InstallDriver recorded.
//
// A deferred or rollback action may use only MsiGetProperty
// (CustomActionData, ProductCode, UserSID), MsiFormatRecord, MsiGetMode,
// MsiGetLanguage and MsiProcessMessage on its handle: everything else it
// needs comes in CustomActionData, and what it learns for later goes into
// the record below, not into the session.
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
//
// CustomActionData: "<install folder>|<INF name>|<ProductCode>|
// <UpgradeCode>|<hardware ID>". Neither a folder, a file name nor a GUID
// may hold "|", so the first four fields end at the first four bars and the
// hardware ID is the whole rest, whatever it holds.
//
// Nothing but KERNEL32, ADVAPI32, msi and SETUPAPI: no C runtime, so the
// DLL has its own entry point; text is built with the program's own bounded
// helpers (platform/text.h).
#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <setupapi.h>

#include "../platform/text.h"

namespace {

// The program refuses fields of 1,024 characters or more; Windows
// Installer's folders are MAX_PATH at most.
enum {
    FOLDER_SIZE = MAX_PATH,
    NAME_SIZE = 256,
    ID_SIZE = 1024,
    GUID_SIZE = 39,  // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
    DATA_SIZE = FOLDER_SIZE + NAME_SIZE + 2 * GUID_SIZE + ID_SIZE + 4,
    LINE_SIZE = DATA_SIZE + 128,
};

// A driver install takes seconds; a program that has not ended by then
// waits for something nobody will give it (a message box nobody sees).
const DWORD PROGRAM_TIME_LIMIT_MS = 10 * 60 * 1000;

int AppendNumber(TextBuffer* text, long long value) {
    char digits[24];
    int at = sizeof digits - 1;
    digits[at] = '\0';
    unsigned long long magnitude = value < 0 ? 0ULL - (unsigned long long)value
                                             : (unsigned long long)value;
    do {
        digits[--at] = (char)('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) digits[--at] = '-';
    return AppendText(text, digits + at);
}

// Setup API's own error codes (ERROR_INF_IN_USE_BY_DEVICES, 0xE000023D)
// read best in hexadecimal, Windows' in decimal.
int AppendError(TextBuffer* text, DWORD error) {
    if ((error & APPLICATION_ERROR_MASK) == 0) {
        return AppendNumber(text, error);
    }
    char digits[] = "0x00000000";
    for (int at = 9; at >= 2; --at, error >>= 4) digits[at] = "0123456789ABCDEF"[error & 0xF];
    return AppendText(text, digits);
}

// One line in the installer's log. The text goes in as field 1 of a
// record formatted as "[1]", so brackets in a path are not read as
// property references.
void LogLine(MSIHANDLE install, const char* line) {
    MSIHANDLE record = MsiCreateRecord(1);
    if (record == 0) return;
    MsiRecordSetStringA(record, 0, "[1]");
    MsiRecordSetStringA(record, 1, line);
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
}

// "Quorin64: <what>.", with " (error <code>)" before the full stop when
// hasError. LINE_SIZE holds every line the actions write.
void LogWith(MSIHANDLE install, const char* what, BOOL hasError, DWORD error) {
    char buffer[LINE_SIZE];
    TextBuffer line = MakeTextBuffer(buffer, sizeof buffer);
    AppendText(&line, "Quorin64: ");
    AppendText(&line, what);
    if (hasError) {
        AppendText(&line, " (error ");
        AppendError(&line, error);
        AppendText(&line, ")");
    }
    AppendText(&line, ".");
    LogLine(install, buffer);
}

void LogNote(MSIHANDLE install, const char* what) {
    LogWith(install, what, FALSE, 0);
}

void LogError(MSIHANDLE install, const char* what, DWORD error) {
    LogWith(install, what, TRUE, error);
}

// A line about the driver package in the store: "<before><name><after>".
void LogPackage(MSIHANDLE install, const char* before, const char* name, const char* after,
                BOOL hasError, DWORD error) {
    char buffer[LINE_SIZE];
    TextBuffer what = MakeTextBuffer(buffer, sizeof buffer);
    AppendText(&what, before);
    AppendText(&what, name);
    AppendText(&what, after);
    LogWith(install, buffer, hasError, error);
}

struct ActionData {
    char folder[FOLDER_SIZE];  // without a trailing backslash
    char infName[NAME_SIZE];
    char productCode[GUID_SIZE];
    char upgradeCode[GUID_SIZE];
    char hardwareId[ID_SIZE];
};

// Copies text up to the first `end` character (or the terminator, with
// end '\0') into field; FALSE when it is empty or does not fit. *next is
// where the following field starts.
BOOL TakeField(const char* text, char end, char* field, DWORD size, const char** next) {
    DWORD length = 0;
    while (text[length] != end) {
        if (text[length] == '\0' || length + 1 >= size) return FALSE;
        field[length] = text[length];
        ++length;
    }
    field[length] = '\0';
    *next = text + length + (end != '\0');
    return length > 0;
}

BOOL ContainsAny(const char* text, const char* characters) {
    for (; *text != '\0'; ++text) {
        for (const char* c = characters; *c != '\0'; ++c) {
            if (*text == *c) return TRUE;
        }
    }
    return FALSE;
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

// The 64-bit Program Files folder, as Windows keeps it where only
// administrators may change it.
BOOL ReadProgramFiles(char* folder, DWORD size) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion", 0,
                      KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
        return FALSE;
    }
    DWORD type = 0;
    DWORD bytes = size - 1;
    LONG status = RegQueryValueExA(key, "ProgramFilesDir", NULL, &type, (BYTE*)folder, &bytes);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return FALSE;
    folder[bytes] = '\0';
    return TRUE;
}

// The program runs as SYSTEM from the install folder and takes the INF
// from there: a folder a user could write to (an administrator's
// "INSTALLFOLDER=C:\Games") would hand that user the machine. Only a
// folder below Program Files, without "." or ".." steps, passes.
BOOL IsBelowProgramFiles(const char* folder) {
    char programFiles[FOLDER_SIZE];
    if (!ReadProgramFiles(programFiles, sizeof programFiles)) return FALSE;
    int length = lstrlenA(programFiles);
    if (length > 0 && programFiles[length - 1] == '\\') programFiles[--length] = '\0';
    if (lstrlenA(folder) <= length + 1 || folder[length] != '\\') return FALSE;
    if (CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, folder, length, programFiles,
                       length) != CSTR_EQUAL) {
        return FALSE;
    }
    for (const char* step = folder + length; *step != '\0'; ++step) {
        if (step[0] == '\\' && step[1] == '.' &&
            (step[2] == '\\' || step[2] == '\0' || (step[2] == '.' && (step[3] == '\\' ||
                                                                        step[3] == '\0')))) {
            return FALSE;
        }
    }
    return TRUE;
}

// Reads and checks CustomActionData; logs what is wrong with it.
BOOL ReadActionData(MSIHANDLE install, ActionData* data) {
    char text[DATA_SIZE];
    DWORD length = sizeof text;
    if (MsiGetPropertyA(install, "CustomActionData", text, &length) != ERROR_SUCCESS) {
        LogError(install, "CustomActionData is missing or too long", ERROR_INVALID_DATA);
        return FALSE;
    }
    const char* rest = text;
    if (!TakeField(rest, '|', data->folder, sizeof data->folder, &rest) ||
        !TakeField(rest, '|', data->infName, sizeof data->infName, &rest) ||
        !TakeField(rest, '|', data->productCode, sizeof data->productCode, &rest) ||
        !TakeField(rest, '|', data->upgradeCode, sizeof data->upgradeCode, &rest) ||
        !TakeField(rest, '\0', data->hardwareId, sizeof data->hardwareId, &rest)) {
        LogError(install,
                 "CustomActionData is not \"<folder>|<INF name>|<ProductCode>|<UpgradeCode>|"
                 "<hardware ID>\"",
                 ERROR_INVALID_DATA);
        return FALSE;
    }
    if (!IsGuid(data->productCode) || !IsGuid(data->upgradeCode)) {
        LogError(install, "the ProductCode and UpgradeCode must be GUIDs in braces",
                 ERROR_INVALID_DATA);
        return FALSE;
    }
    // The program takes the INF name up to the first "+", from the folder.
    if (ContainsAny(data->infName, "\\/:+")) {
        LogError(install, "the INF name must be a file name without \"+\"", ERROR_INVALID_DATA);
        return FALSE;
    }
    int folderLength = lstrlenA(data->folder);
    if (data->folder[folderLength - 1] == '\\') data->folder[folderLength - 1] = '\0';
    if (!IsBelowProgramFiles(data->folder)) {
        LogError(install, "the install folder must be below Program Files", ERROR_INVALID_DATA);
        return FALSE;
    }
    return TRUE;
}

// The x64 program cannot install a driver on ARM64 Windows. Windows
// before 10 1709 has no IsWow64Process2, and no ARM64 either.
BOOL IsArm64Windows() {
    typedef BOOL(WINAPI * IsWow64Process2Function)(HANDLE, USHORT*, USHORT*);
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    if (kernel32 == NULL) return FALSE;
    IsWow64Process2Function isWow64Process2 =
        (IsWow64Process2Function)(void*)GetProcAddress(kernel32, "IsWow64Process2");
    USHORT process = 0;
    USHORT native = 0;
    return isWow64Process2 != NULL && isWow64Process2(GetCurrentProcess(), &process, &native) &&
           native == IMAGE_FILE_MACHINE_ARM64;
}

// Starts the program from the install folder and waits for it; FALSE (and
// a log line) when it could not start or had to be ended.
BOOL RunProgram(MSIHANDLE install, const ActionData* data, DWORD* exitCode) {
    char program[FOLDER_SIZE + 16];
    TextBuffer path = MakeTextBuffer(program, sizeof program);
    char buffer[LINE_SIZE];
    TextBuffer commandLine = MakeTextBuffer(buffer, sizeof buffer);
    if (!AppendText(&path, data->folder) || !AppendText(&path, "\\Quorin64.exe") ||
        !AppendText(&commandLine, "\"") || !AppendText(&commandLine, program) ||
        !AppendText(&commandLine, "\" ") || !AppendText(&commandLine, data->infName) ||
        !AppendText(&commandLine, "+") || !AppendText(&commandLine, data->hardwareId)) {
        LogError(install, "the program's command line is too long", ERROR_BUFFER_OVERFLOW);
        return FALSE;
    }
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started;
    if (!CreateProcessA(program, buffer, NULL, NULL, FALSE, 0, NULL, data->folder, &startup,
                        &started)) {
        LogError(install, "could not start Quorin64.exe", GetLastError());
        return FALSE;
    }
    BOOL ended = WaitForSingleObject(started.hProcess, PROGRAM_TIME_LIMIT_MS) == WAIT_OBJECT_0;
    if (!ended) {
        TerminateProcess(started.hProcess, ERROR_TIMEOUT);
        WaitForSingleObject(started.hProcess, 5000);
        LogError(install, "Quorin64.exe did not end within 10 minutes and was ended",
                 ERROR_TIMEOUT);
    } else if (!GetExitCodeProcess(started.hProcess, exitCode)) {
        LogError(install, "could not read Quorin64.exe's exit code", GetLastError());
        ended = FALSE;
    }
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    return ended;
}

const char* CodeMeaning(int code) {
    switch (code) {
    case 1: return "installed; Windows asks for a restart";
    case 0: return "installed; no restart needed";
    case -1: return "any other failure (a bad or over-long argument, an unreadable current "
                    "directory, no usable newdev.dll, or a relaunch that could not be started)";
    case -2: return "the INF file was not found at the INF path";
    case -3: return "no present device has that hardware ID";
    case -4: return "Windows refused the install flags";
    case -6: return "Windows refused to install from the x64 program and its relaunched copy "
                    "(an x64 program emulated on ARM64 Windows)";
    default: return "not a code the program gives";
    }
}

void LogExitCode(MSIHANDLE install, int code) {
    char buffer[LINE_SIZE];
    TextBuffer line = MakeTextBuffer(buffer, sizeof buffer);
    AppendText(&line, "the program ended with ");
    AppendNumber(&line, code);
    AppendText(&line, " (");
    AppendText(&line, CodeMeaning(code));
    AppendText(&line, ")");
    LogNote(install, buffer);
}

// "<folder>\<INF name>": the installed INF, in a folder only
// administrators may write to.
BOOL InstalledInf(const ActionData* data, char* inf, DWORD size) {
    TextBuffer path = MakeTextBuffer(inf, size);
    return AppendText(&path, data->folder) && AppendText(&path, "\\") &&
           AppendText(&path, data->infName);
}

// Puts the driver package into the driver store, so that Windows installs
// it when a matching device appears. A package already there is not copied
// again, and its name is reported.
BOOL StagePackage(const ActionData* data, char* stagedName, DWORD size) {
    char inf[FOLDER_SIZE + NAME_SIZE];
    if (!InstalledInf(data, inf, sizeof inf)) {
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return FALSE;
    }
    char stagedPath[MAX_PATH];
    char* namePart = NULL;
    if (!SetupCopyOEMInfA(inf, data->folder, SPOST_PATH, 0, stagedPath, sizeof stagedPath, NULL,
                          &namePart)) {
        return FALSE;
    }
    const char* name = namePart != NULL ? namePart : stagedPath;
    TextBuffer staged = MakeTextBuffer(stagedName, size);
    if (!AppendText(&staged, name) || staged.length == 0) {
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return FALSE;
    }
    return TRUE;
}

// TRUE when both open files hold the same bytes (their sizes are equal).
BOOL SameBytes(HANDLE first, HANDLE second) {
    char one[4096];
    char other[sizeof one];
    for (;;) {
        DWORD read = 0;
        DWORD readOther = 0;
        if (!ReadFile(first, one, sizeof one, &read, NULL) ||
            !ReadFile(second, other, sizeof other, &readOther, NULL) || read != readOther) {
            return FALSE;
        }
        if (read == 0) return TRUE;
        for (DWORD at = 0; at < read; ++at) {
            if (one[at] != other[at]) return FALSE;
        }
    }
}

// "<Windows>\inf\<name>": where staging puts a package's INF.
BOOL InfFolderPath(const char* name, char* path, DWORD size) {
    char folder[MAX_PATH];
    UINT length = GetSystemWindowsDirectoryA(folder, MAX_PATH);
    TextBuffer text = MakeTextBuffer(path, size);
    return length > 0 && length < MAX_PATH && AppendText(&text, folder) &&
           AppendText(&text, "\\inf\\") && AppendText(&text, name);
}

// The name in Windows' INF folder of a copy of the installed INF, that is
// of the package in the driver store, without adding it there: a staging
// call would put it in (and Wine ignores SP_COPY_REPLACEONLY). Windows
// copies an INF into the store unchanged, so a file of the same bytes is
// the package.
BOOL FindInStore(const ActionData* data, char* name, DWORD size) {
    char inf[FOLDER_SIZE + NAME_SIZE];
    char pattern[MAX_PATH + 8];
    if (!InstalledInf(data, inf, sizeof inf) || !InfFolderPath("*.inf", pattern, sizeof pattern)) {
        return FALSE;
    }
    HANDLE source = CreateFileA(inf, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (source == INVALID_HANDLE_VALUE) return FALSE;
    LARGE_INTEGER sourceSize;
    BOOL found = FALSE;
    WIN32_FIND_DATAA entry;
    HANDLE search = GetFileSizeEx(source, &sourceSize) ? FindFirstFileA(pattern, &entry)
                                                       : INVALID_HANDLE_VALUE;
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
                entry.nFileSizeHigh != (DWORD)sourceSize.HighPart ||
                entry.nFileSizeLow != sourceSize.LowPart) {
                continue;
            }
            char copyPath[MAX_PATH + 8];
            if (!InfFolderPath(entry.cFileName, copyPath, sizeof copyPath)) continue;
            HANDLE candidate = CreateFileA(copyPath, GENERIC_READ, FILE_SHARE_READ, NULL,
                                           OPEN_EXISTING, 0, NULL);
            if (candidate == INVALID_HANDLE_VALUE) continue;
            LARGE_INTEGER start = {};
            SetFilePointerEx(source, start, NULL, FILE_BEGIN);
            found = SameBytes(source, candidate);
            CloseHandle(candidate);
            if (found) {
                TextBuffer result = MakeTextBuffer(name, size);
                found = AppendText(&result, entry.cFileName);
            }
        } while (!found && FindNextFileA(search, &entry));
        FindClose(search);
    }
    CloseHandle(source);
    return found;
}

// FNV-1a (32 bits) of the bytes of "<Windows>\inf\<name>".
BOOL StoreFingerprint(const char* name, DWORD* fingerprint) {
    char path[MAX_PATH + 8];
    if (!InfFolderPath(name, path, sizeof path)) {
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return FALSE;
    }
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return FALSE;
    DWORD hash = 2166136261u;
    unsigned char chunk[4096];
    DWORD read = 0;
    BOOL ok;
    while ((ok = ReadFile(file, chunk, sizeof chunk, &read, NULL)) && read > 0) {
        for (DWORD at = 0; at < read; ++at) hash = (hash ^ chunk[at]) * 16777619u;
    }
    CloseHandle(file);
    *fingerprint = hash;
    return ok;
}

// -- The record: which package each installed version put into the store.

const char RECORD_ROOT[] = "SOFTWARE\\Quorin64\\Driver packages";

// "SOFTWARE\Quorin64\Driver packages\<UpgradeCode>[\<ProductCode>]".
BOOL RecordPath(const char* upgradeCode, const char* productCode, char* path, DWORD size) {
    TextBuffer text = MakeTextBuffer(path, size);
    return AppendText(&text, RECORD_ROOT) && AppendText(&text, "\\") &&
           AppendText(&text, upgradeCode) &&
           (productCode == NULL || (AppendText(&text, "\\") && AppendText(&text, productCode)));
}

LONG OpenRecord(const char* upgradeCode, const char* productCode, BOOL create, REGSAM rights,
                HKEY* key) {
    char path[sizeof RECORD_ROOT + 2 * GUID_SIZE];
    if (!RecordPath(upgradeCode, productCode, path, sizeof path)) return ERROR_BUFFER_OVERFLOW;
    rights |= KEY_WOW64_64KEY;
    if (!create) return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, rights, key);
    return RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, rights, NULL, key, NULL);
}

// A text value that fits size with its terminator, which the value may
// lack.
BOOL ReadRecordText(HKEY key, const char* name, char* text, DWORD size) {
    DWORD type = 0;
    DWORD bytes = size;
    if (RegQueryValueExA(key, name, NULL, &type, (BYTE*)text, &bytes) != ERROR_SUCCESS ||
        type != REG_SZ || bytes == 0) {
        return FALSE;
    }
    if (text[bytes - 1] != '\0') {
        if (bytes >= size) return FALSE;
        text[bytes] = '\0';
    }
    return text[0] != '\0';
}

LONG WriteRecordText(HKEY key, const char* name, const char* text) {
    return RegSetValueExA(key, name, 0, REG_SZ, (const BYTE*)text, lstrlenA(text) + 1);
}

BOOL ReadRecordNumber(HKEY key, const char* name, DWORD* number) {
    DWORD type = 0;
    DWORD bytes = sizeof *number;
    return RegQueryValueExA(key, name, NULL, &type, (BYTE*)number, &bytes) == ERROR_SUCCESS &&
           type == REG_DWORD;
}

LONG WriteRecordNumber(HKEY key, const char* name, DWORD number) {
    return RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE*)&number, sizeof number);
}

// The package's name and fingerprint, as what a version owns.
LONG WriteOwned(HKEY key, const char* stagedName) {
    DWORD fingerprint = 0;
    if (!StoreFingerprint(stagedName, &fingerprint)) return (LONG)GetLastError();
    LONG status = WriteRecordText(key, "InfName", stagedName);
    if (status != ERROR_SUCCESS) return status;
    return WriteRecordNumber(key, "InfFingerprint", fingerprint);
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

// Removes a version's record, then the keys above it that are left empty.
void DeleteRecord(const char* upgradeCode, const char* productCode) {
    char path[sizeof RECORD_ROOT + 2 * GUID_SIZE];
    if (RecordPath(upgradeCode, productCode, path, sizeof path)) {
        RegDeleteKeyExA(HKEY_LOCAL_MACHINE, path, KEY_WOW64_64KEY, 0);
    }
    if (RecordPath(upgradeCode, NULL, path, sizeof path)) DeleteIfEmpty(path);
    DeleteIfEmpty(RECORD_ROOT);
    DeleteIfEmpty("SOFTWARE\\Quorin64");
}

// The version of this product (any ProductCode under the UpgradeCode) whose
// record names the package, in owner.
BOOL FindOwner(const ActionData* data, const char* stagedName, char* owner) {
    HKEY products;
    if (OpenRecord(data->upgradeCode, NULL, FALSE, KEY_READ, &products) != ERROR_SUCCESS) {
        return FALSE;
    }
    BOOL found = FALSE;
    for (DWORD index = 0; !found; ++index) {
        DWORD length = GUID_SIZE;
        LONG status = RegEnumKeyExA(products, index, owner, &length, NULL, NULL, NULL, NULL);
        if (status == ERROR_MORE_DATA) continue;  // no GUID: not a version's record
        if (status != ERROR_SUCCESS) break;
        HKEY product;
        char name[MAX_PATH];
        if (!IsGuid(owner) ||
            RegOpenKeyExA(products, owner, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &product) !=
                ERROR_SUCCESS) {
            continue;
        }
        found = ReadRecordText(product, "InfName", name, sizeof name) &&
                CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, name, -1, stagedName, -1) ==
                    CSTR_EQUAL;
        RegCloseKey(product);
    }
    RegCloseKey(products);
    return found;
}

// Forgets the package in another version's record: this version owns it now.
void DropInfName(const ActionData* data, const char* productCode) {
    HKEY key;
    if (OpenRecord(data->upgradeCode, productCode, FALSE, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegDeleteValueA(key, "InfName");
        RegDeleteValueA(key, "InfFingerprint");
        RegCloseKey(key);
    }
}

// What the package in the store was before the program ran.
struct StoreBefore {
    BOOL present;
    BOOL owned;  // by a version of this product
    char name[MAX_PATH];
    char owner[GUID_SIZE];
};

// Writes this version's record after the program succeeded: the package
// it owns now, and the restart it needs. FALSE (and a log line) when the
// record cannot be written.
BOOL WriteRecord(MSIHANDLE install, const ActionData* data, const StoreBefore* before,
                 const char* stagedName, BOOL restart) {
    const char* undo = NULL;
    const char* owned = stagedName;
    if (before->owned) {
        if (CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, before->owner, -1,
                           data->productCode, -1) != CSTR_EQUAL) {
            undo = before->owner;
            owned = before->name;
            LogPackage(install, "driver package ", before->name,
                       " now belongs to this version, not to the one it replaces", FALSE, 0);
        }
    } else if (before->present) {
        LogPackage(install, "driver package ", before->name,
                   " was in the driver store before this product: uninstalling leaves it there",
                   FALSE, 0);
    } else if (stagedName[0] != '\0') {
        undo = "added";
    } else {
        LogNote(install, "no copy of the driver package is in the driver store");
    }
    HKEY key;
    LONG status = OpenRecord(data->upgradeCode, data->productCode, TRUE, KEY_SET_VALUE, &key);
    if (status == ERROR_SUCCESS) {
        if (restart) status = WriteRecordNumber(key, "RestartNeeded", 1);
        if (status == ERROR_SUCCESS && undo != NULL) {
            status = WriteOwned(key, owned);
            if (status == ERROR_SUCCESS) status = WriteRecordText(key, "Undo", undo);
        }
        RegCloseKey(key);
    }
    if (status != ERROR_SUCCESS) {
        LogError(install, "could not record the driver package and the restart in the registry",
                 (DWORD)status);
        return FALSE;
    }
    if (before->owned && undo != NULL) DropInfName(data, before->owner);
    return TRUE;
}

}  // namespace

// The DLL needs no set-up of its own: there is no C runtime to start.
extern "C" BOOL WINAPI DriverActionEntry(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}

extern "C" __declspec(dllexport) UINT WINAPI InstallDriver(MSIHANDLE install) {
    ActionData data;
    if (!ReadActionData(install, &data)) return ERROR_INSTALL_FAILURE;
    if (IsArm64Windows()) {
        LogError(install, "the driver cannot be installed on Windows for ARM processors",
                 ERROR_NOT_SUPPORTED);
        return ERROR_INSTALL_FAILURE;
    }
    // What an earlier run recorded for its restart and its rollback is done.
    HKEY key;
    if (OpenRecord(data.upgradeCode, data.productCode, FALSE, KEY_SET_VALUE, &key) ==
        ERROR_SUCCESS) {
        RegDeleteValueA(key, "RestartNeeded");
        RegDeleteValueA(key, "Undo");
        RegCloseKey(key);
    }
    StoreBefore before = {};
    before.present = FindInStore(&data, before.name, sizeof before.name);
    before.owned = before.present && FindOwner(&data, before.name, before.owner);

    DWORD exitCode = 0;
    if (!RunProgram(install, &data, &exitCode)) return ERROR_INSTALL_FAILURE;
    int code = (int)exitCode;
    LogExitCode(install, code);
    char stagedName[MAX_PATH] = "";
    if (code == -3) {
        if (!StagePackage(&data, stagedName, sizeof stagedName)) {
            LogError(install, "could not put the driver package into the driver store",
                     GetLastError());
            return ERROR_INSTALL_FAILURE;
        }
        LogPackage(install, "the driver package is in the driver store as ", stagedName,
                   "; Windows installs it when the controller is connected", FALSE, 0);
    } else if (code == 0 || code == 1) {
        // Installing on a device puts the package into the store as well.
        if (!FindInStore(&data, stagedName, sizeof stagedName)) stagedName[0] = '\0';
    } else {
        return ERROR_INSTALL_FAILURE;
    }
    return WriteRecord(install, &data, &before, stagedName, code == 1) ? ERROR_SUCCESS
                                                                       : ERROR_INSTALL_FAILURE;
}

// Runs when the install fails after InstallDriver: takes out the package
// that InstallDriver added, or gives it back to the version it was taken
// from, and forgets this version's record.
extern "C" __declspec(dllexport) UINT WINAPI RollbackDriver(MSIHANDLE install) {
    ActionData data;
    if (!ReadActionData(install, &data)) return ERROR_SUCCESS;
    HKEY key;
    if (OpenRecord(data.upgradeCode, data.productCode, FALSE, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS) {
        return ERROR_SUCCESS;
    }
    char undo[GUID_SIZE];
    char name[MAX_PATH];
    BOOL changed = ReadRecordText(key, "Undo", undo, sizeof undo) &&
                   ReadRecordText(key, "InfName", name, sizeof name);
    RegCloseKey(key);
    if (!changed) return ERROR_SUCCESS;
    if (lstrcmpA(undo, "added") == 0) {
        if (SetupUninstallOEMInfA(name, 0, NULL)) {
            LogPackage(install, "rollback: driver package ", name,
                       " taken out of the driver store", FALSE, 0);
        } else {
            LogPackage(install, "rollback: driver package ", name,
                       " could not be taken out of the driver store", TRUE, GetLastError());
        }
    } else if (IsGuid(undo) &&
               OpenRecord(data.upgradeCode, undo, TRUE, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        WriteOwned(key, name);
        RegCloseKey(key);
        LogPackage(install, "rollback: driver package ", name,
                   " belongs to the version it was taken from again", FALSE, 0);
    }
    DeleteRecord(data.upgradeCode, data.productCode);
    return ERROR_SUCCESS;
}

// Takes out of the store only the package this version's record names: one
// that was there before the product came, or that a newer version took
// over, stays. Never fails the uninstall: a product that cannot be removed
// helps nobody. Windows refuses to take out a package that a device still
// uses; the device keeps its driver then, and the log says so.
extern "C" __declspec(dllexport) UINT WINAPI RemoveDriver(MSIHANDLE install) {
    ActionData data;
    if (!ReadActionData(install, &data)) return ERROR_SUCCESS;
    HKEY key;
    char stagedName[MAX_PATH];
    BOOL owns = FALSE;
    DWORD recorded = 0;
    if (OpenRecord(data.upgradeCode, data.productCode, FALSE, KEY_QUERY_VALUE, &key) ==
        ERROR_SUCCESS) {
        owns = ReadRecordText(key, "InfName", stagedName, sizeof stagedName) &&
               ReadRecordNumber(key, "InfFingerprint", &recorded);
        RegCloseKey(key);
    }
    DWORD fingerprint = 0;
    if (!owns) {
        LogNote(install, "this version owns no driver package in the driver store: none taken out");
    } else if (!StoreFingerprint(stagedName, &fingerprint) || fingerprint != recorded) {
        LogPackage(install, "driver package ", stagedName,
                   " is no longer the one this product put into the driver store: left there",
                   FALSE, 0);
    } else if (SetupUninstallOEMInfA(stagedName, 0, NULL)) {
        LogPackage(install, "driver package ", stagedName, " taken out of the driver store",
                   FALSE, 0);
    } else if (GetLastError() == ERROR_INF_IN_USE_BY_DEVICES) {
        LogPackage(install, "driver package ", stagedName,
                   " stays in the driver store: a device still uses it", FALSE, 0);
    } else {
        LogPackage(install, "driver package ", stagedName,
                   " could not be taken out of the driver store", TRUE, GetLastError());
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
    DWORD productLength = sizeof productCode;
    DWORD upgradeLength = sizeof upgradeCode;
    HKEY key;
    if (MsiGetPropertyA(install, "ProductCode", productCode, &productLength) != ERROR_SUCCESS ||
        MsiGetPropertyA(install, "UpgradeCode", upgradeCode, &upgradeLength) != ERROR_SUCCESS ||
        !IsGuid(productCode) || !IsGuid(upgradeCode)) {
        return ERROR_SUCCESS;
    }
    // An immediate action runs as the user, who may only read the record:
    // then the restart is asked for all the same, and InstallDriver clears
    // it on its next run.
    if (OpenRecord(upgradeCode, productCode, FALSE, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) !=
            ERROR_SUCCESS &&
        OpenRecord(upgradeCode, productCode, FALSE, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return ERROR_SUCCESS;
    }
    DWORD value = 0;
    if (ReadRecordNumber(key, "RestartNeeded", &value) && value == 1) {
        MsiSetMode(install, MSIRUNMODE_REBOOTATEND, TRUE);
        LogNote(install, "the driver needs a restart: Windows Installer asks for it at the end");
    }
    RegDeleteValueA(key, "RestartNeeded");
    RegCloseKey(key);
    return ERROR_SUCCESS;
}
