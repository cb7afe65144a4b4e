#include "sweep.h"

#include "../platform/heap.h"
#include "../platform/text.h"

static const char ENUM_PATH[] = "System\\CurrentControlSet\\Enum\\";
static const char DRIVER_SERVICE[] = "TALMERIX";
static const DWORD SERVICE_VALUE_SIZE = 256;

enum InstanceVerdict {
    INSTANCE_SERVED,
    INSTANCE_FOREIGN,
    INSTANCE_UNJUDGED,  // its "Service" value could not be read: keep it
    INSTANCE_GONE,      // removed by someone else since it was listed
    INSTANCE_UNOPENED
};

// Only an ID of exactly two non-empty components names a device key: device
// keys sit at enumerator\device below Enum. A bare bus name ("USB") or an
// empty component would put the sweep on a key that holds other devices, or
// on Enum itself; a third component (an instance path given by mistake) on
// one device's own subkeys, which have no "Service" value.
static int NamesDeviceKey(const char* hardwareId) {
    int components = 1;
    char previous = '\\';
    for (const char* p = hardwareId; *p != '\0'; ++p) {
        if (*p == '\\') {
            if (previous == '\\') {
                return 0;
            }
            ++components;
        }
        previous = *p;
    }
    return previous != '\\' && components == 2;
}

static int FormatDeviceKeyPath(const char* hardwareId, char* path, size_t size) {
    if (!NamesDeviceKey(hardwareId)) {
        return 0;
    }
    TextBuffer buffer = MakeTextBuffer(path, size);
    return AppendText(&buffer, ENUM_PATH) && AppendText(&buffer, hardwareId);
}

// Upper-cases and compares only the bytes the query returned, up to the
// first zero among them.
static int NamesDriverService(BYTE* data, DWORD size) {
    if (size > SERVICE_VALUE_SIZE) {
        size = SERVICE_VALUE_SIZE;
    }
    DWORD length = 0;
    while (length < size && data[length] != 0) {
        if (data[length] >= 'a' && data[length] <= 'z') {
            data[length] = (BYTE)(data[length] - 'a' + 'A');
        }
        ++length;
    }
    if (length != sizeof DRIVER_SERVICE - 1) {
        return 0;
    }
    for (DWORD i = 0; i < length; ++i) {
        if (data[i] != (BYTE)DRIVER_SERVICE[i]) {
            return 0;
        }
    }
    return 1;
}

// Only an answer about the value judges an instance: none there, or one too
// long for the buffer, makes it foreign. A query refused for any other
// reason (access, memory) says nothing about the service, so the instance,
// which may well be served, is kept.
//
// A foreign instance's key is handed back open, so that the key removed is
// the very one judged, and without a second open.
static int JudgeInstance(HKEY deviceKey, const char* name, HKEY* foreignKey) {
    HKEY instanceKey;
    LONG opened = RegOpenKeyA(deviceKey, name, &instanceKey);
    if (opened != ERROR_SUCCESS) {
        return IsGone(opened) ? INSTANCE_GONE : INSTANCE_UNOPENED;
    }
    int verdict = INSTANCE_UNJUDGED;
    BYTE* value = (BYTE*)AllocateBlock(SERVICE_VALUE_SIZE);
    if (value != NULL) {
        DWORD size = SERVICE_VALUE_SIZE;
        LONG queried = RegQueryValueExA(instanceKey, "Service", NULL, NULL, value, &size);
        if (queried == ERROR_SUCCESS) {
            verdict = NamesDriverService(value, size) ? INSTANCE_SERVED : INSTANCE_FOREIGN;
        } else if (queried == ERROR_FILE_NOT_FOUND || queried == ERROR_MORE_DATA) {
            verdict = INSTANCE_FOREIGN;
        } else if (queried == ERROR_KEY_DELETED) {
            verdict = INSTANCE_GONE;
        }
        FreeBlock(value);
    }
    if (verdict == INSTANCE_FOREIGN) {
        *foreignKey = instanceKey;
    } else {
        RegCloseKey(instanceKey);
    }
    return verdict;
}

// The subkey count is read once. A removed instance, or one that someone
// else removed meanwhile, lets the next one move down to the same index; a
// kept one is stepped over. Other processes may change the device key while
// the walk runs (another copy of this program, a device coming or going), so
// the walk ends when the key runs out of instances, not when the counted
// number is reached, and is bounded by MostSubkeyVisits.
static void SweepInstances(HKEY deviceKey, const KeyInfo* info, AdminOnlyAccess* access) {
    DWORD nameLength = SubkeyNameBufferLength(info);
    char* name = nameLength != 0 ? (char*)AllocateBlock(nameLength) : NULL;
    if (name == NULL) {
        return;
    }
    const unsigned long long mostJudgements = MostSubkeyVisits(info);
    DWORD index = 0;
    for (unsigned long long judged = 0; judged < mostJudgements; ++judged) {
        LONG enumerated = RegEnumKeyA(deviceKey, index, name, nameLength);
        if (enumerated == ERROR_MORE_DATA) {
            // Every name counted at the start fits, so this instance appeared
            // during the walk; it need not be judged.
            ++index;
            continue;
        }
        if (enumerated != ERROR_SUCCESS) {
            break;
        }
        HKEY foreignKey = NULL;
        int verdict = JudgeInstance(deviceKey, name, &foreignKey);
        if (verdict == INSTANCE_UNOPENED) {
            break;
        }
        if (verdict == INSTANCE_GONE) {
            continue;
        }
        if (verdict == INSTANCE_FOREIGN &&
            DeleteOpenKeyTree(deviceKey, name, foreignKey, access) == KEY_REMOVED) {
            continue;
        }
        ++index;
    }
    FreeBlock(name);
}

void RemoveStaleInstances(const char* hardwareId) {
    char devicePath[1024];
    if (!FormatDeviceKeyPath(hardwareId, devicePath, sizeof devicePath)) {
        return;
    }
    HKEY deviceKey;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, devicePath, &deviceKey) != ERROR_SUCCESS) {
        return;
    }
    KeyInfo info;
    if (QueryKeyInfo(deviceKey, &info) == ERROR_SUCCESS) {
        AdminOnlyAccess access;
        BuildAdminOnlyAccess(&access);
        SweepInstances(deviceKey, &info, &access);
    }
    RegCloseKey(deviceKey);
}
