#include "install.h"

#include "../platform/text.h"

// newdev.dll is not one of Windows' known DLLs: imported or loaded by name,
// it would be looked for in the program's own folder first, where anyone who
// can write there could plant one to run with administrator rights. It is
// loaded by its full path instead, and the altered search order has its own
// dependencies looked for beside it, in the system directory, too.
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
    HMODULE newdev = LoadLibraryExA(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
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
