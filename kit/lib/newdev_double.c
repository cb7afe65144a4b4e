// A test newdev.dll: loaded beside Quorin64.exe instead of Wine's own when
// WINEDLLOVERRIDES=newdev=n is set. Each call to
// UpdateDriverForPlugAndPlayDevicesA gives the answer scripted for it and
// appends what it was handed to a log, so a relaunched child's call lands in
// the same log as its parent's.
//
// Environment (inherited by a relaunched child):
//   QUORIN_DOUBLE_SCRIPT  one line per call, in call order:
//                         "<returned BOOL> <last-error code> <restart flag>",
//                         numbers in C notation, or "auto": fail with
//                         ERROR_FILE_NOT_FOUND when the INF path does not
//                         exist, else succeed without a restart. A line
//                         that ends in "plant" also adds the stale instance
//                         <hardware ID>\PLANTED_<n> (Service "PLANTED").
//                         One that ends in "spoil" overwrites the INF at
//                         the INF path with text that is no INF, so that
//                         a setup's later staging of it fails. One that
//                         ends in "stage" puts the INF into the driver
//                         store after a success, as Windows' own update
//                         does.
//   QUORIN_DOUBLE_LOG     one line per call: "call <n> pid <id> parent <hwnd>
//                         flags <hex> reboot <0|1 pointer given> instances
//                         <subkeys of the device key, -1 without one>
//                         answer <...> hwid <hex> inf <hex> cmdline <hex>
//                         module <hex>", the last the path this DLL was
//                         loaded from.
//   QUORIN_PLANTED_MARK   built with -DQUORIN_PLANTED (a newdev.dll planted
//                         where a program must not load it from): on
//                         loading, appends its own path and a newline to
//                         this file.
// The call number is the number of lines already in the log. A call without
// a script line fails with ERROR_GEN_FAILURE and is logged as "unscripted".
// Each call also says "UpdateDriverForPlugAndPlayDevicesA" through
// OutputDebugStringA, so that a relay trace shows when it came.
#include <windows.h>
#include <setupapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { LINE_SIZE = 512, LOG_LINE_SIZE = 16384 };

struct Answer {
    BOOL result;
    DWORD lastError;
    BOOL restart;
    BOOL plant;
    BOOL spoil;
    BOOL stage;
    char text[64];
};

static DWORD CountLogLines(const char* logPath) {
    FILE* log = fopen(logPath, "rb");
    if (log == NULL) return 0;
    DWORD lines = 0;
    int c;
    while ((c = fgetc(log)) != EOF) {
        if (c == '\n') ++lines;
    }
    fclose(log);
    return lines;
}

// Reads the script line for call number `call`; 0 when there is none.
static int ReadScriptLine(const char* scriptPath, DWORD call, char* line) {
    FILE* script = fopen(scriptPath, "rb");
    if (script == NULL) return 0;
    int found = 0;
    for (DWORD i = 0; fgets(line, LINE_SIZE, script) != NULL; ++i) {
        if (i == call) {
            found = 1;
            break;
        }
    }
    fclose(script);
    return found;
}

static struct Answer ChooseAnswer(const char* scriptPath, DWORD call, const char* infPath) {
    struct Answer answer = {FALSE, ERROR_GEN_FAILURE, FALSE, FALSE, FALSE, FALSE, "unscripted"};
    char line[LINE_SIZE];
    if (scriptPath == NULL || !ReadScriptLine(scriptPath, call, line)) return answer;
    if (strncmp(line, "auto", 4) == 0) {
        int present = infPath != NULL && GetFileAttributesA(infPath) != INVALID_FILE_ATTRIBUTES;
        answer.result = present;
        answer.lastError = present ? 0 : ERROR_FILE_NOT_FOUND;
    } else {
        char* end = line;
        answer.result = (BOOL)strtoul(end, &end, 0);
        answer.lastError = strtoul(end, &end, 0);
        answer.restart = (BOOL)strtoul(end, &end, 0);
    }
    answer.plant = strstr(line, "plant") != NULL;
    answer.spoil = strstr(line, "spoil") != NULL;
    answer.stage = strstr(line, "stage") != NULL;
    snprintf(answer.text, sizeof answer.text, "%d,0x%lX,%d", answer.result ? 1 : 0,
             answer.lastError, answer.restart ? 1 : 0);
    return answer;
}

static void AppendHex(char* out, size_t size, const char* label, const char* text) {
    size_t used = strlen(out);
    used += (size_t)snprintf(out + used, size - used, " %s ", label);
    if (text == NULL) {
        snprintf(out + used, size - used, "null");
        return;
    }
    for (const unsigned char* p = (const unsigned char*)text; *p != 0 && used + 3 < size; ++p) {
        used += (size_t)snprintf(out + used, size - used, "%02x", *p);
    }
}

static const char ENUM_KEY[] = "System\\CurrentControlSet\\Enum\\";

static void DeviceKeyPath(char* path, size_t size, const char* hardwareId, const char* below) {
    snprintf(path, size, "%s%s%s", ENUM_KEY, hardwareId != NULL ? hardwareId : "", below);
}

static long CountInstances(const char* hardwareId) {
    char path[LINE_SIZE * 4];
    DeviceKeyPath(path, sizeof path, hardwareId, "");
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return -1;
    DWORD subkeys = 0;
    LONG status = RegQueryInfoKeyA(key, NULL, NULL, NULL, &subkeys, NULL, NULL, NULL, NULL,
                                   NULL, NULL, NULL);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? (long)subkeys : -1;
}

static void PlantStaleInstance(const char* hardwareId, DWORD call) {
    char below[32];
    char path[LINE_SIZE * 4];
    snprintf(below, sizeof below, "\\PLANTED_%lu", call);
    DeviceKeyPath(path, sizeof path, hardwareId, below);
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, KEY_WRITE, NULL, &key, NULL) ==
        ERROR_SUCCESS) {
        RegSetValueExA(key, "Service", 0, REG_SZ, (const BYTE*)"PLANTED", 8);
        RegCloseKey(key);
    }
}

static void AppendLogLine(const char* logPath, const char* line) {
    HANDLE log = CreateFileA(logPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (log == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(log, line, (DWORD)strlen(line), &written, NULL);
    CloseHandle(log);
}

static void SpoilInf(const char* infPath) {
    static const char notAnInf[] = "not an INF\r\n";
    HANDLE inf = CreateFileA(infPath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, NULL);
    if (inf == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(inf, notAnInf, sizeof notAnInf - 1, &written, NULL);
    CloseHandle(inf);
}

static char modulePath[MAX_PATH + 2];

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        DWORD length = GetModuleFileNameA(instance, modulePath, MAX_PATH);
        modulePath[length < MAX_PATH ? length : 0] = '\0';
#ifdef QUORIN_PLANTED
        const char* markPath = getenv("QUORIN_PLANTED_MARK");
        if (markPath != NULL) {
            strcat(modulePath, "\n");
            AppendLogLine(markPath, modulePath);
            modulePath[strlen(modulePath) - 1] = '\0';
        }
#endif
    }
    return TRUE;
}

__declspec(dllexport) BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(HWND parent,
                                                                   LPCSTR hardwareId,
                                                                   LPCSTR fullInfPath,
                                                                   DWORD installFlags,
                                                                   PBOOL rebootRequired) {
    OutputDebugStringA("UpdateDriverForPlugAndPlayDevicesA");
    const char* scriptPath = getenv("QUORIN_DOUBLE_SCRIPT");
    const char* logPath = getenv("QUORIN_DOUBLE_LOG");
    DWORD call = logPath != NULL ? CountLogLines(logPath) : 0;
    struct Answer answer = ChooseAnswer(scriptPath, call, fullInfPath);

    static char line[LOG_LINE_SIZE];
    snprintf(line, sizeof line,
             "call %lu pid %lu parent %p flags 0x%lX reboot %d instances %ld answer %s", call,
             GetCurrentProcessId(), (void*)parent, installFlags, rebootRequired != NULL ? 1 : 0,
             CountInstances(hardwareId), answer.text);
    AppendHex(line, sizeof line, "hwid", hardwareId);
    AppendHex(line, sizeof line, "inf", fullInfPath);
    AppendHex(line, sizeof line, "cmdline", GetCommandLineA());
    AppendHex(line, sizeof line, "module", modulePath);
    strncat(line, "\n", sizeof line - strlen(line) - 1);
    if (logPath != NULL) AppendLogLine(logPath, line);
    if (answer.plant) PlantStaleInstance(hardwareId, call);
    if (answer.spoil && fullInfPath != NULL) SpoilInf(fullInfPath);
    if (answer.stage && answer.result && fullInfPath != NULL) {
        SetupCopyOEMInfA(fullInfPath, NULL, SPOST_PATH, 0, NULL, 0, NULL, NULL);
    }

    // The flag is written on failures too: the program must not look at it then.
    if (rebootRequired != NULL) *rebootRequired = answer.restart;
    SetLastError(answer.lastError);
    return answer.result;
}
