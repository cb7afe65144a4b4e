#include "services.h"

FARPROC KernelFunction(const char* name) {
    HMODULE kernel32 = GetModuleHandleA("kernel32");
    return kernel32 != NULL ? GetProcAddress(kernel32, name) : NULL;
}

// The station handle belongs to the process and is not closed.
int WindowStationIsVisible(void) {
    HWINSTA station = GetProcessWindowStation();
    USEROBJECTFLAGS flags = {};
    DWORD needed = 0;
    if (station == NULL ||
        !GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags, &needed)) {
        return 1;
    }
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

int RunsInServicesSession(void) {
    DWORD session = 0;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &session) || session != 0) {
        return 0;
    }
    const DWORD major = LOBYTE(LOWORD(GetVersion()));
    return major >= 6;
}

int SomeoneCanAnswer(void) {
    return !RunsInServicesSession() && WindowStationIsVisible();
}

void ShowNotice(const char* text, const char* caption) {
    if (SomeoneCanAnswer()) {
        MessageBoxA(NULL, text, caption, MB_OK);
    }
}
