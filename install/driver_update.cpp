#include "install.h"

#include "../platform/services.h"
#include "../platform/text.h"

// Where Windows has SetDefaultDllDirectories it also takes the flags that
// keep a DLL's own dependencies to the system directory; elsewhere (XP, and
// Vista and 7 without the update) those flags are refused, and the altered
// search order looks beside the DLL, in the system directory, first.
static DWORD NewdevLoadFlags(void) {
    return KernelFunction("SetDefaultDllDirectories") != NULL ? LOAD_LIBRARY_SEARCH_SYSTEM32
                                                              : LOAD_WITH_ALTERED_SEARCH_PATH;
}

// newdev.dll is not one of Windows' known DLLs: imported or loaded by name,
// it would be looked for in the program's own folder first, where anyone who
// can write there could plant one to run with administrator rights. It is
// loaded by its full path instead.
void LoadDriverUpdate(DriverUpdate* driverUpdate) {
    driverUpdate->newdev = NULL;
    driverUpdate->update = NULL;
    driverUpdate->loadTried = 1;
    char path[TEXT_FIELD_SIZE];
    UINT length = GetSystemDirectoryA(path, TEXT_FIELD_SIZE);
    if (length == 0 || length >= TEXT_FIELD_SIZE) {
        return;
    }
    TextBuffer buffer = {path, TEXT_FIELD_SIZE, length};
    if (!AppendText(&buffer, "\\newdev.dll")) {
        return;
    }
    HMODULE newdev = LoadLibraryExA(path, NULL, NewdevLoadFlags());
    if (newdev == NULL) {
        return;
    }
    FARPROC update = GetProcAddress(newdev, "UpdateDriverForPlugAndPlayDevicesA");
    if (update == NULL) {
        FreeLibrary(newdev);
        return;
    }
    driverUpdate->newdev = newdev;
    driverUpdate->update = (UpdateDriverFunction)(void (*)(void))update;
}

void UnloadDriverUpdate(DriverUpdate* driverUpdate) {
    if (driverUpdate->newdev != NULL) {
        FreeLibrary(driverUpdate->newdev);
    }
    driverUpdate->newdev = NULL;
    driverUpdate->update = NULL;
}
