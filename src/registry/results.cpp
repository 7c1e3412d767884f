// SPDX-License-Identifier: MIT
// English texts for result codes, for messages and logs of applications.
#include "../internal.h"

#include <cerrno>

extern "C" {

const char *KDXIO_GetResultString(int code) {
    switch (code) {
    case RESULT_OK: return "success";
    case RESULT_OPENDIR_FAILED: return "cannot open the SCSI-generic class directory";
    case RESULT_NOT_OPEN: return "no module is open at this device index";
    case RESULT_NULL_MODULE: return "no module slot given";
    case RESULT_BAD_HEADER: return "the module's reply lacks the header magic";
    case RESULT_WRITE_FAILED: return "the block write to the module did not complete";
    case RESULT_READ_FAILED: return "the block read from the module did not complete";
    case RESULT_INVALID_PARAM: return "invalid argument";
    case RESULT_BAD_INDEX: return "device index out of range (0 to 31)";
    case RESULT_BUFFER_TOO_SMALL: return "the caller's array or buffer is too small";
    case RESULT_BUSY: return "the module is busy: another thread or program holds it";
    default: return "unknown result";
    }
}

const char *KDXIO_GetOpenResultString(int32_t result) {
    if (result >= 0 && result < MAX_DEVICES) {
        return "module opened";
    }
    switch (result) {
    case OPEN_NOT_FOUND: return "no matching module found";
    case OPEN_TABLE_FULL: return "all 32 device slots are in use";
    case OPEN_BAD_BOARD_ID: return "board ID out of range (0 to 15)";
    case OPEN_BAD_PATH: return "not an sg node (/dev/sgN or sgN)";
    case OPEN_PERMISSION_DENIED:
        return "the module's node may not be opened by this user: it belongs to the group kdx7400 (the udev rule "
               "60-kdx7400.rules); add the user with 'sudo usermod -aG kdx7400 USER', then log in again";
    default: return "unknown result";
    }
}

int32_t KDX7400_WhyOpenFailed(int32_t result, int error_number) {
    const bool refused = error_number == EACCES || error_number == EPERM;
    return result == OPEN_NOT_FOUND && refused ? OPEN_PERMISSION_DENIED : result;
}

} // extern "C"
