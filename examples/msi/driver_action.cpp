// Custom actions of the example Windows Installer package (quorin64.wxs).
// Both are deferred and run without impersonation, that is as LocalSystem,
// which may change every device key the program's sweep removes.
//
// InstallDriver starts "<folder>\Quorin64.exe" <INF name>+<hardware ID> in
// the install folder, waits for it and turns its exit code into the
// installer's result: a DLL action, because Windows Installer fails the
// install on any non-zero exit code of a program it starts itself, and 1
// means "installed, restart needed". RemoveDriver takes the driver package
// out of the driver store on uninstall.
//
// CustomActionData: "<install folder>|<INF name>|<hardware ID>". Neither a
// folder nor a file name may hold "|", so the first two fields end at the
// first two bars and the hardware ID is the whole rest, whatever it holds.
//
// Nothing but KERNEL32, ADVAPI32, msi and SETUPAPI: no C runtime, so the
// DLL has its own entry point; text is built with the program's own bounded
// helpers (platform/text.h).
#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <setupapi.h>

#include "../../platform/text.h"

namespace {

// The program refuses fields of 1,024 characters or more; Windows
// Installer's folders are MAX_PATH at most.
enum {
    FOLDER_SIZE = MAX_PATH,
    NAME_SIZE = 256,
    ID_SIZE = 1024,
    DATA_SIZE = FOLDER_SIZE + NAME_SIZE + ID_SIZE + 2,
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
        !TakeField(rest, '\0', data->hardwareId, sizeof data->hardwareId, &rest)) {
        LogError(install, "CustomActionData is not \"<folder>|<INF name>|<hardware ID>\"",
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
// it when a matching device appears. With SP_COPY_NOOVERWRITE a package
// already there is not copied again, and its name is still reported.
BOOL StagePackage(const ActionData* data, DWORD style, char* stagedName, DWORD size) {
    char inf[FOLDER_SIZE + NAME_SIZE];
    if (!InstalledInf(data, inf, sizeof inf)) {
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return FALSE;
    }
    char stagedPath[MAX_PATH];
    char* namePart = NULL;
    BOOL copied = SetupCopyOEMInfA(inf, data->folder, SPOST_PATH, style, stagedPath,
                                   sizeof stagedPath, NULL, &namePart);
    DWORD error = copied ? ERROR_SUCCESS : GetLastError();
    if (!copied && !((style & SP_COPY_NOOVERWRITE) && error == ERROR_FILE_EXISTS)) return FALSE;
    const char* name = namePart != NULL ? namePart : stagedPath;
    TextBuffer staged = MakeTextBuffer(stagedName, size);
    if (!AppendText(&staged, name) || staged.length == 0) {
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return FALSE;
    }
    return TRUE;
}

UINT StageForLater(MSIHANDLE install, const ActionData* data) {
    char stagedName[MAX_PATH];
    if (!StagePackage(data, 0, stagedName, sizeof stagedName)) {
        LogError(install, "could not put the driver package into the driver store",
                 GetLastError());
        return ERROR_INSTALL_FAILURE;
    }
    LogPackage(install, "the driver package is in the driver store as ", stagedName,
               "; Windows installs it when the controller is connected", FALSE, 0);
    return ERROR_SUCCESS;
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
    DWORD exitCode = 0;
    if (!RunProgram(install, &data, &exitCode)) return ERROR_INSTALL_FAILURE;
    int code = (int)exitCode;
    LogExitCode(install, code);
    switch (code) {
    case 1:
        MsiSetMode(install, MSIRUNMODE_REBOOTATEND, TRUE);
        return ERROR_SUCCESS;
    case 0:
        return ERROR_SUCCESS;
    case -3:
        return StageForLater(install, &data);
    default:
        return ERROR_INSTALL_FAILURE;
    }
}

// Never fails the uninstall: a product that cannot be removed helps nobody.
// Windows refuses to take out a package that a device still uses; the
// device keeps its driver then, and the log says so.
extern "C" __declspec(dllexport) UINT WINAPI RemoveDriver(MSIHANDLE install) {
    ActionData data;
    if (!ReadActionData(install, &data)) return ERROR_SUCCESS;
    char stagedName[MAX_PATH];
    if (!StagePackage(&data, SP_COPY_NOOVERWRITE, stagedName, sizeof stagedName)) {
        LogError(install, "could not find the driver package in the driver store",
                 GetLastError());
        return ERROR_SUCCESS;
    }
    if (SetupUninstallOEMInfA(stagedName, 0, NULL)) {
        LogPackage(install, "driver package ", stagedName, " taken out of the driver store",
                   FALSE, 0);
    } else if (GetLastError() == ERROR_INF_IN_USE_BY_DEVICES) {
        LogPackage(install, "driver package ", stagedName,
                   " stays in the driver store: a device still uses it", FALSE, 0);
    } else {
        LogPackage(install, "driver package ", stagedName,
                   " could not be taken out of the driver store", TRUE, GetLastError());
    }
    return ERROR_SUCCESS;
}
