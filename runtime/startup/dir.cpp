// Directories and paths.
#include "runtime/startup/dir.h"

namespace rt {

bool path_exists(const char* path) { return w32::GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

}  // namespace rt
