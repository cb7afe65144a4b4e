// Creates present device instances through Wine's own setupapi, the way a
// bus driver would register them, so that the unmodified program's driver
// update has devices to install on.
//
// usage: mkdevice.exe <hardware ID> <instance name>...
// Each instance becomes <hardware ID>\<instance name> (Wine upper-cases the
// name) in the HID class, with the hardware ID as its only hardware ID.
// Prints the instance IDs it registered; returns 1 if any step failed.
#include <windows.h>
#include <setupapi.h>
#include <stdio.h>
#include <string.h>

enum { ID_SIZE = 1024 };

// The HID class, which the test INF installs into as well.
static const GUID HID_CLASS = {
    0x745a17a0, 0x74d3, 0x11d0, {0xb6, 0xfe, 0x00, 0xa0, 0xc9, 0x0f, 0x57, 0xda}};

static int RegisterInstance(HDEVINFO set, const char* hardwareId, const char* name) {
    char instanceId[ID_SIZE];
    char hardwareIds[ID_SIZE + 2];
    size_t idLength = strlen(hardwareId);
    if ((size_t)snprintf(instanceId, sizeof instanceId, "%s\\%s", hardwareId, name) >=
            sizeof instanceId ||
        idLength + 2 > sizeof hardwareIds) {
        fprintf(stderr, "mkdevice: %s is too long\n", name);
        return 0;
    }
    memcpy(hardwareIds, hardwareId, idLength + 1);
    hardwareIds[idLength + 1] = '\0';  // a list of one: doubly terminated

    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    if (!SetupDiCreateDeviceInfoA(set, instanceId, &HID_CLASS, NULL, NULL, 0, &device)) {
        fprintf(stderr, "mkdevice: creating %s failed: %lu\n", instanceId, GetLastError());
        return 0;
    }
    if (!SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID,
                                           (const BYTE*)hardwareIds,
                                           (DWORD)(idLength + 2))) {
        fprintf(stderr, "mkdevice: hardware ID of %s: %lu\n", instanceId, GetLastError());
        return 0;
    }
    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
        fprintf(stderr, "mkdevice: registering %s failed: %lu\n", instanceId, GetLastError());
        return 0;
    }
    char registered[ID_SIZE];
    if (SetupDiGetDeviceInstanceIdA(set, &device, registered, sizeof registered, NULL)) {
        printf("%s\n", registered);
    }
    return 1;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: mkdevice.exe <hardware ID> <instance name>...\n");
        return 2;
    }
    HDEVINFO set = SetupDiCreateDeviceInfoList(&HID_CLASS, NULL);
    if (set == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "mkdevice: no device list: %lu\n", GetLastError());
        return 1;
    }
    int failures = 0;
    for (int i = 2; i < argc; ++i) {
        failures += !RegisterInstance(set, argv[1], argv[i]);
    }
    SetupDiDestroyDeviceInfoList(set);
    return failures != 0;
}
