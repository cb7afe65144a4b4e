// The actions' lines in the installer's log, and what each of the
// program's exit codes means (docs/exit-codes.tsv says the same;
// tests/exit_codes_test.py checks that they agree). LINE_SIZE holds every
// line the actions write.
#include "action.h"

#include "../install/result_codes.h"

namespace {

void AppendNumber(TextBuffer* text, long long value) {
    char digits[24];
    int at = sizeof digits - 1;
    digits[at] = '\0';
    unsigned long long magnitude = value < 0 ? 0ULL - (unsigned long long)value
                                             : (unsigned long long)value;
    do {
        digits[--at] = (char)('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) digits[--at] = '-';
    AppendText(text, digits + at);
}

// Setup API's own error codes (ERROR_INF_IN_USE_BY_DEVICES, 0xE000023D)
// read best in hexadecimal, Windows' in decimal.
void AppendError(TextBuffer* text, DWORD error) {
    if ((error & APPLICATION_ERROR_MASK) == 0) {
        AppendNumber(text, error);
        return;
    }
    char digits[] = "0x00000000";
    for (int at = 9; at >= 2; --at, error >>= 4) digits[at] = "0123456789ABCDEF"[error & 0xF];
    AppendText(text, digits);
}

// One line in the installer's log. The text goes in as field 1 of a
// record formatted as "[1]", so brackets in a path are not read as
// property references.
void LogLine(MSIHANDLE install, const char* line) {
    MSIHANDLE record = MsiCreateRecord(1);
    if (record == 0) return;
    MsiRecordSetStringA(record, 0, "[1]");
    MsiRecordSetStringA(record, 1, line);
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
}

// "Quorin64: <what>.", with " (error <code>)" before the full stop when
// hasError.
void LogWith(MSIHANDLE install, const char* what, BOOL hasError, DWORD error) {
    char buffer[LINE_SIZE];
    TextBuffer line = MakeTextBuffer(buffer, sizeof buffer);
    AppendText(&line, "Quorin64: ");
    AppendText(&line, what);
    if (hasError) {
        AppendText(&line, " (error ");
        AppendError(&line, error);
        AppendText(&line, ")");
    }
    AppendText(&line, ".");
    LogLine(install, buffer);
}

void LogPackageWith(MSIHANDLE install, const char* before, const char* name, const char* after,
                    BOOL hasError, DWORD error) {
    char buffer[LINE_SIZE];
    TextBuffer what = MakeTextBuffer(buffer, sizeof buffer);
    AppendText(&what, before);
    AppendText(&what, name);
    AppendText(&what, after);
    LogWith(install, buffer, hasError, error);
}

const char* CodeMeaning(int code) {
    switch (code) {
    case INSTALL_OK_REBOOT: return "installed; Windows asks for a restart";
    case INSTALL_OK: return "installed; no restart needed";
    case INSTALL_FAILED: return "any other failure (a bad or over-long argument, an unreadable "
                                "current directory, no usable newdev.dll, or a relaunch that "
                                "could not be started)";
    case INSTALL_INF_NOT_FOUND: return "the INF file was not found at the INF path";
    case INSTALL_NO_DEVICE: return "no present device has that hardware ID";
    case INSTALL_BAD_FLAGS: return "Windows refused the install flags";
    case INSTALL_IN_WOW64: return "Windows refused to install from the x64 program and its "
                                  "relaunched copy (an x64 program emulated on ARM64 Windows)";
    default: return "not a code the program gives";
    }
}

}  // namespace

void LogNote(MSIHANDLE install, const char* what) {
    LogWith(install, what, FALSE, 0);
}

void LogError(MSIHANDLE install, const char* what, DWORD error) {
    LogWith(install, what, TRUE, error);
}

void LogPackage(MSIHANDLE install, const char* before, const char* name, const char* after) {
    LogPackageWith(install, before, name, after, FALSE, 0);
}

void LogPackageError(MSIHANDLE install, const char* before, const char* name,
                     const char* after, DWORD error) {
    LogPackageWith(install, before, name, after, TRUE, error);
}

void LogExitCode(MSIHANDLE install, int code, const char* hardwareId) {
    char buffer[LINE_SIZE];
    TextBuffer line = MakeTextBuffer(buffer, sizeof buffer);
    AppendText(&line, "the program ended with ");
    AppendNumber(&line, code);
    AppendText(&line, " for ");
    AppendText(&line, hardwareId);
    AppendText(&line, " (");
    AppendText(&line, CodeMeaning(code));
    AppendText(&line, ")");
    LogNote(install, buffer);
}
