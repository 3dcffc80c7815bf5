// The boundary to the operating system: the Win32 subset this program uses.
//
// On Windows the declarations come from <windows.h>; elsewhere this header
// declares the same types (with the Win32 widths: DWORD is 32 bits everywhere),
// constants and functions, and winapi/posix implements them over POSIX.
// This is the one place in the tree with a platform #if.
//
// The runtime calls the functions through namespace w32. Every function that
// can fail goes through hook::inject first, which counts the call and, when a
// test has armed it, makes the call fail with a chosen error code: allocation,
// open, read, write and seek failures are provoked, not argued about.
//
// Contents: 1. types and constants   2. the call hook   3. the w32 functions
#pragma once

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace w32 {
// Text files end lines with CR LF here: streams are text streams by default.
inline constexpr bool kTextModeByDefault = true;
// Paths may begin with a drive letter ("c:") naming a drive.
inline constexpr bool kDriveLetters = true;
}  // namespace w32

#else  // POSIX: our own declarations, implemented in winapi/posix

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// --- 1. Types ---------------------------------------------------------------
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using UINT = unsigned int;
using BOOL = int;
using SIZE_T = std::size_t;
using LONG_PTR = std::intptr_t;
using HANDLE = void*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPDWORD = DWORD*;
using PLONG = LONG*;
using LPWORD = WORD*;
using LPSTR = char*;
using LPCSTR = const char*;
using HLOCAL = void*;
struct HINSTANCE__;
using HMODULE = HINSTANCE__*;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
using LPFILETIME = FILETIME*;

struct BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
};
using LPBY_HANDLE_FILE_INFORMATION = BY_HANDLE_FILE_INFORMATION*;

constexpr DWORD MAX_PATH = 260;

struct WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  char cFileName[MAX_PATH];
  char cAlternateFileName[14];
};
using LPWIN32_FIND_DATAA = WIN32_FIND_DATAA*;

struct EXCEPTION_RECORD {
  DWORD ExceptionCode;
  DWORD ExceptionFlags;
  EXCEPTION_RECORD* ExceptionRecord;
  LPVOID ExceptionAddress;
};
struct EXCEPTION_POINTERS {
  EXCEPTION_RECORD* ExceptionRecord;
  LPVOID ContextRecord;
};
using LPTOP_LEVEL_EXCEPTION_FILTER = LONG (*)(EXCEPTION_POINTERS* exception);

struct MEMORY_BASIC_INFORMATION {
  LPVOID BaseAddress;
  LPVOID AllocationBase;
  DWORD AllocationProtect;
  SIZE_T RegionSize;
  DWORD State;
  DWORD Protect;
  DWORD Type;
};
using PMEMORY_BASIC_INFORMATION = MEMORY_BASIC_INFORMATION*;

struct SECURITY_ATTRIBUTES;  // never passed: always null here
struct OVERLAPPED;           // never passed: all I/O is synchronous
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
using LPOVERLAPPED = OVERLAPPED*;

namespace w32 {
// Text files end lines with LF alone here: streams are binary by default
// (an explicit "t" still translates).
inline constexpr bool kTextModeByDefault = false;
// There are no drives: "c:" is an ordinary name.
inline constexpr bool kDriveLetters = false;
}  // namespace w32

// --- 1. Constants -----------------------------------------------------------
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
constexpr BOOL FALSE = 0;
constexpr BOOL TRUE = 1;

constexpr DWORD STD_INPUT_HANDLE = static_cast<DWORD>(-10);
constexpr DWORD STD_OUTPUT_HANDLE = static_cast<DWORD>(-11);
constexpr DWORD STD_ERROR_HANDLE = static_cast<DWORD>(-12);

constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD FILE_SHARE_DELETE = 0x4;

constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;

constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x1;
constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x2;
constexpr DWORD FILE_ATTRIBUTE_SYSTEM = 0x4;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_ATTRIBUTE_TEMPORARY = 0x100;
constexpr DWORD FILE_ATTRIBUTE_COMPRESSED = 0x800;
constexpr DWORD FILE_ATTRIBUTE_OFFLINE = 0x1000;

constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;
constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFF;

constexpr DWORD FILE_TYPE_UNKNOWN = 0;
constexpr DWORD FILE_TYPE_DISK = 1;
constexpr DWORD FILE_TYPE_CHAR = 2;
constexpr DWORD FILE_TYPE_PIPE = 3;

constexpr DWORD DUPLICATE_SAME_ACCESS = 0x2;

constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;

constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x100;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x200;
constexpr DWORD FORMAT_MESSAGE_FROM_HMODULE = 0x800;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;
constexpr DWORD FORMAT_MESSAGE_MAX_WIDTH_MASK = 0xFF;
constexpr DWORD LOAD_LIBRARY_AS_DATAFILE = 0x2;

constexpr DWORD FILE_MAP_ALL_ACCESS = 0xF001F;
constexpr UINT SEM_NOGPFAULTERRORBOX = 0x0002;

constexpr DWORD HEAP_ZERO_MEMORY = 0x8;

constexpr DWORD NO_ERROR = 0;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_FILE_EXISTS = 80;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_BROKEN_PIPE = 109;
constexpr DWORD ERROR_DISK_FULL = 112;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_NEGATIVE_SEEK = 131;
constexpr DWORD ERROR_BAD_PATHNAME = 161;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD ERROR_NO_DATA = 232;
constexpr DWORD ERROR_PIPE_NOT_CONNECTED = 233;
constexpr DWORD ERROR_DIRECTORY = 267;
constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;
constexpr DWORD ERROR_NO_MORE_FILES = 18;
constexpr DWORD ERROR_BAD_NETPATH = 53;
constexpr DWORD FILE_CASE_SENSITIVE_SEARCH = 0x1;
constexpr DWORD FILE_CASE_PRESERVED_NAMES = 0x2;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;

// --- The emulated functions (global, as <windows.h> declares them) ----------
DWORD GetLastError();
void SetLastError(DWORD code);
HANDLE GetStdHandle(DWORD which);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD done, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD to_write, LPDWORD done, LPOVERLAPPED overlapped);
DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distance_high, DWORD method);
DWORD GetFileType(HANDLE file);
BOOL CloseHandle(HANDLE object);
BOOL DuplicateHandle(HANDLE source_process, HANDLE source, HANDLE target_process, HANDLE* target,
                     DWORD access, BOOL inherit, DWORD options);
HANDLE GetCurrentProcess();
BOOL GetConsoleMode(HANDLE console, LPDWORD mode);
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD attributes, HANDLE template_file);
DWORD GetFullPathNameA(LPCSTR name, DWORD size, LPSTR buffer, LPSTR* file_part);
DWORD GetVersion();
BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info);
BOOL FileTimeToDosDateTime(const FILETIME* time, LPWORD dos_date, LPWORD dos_time);
void Sleep(DWORD milliseconds);
[[noreturn]] void ExitProcess(UINT code);
HANDLE GetProcessHeap();
LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
LPVOID HeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes);
BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID block);
DWORD GetFileAttributesA(LPCSTR name);
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD message_id, DWORD language_id, LPSTR buffer, DWORD size,
                     va_list* arguments);
HMODULE LoadLibraryExA(LPCSTR name, HANDLE file, DWORD flags);
BOOL FreeLibrary(HMODULE module);
HLOCAL LocalFree(HLOCAL block);
BOOL CharToOemA(LPCSTR source, LPSTR target);
HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data);
BOOL FindNextFileA(HANDLE search, LPWIN32_FIND_DATAA data);
BOOL FindClose(HANDLE search);
BOOL GetVolumeInformationA(LPCSTR root, LPSTR volume_name, DWORD volume_name_size, LPDWORD serial,
                           LPDWORD maximum_component_length, LPDWORD file_system_flags, LPSTR file_system_name,
                           DWORD file_system_name_size);
DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer);
LPSTR GetCommandLineA();
LPSTR GetEnvironmentStrings();
DWORD GetCurrentProcessId();
LPVOID MapViewOfFile(HANDLE mapping, DWORD access, DWORD offset_high, DWORD offset_low, SIZE_T bytes);
SIZE_T VirtualQuery(LPCVOID address, PMEMORY_BASIC_INFORMATION information, SIZE_T size);
UINT SetErrorMode(UINT mode);
void SetFileApisToOEM();
LPTOP_LEVEL_EXCEPTION_FILTER SetUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter);

#endif  // platform

namespace w32 {

// --- 2. The call hook -------------------------------------------------------
namespace hook {

// The functions whose calls are counted and can be made to fail.
enum class Call : unsigned {
  GetStdHandle,
  ReadFile,
  WriteFile,
  SetFilePointer,
  GetFileType,
  CloseHandle,
  DuplicateHandle,
  GetConsoleMode,
  CreateFileA,
  GetFullPathNameA,
  GetFileInformationByHandle,
  FileTimeToDosDateTime,
  GetProcessHeap,
  HeapAlloc,
  HeapReAlloc,
  HeapFree,
  GetFileAttributesA,
  FormatMessageA,
  LoadLibraryExA,
  FreeLibrary,
  LocalFree,
  CharToOemA,
  FindFirstFileA,
  FindNextFileA,
  FindClose,
  GetVolumeInformationA,
  GetCurrentDirectoryA,
  GetEnvironmentStrings,
  MapViewOfFile,
  VirtualQuery,
  count_
};

// Arms a failure: the nth call of fn from now on (1 = the next one) fails and
// leaves `code` as the last error. One armed failure per function.
void fail_nth(Call fn, unsigned nth, DWORD code);
// Number of calls of fn since the program started or since reset().
unsigned calls(Call fn);
// Clears every count and every armed failure.
void reset();
// Counts a call of fn; true when the call must fail (the last error is then set).
bool inject(Call fn);

}  // namespace hook

// --- 3. The functions the runtime calls ---------------------------------------
using ::GetLastError;
using ::SetLastError;
using ::GetCurrentProcess;
using ::GetVersion;
using ::Sleep;
using ::ExitProcess;
using ::GetCommandLineA;
using ::GetCurrentProcessId;
using ::SetErrorMode;
using ::SetFileApisToOEM;
using ::SetUnhandledExceptionFilter;

inline HANDLE GetStdHandle(DWORD which) {
  return hook::inject(hook::Call::GetStdHandle) ? INVALID_HANDLE_VALUE : ::GetStdHandle(which);
}
inline BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD done, LPOVERLAPPED overlapped) {
  if (hook::inject(hook::Call::ReadFile)) {
    *done = 0;
    return FALSE;
  }
  return ::ReadFile(file, buffer, to_read, done, overlapped);
}
inline BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD to_write, LPDWORD done, LPOVERLAPPED overlapped) {
  if (hook::inject(hook::Call::WriteFile)) {
    *done = 0;
    return FALSE;
  }
  return ::WriteFile(file, buffer, to_write, done, overlapped);
}
inline DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distance_high, DWORD method) {
  return hook::inject(hook::Call::SetFilePointer) ? INVALID_SET_FILE_POINTER
                                                  : ::SetFilePointer(file, distance, distance_high, method);
}
inline DWORD GetFileType(HANDLE file) {
  return hook::inject(hook::Call::GetFileType) ? FILE_TYPE_UNKNOWN : ::GetFileType(file);
}
inline BOOL CloseHandle(HANDLE object) {
  return hook::inject(hook::Call::CloseHandle) ? FALSE : ::CloseHandle(object);
}
inline BOOL DuplicateHandle(HANDLE source_process, HANDLE source, HANDLE target_process, HANDLE* target,
                            DWORD access, BOOL inherit, DWORD options) {
  return hook::inject(hook::Call::DuplicateHandle)
             ? FALSE
             : ::DuplicateHandle(source_process, source, target_process, target, access, inherit, options);
}
inline BOOL GetConsoleMode(HANDLE console, LPDWORD mode) {
  return hook::inject(hook::Call::GetConsoleMode) ? FALSE : ::GetConsoleMode(console, mode);
}
inline HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD attributes, HANDLE template_file) {
  return hook::inject(hook::Call::CreateFileA)
             ? INVALID_HANDLE_VALUE
             : ::CreateFileA(name, access, share, security, disposition, attributes, template_file);
}
inline DWORD GetFullPathNameA(LPCSTR name, DWORD size, LPSTR buffer, LPSTR* file_part) {
  return hook::inject(hook::Call::GetFullPathNameA) ? 0 : ::GetFullPathNameA(name, size, buffer, file_part);
}
inline BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  return hook::inject(hook::Call::GetFileInformationByHandle) ? FALSE : ::GetFileInformationByHandle(file, info);
}
inline BOOL FileTimeToDosDateTime(const FILETIME* time, LPWORD dos_date, LPWORD dos_time) {
  return hook::inject(hook::Call::FileTimeToDosDateTime) ? FALSE : ::FileTimeToDosDateTime(time, dos_date, dos_time);
}
inline HANDLE GetProcessHeap() {
  return hook::inject(hook::Call::GetProcessHeap) ? nullptr : ::GetProcessHeap();
}
inline LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  return hook::inject(hook::Call::HeapAlloc) ? nullptr : ::HeapAlloc(heap, flags, bytes);
}
inline LPVOID HeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes) {
  return hook::inject(hook::Call::HeapReAlloc) ? nullptr : ::HeapReAlloc(heap, flags, block, bytes);
}
inline BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID block) {
  return hook::inject(hook::Call::HeapFree) ? FALSE : ::HeapFree(heap, flags, block);
}
inline DWORD GetFileAttributesA(LPCSTR name) {
  return hook::inject(hook::Call::GetFileAttributesA) ? INVALID_FILE_ATTRIBUTES : ::GetFileAttributesA(name);
}
inline DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD message_id, DWORD language_id, LPSTR buffer,
                            DWORD size, va_list* arguments) {
  return hook::inject(hook::Call::FormatMessageA)
             ? 0
             : ::FormatMessageA(flags, source, message_id, language_id, buffer, size, arguments);
}
inline HMODULE LoadLibraryExA(LPCSTR name, HANDLE file, DWORD flags) {
  return hook::inject(hook::Call::LoadLibraryExA) ? nullptr : ::LoadLibraryExA(name, file, flags);
}
inline BOOL FreeLibrary(HMODULE module) {
  return hook::inject(hook::Call::FreeLibrary) ? FALSE : ::FreeLibrary(module);
}
inline HLOCAL LocalFree(HLOCAL block) {
  return hook::inject(hook::Call::LocalFree) ? block : ::LocalFree(block);
}
inline BOOL CharToOemA(LPCSTR source, LPSTR target) {
  return hook::inject(hook::Call::CharToOemA) ? FALSE : ::CharToOemA(source, target);
}
inline HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
  return hook::inject(hook::Call::FindFirstFileA) ? INVALID_HANDLE_VALUE : ::FindFirstFileA(pattern, data);
}
inline BOOL FindNextFileA(HANDLE search, LPWIN32_FIND_DATAA data) {
  return hook::inject(hook::Call::FindNextFileA) ? FALSE : ::FindNextFileA(search, data);
}
inline BOOL FindClose(HANDLE search) {
  return hook::inject(hook::Call::FindClose) ? FALSE : ::FindClose(search);
}
inline BOOL GetVolumeInformationA(LPCSTR root, LPSTR volume_name, DWORD volume_name_size, LPDWORD serial,
                                  LPDWORD maximum_component_length, LPDWORD file_system_flags,
                                  LPSTR file_system_name, DWORD file_system_name_size) {
  return hook::inject(hook::Call::GetVolumeInformationA)
             ? FALSE
             : ::GetVolumeInformationA(root, volume_name, volume_name_size, serial, maximum_component_length,
                                       file_system_flags, file_system_name, file_system_name_size);
}
inline DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer) {
  return hook::inject(hook::Call::GetCurrentDirectoryA) ? 0 : ::GetCurrentDirectoryA(size, buffer);
}
inline LPSTR GetEnvironmentStrings() {
  return hook::inject(hook::Call::GetEnvironmentStrings) ? nullptr : ::GetEnvironmentStrings();
}
inline LPVOID MapViewOfFile(HANDLE mapping, DWORD access, DWORD offset_high, DWORD offset_low, SIZE_T bytes) {
  return hook::inject(hook::Call::MapViewOfFile) ? nullptr
                                                 : ::MapViewOfFile(mapping, access, offset_high, offset_low, bytes);
}
inline SIZE_T VirtualQuery(LPCVOID address, PMEMORY_BASIC_INFORMATION information, SIZE_T size) {
  return hook::inject(hook::Call::VirtualQuery) ? 0 : ::VirtualQuery(address, information, size);
}

}  // namespace w32
