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

int IsGone(LONG status) {
    return status == ERROR_FILE_NOT_FOUND || status == ERROR_KEY_DELETED;
}
