// A Windows program that only returns: the baseline for the installer's size
// and start-up cost. It imports the same DLLs through calls that never run.
#include "../../platform/platform.h"

static volatile int neverTrue = 0;

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    if (neverTrue) {
        MessageBoxA(NULL, "", "", MB_OK);
        RegCloseKey(HKEY_LOCAL_MACHINE);
        UpdateDriverForPlugAndPlayDevicesA(NULL, "", "", INSTALLFLAG_FORCE, NULL);
    }
    return 0;
}
