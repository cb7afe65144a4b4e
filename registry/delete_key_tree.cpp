#include "sweep.h"

#include "../platform/heap.h"

// The original access list of a key whose list was taken away, kept so that
// a key which then survives its removal is not left open to every user.
struct SavedAccessList {
    PSECURITY_DESCRIPTOR original;
    int takenAway;
};

// A self-relative descriptor holding only a device key's access list is
// usually well under this.
static const DWORD TYPICAL_ACCESS_LIST_SIZE = 256;

static void ShowRegistryError(void) {
    MessageBoxA(NULL, "Can't perform registry operation, driver install not complete.", "Error",
                MB_OK);
}

// Reads the key's access list into a heap block. The key query's figure for
// the whole descriptor sizes the first try; where the query reports none
// (Wine always reports 0) a typical size does, which saves a round trip per
// key, and the size the security query asks for sizes a second try.
static PSECURITY_DESCRIPTOR ReadAccessList(HKEY key, DWORD descriptorLength) {
    DWORD length = descriptorLength != 0 ? descriptorLength : TYPICAL_ACCESS_LIST_SIZE;
    for (int attempt = 0; attempt < 2; ++attempt) {
        DWORD room = length;
        PSECURITY_DESCRIPTOR descriptor = AllocateBlock(room);
        if (descriptor == NULL) {
            return NULL;
        }
        LONG status = RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor, &length);
        if (status == ERROR_SUCCESS) {
            return descriptor;
        }
        FreeBlock(descriptor);
        if (status != ERROR_INSUFFICIENT_BUFFER || length <= room) {
            return NULL;
        }
    }
    return NULL;
}

// A descriptor without an access list, applied as the key's access list,
// lets every access check on the key pass. The list is only taken away once
// a copy of it is in hand.
static int TakeAwayAccessList(HKEY key, DWORD descriptorLength, SavedAccessList* saved) {
    saved->original = ReadAccessList(key, descriptorLength);
    saved->takenAway = 0;
    if (saved->original == NULL) {
        return 0;
    }
    SECURITY_DESCRIPTOR open;
    if (!InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION)) {
        return 0;
    }
    if (RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &open) != ERROR_SUCCESS) {
        return 0;
    }
    saved->takenAway = 1;
    return 1;
}

static void RestoreAccessList(HKEY key, SavedAccessList* saved) {
    if (saved->takenAway) {
        RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, saved->original);
    }
    FreeBlock(saved->original);
}

static void RestoreAccessListByName(HKEY parent, const char* name, SavedAccessList* saved) {
    HKEY key;
    if (saved->takenAway && RegOpenKeyA(parent, name, &key) == ERROR_SUCCESS) {
        RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, saved->original);
        RegCloseKey(key);
    }
    FreeBlock(saved->original);
}

// Always asks for the first subkey, since a removal moves the next one to
// the front; a subkey that survives is stepped over so the loop ends. Once
// as many subkeys are gone as the query counted, nothing more is asked: the
// removal of the key itself is refused if one appeared meanwhile.
// Returns 1 when no subkey is left.
static int DeleteSubkeys(HKEY key, const KeyInfo* info) {
    if (info->subkeyCount == 0) {
        return 1;
    }
    DWORD nameLength = SubkeyNameBufferLength(info);
    char* name = nameLength != 0 ? (char*)AllocateBlock(nameLength) : NULL;
    if (name == NULL) {
        return 0;
    }
    DWORD kept = 0;
    DWORD removed = 0;
    LONG enumerated = ERROR_SUCCESS;
    while (removed < info->subkeyCount &&
           (enumerated = RegEnumKeyA(key, kept, name, nameLength)) == ERROR_SUCCESS) {
        if (DeleteKeyTree(key, name) == KEY_KEPT) {
            ++kept;
        } else {
            ++removed;
        }
    }
    FreeBlock(name);
    return kept == 0 && (enumerated == ERROR_SUCCESS || enumerated == ERROR_NO_MORE_ITEMS);
}

int DeleteKeyTree(HKEY parent, const char* name) {
    HKEY key;
    if (RegOpenKeyA(parent, name, &key) != ERROR_SUCCESS) {
        return KEY_KEPT;
    }
    KeyInfo* info = (KeyInfo*)AllocateBlock(sizeof(KeyInfo));
    if (info == NULL || QueryKeyInfo(key, info) != ERROR_SUCCESS) {
        FreeBlock(info);
        RegCloseKey(key);
        return KEY_KEPT;
    }
    SavedAccessList saved;
    if (!TakeAwayAccessList(key, info->securityDescriptorLength, &saved)) {
        ShowRegistryError();
    }
    int emptied = DeleteSubkeys(key, info);
    FreeBlock(info);
    if (!emptied) {
        RestoreAccessList(key, &saved);
        RegCloseKey(key);
        return KEY_KEPT;
    }
    RegCloseKey(key);
    if (RegDeleteKeyA(parent, name) == ERROR_SUCCESS) {
        FreeBlock(saved.original);
        return KEY_REMOVED;
    }
    RestoreAccessListByName(parent, name, &saved);
    return KEY_KEPT;
}
