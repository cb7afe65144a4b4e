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

void ShowNotice(const char* text, const char* caption) {
    if (WindowStationIsVisible()) {
        MessageBoxA(NULL, text, caption, MB_OK);
    }
}
