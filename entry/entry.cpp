#include "entry.h"

#include "../install/install.h"
#include "../platform/services.h"

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFunction)(DWORD directoryFlags);
typedef BOOL(WINAPI* SetDllDirectoryFunction)(LPCSTR pathName);

// Setups start this program elevated from folders that other users may
// write to. Windows 8 and later (and Vista and 7 with the update that adds
// it) can keep every later load, also those that system DLLs make for a
// message box or the driver install, to the system directory; where that is
// missing, at least the current directory leaves the search. Absence of
// either is no error.
void RestrictDllSearch(void) {
    SetDefaultDllDirectoriesFunction setDefaultDirectories =
        (SetDefaultDllDirectoriesFunction)(void (*)(void))KernelFunction(
            "SetDefaultDllDirectories");
    if (setDefaultDirectories != NULL) {
        setDefaultDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    SetDllDirectoryFunction setDirectory =
        (SetDllDirectoryFunction)(void (*)(void))KernelFunction("SetDllDirectoryA");
    if (setDirectory != NULL) {
        setDirectory("");
    }
}

#if QUORIN_X86_BUILD

int RunInstaller(const char* argumentString) {
    ShowNotice("UpdateDriver 32Bit", "Debug");
    return InstallDriverWithFallback(argumentString);
}

#else

IsWow64ProcessFunction LookUpIsWow64Process(void) {
    return (IsWow64ProcessFunction)(void (*)(void))KernelFunction("IsWow64Process");
}

IsWow64ProcessFunction pfnIsWow64Process = LookUpIsWow64Process();

int IsRunningUnderWow64(void) {
    if (pfnIsWow64Process == NULL) {
        return 0;
    }
    BOOL underWow64 = 0;
    pfnIsWow64Process(GetCurrentProcess(), &underWow64);
    return underWow64;
}

// Under WOW64 a relaunch would start this same program again, and a copy
// that a relaunch started must not start another: there the plain variant
// answers ERROR_IN_WOW64 itself.
int RunInstaller(const char* argumentString) {
    return IsRunningUnderWow64() || IsRelaunchedCopy() ? InstallDriver(argumentString)
                                                       : InstallDriverWithFallback(argumentString);
}

#endif

// The argument MinGW's start-up code hands over is cut with signed bytes;
// the command line is cut here instead, by the unsigned rule.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    RestrictDllSearch();
    return RunInstaller(ArgumentStringFromCommandLine(GetCommandLineA()));
}
