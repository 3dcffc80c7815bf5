// Directories, paths and volumes: the directory streams that wildcard
// expansion reads, and whether a volume shows its names in lower case.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/prelude.h"

namespace rt {

// A directory stream over the system's directory search.
struct DIR {
  HANDLE find_handle;  // INVALID_HANDLE_VALUE until the first readdir
  WIN32_FIND_DATAW find_data;
  std::int32_t position;  // entries read so far
  char entry_name[3 * MAX_PATH + 1];  // the name readdir returned last: up to 3 bytes a unit
  std::int32_t fold_names;  // nonzero: the volume's names are shown in lower case
  // The directory's path, ending in a separator (or in the colon of a bare
  // drive), with room for the search mask after it.
  char* dir_path;
  std::size_t dir_path_len;
};

// The system's attributes of the file a path names, INVALID_FILE_ATTRIBUTES
// when it knows none (the name cannot be found or opened).
DWORD file_attributes(const char* path);
// True when the system knows the path (a file, a directory or a device).
bool path_exists(const char* path);

// A directory stream, or null with errno 8 (no memory) or 3 (not a
// directory). A path of any length is opened.
DIR* opendir(const char* name);
// The next name ("." and "..", hidden and system entries included), valid
// until the next call on the stream; null at the end or on an error. Names
// are in the names' page, every character kept. A backslash reads as '/'.
const char* readdir(DIR* dir);
int closedir(DIR* dir);

// Replaces every upper-case letter A-Z by its lower-case partner (the names
// of volumes that show them in lower case are 8.3 names).
void fold_to_lower(char* text);
// True when the volume that holds `path` shows its names in lower case.
bool volume_folds_names(const char* path);
// Whether a volume with these properties shows its names in lower case:
// not when it preserves case or is the file system "AS400"; yes when its
// names have at most 12 characters (8.3 names).
bool volume_folds(std::uint32_t maximum_component_length, std::uint32_t flags, const char* file_system);
// The root of the volume that holds `path` ("c:\", "\\server\share\"), newly
// allocated; null when none can be made.
char* volume_root_of(const char* path);
// The current drive as 0 for A, 1 for B ...; -1 (errno 8) without memory.
int current_drive_index();

}  // namespace rt
