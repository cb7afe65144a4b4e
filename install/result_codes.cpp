#include "result_codes.h"

int ResultFromLastError(DWORD lastError) {
    switch (lastError) {
    case ERROR_FILE_NOT_FOUND:
        return INSTALL_INF_NOT_FOUND;
    case ERROR_INVALID_FLAGS:
        return INSTALL_BAD_FLAGS;
    case ERROR_NO_SUCH_DEVINST:
        return INSTALL_NO_DEVICE;
    case ERROR_IN_WOW64:
        return INSTALL_IN_WOW64;
    default:
        return INSTALL_FAILED;
    }
}
