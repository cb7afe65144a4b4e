#include "install.h"

#include "../platform/text.h"

#if QUORIN_X86_BUILD
// Appended right after the drive root; INF names are written straight after
// it, without a separator.
static const char X86_INF_FOLDER[] =
    "Program Files\\Common Files\\VID_1F3A&PID_0C21\\Salvenport\\QarnoD217";
static const size_t DRIVE_ROOT_LENGTH = 3;
#endif

static int CopyField(char* field, const char* text, size_t length) {
    if (length == 0) {
        return 0;
    }
    TextBuffer buffer = MakeTextBuffer(field, TEXT_FIELD_SIZE);
    return AppendBytes(&buffer, text, length);
}

int SplitArgumentString(const char* argumentString, InstallRequest* request) {
    size_t infLength = 0;
    const char* idStart = NULL;
    size_t idLength = 0;
    const char* runStart = NULL;  // set by every '+'
    for (const char* p = argumentString; *p != '\0'; ++p) {
        if (*p == '+') {
            runStart = p + 1;
        } else if (runStart == NULL) {
            infLength = (size_t)(p - argumentString) + 1;
        } else {
            idStart = runStart;
            idLength = (size_t)(p - runStart) + 1;
        }
    }
    return CopyField(request->infName, argumentString, infLength) &&
           CopyField(request->hardwareId, idStart, idLength);
}

int ReadCurrentDirectory(char* directory) {
    DWORD length = GetCurrentDirectoryA(TEXT_FIELD_SIZE, directory);
    return length != 0 && length < TEXT_FIELD_SIZE;
}

#if QUORIN_X86_BUILD
static int AppendDirectoryPart(TextBuffer* path) {
    char windowsDirectory[TEXT_FIELD_SIZE];
    UINT length = GetWindowsDirectoryA(windowsDirectory, TEXT_FIELD_SIZE);
    if (length < DRIVE_ROOT_LENGTH || length >= TEXT_FIELD_SIZE) {
        return 0;
    }
    return AppendBytes(path, windowsDirectory, DRIVE_ROOT_LENGTH) &&
           AppendText(path, X86_INF_FOLDER);
}
#else
// The INF file is looked for in the current directory, not beside the
// program; a drive root already ending in '\' gets a second one.
static int AppendDirectoryPart(TextBuffer* path) {
    char currentDirectory[TEXT_FIELD_SIZE];
    return ReadCurrentDirectory(currentDirectory) && AppendText(path, currentDirectory) &&
           AppendText(path, "\\");
}
#endif

int ComposeInfPath(InstallRequest* request) {
    TextBuffer path = MakeTextBuffer(request->infPath, TEXT_FIELD_SIZE);
    return AppendDirectoryPart(&path) && AppendText(&path, request->infName);
}
