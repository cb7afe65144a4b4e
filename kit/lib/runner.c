// Console runner for the end-to-end tests: starts a program with exactly the
// command line it is given, in the given current directory, waits for it and
// prints its full 32-bit exit code (Wine's own exit status keeps only the
// low byte). Both texts arrive hex-encoded so that blanks, quotes and bytes
// 0x80-0xFF reach CreateProcessA unchanged.
//
// usage: runner.exe <current directory as hex, or -> <command line as hex>
//                   [time limit in ms] [copies]
//                   [kill-below <key below HKLM as hex> <subkeys> | unseen | tree]
// Prints "exit <code>" and returns 0, or prints what went wrong and returns
// 2 (usage), 3 (could not start) or 4 (time limit reached, program ended).
// With copies, that many processes are created suspended and then let go
// together, so that they really run at once; each prints its own line.
// With kill-below (one copy), the runner watches the key and ends the
// program with TerminateProcess as soon as the key has fewer subkeys than
// given, so that it dies part-way through its own work however fast it
// runs: it prints "killed <subkeys seen>" then, and returns 0.
// With unseen, the program starts on the "Default" desktop of a window
// station that nobody sees, made here, as deployment tools start setups as
// SYSTEM ("Service-0x0-3e7$"): a message box there waits for ever.
// With tree (one copy), the program runs in a job and the runner also waits
// for every process it started in turn, as uninstallers that finish from a
// copy of themselves do; when they outlive the time limit it prints
// "tree-timeout", ends them and returns 4.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes hex into a new terminated block; NULL on a malformed text.
static char* DecodeHex(const char* hex) {
    size_t length = strlen(hex);
    if (length % 2 != 0) return NULL;
    char* text = (char*)malloc(length / 2 + 1);
    if (text == NULL) return NULL;
    for (size_t i = 0; i < length / 2; ++i) {
        int high = HexValue(hex[2 * i]);
        int low = HexValue(hex[2 * i + 1]);
        if (high < 0 || low < 0 || (high == 0 && low == 0)) {
            free(text);
            return NULL;
        }
        text[i] = (char)(high * 16 + low);
    }
    text[length / 2] = '\0';
    return text;
}

enum { MOST_COPIES = 16 };

// Waits for one started process; prints its exit code, or "timeout" after
// ending it. Returns 0, or 4 on a timeout.
static int AwaitProcess(PROCESS_INFORMATION* process, DWORD limit) {
    int status = 0;
    if (WaitForSingleObject(process->hProcess, limit) != WAIT_OBJECT_0) {
        TerminateProcess(process->hProcess, 0xDEAD);
        WaitForSingleObject(process->hProcess, 5000);
        printf("timeout\n");
        status = 4;
    } else {
        DWORD exitCode = 0;
        GetExitCodeProcess(process->hProcess, &exitCode);
        printf("exit %lu\n", exitCode);
    }
    CloseHandle(process->hThread);
    CloseHandle(process->hProcess);
    return status;
}

// Polls the key's subkey count while the program runs; ends the program
// once it is below `below`. Returns 0 when it did, 1 when the program ended
// first (its exit is still to be awaited), or 2 when the key cannot be read.
static int KillBelow(PROCESS_INFORMATION* process, const char* path, DWORD below, DWORD limit) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return 2;
    }
    DWORD started = GetTickCount();
    int status = 1;
    while (GetTickCount() - started < limit) {
        DWORD subkeys = 0;
        if (RegQueryInfoKeyA(key, NULL, NULL, NULL, &subkeys, NULL, NULL, NULL, NULL, NULL, NULL,
                             NULL) != ERROR_SUCCESS) {
            status = 2;
            break;
        }
        if (subkeys < below) {
            TerminateProcess(process->hProcess, 0xDEAD);
            WaitForSingleObject(process->hProcess, 5000);
            printf("killed %lu\n", subkeys);
            status = 0;
            break;
        }
        if (WaitForSingleObject(process->hProcess, 1) == WAIT_OBJECT_0) break;
    }
    RegCloseKey(key);
    return status;
}

static const char UNSEEN_STATION[] = "Service-0x0-3e7$";

// Makes the station and its desktop; the handles keep both alive until the
// runner ends. Returns 0 when either cannot be made.
static int MakeUnseenStation(HWINSTA* station, HDESK* desktop) {
    *desktop = NULL;
    *station = CreateWindowStationA(UNSEEN_STATION, 0, WINSTA_ALL_ACCESS, NULL);
    if (*station == NULL) return 0;
    HWINSTA own = GetProcessWindowStation();
    // A desktop is made on the process's own station.
    if (SetProcessWindowStation(*station)) {
        *desktop = CreateDesktopA("Default", NULL, NULL, 0, GENERIC_ALL, NULL);
        SetProcessWindowStation(own);
    }
    return *desktop != NULL;
}

// Waits until no process of the job is left; 0, or 4 when the time is up.
static int AwaitJob(HANDLE job, DWORD limit) {
    DWORD started = GetTickCount();
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info;
    while (QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof info,
                                     NULL) &&
           info.ActiveProcesses > 0) {
        if (GetTickCount() - started >= limit) {
            TerminateJobObject(job, 0xDEAD);
            printf("tree-timeout\n");
            return 4;
        }
        Sleep(50);
    }
    return 0;
}

int main(int argc, char** argv) {
    int watching = argc == 8 && strcmp(argv[5], "kill-below") == 0;
    int unseen = argc == 6 && strcmp(argv[5], "unseen") == 0;
    int tree = argc == 6 && strcmp(argv[5], "tree") == 0;
    if (argc < 3 || (argc > 5 && !watching && !unseen && !tree)) {
        fprintf(stderr, "usage: runner.exe <directory hex|-> <command line hex> [ms] [copies] "
                        "[kill-below <key hex> <subkeys> | unseen | tree]\n");
        return 2;
    }
    HWINSTA station = NULL;
    HDESK desktop = NULL;
    char desktopName[64];
    snprintf(desktopName, sizeof desktopName, "%s\\Default", UNSEEN_STATION);
    if (unseen && !MakeUnseenStation(&station, &desktop)) {
        printf("station-failed %lu\n", GetLastError());
        return 3;
    }
    char* directory = strcmp(argv[1], "-") == 0 ? NULL : DecodeHex(argv[1]);
    char* commandLine = DecodeHex(argv[2]);
    DWORD limit = argc >= 4 ? (DWORD)strtoul(argv[3], NULL, 10) : 60000;
    int copies = argc >= 5 ? atoi(argv[4]) : 1;
    char* watched = watching ? DecodeHex(argv[6]) : NULL;
    if ((directory == NULL && strcmp(argv[1], "-") != 0) || commandLine == NULL || copies < 1 ||
        copies > MOST_COPIES || (watching && (watched == NULL || copies != 1)) ||
        (tree && copies != 1)) {
        fprintf(stderr, "runner: malformed argument\n");
        return 2;
    }
    PROCESS_INFORMATION processes[MOST_COPIES];
    DWORD flags = copies > 1 || tree ? CREATE_SUSPENDED : 0;
    HANDLE job = tree ? CreateJobObjectA(NULL, NULL) : NULL;
    if (tree && job == NULL) {
        printf("start-failed %lu\n", GetLastError());
        free(directory);
        free(commandLine);
        return 3;
    }
    int started = 0;
    for (; started < copies; ++started) {
        STARTUPINFOA startup;
        memset(&startup, 0, sizeof startup);
        startup.cb = sizeof startup;
        startup.lpDesktop = unseen ? desktopName : NULL;
        memset(&processes[started], 0, sizeof processes[started]);
        // CreateProcessA may write into the command line: each copy gets a
        // fresh one.
        char* line = DecodeHex(argv[2]);
        BOOL created = line != NULL && CreateProcessA(NULL, line, NULL, NULL, FALSE, flags, NULL,
                                                      directory, &startup, &processes[started]);
        free(line);
        if (created && job != NULL && !AssignProcessToJobObject(job, processes[started].hProcess)) {
            printf("start-failed %lu\n", GetLastError());
            TerminateProcess(processes[started].hProcess, 0xDEAD);
            CloseHandle(processes[started].hThread);
            CloseHandle(processes[started].hProcess);
            break;
        }
        if (!created) {
            printf("start-failed %lu\n", GetLastError());
            break;
        }
    }
    int status = started < copies ? 3 : 0;
    for (int i = 0; i < started; ++i) {
        if (status != 0) {
            TerminateProcess(processes[i].hProcess, 0xDEAD);
        }
        if (flags != 0) {
            ResumeThread(processes[i].hThread);
        }
    }
    if (watching && status == 0) {
        int watchStatus = KillBelow(&processes[0], watched, strtoul(argv[7], NULL, 10), limit);
        if (watchStatus == 2) {
            printf("watch-failed\n");
            TerminateProcess(processes[0].hProcess, 0xDEAD);
            WaitForSingleObject(processes[0].hProcess, 5000);
            status = 3;
        }
        if (watchStatus != 1) {
            CloseHandle(processes[0].hThread);
            CloseHandle(processes[0].hProcess);
            started = 0;
        }
    }
    for (int i = 0; i < started; ++i) {
        int awaited = AwaitProcess(&processes[i], limit);
        status = status != 0 ? status : awaited;
    }
    if (job != NULL) {
        int awaited = AwaitJob(job, limit);
        status = status != 0 ? status : awaited;
        CloseHandle(job);
    }
    if (desktop != NULL) CloseDesktop(desktop);
    if (station != NULL) CloseWindowStation(station);
    free(watched);
    free(directory);
    free(commandLine);
    return status;
}
