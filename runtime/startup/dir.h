// Directories and paths.
#pragma once

#include "runtime/prelude.h"

namespace rt {

// True when the system knows the path (a file, a directory or a device).
bool path_exists(const char* path);

}  // namespace rt
