// Removal of device instances that the driver service does not serve.
#ifndef QUORIN_SWEEP_H
#define QUORIN_SWEEP_H

#include "../platform/platform.h"

// The outputs of the registry's key query, in the order it hands them out.
struct KeyInfo {
    DWORD classNameLength;
    DWORD subkeyCount;
    DWORD longestSubkeyNameLength;  // characters, without terminator
    DWORD longestClassLength;
    DWORD valueCount;
    DWORD longestValueNameLength;
    DWORD longestValueDataLength;
    DWORD securityDescriptorLength;
    FILETIME lastWriteTime;
};

enum KeyFate {
    KEY_KEPT = 0,
    KEY_REMOVED = 1
};

// The access list a key gets while it is being removed: full control for
// SYSTEM and the Administrators group, nobody else, protected from
// inheritance. Built once per sweep; ready is 0 if it could not be built.
struct AdminOnlyAccess {
    SECURITY_DESCRIPTOR descriptor;
    DWORD list[16];  // the ACL: DWORD-aligned, 52 bytes used
    BYTE systemSid[12];
    BYTE administratorsSid[16];
    int ready;
};

void BuildAdminOnlyAccess(AdminOnlyAccess* access);

// Removes every instance below System\CurrentControlSet\Enum\<hardwareId>
// whose "Service" value does not name TALMERIX. An ID that does not name a
// device key, exactly two levels below Enum, is left alone.
void RemoveStaleInstances(const char* hardwareId);

// Removes the named subkey of parent with everything below it, giving each
// key the admin-only access list first. Returns KEY_KEPT when the key is
// still there; a kept key has its original access list again. A key that
// someone else removed meanwhile counts as removed.
int DeleteKeyTree(HKEY parent, const char* name, AdminOnlyAccess* access);

// The same for a subkey of parent that the caller has opened as key; key is
// closed on every path.
int DeleteOpenKeyTree(HKEY parent, const char* name, HKEY key, AdminOnlyAccess* access);

// Whether a registry result says the key asked for no longer exists: not
// found by name, or deleted under an open handle.
int IsGone(LONG status);

// Fills a zeroed KeyInfo; returns the registry's result.
LONG QueryKeyInfo(HKEY key, KeyInfo* info);

// Size of a buffer that holds any subkey name of the queried key, or 0 when
// the reported length is not believable.
DWORD SubkeyNameBufferLength(const KeyInfo* info);

// How many subkeys a walk over the queried key may look at, however others
// change the key meanwhile.
unsigned long long MostSubkeyVisits(const KeyInfo* info);

#endif
