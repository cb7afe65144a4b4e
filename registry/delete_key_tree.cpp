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

enum AccessChange {
    ACCESS_TAKEN_AWAY,
    ACCESS_UNCHANGED,
    ACCESS_KEY_GONE  // the key was removed by someone else meanwhile
};

enum SubkeysLeft {
    SUBKEYS_NONE_LEFT,
    SUBKEYS_SOME_LEFT,
    SUBKEYS_KEY_GONE  // the key itself was removed by someone else meanwhile
};

// Reads the key's access list into a heap block and returns the registry's
// result. The key query's figure for the whole descriptor sizes the first
// try; where the query reports none (Wine always reports 0) a typical size
// does, which saves a round trip per key, and the size the security query
// asks for sizes a second try.
static LONG ReadAccessList(HKEY key, DWORD descriptorLength, PSECURITY_DESCRIPTOR* descriptor) {
    DWORD length = descriptorLength != 0 ? descriptorLength : TYPICAL_ACCESS_LIST_SIZE;
    *descriptor = NULL;
    LONG status = ERROR_INSUFFICIENT_BUFFER;
    for (int attempt = 0; attempt < 2 && status == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        DWORD room = length;
        PSECURITY_DESCRIPTOR block = AllocateBlock(room);
        if (block == NULL) {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        status = RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, block, &length);
        if (status == ERROR_SUCCESS) {
            *descriptor = block;
            return ERROR_SUCCESS;
        }
        FreeBlock(block);
        if (status == ERROR_INSUFFICIENT_BUFFER && length <= room) {
            return status;
        }
    }
    return status;
}

// A descriptor without an access list, applied as the key's access list,
// lets every access check on the key pass. The list is only taken away once
// a copy of it is in hand.
static int TakeAwayAccessList(HKEY key, DWORD descriptorLength, SavedAccessList* saved) {
    saved->takenAway = 0;
    LONG status = ReadAccessList(key, descriptorLength, &saved->original);
    if (status != ERROR_SUCCESS) {
        return IsGone(status) ? ACCESS_KEY_GONE : ACCESS_UNCHANGED;
    }
    SECURITY_DESCRIPTOR open;
    if (!InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION)) {
        return ACCESS_UNCHANGED;
    }
    status = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &open);
    if (status != ERROR_SUCCESS) {
        return IsGone(status) ? ACCESS_KEY_GONE : ACCESS_UNCHANGED;
    }
    saved->takenAway = 1;
    return ACCESS_TAKEN_AWAY;
}

static void RestoreAccessList(HKEY key, SavedAccessList* saved) {
    if (saved->takenAway) {
        RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, saved->original);
    }
    FreeBlock(saved->original);
}

// After a removal that did not succeed: a key that is still there gets its
// list back; one that someone else removed first counts as removed. The
// reopen tells the two apart where the removal's own answer is not enough.
static int SettleFailedRemoval(HKEY parent, const char* name, LONG removal,
                               SavedAccessList* saved) {
    int fate = IsGone(removal) ? KEY_REMOVED : KEY_KEPT;
    HKEY key;
    if (saved->takenAway) {
        LONG opened = RegOpenKeyA(parent, name, &key);
        if (opened == ERROR_SUCCESS) {
            RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, saved->original);
            RegCloseKey(key);
            fate = KEY_KEPT;
        } else if (IsGone(opened)) {
            fate = KEY_REMOVED;
        }
    }
    FreeBlock(saved->original);
    return fate;
}

// Always asks for the first subkey not kept, since a removal moves the next
// one to the front; a subkey that survives is stepped over. Once as many
// subkeys are gone as the query counted, nothing more is asked: the removal
// of the key itself is refused if one appeared meanwhile. Like the instance
// walk, it is bounded by MostSubkeyVisits.
static int DeleteSubkeys(HKEY key, const KeyInfo* info) {
    if (info->subkeyCount == 0) {
        return SUBKEYS_NONE_LEFT;
    }
    DWORD nameLength = SubkeyNameBufferLength(info);
    char* name = nameLength != 0 ? (char*)AllocateBlock(nameLength) : NULL;
    if (name == NULL) {
        return SUBKEYS_SOME_LEFT;
    }
    const unsigned long long mostLooks = MostSubkeyVisits(info);
    DWORD kept = 0;
    DWORD removed = 0;
    LONG enumerated = ERROR_SUCCESS;
    for (unsigned long long looked = 0; looked < mostLooks && removed < info->subkeyCount;
         ++looked) {
        enumerated = RegEnumKeyA(key, kept, name, nameLength);
        if (enumerated != ERROR_SUCCESS) {
            break;
        }
        if (DeleteKeyTree(key, name) == KEY_KEPT) {
            ++kept;
        } else {
            ++removed;
        }
    }
    FreeBlock(name);
    if (IsGone(enumerated)) {
        return SUBKEYS_KEY_GONE;
    }
    int empty = kept == 0 && (enumerated == ERROR_SUCCESS || enumerated == ERROR_NO_MORE_ITEMS);
    return empty ? SUBKEYS_NONE_LEFT : SUBKEYS_SOME_LEFT;
}

// A key that is gone by the time it is reached has reached the goal: it
// counts as removed, and raises no "Error" box.
int DeleteKeyTree(HKEY parent, const char* name) {
    HKEY key;
    LONG status = RegOpenKeyA(parent, name, &key);
    if (status != ERROR_SUCCESS) {
        return IsGone(status) ? KEY_REMOVED : KEY_KEPT;
    }
    KeyInfo* info = (KeyInfo*)AllocateBlock(sizeof(KeyInfo));
    status = info != NULL ? QueryKeyInfo(key, info) : ERROR_NOT_ENOUGH_MEMORY;
    if (status != ERROR_SUCCESS) {
        FreeBlock(info);
        RegCloseKey(key);
        return IsGone(status) ? KEY_REMOVED : KEY_KEPT;
    }
    SavedAccessList saved;
    int change = TakeAwayAccessList(key, info->securityDescriptorLength, &saved);
    if (change == ACCESS_UNCHANGED) {
        ShowRegistryError();
    }
    int left = change == ACCESS_KEY_GONE ? SUBKEYS_KEY_GONE : DeleteSubkeys(key, info);
    FreeBlock(info);
    if (left == SUBKEYS_KEY_GONE) {
        FreeBlock(saved.original);
        RegCloseKey(key);
        return KEY_REMOVED;
    }
    if (left == SUBKEYS_SOME_LEFT) {
        RestoreAccessList(key, &saved);
        RegCloseKey(key);
        return KEY_KEPT;
    }
    RegCloseKey(key);
    status = RegDeleteKeyA(parent, name);
    if (status == ERROR_SUCCESS) {
        FreeBlock(saved.original);
        return KEY_REMOVED;
    }
    return SettleFailedRemoval(parent, name, status, &saved);
}
