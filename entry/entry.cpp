#include "entry.h"

#include "../install/install.h"

#if QUORIN_X86_BUILD

int RunInstaller(const char* argumentString) {
    MessageBoxA(NULL, "UpdateDriver 32Bit", "Debug", MB_OK);
    return InstallDriverWithFallback(argumentString);
}

#else

IsWow64ProcessFunction LookUpIsWow64Process(void) {
    HMODULE kernel32 = GetModuleHandleA("kernel32");
    if (kernel32 == NULL) {
        return NULL;
    }
    FARPROC function = GetProcAddress(kernel32, "IsWow64Process");
    return (IsWow64ProcessFunction)(void (*)(void))function;
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

// Under WOW64 a relaunch would start this same program again, so the plain
// variant answers ERROR_IN_WOW64 itself.
int RunInstaller(const char* argumentString) {
    return IsRunningUnderWow64() ? InstallDriver(argumentString)
                                 : InstallDriverWithFallback(argumentString);
}

#endif

// The argument MinGW's start-up code hands over is cut with signed bytes;
// the command line is cut here instead, by the unsigned rule.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    return RunInstaller(ArgumentStringFromCommandLine(GetCommandLineA()));
}
