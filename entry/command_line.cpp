#include "entry.h"

// Bytes are compared unsigned, so 0x80-0xFF are part of names, never blanks.
static const unsigned char BLANK = 32;

static const unsigned char* SkipQuotedName(const unsigned char* p) {
    ++p;
    while (*p != '\0' && *p != '"') {
        if (IsDBCSLeadByte(*p) && p[1] != '\0') {
            ++p;
        }
        ++p;
    }
    return *p == '"' ? p + 1 : p;
}

static const unsigned char* SkipPlainName(const unsigned char* p) {
    while (*p > BLANK) {
        ++p;
    }
    return p;
}

const char* ArgumentStringFromCommandLine(const char* commandLine) {
    const unsigned char* p = (const unsigned char*)commandLine;
    p = *p == '"' ? SkipQuotedName(p) : SkipPlainName(p);
    while (*p != '\0' && *p <= BLANK) {
        ++p;
    }
    return (const char*)p;
}
