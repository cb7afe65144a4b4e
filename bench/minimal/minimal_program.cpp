// A Windows program that only returns: the baseline for the installer's size
// and start-up cost. It imports the same DLLs through calls that never run
// (newdev.dll is loaded at run time, never imported).
#include "../../platform/platform.h"

static volatile int neverTrue = 0;

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    if (neverTrue) {
        MessageBoxA(NULL, "", "", MB_OK);
        RegCloseKey(HKEY_LOCAL_MACHINE);
    }
    return 0;
}
