#include "sweep.h"

// Key names are at most 255 characters; a larger figure is a broken answer.
static const DWORD LONGEST_KEY_NAME = 255;

LONG QueryKeyInfo(HKEY key, KeyInfo* info) {
    KeyInfo zeroed = {};
    *info = zeroed;
    return RegQueryInfoKeyA(key, NULL, &info->classNameLength, NULL, &info->subkeyCount,
                            &info->longestSubkeyNameLength, &info->longestClassLength,
                            &info->valueCount, &info->longestValueNameLength,
                            &info->longestValueDataLength, &info->securityDescriptorLength,
                            &info->lastWriteTime);
}

DWORD SubkeyNameBufferLength(const KeyInfo* info) {
    if (info->longestSubkeyNameLength > LONGEST_KEY_NAME) {
        return 0;
    }
    return info->longestSubkeyNameLength + 1;
}

// Twice the count: every subkey counted at the start is still reached even
// if as many again appear ahead of it while the walk runs, and a writer that
// keeps adding subkeys cannot keep the walk going.
unsigned long long MostSubkeyVisits(const KeyInfo* info) { return 2ULL * info->subkeyCount; }

int IsGone(LONG status) {
    return status == ERROR_FILE_NOT_FOUND || status == ERROR_KEY_DELETED;
}
