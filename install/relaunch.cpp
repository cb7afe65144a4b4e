#include "install.h"

#include "../platform/text.h"

#if !QUORIN_X86_BUILD

// Set for the started copy alone, which never relaunches in turn: where
// Windows refuses the 64-bit program too (an emulated x64 process on
// ARM64), there is one relaunch, not copies starting copies until memory
// runs out. The argument stays byte for byte as it was.
static const char RELAUNCH_MARK[] = "QUORIN64_RELAUNCHED";

// Only a definite "no such variable" makes this the first copy: a question
// that cannot be answered must not risk a chain.
int IsRelaunchedCopy(void) {
    char value[2];
    return GetEnvironmentVariableA(RELAUNCH_MARK, value, sizeof value) != 0 ||
           GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

int ComposeRelaunchCommandLine(const char* argumentString, char* commandLine, size_t size) {
    char currentDirectory[TEXT_FIELD_SIZE];
    if (!ReadCurrentDirectory(currentDirectory)) {
        return 0;
    }
    TextBuffer line = MakeTextBuffer(commandLine, size);
    return AppendText(&line, "\"") && AppendText(&line, currentDirectory) &&
           AppendText(&line, "\\Quorin64.exe\" ") && AppendText(&line, argumentString);
}

// The started program cuts the same argument string back out of this command
// line; its exit code is passed through unchanged. A wait or exit-code query
// that fails leaves INSTALL_FAILED rather than a made-up code.
int RelaunchNativeInstaller(const char* argumentString) {
    char commandLine[RELAUNCH_COMMAND_LINE_SIZE];
    if (!ComposeRelaunchCommandLine(argumentString, commandLine, sizeof commandLine)) {
        return INSTALL_FAILED;
    }
    if (!SetEnvironmentVariableA(RELAUNCH_MARK, "1")) {
        return INSTALL_FAILED;
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessA(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup,
                                  &process);
    SetEnvironmentVariableA(RELAUNCH_MARK, NULL);
    if (!started) {
        return INSTALL_FAILED;
    }
    int result = INSTALL_FAILED;
    DWORD exitCode = 0;
    if (WaitForSingleObject(process.hProcess, INFINITE) == WAIT_OBJECT_0 &&
        GetExitCodeProcess(process.hProcess, &exitCode)) {
        result = (int)exitCode;
    }
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return result;
}

#endif
