// The process-wide error number.
//
// A positive value is a Win32 error code as GetLastError reports it (after
// the translation of map_system_error); a negative value is one of the
// system's own codes -1 ... -9; 0 means no error.
#pragma once

#include "runtime/prelude.h"

namespace rt {

extern int errno;

// The system's own error codes.
constexpr int ERR_NAME_TOO_LONG = -2;     // "name too long"
constexpr int ERR_ILLEGAL_SEEK = -3;      // "illegal seek"
constexpr int ERR_RESULT_TOO_LARGE = -5;  // "result too large"

}  // namespace rt
