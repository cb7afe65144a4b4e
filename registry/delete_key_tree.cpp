#include "sweep.h"

#include "../platform/heap.h"
#include "../platform/services.h"

// The original access list of a key that got the admin-only one, kept so
// that a key which then survives its removal gets it back.
struct SavedAccessList {
    PSECURITY_DESCRIPTOR original;
    int replaced;
};

// S-1-5-18 and S-1-5-32-544, laid out as Windows lays out a SID.
static const BYTE SYSTEM_SID[12] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
static const BYTE ADMINISTRATORS_SID[16] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};

// A self-relative descriptor holding only a device key's access list is
// usually well under this.
static const DWORD TYPICAL_ACCESS_LIST_SIZE = 256;

static void ShowRegistryError(void) {
    ShowNotice("Can't perform registry operation, driver install not complete.", "Error");
}

enum AccessChange {
    ACCESS_REPLACED,
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

// Removing a key and its subkeys needs rights that its own list may deny,
// so each key gets a list that grants everything to SYSTEM and the
// Administrators group (this program runs as one of them) and to nobody
// else: were the program ended half-way, a key left behind stays closed to
// other accounts. Its owner is left alone.
void BuildAdminOnlyAccess(AdminOnlyAccess* access) {
    for (size_t i = 0; i < sizeof SYSTEM_SID; ++i) {
        access->systemSid[i] = SYSTEM_SID[i];
    }
    for (size_t i = 0; i < sizeof ADMINISTRATORS_SID; ++i) {
        access->administratorsSid[i] = ADMINISTRATORS_SID[i];
    }
    PACL list = (PACL)access->list;
    access->ready =
        InitializeAcl(list, sizeof access->list, ACL_REVISION) &&
        AddAccessAllowedAce(list, ACL_REVISION, KEY_ALL_ACCESS, access->systemSid) &&
        AddAccessAllowedAce(list, ACL_REVISION, KEY_ALL_ACCESS, access->administratorsSid) &&
        InitializeSecurityDescriptor(&access->descriptor, SECURITY_DESCRIPTOR_REVISION) &&
        SetSecurityDescriptorDacl(&access->descriptor, TRUE, list, FALSE) &&
        SetSecurityDescriptorControl(&access->descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
}

// The list is only replaced once a copy of it is in hand.
static int RestrictToAdministrators(HKEY key, DWORD descriptorLength,
                                    AdminOnlyAccess* access, SavedAccessList* saved) {
    saved->replaced = 0;
    LONG status = ReadAccessList(key, descriptorLength, &saved->original);
    if (status != ERROR_SUCCESS) {
        return IsGone(status) ? ACCESS_KEY_GONE : ACCESS_UNCHANGED;
    }
    if (!access->ready) {
        return ACCESS_UNCHANGED;
    }
    status = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &access->descriptor);
    if (status != ERROR_SUCCESS) {
        return IsGone(status) ? ACCESS_KEY_GONE : ACCESS_UNCHANGED;
    }
    saved->replaced = 1;
    return ACCESS_REPLACED;
}

static void RestoreAccessList(HKEY key, SavedAccessList* saved) {
    if (saved->replaced) {
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
    if (saved->replaced) {
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
static int DeleteSubkeys(HKEY key, const KeyInfo* info, AdminOnlyAccess* access) {
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
        if (DeleteKeyTree(key, name, access) == KEY_KEPT) {
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
int DeleteKeyTree(HKEY parent, const char* name, AdminOnlyAccess* access) {
    HKEY key;
    LONG status = RegOpenKeyA(parent, name, &key);
    if (status != ERROR_SUCCESS) {
        return IsGone(status) ? KEY_REMOVED : KEY_KEPT;
    }
    return DeleteOpenKeyTree(parent, name, key, access);
}

int DeleteOpenKeyTree(HKEY parent, const char* name, HKEY key, AdminOnlyAccess* access) {
    KeyInfo* info = (KeyInfo*)AllocateBlock(sizeof(KeyInfo));
    LONG status = info != NULL ? QueryKeyInfo(key, info) : ERROR_NOT_ENOUGH_MEMORY;
    if (status != ERROR_SUCCESS) {
        FreeBlock(info);
        RegCloseKey(key);
        return IsGone(status) ? KEY_REMOVED : KEY_KEPT;
    }
    SavedAccessList saved;
    int change = RestrictToAdministrators(key, info->securityDescriptorLength, access, &saved);
    if (change == ACCESS_UNCHANGED) {
        ShowRegistryError();
    }
    int left = change == ACCESS_KEY_GONE ? SUBKEYS_KEY_GONE : DeleteSubkeys(key, info, access);
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
