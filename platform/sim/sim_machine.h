// Control of the simulated Windows machine: tests set up its registry,
// files, directories and scripted answers, inject failures, and read back
// what the program did and whether it released everything it took.
#ifndef QUORIN_SIM_MACHINE_H
#define QUORIN_SIM_MACHINE_H

#include "windows_sim.h"

#include <cstdint>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace sim {

// A registry value: its type and its raw bytes.
struct Value {
    DWORD type = REG_SZ;
    std::vector<std::uint8_t> data;
    bool operator==(const Value& other) const { return type == other.type && data == other.data; }
};

// A key's access list as the simulation models it: the rights it denies
// (Wine enforces only explicit denials), and a tag that tells lists apart.
// present == false is a key whose list was taken away: everything allowed,
// to every account. adminOnly is a real, protected list granting full
// control to SYSTEM and the Administrators group only (the program runs as
// an administrator, so it keeps every right).
struct AccessList {
    bool present = true;
    std::uint32_t denied = 0;
    std::uint32_t tag = 0;
    bool adminOnly = false;
    bool operator==(const AccessList& other) const {
        return present == other.present && denied == other.denied && tag == other.tag &&
               adminOnly == other.adminOnly;
    }
};
// The admin-only list, as RegSetKeySecurity records it.
AccessList AdminOnlyAccessList();
// Any other real list a program sets is recorded with this tag.
constexpr std::uint32_t UNRECOGNISED_LIST_TAG = 0xFFFFFFFFu;

// Key owners by the last part of their SID: every key starts owned by the
// Administrators group; a descriptor that names no owner, applied with
// OWNER_SECURITY_INFORMATION, gives the key to the caller's primary group.
constexpr std::uint32_t OWNER_ADMINISTRATORS = 544;
constexpr std::uint32_t OWNER_PRIMARY_GROUP = 513;

// Every right a registry key has; an access list denying all of them makes
// the key impossible to open.
constexpr std::uint32_t ALL_KEY_RIGHTS =
    KEY_QUERY_VALUE | 0x0002u | 0x0004u | KEY_ENUMERATE_SUB_KEYS | 0x0010u | 0x0020u | DELETE |
    READ_CONTROL | WRITE_DAC | 0x00080000u;

struct KeySnapshot {
    std::map<std::string, Value> values;
    AccessList accessList;
    std::uint32_t owner = OWNER_ADMINISTRATORS;
    bool operator==(const KeySnapshot& other) const {
        return values == other.values && accessList == other.accessList && owner == other.owner;
    }
};
std::ostream& operator<<(std::ostream& out, const KeySnapshot& key);
// Full paths below HKEY_LOCAL_MACHINE, as stored.
using RegistrySnapshot = std::map<std::string, KeySnapshot>;

struct UpdateOutcome {
    BOOL result = TRUE;
    DWORD lastError = 0;
    BOOL rebootRequired = FALSE;
};

struct UpdateCall {
    int process = 0;
    bool hasParentWindow = false;
    std::string hardwareId;
    std::string infPath;
    DWORD flags = 0;
    bool hasRebootFlag = false;
    bool seen = true;  // false: on an unseen station or in the services' session
};

struct MessageBoxShown {
    int process = 0;
    bool hasOwner = false;
    std::string text;
    std::string caption;
    UINT type = 0;
    bool stationVisible = true;  // false: nobody can dismiss it, it waits for ever
    bool servicesSession = false;  // session 0 on Vista or later: nobody sees it either
};

struct ProcessRecord {
    int id = 0;
    int parent = 0;  // 0 for a process a test started
    std::string commandLine;
    bool underWow64 = false;
    // The environment variables it started with, by upper-cased name.
    std::map<std::string, std::string> environment;
    int exitCode = 0;
};

struct CreateProcessCall {
    int process = 0;
    std::string commandLine;
    bool hasApplicationName = false;
    bool hasAttributes = false;
    BOOL inheritHandles = FALSE;
    DWORD creationFlags = 0;
    bool hasEnvironment = false;
    bool hasCurrentDirectory = false;
    bool startupRecordZeroBesidesSize = false;
    bool started = false;
};

// One platform call, in order.
struct Event {
    int process = 0;
    std::string operation;
    std::string detail;
};

struct LoadLibraryCall {
    int process = 0;
    std::string fileName;
    bool hasFile = false;
    DWORD flags = 0;
};

// One access list the program set on a key, by the key's path.
struct AccessListSet {
    std::string path;
    AccessList accessList;
};

struct Accounting {
    int openKeys = 0;
    int openHandles = 0;
    int heapBlocks = 0;
    int loadedModules = 0;
    int peakOpenKeys = 0;
    int peakHeapBlocks = 0;
    std::vector<std::string> misuses;  // invalid handles, double frees, ...
};

// The program the simulated processes run: a start-up step standing in for
// its static initialisation, and its WinMain.
struct ProgramImage {
    void (*startup)() = nullptr;
    int (*entry)(HINSTANCE, HINSTANCE, LPSTR, int) = nullptr;
};

// A name as the registry compares it: ASCII letters upper-cased.
std::string UpperCaseName(const std::string& name);

// A fresh machine: empty registry below HKEY_LOCAL_MACHINE, current
// directory C:\pkg, Windows directory C:\Windows, system directory
// C:\Windows\system32 holding newdev.dll, no other files, the default
// update outcome (success, no restart), no faults, no records.
void Reset();

// --- registry set-up and inspection (paths below HKEY_LOCAL_MACHINE) ---
void CreateKey(const std::string& path);
void SetValue(const std::string& path, const std::string& name, const Value& value);
void SetString(const std::string& path, const std::string& name, const std::string& text);
void SetAccessList(const std::string& path, const AccessList& accessList);
AccessList GetAccessList(const std::string& path);
bool KeyExists(const std::string& path);
std::vector<std::string> SubkeyNames(const std::string& path);
RegistrySnapshot Snapshot();
// The security descriptor length RegQueryInfoKeyA reports for every key
// (Wine reports 0); by default one that holds any simulated descriptor.
void SetReportedDescriptorLength(DWORD length);
// Every access list a program set with RegSetKeySecurity, in order.
const std::vector<AccessListSet>& AccessListsSet();
// Forbids RegDeleteKeyA on this key although its access list would allow it.
void RefuseRemoval(const std::string& path);
// Removes a key with everything below it, as another process would: the
// program's open handles on removed keys then answer ERROR_KEY_DELETED.
void DeleteTree(const std::string& path);
// Runs change once, just before the program's nth faultable call (from 1):
// another process changing the registry between two of the program's calls.
void BeforeCall(std::uint64_t n, std::function<void()> change);

// --- driver update ---
void QueueUpdateOutcome(const UpdateOutcome& outcome);
void SetDefaultUpdateOutcome(const UpdateOutcome& outcome);
const std::vector<UpdateCall>& UpdateCalls();

// --- files, directories, code page, DLLs ---
void SetCurrentDirectory(const std::string& directory);
void SetWindowsDirectory(const std::string& directory);
void SetSystemDirectory(const std::string& directory);
// Whether the system directory holds newdev.dll, and whether that exports
// UpdateDriverForPlugAndPlayDevicesA.
void SetNewdev(bool present, bool exportsUpdate);
// Whether kernel32 has SetDefaultDllDirectories and SetDllDirectoryA.
void SetHasDllSearchFunctions(bool has);
const std::vector<LoadLibraryCall>& LoadLibraryCalls();
void AddFile(const std::string& path);
void SetLeadByteRanges(const std::vector<std::pair<BYTE, BYTE>>& ranges);

// --- processes ---
void SetProgramImage(const ProgramImage& image);
void SetHasIsWow64Process(bool has);
void SetStartedProcessesUnderWow64(bool underWow64);
// Started processes get the starting process's environment. A chain of
// processes deeper than this is recorded as a misuse and refused: a
// relaunch that does not end would otherwise only end when memory does.
constexpr int PROCESS_CHAIN_LIMIT = 16;
// Runs the program as a new process with exactly this command line; returns
// its exit code.
int RunProgram(const std::string& commandLine, bool underWow64 = false);
// The program's processes end at once, instead of making their nth
// faultable call (from 1): killed, crashed or the power lost. Whatever they
// held is released, as Windows does, and RunProgram returns ENDED_EXIT_CODE.
void EndProcessesAt(std::uint64_t n);
bool ProcessesEnded();
constexpr int ENDED_EXIT_CODE = 0x40010004;  // DBG_TERMINATE_PROCESS
// The argument MinGW's start-up code would pass to WinMain (signed bytes).
std::string MinGwArgument(const std::string& commandLine);
const std::vector<ProcessRecord>& Processes();
const std::vector<CreateProcessCall>& CreateProcessCalls();

// --- message boxes ---
void SetMessageBoxAnswer(int answer);
// Whether the processes' window station is shown to someone; a deployment
// tool's SYSTEM station ("Service-0x0-3e7$") is not.
void SetWindowStationVisible(bool visible);
// The processes' session (1 by default, as an interactive user's; 0 is the
// services') and the Windows version GetVersion reports (6.1 by default).
void SetSession(DWORD session);
void SetWindowsVersion(BYTE major, BYTE minor);
const std::vector<MessageBoxShown>& MessageBoxes();

// --- calls and failures ---
const std::vector<Event>& Events();
// Faultable platform calls made since Reset().
std::uint64_t CallCount();
// Call number n (from 1) fails with error; with persistent, every later call too.
void FailCall(std::uint64_t n, DWORD error, bool persistent);
// The nth call (from 1) of one operation fails, and count-1 after it (count
// < 0: all after it).
void FailOperation(const std::string& operation, DWORD error, int nth = 1, int count = 1);
// A realistic error for an operation, used when a failure names none.
DWORD TypicalError(const std::string& operation);
std::uint64_t InjectedFailures();
// Calls past this many fail and set callLimitReached(), so a runaway loop in
// the program ends and is seen.
void SetCallLimit(std::uint64_t limit);
bool CallLimitReached();

const Accounting& Resources();

}  // namespace sim

#endif
