// The driver package in the driver store: staging it, finding the copy of
// its INF that Windows keeps in its INF folder, that copy's fingerprint,
// and taking the package out again.
#include "action.h"

#include <setupapi.h>

namespace {

// "<folder>\<INF name>": the installed INF, in a folder only
// administrators may write to.
DWORD InstalledInf(const ActionData* data, char* inf, DWORD size) {
    TextBuffer path = MakeTextBuffer(inf, size);
    return FitsOrOverflow(AppendText(&path, data->folder) && AppendText(&path, "\\") &&
                          AppendText(&path, data->infName));
}

// "<Windows>\inf\<name>": where staging puts a package's INF.
DWORD InfFolderPath(const char* name, char* path, DWORD size) {
    char folder[MAX_PATH];
    UINT length = GetSystemWindowsDirectoryA(folder, MAX_PATH);
    TextBuffer text = MakeTextBuffer(path, size);
    return FitsOrOverflow(length > 0 && length < MAX_PATH && AppendText(&text, folder) &&
                          AppendText(&text, "\\inf\\") && AppendText(&text, name));
}

// TRUE when both open files hold the same bytes (their sizes are equal).
BOOL AreSameBytes(HANDLE first, HANDLE second) {
    char one[4096];
    char other[sizeof one];
    for (;;) {
        DWORD read = 0;
        DWORD readOther = 0;
        if (!ReadFile(first, one, sizeof one, &read, NULL) ||
            !ReadFile(second, other, sizeof other, &readOther, NULL) || read != readOther) {
            return FALSE;
        }
        if (read == 0) return TRUE;
        for (DWORD at = 0; at < read; ++at) {
            if (one[at] != other[at]) return FALSE;
        }
    }
}

// Whether the INF folder's entry holds the bytes of source, which is
// sourceSize long. The size comes with the entry: only a file of the same
// size is read.
BOOL IsCopyOf(HANDLE source, const LARGE_INTEGER* sourceSize, const WIN32_FIND_DATAA* entry) {
    if ((entry->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        entry->nFileSizeHigh != (DWORD)sourceSize->HighPart ||
        entry->nFileSizeLow != sourceSize->LowPart) {
        return FALSE;
    }
    char copyPath[MAX_PATH + 8];
    if (InfFolderPath(entry->cFileName, copyPath, sizeof copyPath) != ERROR_SUCCESS) return FALSE;
    HANDLE candidate =
        CreateFileA(copyPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (candidate == INVALID_HANDLE_VALUE) return FALSE;
    LARGE_INTEGER start = {};
    SetFilePointerEx(source, start, NULL, FILE_BEGIN);
    BOOL same = AreSameBytes(source, candidate);
    CloseHandle(candidate);
    return same;
}

// The name of the first file in Windows' INF folder that holds the bytes
// of source.
DWORD FindCopyInInfFolder(HANDLE source, char* name, DWORD size) {
    char pattern[MAX_PATH + 8];
    DWORD error = InfFolderPath("*.inf", pattern, sizeof pattern);
    if (error != ERROR_SUCCESS) return error;
    LARGE_INTEGER sourceSize;
    if (!GetFileSizeEx(source, &sourceSize)) return GetLastError();
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA(pattern, &entry);
    if (search == INVALID_HANDLE_VALUE) return GetLastError();
    error = ERROR_FILE_NOT_FOUND;
    do {
        if (IsCopyOf(source, &sourceSize, &entry)) {
            TextBuffer result = MakeTextBuffer(name, size);
            error = FitsOrOverflow(AppendText(&result, entry.cFileName));
        }
    } while (error != ERROR_SUCCESS && FindNextFileA(search, &entry));
    FindClose(search);
    return error;
}

// Feeds the rest of file to FNV-1a (32 bits).
DWORD HashFile(HANDLE file, DWORD* hash) {
    DWORD value = 2166136261u;
    unsigned char chunk[4096];
    DWORD read = 0;
    while (ReadFile(file, chunk, sizeof chunk, &read, NULL)) {
        if (read == 0) {
            *hash = value;
            return ERROR_SUCCESS;
        }
        for (DWORD at = 0; at < read; ++at) value = (value ^ chunk[at]) * 16777619u;
    }
    return GetLastError();
}

}  // namespace

// Puts the driver package into the driver store, so that Windows installs
// it when a matching device appears. A package already there is not copied
// again, and its name is reported.
DWORD StagePackage(const ActionData* data, char* stagedName, DWORD size) {
    char inf[FOLDER_SIZE + NAME_SIZE];
    DWORD error = InstalledInf(data, inf, sizeof inf);
    if (error != ERROR_SUCCESS) return error;
    char stagedPath[MAX_PATH];
    char* namePart = NULL;
    if (!SetupCopyOEMInfA(inf, data->folder, SPOST_PATH, 0, stagedPath, sizeof stagedPath, NULL,
                          &namePart)) {
        return GetLastError();
    }
    const char* name = namePart != NULL ? namePart : stagedPath;
    TextBuffer staged = MakeTextBuffer(stagedName, size);
    return FitsOrOverflow(AppendText(&staged, name) && staged.length > 0);
}

// Finds the package in the store without adding it there: a staging call
// would put it in (and Wine ignores SP_COPY_REPLACEONLY). Windows copies an
// INF into the store unchanged, so a file of the same bytes is the package.
DWORD FindInStore(const ActionData* data, char* name, DWORD size) {
    char inf[FOLDER_SIZE + NAME_SIZE];
    DWORD error = InstalledInf(data, inf, sizeof inf);
    if (error != ERROR_SUCCESS) return error;
    HANDLE source = CreateFileA(inf, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (source == INVALID_HANDLE_VALUE) return GetLastError();
    error = FindCopyInInfFolder(source, name, size);
    CloseHandle(source);
    return error;
}

DWORD StoreFingerprint(const char* name, DWORD* fingerprint) {
    char path[MAX_PATH + 8];
    DWORD error = InfFolderPath(name, path, sizeof path);
    if (error != ERROR_SUCCESS) return error;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return GetLastError();
    error = HashFile(file, fingerprint);
    CloseHandle(file);
    return error;
}

// Windows gives a freed oemNN.inf name to the next package staged: a name
// is still the package recorded only while it holds the same bytes.
BOOL IsRecordedCopy(const char* name, DWORD fingerprint) {
    DWORD now = 0;
    return StoreFingerprint(name, &now) == ERROR_SUCCESS && now == fingerprint;
}

// Windows refuses (ERROR_INF_IN_USE_BY_DEVICES) while a device uses the
// package.
DWORD UninstallPackage(const char* name) {
    return SetupUninstallOEMInfA(name, 0, NULL) ? ERROR_SUCCESS : GetLastError();
}
