// Descriptors: small non-negative integers indexing a table of system handles.
//
// A slot holding null is free; a slot holding INVALID_HANDLE_VALUE is an open
// descriptor without a handle (the process had no standard handle of that
// kind); any other value is a handle the table owns. The table starts with
// 10 slots and only grows. Every operation on a descriptor first validates
// it: it must be >= 0, below fd_count and not free, else errno = 6 and -1.
#pragma once

#include <cstdint>

#include "winapi/winapi.h"
#include "runtime/prelude.h"
#include "runtime/win32/errno.h"

namespace rt {

// File positions and sizes are 64-bit.
using off_t = std::int64_t;

constexpr int SEEK_SET = 0;
constexpr int SEEK_CUR = 1;
constexpr int SEEK_END = 2;

constexpr int F_DUPFD = 0;
constexpr int F_GETFD = 1;
constexpr int F_SETFD = 2;
constexpr int FD_CLOEXEC = 1;

extern HANDLE* fd_table;
extern int fd_count;

// Sets up the table with descriptors 0, 1 and 2 from the standard handles.
// 0, or -1 when the table cannot be allocated.
int fd_init();
// Stores a handle in the lowest free slot, growing the table by one slot
// when all are taken. The descriptor, or -1 with errno 4.
int fd_alloc(HANDLE handle);
// Stores a handle at a given descriptor, growing the table to hold it and
// closing the handle the slot held. The descriptor, or -1.
int fd_install(int fd, HANDLE handle);
// True for an open descriptor; otherwise errno = 6 and false.
bool fd_validate(int fd);
// Frees a slot without closing its handle. 0, or -1 when it was not open.
int fd_release(int fd);

// Bytes read (0 at end of file), or -1.
int read(int fd, void* buffer, unsigned count);
// Reads `count` bytes, fewer only at the end of the file: the number read,
// or -1 on an error.
long long read_fully(int fd, void* buffer, std::size_t count);
// Bytes written, or -1. A write into a pipe without a reader raises SIGPIPE.
int write(int fd, const void* buffer, unsigned count);
// The new position, or -1 (errno -3 on a pipe).
off_t lseek(int fd, off_t offset, int whence);
int close(int fd);
int dup(int fd);
int dup2(int fd, int target);
int fcntl(int fd, int command, int argument);
// 1 for a console, 0 for anything else, -1 (errno 6) when not open.
int fd_is_console(int fd);
// Sets errno from the system's last error, translated; always -1.
int map_system_error();

}  // namespace rt
