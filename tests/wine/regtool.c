// Registry helper for the end-to-end tests, working below HKEY_LOCAL_MACHINE
// through the same ANSI calls the program uses, so key names with bytes
// 0x80-0xFF are seen exactly as the program sees them. Paths arrive
// hex-encoded; everything printed about keys and values is hex too.
//
//   regtool.exe dump <path hex>...   every key and value below each path:
//                                    "K <path>" and
//                                    "V <path> <name> <type> <data>", or
//                                    "missing <path>"
//   regtool.exe getsd <path hex>     the key's access list as SDDL
//   regtool.exe setsd <path hex> <SDDL>   replaces the key's access list
//   regtool.exe delete <path hex>... removes keys with their subkeys
//                                    (missing ones are fine)
//   regtool.exe nodacl <path hex>    every key below the path whose access
//                                    list is absent or NULL (open to every
//                                    account; SDDL shows it as "D:", like an
//                                    empty list): "nodacl <path>", each key
//                                    that cannot be walked: "unreadable
//                                    <path>", then "walked <keys>"
//   regtool.exe acp                  the ANSI code page
//   regtool.exe stage <INF path hex> puts a driver package into the driver
//                                    store, as another product would:
//                                    "staged <name in the INF folder>"
#include <windows.h>
#include <sddl.h>
#include <setupapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { PATH_SIZE = 4096, NAME_SIZE = 1024, DATA_SIZE = 65536 };

static int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

static int DecodeHex(const char* hex, char* text, size_t size) {
    size_t length = strlen(hex);
    if (length % 2 != 0 || length / 2 >= size) return 0;
    for (size_t i = 0; i < length / 2; ++i) {
        int high = HexValue(hex[2 * i]);
        int low = HexValue(hex[2 * i + 1]);
        if (high < 0 || low < 0) return 0;
        text[i] = (char)(high * 16 + low);
    }
    text[length / 2] = '\0';
    return 1;
}

static void PrintHex(const unsigned char* bytes, size_t count) {
    if (count == 0) {
        putchar('-');
        return;
    }
    for (size_t i = 0; i < count; ++i) printf("%02x", bytes[i]);
}

static void PrintPath(const char* path) {
    PrintHex((const unsigned char*)path, strlen(path));
}

// Calls visit on every subkey of key that opens with the given rights, with
// its path appended to path (a PATH_SIZE buffer) meanwhile; one that does
// not open is printed as unreadable.
typedef void (*KeyVisitor)(HKEY key, char* path);

static void WalkSubkeys(HKEY key, char* path, REGSAM rights, KeyVisitor visit) {
    // Shared by every level: each enumeration fills it afresh.
    static char name[NAME_SIZE];
    size_t pathLength = strlen(path);
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = sizeof name;
        if (RegEnumKeyExA(key, i, name, &nameLength, NULL, NULL, NULL, NULL) != ERROR_SUCCESS) {
            break;
        }
        if (pathLength + 1 + nameLength + 1 > PATH_SIZE) continue;
        path[pathLength] = '\\';
        memcpy(path + pathLength + 1, name, nameLength + 1);
        HKEY subkey;
        if (RegOpenKeyExA(key, name, 0, rights, &subkey) == ERROR_SUCCESS) {
            visit(subkey, path);
            RegCloseKey(subkey);
        } else {
            printf("unreadable ");
            PrintPath(path);
            printf("\n");
        }
        path[pathLength] = '\0';
    }
}

static void DumpKey(HKEY key, char* path) {
    printf("K ");
    PrintPath(path);
    printf("\n");
    static char name[NAME_SIZE];
    static unsigned char data[DATA_SIZE];
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = sizeof name;
        DWORD dataLength = sizeof data;
        DWORD type = 0;
        if (RegEnumValueA(key, i, name, &nameLength, NULL, &type, data, &dataLength) !=
            ERROR_SUCCESS) {
            break;
        }
        printf("V ");
        PrintPath(path);
        printf(" ");
        PrintHex((const unsigned char*)name, nameLength);
        printf(" %lu ", type);
        PrintHex(data, dataLength);
        printf("\n");
    }
    WalkSubkeys(key, path, KEY_READ, DumpKey);
}

static int Dump(const char* path) {
    static char walked[PATH_SIZE];
    snprintf(walked, sizeof walked, "%s", path);
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        printf("missing ");
        PrintPath(path);
        printf("\n");
        return 0;
    }
    DumpKey(key, walked);
    RegCloseKey(key);
    return 0;
}

static int GetAccessList(const char* path) {
    HKEY key;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, READ_CONTROL, &key);
    if (status != ERROR_SUCCESS) {
        printf("open-failed %ld\n", status);
        return 1;
    }
    static unsigned char descriptor[DATA_SIZE];
    DWORD length = sizeof descriptor;
    status = RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor, &length);
    RegCloseKey(key);
    char* sddl = NULL;
    if (status != ERROR_SUCCESS ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorA(
            descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &sddl, NULL)) {
        printf("read-failed %ld\n", status);
        return 1;
    }
    printf("%s\n", sddl);
    LocalFree(sddl);
    return 0;
}

static int SetAccessList(const char* path, const char* sddl) {
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1,
                                                              &descriptor, NULL)) {
        printf("bad-sddl %lu\n", GetLastError());
        return 1;
    }
    HKEY key;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, WRITE_DAC, &key);
    if (status == ERROR_SUCCESS) {
        status = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
        RegCloseKey(key);
    }
    LocalFree(descriptor);
    if (status != ERROR_SUCCESS) {
        printf("set-failed %ld\n", status);
        return 1;
    }
    return 0;
}

static unsigned long walkedKeys;

// Prints the key's path when its access list is absent or NULL, then walks
// its subkeys.
static void FindOpenKeys(HKEY key, char* path) {
    ++walkedKeys;
    static unsigned char descriptor[DATA_SIZE];
    DWORD length = sizeof descriptor;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL list = NULL;
    if (RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor, &length) !=
            ERROR_SUCCESS ||
        !GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted)) {
        printf("unreadable ");
        PrintPath(path);
        printf("\n");
    } else if (!present || list == NULL) {
        printf("nodacl ");
        PrintPath(path);
        printf("\n");
    }
    WalkSubkeys(key, path, KEY_ENUMERATE_SUB_KEYS | READ_CONTROL, FindOpenKeys);
}

static int FindOpenKeysBelow(const char* path) {
    static char walked[PATH_SIZE];
    snprintf(walked, sizeof walked, "%s", path);
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ENUMERATE_SUB_KEYS | READ_CONTROL, &key) !=
        ERROR_SUCCESS) {
        printf("missing ");
        PrintPath(path);
        printf("\n");
        return 1;
    }
    FindOpenKeys(key, walked);
    RegCloseKey(key);
    printf("walked %lu\n", walkedKeys);
    return 0;
}

static int Delete(const char* path) {
    LONG status = RegDeleteTreeA(HKEY_LOCAL_MACHINE, path);
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) return 0;
    printf("delete-failed %ld ", status);
    PrintPath(path);
    printf("\n");
    return 1;
}

int main(int argc, char** argv) {
    static char path[PATH_SIZE];
    if (argc == 2 && strcmp(argv[1], "acp") == 0) {
        printf("%u\n", GetACP());
        return 0;
    }
    if (argc >= 3 && (strcmp(argv[1], "dump") == 0 || strcmp(argv[1], "delete") == 0)) {
        int failures = 0;
        for (int i = 2; i < argc; ++i) {
            if (!DecodeHex(argv[i], path, sizeof path)) return 2;
            failures += argv[1][1] == 'u' ? Dump(path) : Delete(path);
        }
        return failures != 0;
    }
    if (argc == 3 && strcmp(argv[1], "getsd") == 0 && DecodeHex(argv[2], path, sizeof path)) {
        return GetAccessList(path);
    }
    if (argc == 3 && strcmp(argv[1], "nodacl") == 0 && DecodeHex(argv[2], path, sizeof path)) {
        return FindOpenKeysBelow(path);
    }
    if (argc == 4 && strcmp(argv[1], "setsd") == 0 && DecodeHex(argv[2], path, sizeof path)) {
        return SetAccessList(path, argv[3]);
    }
    if (argc == 3 && strcmp(argv[1], "stage") == 0 && DecodeHex(argv[2], path, sizeof path)) {
        char staged[MAX_PATH];
        char* name = NULL;
        if (!SetupCopyOEMInfA(path, NULL, SPOST_PATH, 0, staged, sizeof staged, NULL, &name)) {
            printf("stage-failed %lu\n", GetLastError());
            return 1;
        }
        printf("staged %s\n", name != NULL ? name : staged);
        return 0;
    }
    fprintf(stderr, "usage: regtool.exe dump|getsd|setsd|delete|nodacl|acp|stage ...\n");
    return 2;
}
