// The file attributes that travel in the mode bits of a file's status, and
// back from the permission bits when a file is created: the same bit
// positions serve both directions.
#pragma once

#include <cstdint>

#include "winapi/winapi.h"
#include "runtime/prelude.h"

namespace rt {

struct ModeAttribute {
  std::uint32_t mode_bit;
  DWORD attribute;
};

inline constexpr ModeAttribute kModeAttributes[] = {
    {0x200, FILE_ATTRIBUTE_ARCHIVE},       {0x400, FILE_ATTRIBUTE_SYSTEM},
    {0x800, FILE_ATTRIBUTE_HIDDEN},        {0x20000, FILE_ATTRIBUTE_OFFLINE},
    {0x40000, FILE_ATTRIBUTE_TEMPORARY},   {0x80000, FILE_ATTRIBUTE_COMPRESSED},
};

}  // namespace rt
