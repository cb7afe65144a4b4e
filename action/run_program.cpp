// Running "<folder>\Quorin64.exe" <INF name>+<hardware ID> from the install
// folder for each hardware ID, and whether it can run here at all.
#include "action.h"

#include "../install/result_codes.h"

namespace {

// A driver install takes seconds; a program that has not ended by then
// waits for something nobody will give it (a message box nobody sees).
const DWORD PROGRAM_TIME_LIMIT_MS = 10 * 60 * 1000;

// The program's path in program, and "\"<program>\" <INF name>+<hardware
// ID>" in commandLine.
DWORD BuildCommandLine(const ActionData* data, const char* hardwareId, char* program,
                       DWORD programSize, char* commandLine, DWORD lineSize) {
    TextBuffer path = MakeTextBuffer(program, programSize);
    TextBuffer line = MakeTextBuffer(commandLine, lineSize);
    return FitsOrOverflow(AppendText(&path, data->folder) &&
                          AppendText(&path, "\\Quorin64.exe") && AppendText(&line, "\"") &&
                          AppendText(&line, program) && AppendText(&line, "\" ") &&
                          AppendText(&line, data->infName) && AppendText(&line, "+") &&
                          AppendText(&line, hardwareId));
}

// Waits for the started program and reads its exit code; a program that
// does not end in time is ended.
DWORD AwaitExitCode(MSIHANDLE install, HANDLE process, int* exitCode) {
    if (WaitForSingleObject(process, PROGRAM_TIME_LIMIT_MS) != WAIT_OBJECT_0) {
        TerminateProcess(process, ERROR_TIMEOUT);
        WaitForSingleObject(process, 5000);
        LogError(install, "Quorin64.exe did not end within 10 minutes and was ended",
                 ERROR_TIMEOUT);
        return ERROR_TIMEOUT;
    }
    DWORD code = 0;
    if (!GetExitCodeProcess(process, &code)) {
        DWORD error = GetLastError();
        LogError(install, "could not read Quorin64.exe's exit code", error);
        return error;
    }
    *exitCode = (int)code;
    return ERROR_SUCCESS;
}

// Starts the program from the install folder and waits for its exit code;
// logs what went wrong.
DWORD RunProgram(MSIHANDLE install, const ActionData* data, const char* hardwareId,
                 int* exitCode) {
    char program[FOLDER_SIZE + 16];
    char commandLine[LINE_SIZE];
    if (BuildCommandLine(data, hardwareId, program, sizeof program, commandLine,
                         sizeof commandLine) != ERROR_SUCCESS) {
        LogError(install, "the program's command line is too long", ERROR_BUFFER_OVERFLOW);
        return ERROR_BUFFER_OVERFLOW;
    }
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started;
    if (!CreateProcessA(program, commandLine, NULL, NULL, FALSE, 0, NULL, data->folder, &startup,
                        &started)) {
        DWORD notStarted = GetLastError();
        LogError(install, "could not start Quorin64.exe", notStarted);
        return notStarted;
    }
    DWORD error = AwaitExitCode(install, started.hProcess, exitCode);
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    return error;
}

// The exit codes after which the install goes on.
BOOL IsInstalledOrNoDevice(int code) {
    return code == INSTALL_OK || code == INSTALL_OK_REBOOT || code == INSTALL_NO_DEVICE;
}

}  // namespace

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

// A device found for one ID is an install: the package is staged only when
// none was found for any.
DWORD RunForEachId(MSIHANDLE install, const ActionData* data, int* outcome) {
    *outcome = INSTALL_NO_DEVICE;
    char id[ID_SIZE];
    for (const char* rest = data->hardwareIds; rest != NULL;) {
        int code = INSTALL_FAILED;
        DWORD error = TakeHardwareId(rest, id, &rest);
        if (error == ERROR_SUCCESS) error = RunProgram(install, data, id, &code);
        if (error != ERROR_SUCCESS) return error;
        LogExitCode(install, code, id);
        if (!IsInstalledOrNoDevice(code)) return ERROR_INSTALL_FAILURE;
        if (code == INSTALL_OK_REBOOT || (code == INSTALL_OK && *outcome == INSTALL_NO_DEVICE)) {
            *outcome = code;
        }
    }
    return ERROR_SUCCESS;
}
