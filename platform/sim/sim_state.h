// Internal state of the simulated machine, shared by its parts.
#ifndef QUORIN_SIM_STATE_H
#define QUORIN_SIM_STATE_H

#include "sim_machine.h"

#include <deque>
#include <memory>
#include <optional>

namespace sim::detail {

struct Key {
    std::string name;
    Key* parent = nullptr;
    // By upper-cased name: the order Windows enumerates them in, and lookups
    // that stay cheap for devices with thousands of instances.
    std::map<std::string, std::shared_ptr<Key>> subkeys;
    std::vector<std::pair<std::string, Value>> values;
    AccessList accessList;
    std::uint32_t owner = OWNER_ADMINISTRATORS;
    bool removalRefused = false;
    bool deleted = false;
};

struct KeyHandle {
    std::shared_ptr<Key> key;
    std::uint32_t granted = 0;
    int process = 0;
};

struct ProcessHandle {
    bool isThread = false;
    int process = 0;  // the started process
    int exitCode = 0;
};

struct Process {
    int id = 0;
    std::vector<char> commandLine;  // terminated, handed out by GetCommandLineA
    bool underWow64 = false;
    std::string currentDirectory;
    std::map<std::string, std::string> environment;  // by upper-cased name
    DWORD lastError = 0;
};

struct Fault {
    std::string operation;  // empty: any operation
    std::uint64_t first = 0;
    std::uint64_t last = 0;  // inclusive; UINT64_MAX for persistent
    DWORD error = 0;
};

struct Machine {
    std::shared_ptr<Key> root = std::make_shared<Key>();
    std::map<HKEY, KeyHandle> keys;
    DWORD reportedDescriptorLength = 96;
    std::map<HANDLE, ProcessHandle> handles;
    std::map<void*, std::size_t> heap;
    std::uintptr_t nextHandle = 0x1000;

    std::vector<std::unique_ptr<Process>> allProcesses;
    std::vector<Process*> running;
    std::vector<ProcessRecord> processRecords;
    std::vector<CreateProcessCall> createCalls;
    ProgramImage image;
    bool hasIsWow64Process = true;
    bool startedUnderWow64 = false;

    std::string startDirectory = "C:\\pkg";
    std::string windowsDirectory = "C:\\Windows";
    std::string systemDirectory = "C:\\Windows\\system32";
    bool newdevPresent = true;
    bool newdevExportsUpdate = true;
    bool hasDllSearchFunctions = true;
    std::vector<LoadLibraryCall> loadLibraryCalls;
    std::vector<std::pair<HMODULE, int>> loadedModules;  // module, process
    std::vector<std::string> files;
    std::vector<std::pair<BYTE, BYTE>> leadBytes;

    std::deque<UpdateOutcome> queuedOutcomes;
    UpdateOutcome defaultOutcome;
    std::vector<UpdateCall> updateCalls;
    std::vector<MessageBoxShown> boxes;
    int boxAnswer = IDOK;
    bool stationVisible = true;
    DWORD session = 1;
    BYTE versionMajor = 6;
    BYTE versionMinor = 1;

    std::vector<AccessListSet> accessListsSet;
    std::vector<Event> events;
    std::uint64_t calls = 0;
    std::map<std::string, std::uint64_t> callsByOperation;
    std::vector<Fault> faults;
    std::uint64_t injected = 0;
    std::uint64_t callLimit = 1000000;
    std::uint64_t interferenceAt = 0;
    std::function<void()> interference;
    bool callLimitReached = false;
    std::uint64_t endAt = 0;
    bool ended = false;

    Accounting accounting;
};

// Thrown where the simulated processes end, caught by RunProgram.
struct ProcessesEnd {};

Machine& M();
Process& Current();
int CurrentId();
void Misuse(const std::string& what);

// Records a faultable call and says whether it is to fail, and with what.
std::optional<DWORD> Enter(const char* operation, const std::string& detail);
// Records a call that cannot fail.
void Note(const char* operation, const std::string& detail);

std::string Upper(const std::string& text);
bool SameName(const std::string& a, const std::string& b);
std::string Quoted(const char* text);

void ResetRegistry();

}  // namespace sim::detail

#endif
