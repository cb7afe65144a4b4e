// The simulated machine's processes, heap, directories, message boxes,
// driver update and fault injection.
#include "sim_state.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace sim::detail {

// Registry and heap calls do not promise to keep the last-error code; this
// value makes a late read of it visible.
constexpr DWORD CLOBBERED_LAST_ERROR = 0x0000C10Bu;
HMODULE const KERNEL32_MODULE = reinterpret_cast<HMODULE>(std::uintptr_t{0x7FF10000});
HMODULE const NEWDEV_MODULE = reinterpret_cast<HMODULE>(std::uintptr_t{0x7FE20000});
HANDLE const PROCESS_HEAP = reinterpret_cast<HANDLE>(std::uintptr_t{0x4EA90000});
HANDLE const CURRENT_PROCESS = reinterpret_cast<HANDLE>(~std::uintptr_t{0});
HWINSTA const PROCESS_STATION = reinterpret_cast<HWINSTA>(std::uintptr_t{0x5A70});

Machine& M() {
    static Machine machine;
    return machine;
}

Process& Current() {
    Machine& m = M();
    if (m.running.empty()) {
        // Calls outside a simulated process (unit tests of single functions)
        // belong to an implicit first process.
        auto process = std::make_unique<Process>();
        process->id = 1;
        process->currentDirectory = m.startDirectory;
        process->commandLine = {'\0'};
        m.running.push_back(process.get());
        m.allProcesses.push_back(std::move(process));
    }
    return *m.running.back();
}

int CurrentId() { return Current().id; }

void Misuse(const std::string& what) { M().accounting.misuses.push_back(what); }

std::optional<DWORD> Enter(const char* operation, const std::string& detail) {
    Machine& m = M();
    Process& process = Current();
    if (m.endAt != 0 && m.calls + 1 == m.endAt) {
        m.ended = true;
        throw ProcessesEnd{};
    }
    std::uint64_t number = ++m.calls;
    std::uint64_t nth = ++m.callsByOperation[operation];
    if (number == m.interferenceAt && m.interference) {
        std::function<void()> change = std::move(m.interference);
        m.interference = nullptr;
        change();
    }
    m.events.push_back({process.id, operation, detail});
    process.lastError = CLOBBERED_LAST_ERROR;
    if (number > m.callLimit) {
        m.callLimitReached = true;
        ++m.injected;
        return TypicalError(operation);
    }
    for (const Fault& fault : m.faults) {
        bool any = fault.operation.empty();
        std::uint64_t position = any ? number : nth;
        if ((any || fault.operation == operation) && position >= fault.first &&
            position <= fault.last) {
            ++m.injected;
            return fault.error != 0 ? fault.error : TypicalError(operation);
        }
    }
    return std::nullopt;
}

void Note(const char* operation, const std::string& detail) {
    M().events.push_back({Current().id, operation, detail});
}

std::string Upper(const std::string& text) {
    std::string upper = text;
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return upper;
}

bool SameName(const std::string& a, const std::string& b) { return Upper(a) == Upper(b); }

std::string Quoted(const char* text) {
    return text == nullptr ? std::string("NULL") : "\"" + std::string(text) + "\"";
}

static void TrackHandles(int delta) { M().accounting.openHandles += delta; }

static HANDLE NewHandle(const ProcessHandle& object) {
    Machine& m = M();
    HANDLE handle = reinterpret_cast<HANDLE>(m.nextHandle += 4);
    m.handles[handle] = object;
    TrackHandles(1);
    return handle;
}

static std::string ProgramPath(const std::string& commandLine) {
    if (!commandLine.empty() && commandLine[0] == '"') {
        std::size_t close = commandLine.find('"', 1);
        return commandLine.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    }
    return commandLine.substr(0, commandLine.find_first_of(" \t"));
}

static bool FileExists(const std::string& path) {
    const auto& files = M().files;
    return std::any_of(files.begin(), files.end(),
                       [&](const std::string& f) { return SameName(f, path); });
}

static int RunProcess(const std::string& commandLine, bool underWow64, int parent,
                      int* id = nullptr) {
    Machine& m = M();
    auto process = std::make_unique<Process>();
    process->id = static_cast<int>(m.allProcesses.size()) + 1;
    process->commandLine.assign(commandLine.begin(), commandLine.end());
    process->commandLine.push_back('\0');
    process->underWow64 = underWow64;
    process->currentDirectory =
        m.running.empty() ? m.startDirectory : m.running.back()->currentDirectory;
    if (!m.running.empty()) {
        process->environment = m.running.back()->environment;
    }
    Process* raw = process.get();
    if (id != nullptr) {
        *id = raw->id;
    }
    m.allProcesses.push_back(std::move(process));
    std::size_t record = m.processRecords.size();
    m.processRecords.push_back({raw->id, parent, commandLine, underWow64, raw->environment, 0});

    m.running.push_back(raw);
    if (m.image.startup != nullptr) {
        m.image.startup();
    }
    std::string argument = MinGwArgument(commandLine);
    std::vector<char> mingwTail(argument.begin(), argument.end());
    mingwTail.push_back('\0');
    int exitCode = m.image.entry != nullptr
                       ? m.image.entry(reinterpret_cast<HINSTANCE>(std::uintptr_t{0x400000}),
                                       nullptr, mingwTail.data(), SW_SHOWDEFAULT)
                       : -1;
    m.running.pop_back();
    m.processRecords[record].exitCode = exitCode;
    return exitCode;
}

}  // namespace sim::detail

using namespace sim;
using namespace sim::detail;

namespace sim {

void Reset() {
    Machine& m = M();
    for (auto& [block, size] : m.heap) {
        std::free(block);
    }
    m = Machine();
    ResetRegistry();
}

std::string UpperCaseName(const std::string& name) { return Upper(name); }

void BeforeCall(std::uint64_t n, std::function<void()> change) {
    M().interferenceAt = n;
    M().interference = std::move(change);
}

void QueueUpdateOutcome(const UpdateOutcome& outcome) { M().queuedOutcomes.push_back(outcome); }
void SetDefaultUpdateOutcome(const UpdateOutcome& outcome) { M().defaultOutcome = outcome; }
const std::vector<UpdateCall>& UpdateCalls() { return M().updateCalls; }

void SetCurrentDirectory(const std::string& directory) {
    M().startDirectory = directory;
    for (Process* p : M().running) {
        p->currentDirectory = directory;
    }
}
void SetWindowsDirectory(const std::string& directory) { M().windowsDirectory = directory; }
void SetSystemDirectory(const std::string& directory) { M().systemDirectory = directory; }
void SetNewdev(bool present, bool exportsUpdate) {
    M().newdevPresent = present;
    M().newdevExportsUpdate = exportsUpdate;
}
void SetHasDllSearchFunctions(bool has) { M().hasDllSearchFunctions = has; }
const std::vector<LoadLibraryCall>& LoadLibraryCalls() { return M().loadLibraryCalls; }
void AddFile(const std::string& path) { M().files.push_back(path); }
void SetLeadByteRanges(const std::vector<std::pair<BYTE, BYTE>>& ranges) {
    M().leadBytes = ranges;
}

void SetProgramImage(const ProgramImage& image) { M().image = image; }
void SetHasIsWow64Process(bool has) { M().hasIsWow64Process = has; }
void SetStartedProcessesUnderWow64(bool underWow64) { M().startedUnderWow64 = underWow64; }

// What a process held goes back to the system when it ends, however it ends.
static void ReleaseWhatProcessesHeld() {
    Machine& m = M();
    m.running.clear();
    for (auto it = m.keys.begin(); it != m.keys.end();) {
        it = it->first == HKEY_LOCAL_MACHINE ? std::next(it) : m.keys.erase(it);
    }
    m.handles.clear();
    for (auto& [block, size] : m.heap) {
        std::free(block);
    }
    m.heap.clear();
    m.loadedModules.clear();
    Accounting& a = m.accounting;
    a.openKeys = a.openHandles = a.heapBlocks = a.loadedModules = 0;
}

int RunProgram(const std::string& commandLine, bool underWow64) {
    try {
        return RunProcess(commandLine, underWow64, 0);
    } catch (const ProcessesEnd&) {
        ReleaseWhatProcessesHeld();
        return ENDED_EXIT_CODE;
    }
}

void EndProcessesAt(std::uint64_t n) { M().endAt = n; }
bool ProcessesEnded() { return M().ended; }

std::string MinGwArgument(const std::string& commandLine) {
    const signed char* p = reinterpret_cast<const signed char*>(commandLine.c_str());
    if (*p == '"') {
        ++p;
        while (*p != 0 && *p != '"') {
            ++p;
        }
        if (*p == '"') {
            ++p;
        }
    } else {
        while (*p > ' ') {
            ++p;
        }
    }
    while (*p != 0 && *p <= ' ') {
        ++p;
    }
    return reinterpret_cast<const char*>(p);
}

const std::vector<ProcessRecord>& Processes() { return M().processRecords; }
const std::vector<CreateProcessCall>& CreateProcessCalls() { return M().createCalls; }

void SetMessageBoxAnswer(int answer) { M().boxAnswer = answer; }
void SetWindowStationVisible(bool visible) { M().stationVisible = visible; }
void SetSession(DWORD session) { M().session = session; }
void SetWindowsVersion(BYTE major, BYTE minor) {
    M().versionMajor = major;
    M().versionMinor = minor;
}
const std::vector<MessageBoxShown>& MessageBoxes() { return M().boxes; }

const std::vector<Event>& Events() { return M().events; }
std::uint64_t CallCount() { return M().calls; }

void FailCall(std::uint64_t n, DWORD error, bool persistent) {
    M().faults.push_back({"", n, persistent ? UINT64_MAX : n, error});
}

void FailOperation(const std::string& operation, DWORD error, int nth, int count) {
    std::uint64_t first = static_cast<std::uint64_t>(nth);
    std::uint64_t last = count < 0 ? UINT64_MAX : first + static_cast<std::uint64_t>(count) - 1;
    M().faults.push_back({operation, first, last, error});
}

DWORD TypicalError(const std::string& operation) {
    static const std::map<std::string, DWORD> errors = {
        {"RegOpenKeyA", ERROR_ACCESS_DENIED},
        {"RegQueryInfoKeyA", ERROR_ACCESS_DENIED},
        {"RegEnumKeyA", ERROR_MORE_DATA},
        {"RegQueryValueExA", ERROR_MORE_DATA},
        {"RegGetKeySecurity", ERROR_ACCESS_DENIED},
        {"RegSetKeySecurity", ERROR_ACCESS_DENIED},
        {"RegDeleteKeyA", ERROR_ACCESS_DENIED},
        {"RegCloseKey", ERROR_INVALID_HANDLE},
        {"HeapAlloc", ERROR_NOT_ENOUGH_MEMORY},
        {"CreateProcessA", ERROR_FILE_NOT_FOUND},
        {"GetCurrentDirectoryA", ERROR_FILE_NOT_FOUND},
        {"MessageBoxA", ERROR_INVALID_WINDOW_HANDLE},
        {"GetModuleHandleA", ERROR_MOD_NOT_FOUND},
        {"GetProcAddress", ERROR_PROC_NOT_FOUND},
        {"GetSystemDirectoryA", ERROR_NOT_ENOUGH_MEMORY},
        {"LoadLibraryExA", ERROR_MOD_NOT_FOUND},
        {"FreeLibrary", ERROR_INVALID_HANDLE},
        {"GetEnvironmentVariableA", ERROR_NOT_ENOUGH_MEMORY},
        {"SetEnvironmentVariableA", ERROR_NOT_ENOUGH_MEMORY},
        {"GetProcessWindowStation", ERROR_ACCESS_DENIED},
        {"GetUserObjectInformationA", ERROR_ACCESS_DENIED},
        {"ProcessIdToSessionId", ERROR_ACCESS_DENIED},
        {"SetDefaultDllDirectories", ERROR_INVALID_PARAMETER},
        {"SetDllDirectoryA", ERROR_INVALID_PARAMETER},
        {"InitializeAcl", ERROR_INSUFFICIENT_BUFFER},
        {"AddAccessAllowedAce", ERROR_ALLOTTED_SPACE_EXCEEDED},
        {"SetSecurityDescriptorDacl", ERROR_INVALID_SECURITY_DESCR},
        {"SetSecurityDescriptorControl", ERROR_INVALID_PARAMETER},
    };
    auto found = errors.find(operation);
    return found != errors.end() ? found->second : ERROR_ACCESS_DENIED;
}

std::uint64_t InjectedFailures() { return M().injected; }
void SetCallLimit(std::uint64_t limit) { M().callLimit = limit; }
bool CallLimitReached() { return M().callLimitReached; }
const Accounting& Resources() { return M().accounting; }

}  // namespace sim

// ---- kernel32 ----

LPSTR WINAPI GetCommandLineA(void) {
    Note("GetCommandLineA", "");
    return Current().commandLine.data();
}

BOOL WINAPI IsDBCSLeadByte(BYTE testChar) {
    for (auto [first, last] : M().leadBytes) {
        if (testChar >= first && testChar <= last) {
            return TRUE;
        }
    }
    return FALSE;
}

HMODULE WINAPI GetModuleHandleA(LPCSTR moduleName) {
    if (auto error = Enter("GetModuleHandleA", Quoted(moduleName))) {
        SetLastError(*error);
        return nullptr;
    }
    if (moduleName != nullptr &&
        (SameName(moduleName, "kernel32") || SameName(moduleName, "kernel32.dll"))) {
        return KERNEL32_MODULE;
    }
    SetLastError(126);
    return nullptr;
}

template <typename Function>
static FARPROC AsFarProc(Function function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

static BOOL WINAPI SetDefaultDllDirectories(DWORD directoryFlags) {
    if (auto error = Enter("SetDefaultDllDirectories", std::to_string(directoryFlags))) {
        SetLastError(*error);
        return FALSE;
    }
    return TRUE;
}

static BOOL WINAPI SetDllDirectoryA(LPCSTR pathName) {
    if (auto error = Enter("SetDllDirectoryA", Quoted(pathName))) {
        SetLastError(*error);
        return FALSE;
    }
    return TRUE;
}

static BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(HWND parent, LPCSTR hardwareId,
                                                      LPCSTR fullInfPath, DWORD installFlags,
                                                      PBOOL rebootRequired);

static FARPROC Kernel32Export(const std::string& name) {
    Machine& m = M();
    if (m.hasIsWow64Process && name == "IsWow64Process") {
        return AsFarProc(&IsWow64Process);
    }
    if (m.hasDllSearchFunctions && name == "SetDefaultDllDirectories") {
        return AsFarProc(&SetDefaultDllDirectories);
    }
    if (m.hasDllSearchFunctions && name == "SetDllDirectoryA") {
        return AsFarProc(&SetDllDirectoryA);
    }
    return nullptr;
}

static bool HoldsModule(HMODULE module) {
    const auto& loaded = M().loadedModules;
    return std::any_of(loaded.begin(), loaded.end(), [&](const std::pair<HMODULE, int>& entry) {
        return entry.first == module && entry.second == CurrentId();
    });
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName) {
    if (auto error = Enter("GetProcAddress", Quoted(procName))) {
        SetLastError(*error);
        return nullptr;
    }
    const std::string name = procName != nullptr ? procName : "";
    FARPROC function = nullptr;
    if (module == KERNEL32_MODULE) {
        function = Kernel32Export(name);
    } else if (module == NEWDEV_MODULE && HoldsModule(module)) {
        if (M().newdevExportsUpdate && name == "UpdateDriverForPlugAndPlayDevicesA") {
            function = AsFarProc(&UpdateDriverForPlugAndPlayDevicesA);
        }
    } else {
        Misuse("GetProcAddress on a module that is not loaded");
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (function == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
    }
    return function;
}

HANDLE WINAPI GetCurrentProcess(void) { return CURRENT_PROCESS; }

DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(CurrentId()); }

// Every process runs in the one session the machine models.
BOOL WINAPI ProcessIdToSessionId(DWORD processId, DWORD* sessionId) {
    if (auto error = Enter("ProcessIdToSessionId", std::to_string(processId))) {
        SetLastError(*error);
        return FALSE;
    }
    if (processId != static_cast<DWORD>(CurrentId()) || sessionId == nullptr) {
        Misuse("ProcessIdToSessionId without the current process and a result");
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *sessionId = M().session;
    return TRUE;
}

// Low byte the major version, the next the minor; the high word the build,
// with the top bit clear on NT.
DWORD WINAPI GetVersion(void) {
    const Machine& m = M();
    return (DWORD{7601} << 16) | (DWORD{m.versionMinor} << 8) | m.versionMajor;
}

BOOL WINAPI IsWow64Process(HANDLE process, PBOOL wow64Process) {
    if (auto error = Enter("IsWow64Process", "")) {
        SetLastError(*error);
        return FALSE;
    }
    if (process != CURRENT_PROCESS || wow64Process == nullptr) {
        Misuse("IsWow64Process without the current process and a flag");
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *wow64Process = Current().underWow64 ? TRUE : FALSE;
    return TRUE;
}

// The directory queries leave the buffer untouched and return the size
// needed, terminator included, when it is too small.
static DWORD CopyDirectory(const std::string& directory, LPSTR buffer, DWORD size) {
    if (directory.size() + 1 > size) {
        return static_cast<DWORD>(directory.size() + 1);
    }
    std::memcpy(buffer, directory.c_str(), directory.size() + 1);
    return static_cast<DWORD>(directory.size());
}

DWORD WINAPI GetCurrentDirectoryA(DWORD bufferLength, LPSTR buffer) {
    if (auto error = Enter("GetCurrentDirectoryA", std::to_string(bufferLength))) {
        SetLastError(*error);
        return 0;
    }
    if (buffer == nullptr && bufferLength != 0) {
        Misuse("GetCurrentDirectoryA without a buffer");
        return 0;
    }
    return CopyDirectory(Current().currentDirectory, buffer, bufferLength);
}

UINT WINAPI GetWindowsDirectoryA(LPSTR buffer, UINT size) {
    if (auto error = Enter("GetWindowsDirectoryA", std::to_string(size))) {
        SetLastError(*error);
        return 0;
    }
    return CopyDirectory(M().windowsDirectory, buffer, size);
}

UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size) {
    if (auto error = Enter("GetSystemDirectoryA", std::to_string(size))) {
        SetLastError(*error);
        return 0;
    }
    return CopyDirectory(M().systemDirectory, buffer, size);
}

// The LOAD_LIBRARY_SEARCH_* flags exist only where SetDefaultDllDirectories
// does (XP, and Vista and 7 without the update, refuse them), and never go
// with the altered search order.
static bool LoadFlagsAccepted(DWORD flags) {
    constexpr DWORD SEARCH_FLAGS = 0x0000FF00u;
    if ((flags & SEARCH_FLAGS) == 0) {
        return true;
    }
    return M().hasDllSearchFunctions && (flags & LOAD_WITH_ALTERED_SEARCH_PATH) == 0;
}

// Only a full path to the system directory's newdev.dll loads it; any other
// name is what a planted copy would be found by, and finds nothing here.
HMODULE WINAPI LoadLibraryExA(LPCSTR fileName, HANDLE file, DWORD flags) {
    Machine& m = M();
    auto error = Enter("LoadLibraryExA", Quoted(fileName));
    m.loadLibraryCalls.push_back(
        {CurrentId(), fileName != nullptr ? fileName : "", file != nullptr, flags});
    if (error) {
        SetLastError(*error);
        return nullptr;
    }
    if (fileName == nullptr || file != nullptr || !LoadFlagsAccepted(flags)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!m.newdevPresent || !SameName(fileName, m.systemDirectory + "\\newdev.dll")) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    m.loadedModules.push_back({NEWDEV_MODULE, CurrentId()});
    m.accounting.loadedModules += 1;
    return NEWDEV_MODULE;
}

BOOL WINAPI FreeLibrary(HMODULE module) {
    Machine& m = M();
    auto error = Enter("FreeLibrary", "");
    auto& loaded = m.loadedModules;
    auto found = std::find(loaded.begin(), loaded.end(), std::make_pair(module, CurrentId()));
    if (found == loaded.end()) {
        Misuse("FreeLibrary of a module that is not loaded");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // A failed release still drops the reference, as Windows does.
    loaded.erase(found);
    m.accounting.loadedModules -= 1;
    if (error) {
        SetLastError(*error);
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
    if (auto error = Enter("GetEnvironmentVariableA", Quoted(name))) {
        SetLastError(*error);
        return 0;
    }
    const auto& environment = Current().environment;
    auto found = environment.find(Upper(name != nullptr ? name : ""));
    if (found == environment.end()) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    const std::string& value = found->second;
    if (buffer == nullptr || value.size() + 1 > size) {
        return static_cast<DWORD>(value.size() + 1);
    }
    std::memcpy(buffer, value.c_str(), value.size() + 1);
    return static_cast<DWORD>(value.size());
}

BOOL WINAPI SetEnvironmentVariableA(LPCSTR name, LPCSTR value) {
    if (auto error = Enter("SetEnvironmentVariableA",
                           Quoted(name) + "=" + Quoted(value))) {
        SetLastError(*error);
        return FALSE;
    }
    auto& environment = Current().environment;
    if (value == nullptr) {
        environment.erase(Upper(name));
    } else {
        environment[Upper(name)] = value;
    }
    return TRUE;
}

DWORD WINAPI GetLastError(void) { return Current().lastError; }
void WINAPI SetLastError(DWORD errorCode) { Current().lastError = errorCode; }

static bool StartupRecordZeroBesidesSize(const STARTUPINFOA* startup) {
    STARTUPINFOA zero = {};
    zero.cb = startup->cb;
    return std::memcmp(&zero, startup, sizeof zero) == 0;
}

BOOL WINAPI CreateProcessA(LPCSTR applicationName, LPSTR commandLine,
                           LPSECURITY_ATTRIBUTES processAttributes,
                           LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                           DWORD creationFlags, LPVOID environment, LPCSTR currentDirectory,
                           LPSTARTUPINFOA startupInfo,
                           LPPROCESS_INFORMATION processInformation) {
    Machine& m = M();
    auto error = Enter("CreateProcessA", Quoted(commandLine));
    CreateProcessCall call;
    call.process = CurrentId();
    call.commandLine = commandLine != nullptr ? commandLine : "";
    call.hasApplicationName = applicationName != nullptr;
    call.hasAttributes = processAttributes != nullptr || threadAttributes != nullptr;
    call.inheritHandles = inheritHandles;
    call.creationFlags = creationFlags;
    call.hasEnvironment = environment != nullptr;
    call.hasCurrentDirectory = currentDirectory != nullptr;
    call.startupRecordZeroBesidesSize =
        startupInfo != nullptr && StartupRecordZeroBesidesSize(startupInfo);
    m.createCalls.push_back(call);
    if (error) {
        SetLastError(*error);
        return FALSE;
    }
    if (commandLine == nullptr || startupInfo == nullptr || processInformation == nullptr ||
        startupInfo->cb != sizeof(STARTUPINFOA)) {
        Misuse("CreateProcessA with missing or malformed records");
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string line = commandLine;
    std::string path = applicationName != nullptr ? applicationName : ProgramPath(line);
    if (!FileExists(path)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (static_cast<int>(m.running.size()) >= PROCESS_CHAIN_LIMIT) {
        Misuse("a chain of " + std::to_string(PROCESS_CHAIN_LIMIT) +
               " processes, each started by the one before: a relaunch that does not end");
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    m.createCalls.back().started = true;
    int parent = CurrentId();
    int child = 0;
    int exitCode = RunProcess(line, m.startedUnderWow64, parent, &child);
    processInformation->hProcess = NewHandle({false, child, exitCode});
    processInformation->hThread = NewHandle({true, child, exitCode});
    processInformation->dwProcessId = static_cast<DWORD>(child);
    processInformation->dwThreadId = static_cast<DWORD>(child) + 1000;
    return TRUE;
}

// The simulated child has run to its end inside CreateProcessA, so the wait
// returns at once.
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    if (auto error = Enter("WaitForSingleObject", std::to_string(milliseconds))) {
        SetLastError(*error);
        return WAIT_FAILED;
    }
    if (M().handles.count(handle) == 0) {
        Misuse("WaitForSingleObject on an unknown handle");
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return WAIT_OBJECT_0;
}

BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
    if (auto error = Enter("GetExitCodeProcess", "")) {
        SetLastError(*error);
        return FALSE;
    }
    auto found = M().handles.find(process);
    if (found == M().handles.end() || found->second.isThread || exitCode == nullptr) {
        Misuse("GetExitCodeProcess without a process handle");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *exitCode = static_cast<DWORD>(found->second.exitCode);
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE object) {
    auto error = Enter("CloseHandle", "");
    if (object == CURRENT_PROCESS) {
        return TRUE;
    }
    auto found = M().handles.find(object);
    if (found == M().handles.end()) {
        Misuse("CloseHandle on an unknown handle");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // A failed close still releases the handle, as Windows does.
    M().handles.erase(found);
    TrackHandles(-1);
    if (error) {
        SetLastError(*error);
        return FALSE;
    }
    return TRUE;
}

HANDLE WINAPI GetProcessHeap(void) { return PROCESS_HEAP; }

LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    Machine& m = M();
    if (auto error = Enter("HeapAlloc", std::to_string(bytes))) {
        return nullptr;
    }
    if (heap != PROCESS_HEAP || (flags & ~HEAP_ZERO_MEMORY) != 0) {
        Misuse("HeapAlloc on an unknown heap or with unknown flags");
        return nullptr;
    }
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    // A block that is not asked to be zeroed holds garbage, as on Windows.
    std::memset(block, (flags & HEAP_ZERO_MEMORY) != 0 ? 0 : 0xCD, bytes == 0 ? 1 : bytes);
    m.heap[block] = bytes;
    m.accounting.heapBlocks += 1;
    m.accounting.peakHeapBlocks = std::max(m.accounting.peakHeapBlocks, m.accounting.heapBlocks);
    return block;
}

BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID memory) {
    Machine& m = M();
    auto error = Enter("HeapFree", "");
    if (memory == nullptr) {
        return TRUE;
    }
    auto found = m.heap.find(memory);
    if (heap != PROCESS_HEAP || flags != 0 || found == m.heap.end()) {
        Misuse("HeapFree of a block that is not allocated");
        return FALSE;
    }
    std::memset(memory, 0xDD, found->second == 0 ? 1 : found->second);
    std::free(memory);
    m.heap.erase(found);
    m.accounting.heapBlocks -= 1;
    return error ? FALSE : TRUE;
}

// ---- user32 ----

// Session 0 on Vista or later: the services', which nobody sees.
static bool InServicesSession(const Machine& m) { return m.session == 0 && m.versionMajor >= 6; }

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    Machine& m = M();
    auto error = Enter("MessageBoxA", Quoted(text));
    m.boxes.push_back({CurrentId(), owner != nullptr, text != nullptr ? text : "",
                       caption != nullptr ? caption : "", type, m.stationVisible,
                       InServicesSession(m)});
    if (error) {
        SetLastError(*error);
        return 0;
    }
    return m.boxAnswer;
}

// Every process runs on the one station the machine models.
HWINSTA WINAPI GetProcessWindowStation(void) {
    if (auto error = Enter("GetProcessWindowStation", "")) {
        SetLastError(*error);
        return nullptr;
    }
    return PROCESS_STATION;
}

BOOL WINAPI GetUserObjectInformationA(HANDLE object, int index, LPVOID information,
                                      DWORD length, LPDWORD lengthNeeded) {
    if (auto error = Enter("GetUserObjectInformationA", std::to_string(index))) {
        SetLastError(*error);
        return FALSE;
    }
    if (object != reinterpret_cast<HANDLE>(PROCESS_STATION) || index != UOI_FLAGS) {
        Misuse("GetUserObjectInformationA without the station and UOI_FLAGS");
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (lengthNeeded != nullptr) {
        *lengthNeeded = sizeof(USEROBJECTFLAGS);
    }
    if (information == nullptr || length < sizeof(USEROBJECTFLAGS)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    USEROBJECTFLAGS flags = {};
    flags.dwFlags = M().stationVisible ? WSF_VISIBLE : 0;
    std::memcpy(information, &flags, sizeof flags);
    return TRUE;
}

// ---- newdev ----

static BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(HWND parent, LPCSTR hardwareId,
                                                      LPCSTR fullInfPath, DWORD installFlags,
                                                      PBOOL rebootRequired) {
    Machine& m = M();
    auto error = Enter("UpdateDriverForPlugAndPlayDevicesA", Quoted(hardwareId));
    m.updateCalls.push_back({CurrentId(), parent != nullptr, hardwareId ? hardwareId : "",
                             fullInfPath ? fullInfPath : "", installFlags,
                             rebootRequired != nullptr,
                             m.stationVisible && !InServicesSession(m)});
    if (error) {
        SetLastError(*error);
        return FALSE;
    }
    if (hardwareId == nullptr || fullInfPath == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if ((installFlags & ~DWORD{INSTALLFLAG_FORCE | INSTALLFLAG_READONLY |
                               INSTALLFLAG_NONINTERACTIVE}) != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return FALSE;
    }
    UpdateOutcome outcome = m.defaultOutcome;
    if (!m.queuedOutcomes.empty()) {
        outcome = m.queuedOutcomes.front();
        m.queuedOutcomes.pop_front();
    }
    if (outcome.result && rebootRequired != nullptr) {
        *rebootRequired = outcome.rebootRequired;
    }
    SetLastError(outcome.lastError);
    return outcome.result;
}
