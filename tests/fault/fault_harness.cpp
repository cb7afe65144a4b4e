#include "fault_harness.h"

#include "entry/entry.h"

#include <algorithm>
#include <map>
#include <set>

namespace quorin_fault {

const std::string kEnum = "System\\CurrentControlSet\\Enum";

namespace {

const char kProgramPath[] = "C:\\pkg\\Quorin64.exe";
const int kDocumentedCodes[] = {1, 0, -1, -2, -3, -4, -6};
// Operations the simulated layer records without letting them fail.
const char* const kNotedOperations[] = {"GetCommandLineA"};

std::string Upper(const std::string& text) { return sim::UpperCaseName(text); }

// Registry names compare without regard to ASCII case.
bool InSubtree(const std::string& path, const std::string& root) {
    return path.size() > root.size() && path[root.size()] == '\\' &&
           Upper(path.substr(0, root.size())) == Upper(root);
}

bool IsNoted(const std::string& operation) {
    return std::any_of(std::begin(kNotedOperations), std::end(kNotedOperations),
                       [&](const char* noted) { return operation == noted; });
}

void Apply(const Fault& fault) {
    bool persistent = fault.last == kForever;
    if (fault.operation.empty()) {
        // The layer fails one call, or every call from one on.
        sim::FailCall(fault.first, fault.error, persistent);
    } else {
        int count = persistent ? -1 : static_cast<int>(fault.last - fault.first + 1);
        sim::FailOperation(fault.operation, fault.error, static_cast<int>(fault.first), count);
    }
}

// Which recorded calls failed by injection, worked out from the faults the
// same way the layer applies them; the caller checks the totals agree.
struct CallRecord {
    std::size_t event;
    std::string operation;
    bool injected;
};

std::vector<CallRecord> ReplayCalls(const std::vector<Fault>& faults, std::uint64_t callLimit) {
    std::vector<CallRecord> calls;
    std::map<std::string, std::uint64_t> nth;
    const std::vector<sim::Event>& events = sim::Events();
    for (std::size_t i = 0; i < events.size(); ++i) {
        const std::string& operation = events[i].operation;
        if (IsNoted(operation)) {
            continue;
        }
        std::uint64_t number = calls.size() + 1;
        std::uint64_t position = ++nth[operation];
        bool injected = number > callLimit;
        for (const Fault& fault : faults) {
            bool any = fault.operation.empty();
            std::uint64_t at = any ? number : position;
            if ((any || fault.operation == operation) && at >= fault.first && at <= fault.last) {
                injected = true;
                break;
            }
        }
        calls.push_back({i, operation, injected});
    }
    return calls;
}

// An access-list restore is a RegSetKeySecurity of any list but the
// admin-only one, or the reopen of a key right after its removal was refused.
bool IsRestoreAttempt(std::size_t event) {
    const std::vector<sim::Event>& events = sim::Events();
    if (event == 0) {
        return false;
    }
    const sim::Event& call = events[event];
    const sim::Event& before = events[event - 1];
    if (call.operation == "RegSetKeySecurity") {
        const std::string adminOnly = "admin-only";
        return call.detail.size() < adminOnly.size() ||
               call.detail.compare(call.detail.size() - adminOnly.size(), adminOnly.size(),
                                   adminOnly) != 0;
    }
    return call.operation == "RegOpenKeyA" && before.operation == "RegDeleteKeyA" &&
           before.detail == call.detail && before.process == call.process;
}

const sim::Value* ServiceValue(const sim::KeySnapshot& key) {
    for (const auto& [name, value] : key.values) {
        if (Upper(name) == "SERVICE") {
            return &value;
        }
    }
    return nullptr;
}

std::string Describe(const std::string& path) {
    return path.size() > 120 ? path.substr(0, 120) + "..." : path;
}

// What another process changed: the keys it added and removed.
struct Interference {
    sim::RegistrySnapshot added;
    std::set<std::string> removed;
};

Interference Difference(const sim::RegistrySnapshot& before, const sim::RegistrySnapshot& after) {
    Interference change;
    for (const auto& [path, key] : after) {
        if (before.count(path) == 0) {
            change.added.emplace(path, key);
        }
    }
    for (const auto& [path, key] : before) {
        if (after.count(path) == 0) {
            change.removed.insert(path);
        }
    }
    return change;
}

bool IsInstance(const std::string& path, const std::string& device) {
    return InSubtree(path, device) && path.find('\\', device.size() + 1) == std::string::npos;
}

void CheckRegistry(const sim::RegistrySnapshot& before, const std::string& hardwareId,
                   const RunSetup& setup, const Interference& other, RunReport* report) {
    const sim::RegistrySnapshot after = sim::Snapshot();
    std::vector<std::string>& violations = report->violations;
    const std::string device = hardwareId.empty() ? std::string() : kEnum + "\\" + hardwareId;
    auto mayChange = [&](const std::string& path) {
        return !device.empty() && InSubtree(path, device);
    };

    for (const auto& [path, key] : after) {
        if (before.count(path) == 0 && other.added.count(path) == 0) {
            violations.push_back("key created: " + Describe(path));
        }
    }

    // Instances served by the driver, with everything below them, stay as
    // they were; so does every key outside the device key.
    std::vector<std::string> served;
    auto isServedInstance = [&](const std::string& path, const sim::KeySnapshot& key) {
        const sim::Value* service = ServiceValue(key);
        return mayChange(path) && IsInstance(path, device) && service != nullptr &&
               NamesDriverService(*service);
    };
    // An instance another process added while the program ran may or may
    // not be judged, but one the driver serves must stay with its subkeys.
    for (const sim::RegistrySnapshot* keys : {&before, &other.added}) {
        for (const auto& [path, key] : *keys) {
            if (isServedInstance(path, key)) {
                served.push_back(path);
            }
        }
    }
    auto isServed = [&](const std::string& path) {
        return std::any_of(served.begin(), served.end(), [&](const std::string& instance) {
            return Upper(path) == Upper(instance) || InSubtree(path, instance);
        });
    };
    for (const auto& added : other.added) {
        if (isServed(added.first) && after.count(added.first) == 0) {
            violations.push_back("served instance key added meanwhile removed: " +
                                 Describe(added.first));
        }
    }

    for (const auto& [path, key] : before) {
        auto found = after.find(path);
        bool strict = !mayChange(path) || isServed(path);
        if (found == after.end()) {
            if (strict && other.removed.count(path) == 0) {
                violations.push_back((mayChange(path) ? "served instance key removed: "
                                                      : "key outside the device key removed: ") +
                                     Describe(path));
            }
            continue;
        }
        const sim::KeySnapshot& now = found->second;
        if (now.values != key.values) {
            violations.push_back("values changed: " + Describe(path));
        }
        if (now.owner != key.owner) {
            violations.push_back("owner changed: " + Describe(path));
        }
        if (now.accessList == key.accessList) {
            continue;
        }
        if (!now.accessList.present) {
            violations.push_back("left open to every account: " + Describe(path));
        } else if (strict || !now.accessList.adminOnly) {
            violations.push_back("access list changed: " + Describe(path));
        } else if (!report->ended) {
            ++report->survivorsWithoutOwnList;
            report->keysWithoutOwnList.push_back(path);
        }
    }
    // Every list the program set is a key's own or the admin-only one.
    for (const sim::AccessListSet& set : sim::AccessListsSet()) {
        auto own = before.find(set.path);
        auto added = other.added.find(set.path);
        const bool isOwn = (own != before.end() && own->second.accessList == set.accessList) ||
                           (added != other.added.end() && added->second.accessList == set.accessList);
        if (!set.accessList.adminOnly && !isOwn) {
            violations.push_back("set a list that is neither its own nor the admin-only one: " +
                                 Describe(set.path));
        }
    }
    // The sweep finishes its job whatever another process did meanwhile.
    if (setup.requireSweepDone) {
        for (const auto& entry : before) {
            const std::string& path = entry.first;
            const bool kept = std::any_of(
                setup.keptInstances.begin(), setup.keptInstances.end(),
                [&](const std::string& name) { return Upper(path) == Upper(device + "\\" + name); });
            if (mayChange(path) && IsInstance(path, device) && !isServed(path) && !kept &&
                after.count(path) != 0) {
                violations.push_back("stale instance left: " + Describe(path));
            }
        }
    }
    // Once a list is replaced, only the restore can give it back; a failure
    // that hits the restore is the one excuse for a key without it.
    if (report->survivorsWithoutOwnList > report->restoreHits) {
        violations.push_back(std::to_string(report->survivorsWithoutOwnList) +
                             " kept key(s) without their own access list, but " +
                             std::to_string(report->restoreHits) +
                             " injected failure(s) hit a restore; the first: " +
                             Describe(report->keysWithoutOwnList[0]));
    }
}

// The x64 program relaunches at most once, the x86 one never; the
// simulated layer refuses a chain only far deeper than that.
void CheckProcesses(RunReport* report) {
    const long most = QUORIN_X86_BUILD ? 0 : 1;
    const long relaunched = std::count_if(
        sim::Processes().begin(), sim::Processes().end(),
        [](const sim::ProcessRecord& process) { return process.parent != 0; });
    if (relaunched > most) {
        report->violations.push_back(std::to_string(relaunched) + " processes relaunched");
    }
}

bool IsVisibilityQuery(const std::string& operation) {
    return operation == "GetProcessWindowStation" || operation == "GetUserObjectInformationA" ||
           operation == "ProcessIdToSessionId";
}

long FailedVisibilityQueries(const std::vector<CallRecord>& calls) {
    return std::count_if(calls.begin(), calls.end(), [](const CallRecord& call) {
        return call.injected && IsVisibilityQuery(call.operation);
    });
}

// Where nobody sees the station a box waits for ever; only a failed
// question whether anyone does excuses one.
void CheckBoxesSeen(const std::vector<CallRecord>& calls, RunReport* report) {
    const long unseen =
        std::count_if(sim::MessageBoxes().begin(), sim::MessageBoxes().end(),
                      [](const sim::MessageBoxShown& box) {
                          return !box.stationVisible || box.servicesSession;
                      });
    const long failedQueries = FailedVisibilityQueries(calls);
    if (unseen > failedQueries) {
        report->violations.push_back(std::to_string(unseen) +
                                     " box(es) where nobody can dismiss them");
    }
}

// Where nobody can answer, the install may not prompt either; elsewhere it
// is the plain forced install. Only a failed question excuses a prompt.
void CheckInstallFlags(const std::vector<CallRecord>& calls, RunReport* report) {
    const DWORD quiet = INSTALLFLAG_FORCE | INSTALLFLAG_NONINTERACTIVE;
    long unseenPrompts = 0;
    for (const sim::UpdateCall& update : sim::UpdateCalls()) {
        if (update.seen && update.flags != DWORD{INSTALLFLAG_FORCE}) {
            report->violations.push_back("install flags " + std::to_string(update.flags) +
                                         " where someone can answer");
        } else if (!update.seen && update.flags != quiet) {
            unseenPrompts += 1;
        }
    }
    const long failedQueries = FailedVisibilityQueries(calls);
    if (unseenPrompts > failedQueries) {
        report->violations.push_back(std::to_string(unseenPrompts) +
                                     " install(s) that may prompt where nobody can answer");
    }
}

void CheckResources(RunReport* report) {
    const sim::Accounting& used = sim::Resources();
    if (used.openKeys != 0) {
        report->violations.push_back(std::to_string(used.openKeys) + " key(s) left open");
    }
    if (used.openHandles != 0) {
        report->violations.push_back(std::to_string(used.openHandles) + " handle(s) left open");
    }
    if (used.heapBlocks != 0) {
        report->violations.push_back(std::to_string(used.heapBlocks) + " heap block(s) not freed");
    }
    for (const std::string& misuse : used.misuses) {
        report->violations.push_back("misuse: " + misuse);
    }
}

}  // namespace

const std::vector<DWORD>& RealisticErrors(const std::string& operation) {
    static const std::map<std::string, std::vector<DWORD>> errors = {
        {"RegOpenKeyA", {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND}},
        {"RegQueryInfoKeyA", {ERROR_ACCESS_DENIED, ERROR_NOT_ENOUGH_MEMORY}},
        {"RegEnumKeyA", {ERROR_MORE_DATA, ERROR_ACCESS_DENIED, ERROR_NO_MORE_ITEMS}},
        {"RegQueryValueExA", {ERROR_ACCESS_DENIED, ERROR_NOT_ENOUGH_MEMORY}},
        {"RegGetKeySecurity", {ERROR_ACCESS_DENIED, ERROR_INSUFFICIENT_BUFFER}},
        {"InitializeSecurityDescriptor", {ERROR_INVALID_PARAMETER}},
        {"InitializeAcl", {ERROR_INSUFFICIENT_BUFFER}},
        {"AddAccessAllowedAce", {ERROR_ALLOTTED_SPACE_EXCEEDED, ERROR_INVALID_PARAMETER}},
        {"SetSecurityDescriptorDacl", {ERROR_INVALID_SECURITY_DESCR}},
        {"SetSecurityDescriptorControl", {ERROR_INVALID_PARAMETER}},
        {"RegSetKeySecurity", {ERROR_ACCESS_DENIED, ERROR_INVALID_SECURITY_DESCR}},
        {"RegDeleteKeyA", {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND}},
        {"RegCloseKey", {ERROR_INVALID_HANDLE}},
        {"HeapAlloc", {ERROR_NOT_ENOUGH_MEMORY}},
        {"HeapFree", {ERROR_INVALID_PARAMETER}},
        {"MessageBoxA", {ERROR_INVALID_WINDOW_HANDLE, ERROR_NOT_ENOUGH_MEMORY}},
        {"UpdateDriverForPlugAndPlayDevicesA",
         {ERROR_FILE_NOT_FOUND, ERROR_NO_SUCH_DEVINST, ERROR_INVALID_FLAGS, ERROR_IN_WOW64,
          ERROR_ACCESS_DENIED}},
        {"GetCurrentDirectoryA", {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED}},
        {"GetWindowsDirectoryA", {ERROR_NOT_ENOUGH_MEMORY}},
        {"GetModuleHandleA", {ERROR_MOD_NOT_FOUND}},
        {"GetProcAddress", {ERROR_PROC_NOT_FOUND}},
        {"SetDefaultDllDirectories", {ERROR_INVALID_PARAMETER}},
        {"SetDllDirectoryA", {ERROR_INVALID_PARAMETER}},
        {"GetSystemDirectoryA", {ERROR_NOT_ENOUGH_MEMORY}},
        {"LoadLibraryExA", {ERROR_MOD_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_BAD_EXE_FORMAT}},
        {"FreeLibrary", {ERROR_INVALID_HANDLE}},
        {"GetEnvironmentVariableA", {ERROR_NOT_ENOUGH_MEMORY}},
        {"SetEnvironmentVariableA", {ERROR_NOT_ENOUGH_MEMORY}},
        {"GetProcessWindowStation", {ERROR_ACCESS_DENIED}},
        {"GetUserObjectInformationA", {ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE}},
        {"ProcessIdToSessionId", {ERROR_ACCESS_DENIED, ERROR_INVALID_PARAMETER}},
        {"IsWow64Process", {ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE}},
        {"CreateProcessA", {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_NOT_ENOUGH_MEMORY}},
        {"WaitForSingleObject", {ERROR_INVALID_HANDLE}},
        {"GetExitCodeProcess", {ERROR_INVALID_HANDLE}},
        {"CloseHandle", {ERROR_INVALID_HANDLE}},
    };
    static const std::vector<DWORD> fallback = {ERROR_ACCESS_DENIED};
    auto found = errors.find(operation);
    return found != errors.end() ? found->second : fallback;
}

const std::vector<std::string>& FaultableOperations() {
    static const std::vector<std::string> operations = {
        "RegOpenKeyA", "RegQueryInfoKeyA", "RegEnumKeyA", "RegQueryValueExA",
        "RegGetKeySecurity", "InitializeSecurityDescriptor", "InitializeAcl",
        "AddAccessAllowedAce", "SetSecurityDescriptorDacl", "SetSecurityDescriptorControl",
        "RegSetKeySecurity", "RegDeleteKeyA", "RegCloseKey", "HeapAlloc", "HeapFree",
        "MessageBoxA", "UpdateDriverForPlugAndPlayDevicesA", "GetCurrentDirectoryA",
        "GetWindowsDirectoryA", "GetSystemDirectoryA", "LoadLibraryExA", "FreeLibrary",
        "GetModuleHandleA", "GetProcAddress", "SetDefaultDllDirectories", "SetDllDirectoryA",
        "IsWow64Process", "CreateProcessA", "WaitForSingleObject", "GetExitCodeProcess",
        "CloseHandle", "GetEnvironmentVariableA", "SetEnvironmentVariableA",
        "GetProcessWindowStation", "GetUserObjectInformationA", "ProcessIdToSessionId"};
    return operations;
}

std::vector<Fault> PersistentFrom(std::uint64_t k, const std::vector<std::string>& operations) {
    std::vector<Fault> faults;
    for (const std::string& operation : FaultableOperations()) {
        std::uint64_t earlier = static_cast<std::uint64_t>(
            std::count(operations.begin(),
                       operations.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(
                                                k - 1, operations.size())),
                       operation));
        faults.push_back({operation, earlier + 1, kForever, RealisticErrors(operation)[0]});
    }
    // Anything the list above does not name fails too.
    faults.push_back({"", k, kForever, 0});
    return faults;
}

void StartProgram() {
#if !QUORIN_X86_BUILD
    pfnIsWow64Process = LookUpIsWow64Process();
#endif
}

RunReport RunAndCheck(const RunSetup& setup, const std::vector<Fault>& faults,
                      std::uint64_t callLimit) {
    RunReport report;
    sim::Reset();
    sim::SetProgramImage({&StartProgram, &WinMain});
    sim::SetWindowStationVisible(setup.stationVisible);
    sim::AddFile(kProgramPath);
    if (setup.prepare) {
        setup.prepare();
    }
    const sim::RegistrySnapshot before = sim::Snapshot();
    for (const Fault& fault : faults) {
        Apply(fault);
    }
    Interference other;
    if (setup.interferenceAt != 0) {
        sim::BeforeCall(setup.interferenceAt, [&other, &setup] {
            const sim::RegistrySnapshot was = sim::Snapshot();
            setup.interference();
            other = Difference(was, sim::Snapshot());
        });
    }
    sim::SetCallLimit(callLimit);
    if (setup.endAt != 0) {
        sim::EndProcessesAt(setup.endAt);
    }
    report.exitCode = sim::RunProgram(setup.commandLine, setup.underWow64);
    report.ended = sim::ProcessesEnded();
    report.calls = sim::CallCount();
    report.injected = sim::InjectedFailures();

    const std::vector<CallRecord> calls = ReplayCalls(faults, callLimit);
    std::uint64_t injected = 0;
    for (const CallRecord& call : calls) {
        report.operations.push_back(call.operation);
        injected += call.injected ? 1 : 0;
        if (call.injected && IsRestoreAttempt(call.event)) {
            ++report.restoreHits;
        }
    }
    if (calls.size() != report.calls || injected != report.injected) {
        report.violations.push_back("the call record does not match the layer's counts");
    }
    if (!report.ended && std::find(std::begin(kDocumentedCodes), std::end(kDocumentedCodes),
                                   report.exitCode) == std::end(kDocumentedCodes)) {
        report.violations.push_back("undocumented exit code " + std::to_string(report.exitCode));
    }
    if (sim::CallLimitReached()) {
        report.violations.push_back("no end within " + std::to_string(callLimit) + " calls");
    }
    CheckResources(&report);
    CheckProcesses(&report);
    CheckBoxesSeen(calls, &report);
    CheckInstallFlags(calls, &report);
    for (const sim::MessageBoxShown& box : sim::MessageBoxes()) {
        report.errorBoxes += box.caption == "Error" ? 1 : 0;
    }
    CheckRegistry(before, SweepMayActOn(setup.sweptHardwareId) ? setup.sweptHardwareId : "",
                  setup, other, &report);
    return report;
}

std::string HardwareIdOf(const std::string& argumentString) {
    std::size_t plus = argumentString.find('+');
    std::string id;
    while (plus != std::string::npos) {
        std::size_t next = argumentString.find('+', plus + 1);
        std::string run = argumentString.substr(
            plus + 1, next == std::string::npos ? std::string::npos : next - plus - 1);
        if (!run.empty()) {
            id = run;
        }
        plus = next;
    }
    return id;
}

bool SweepMayActOn(const std::string& hardwareId) {
    if (hardwareId.empty() || hardwareId.size() > 993) {
        return false;
    }
    int components = 0;
    std::size_t start = 0;
    while (true) {
        std::size_t end = hardwareId.find('\\', start);
        std::size_t length = (end == std::string::npos ? hardwareId.size() : end) - start;
        if (length == 0) {
            return false;
        }
        ++components;
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return components == 2;
}

bool NamesDriverService(const sim::Value& value) {
    if (value.data.size() > 256) {
        return false;  // the 256-byte query fails
    }
    std::string text;
    for (std::uint8_t byte : value.data) {
        if (byte == 0) {
            break;
        }
        text.push_back(static_cast<char>(byte));
    }
    return Upper(text) == "TALMERIX";
}

}  // namespace quorin_fault
