// File status of an open descriptor.
#pragma once

#include <cstdint>

#include "winapi/winapi.h"
#include "runtime/prelude.h"
#include "runtime/win32/fd.h"

namespace rt {

constexpr std::uint32_t S_IFMT = 0xF000;
constexpr std::uint32_t S_IFIFO = 0x1000;
constexpr std::uint32_t S_IFDIR = 0x4000;
constexpr std::uint32_t S_IFBLK = 0x6000;
constexpr std::uint32_t S_IFREG = 0x8000;

struct FileStatus {
  std::int32_t st_dev;     // always 0
  std::uint16_t st_ino;    // low 16 bits of the file index
  std::uint32_t st_mode;   // type, permission and attribute bits
  std::int16_t st_nlink;   // low 16 bits of the link count; 0 reads as 1
  std::int16_t st_uid;     // always 0
  std::int16_t st_gid;     // always 0
  off_t st_size;           // the whole size in bytes
  std::uint32_t st_atime;  // seconds since 1970-01-01 00:00 UTC, 2-second steps
  std::uint32_t st_mtime;
  std::uint32_t st_ctime;
};

// 0, or -1 with errno set; the record is untouched on failure. Only disk
// files and directories have a status: consoles, pipes and other devices fail.
int fstat(int fd, FileStatus* status);

// What tells one open file from another, how many names it still has (0
// once it has been deleted, even where the system keeps the name until its
// last handle is closed), its size and its times. A file's index tells it
// from the other files that exist with it; the index of a file that is gone
// may be given to a new one, which its creation time tells apart.
struct FileIdentity {
  std::uint32_t volume;  // the serial number of its volume
  std::uint64_t index;   // its index on that volume
  std::uint32_t links;
  off_t size;
  std::uint64_t created;  // its creation time, in 100 ns since 1601; 0: not known
  std::uint64_t written;  // its last write time, likewise
};

// 0, or -1 with errno set, as fstat.
int file_identity(int fd, FileIdentity* identity);
// The identity that a file's (or folder's) Win32 information gives.
FileIdentity file_identity_of(const BY_HANDLE_FILE_INFORMATION& info);

// The status that a file's Win32 information gives.
FileStatus file_status(const BY_HANDLE_FILE_INFORMATION& info);

// The mode bits for a set of file attributes.
std::uint32_t file_mode(DWORD attributes);

// Seconds since 1970 for a file time, through its DOS date and time: two-
// second steps, every fourth year from 1980 a leap year, and 1980-01-01 for a
// time a DOS date cannot hold.
std::uint32_t file_time_seconds(const FILETIME& time);

}  // namespace rt
