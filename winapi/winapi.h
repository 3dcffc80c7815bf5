// The boundary to the operating system: the Win32 subset this program uses.
//
// On Windows the declarations come from <windows.h>; elsewhere this header
// declares the same types (with the Win32 widths: DWORD is 32 bits everywhere),
// constants and functions, and winapi/posix implements them over POSIX.
// This is the one place in the tree with a platform #if.
//
// The runtime calls the functions through namespace w32. Every function that
// can fail is listed once in W32_HOOKED_CALLS; from that list follow its
// POSIX declaration, its hook::Call name and its w32 wrapper. The wrapper
// goes through hook::inject first, which counts the call and, when a test has
// armed it, makes the call fail with a chosen error code: allocation, open,
// read, write and seek failures are provoked, not argued about. A test may
// also put a function of its own in place of the system's (a short write, a
// partial read).
//
// Contents: 1. the list of hooked calls   2. types and constants
//           3. the call hook   4. the w32 functions
#pragma once

// --- 1. The hooked calls ----------------------------------------------------
// X(result type, name, (parameters), (arguments), what a failed call returns).
// The failure value is what Windows returns for a failed call; a call with a
// count out-parameter also reports 0 bytes done.
#define W32_HOOKED_CALLS(X)                                                                                    \
  X(HANDLE, GetStdHandle, (DWORD which), (which), INVALID_HANDLE_VALUE)                                        \
  X(BOOL, ReadFile, (HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD done, LPOVERLAPPED overlapped),        \
    (file, buffer, to_read, done, overlapped), (*done = 0, FALSE))                                             \
  X(BOOL, WriteFile, (HANDLE file, LPCVOID buffer, DWORD to_write, LPDWORD done, LPOVERLAPPED overlapped),     \
    (file, buffer, to_write, done, overlapped), (*done = 0, FALSE))                                            \
  X(DWORD, SetFilePointer, (HANDLE file, LONG distance, PLONG distance_high, DWORD method),                    \
    (file, distance, distance_high, method), INVALID_SET_FILE_POINTER)                                         \
  X(DWORD, GetFileType, (HANDLE file), (file), FILE_TYPE_UNKNOWN)                                              \
  X(BOOL, CloseHandle, (HANDLE object), (object), FALSE)                                                       \
  X(BOOL, DuplicateHandle,                                                                                     \
    (HANDLE source_process, HANDLE source, HANDLE target_process, HANDLE* target, DWORD access, BOOL inherit, \
     DWORD options),                                                                                           \
    (source_process, source, target_process, target, access, inherit, options), FALSE)                         \
  X(BOOL, GetConsoleMode, (HANDLE console, LPDWORD mode), (console, mode), FALSE)                              \
  X(HANDLE, CreateFileW,                                                                                       \
    (LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,                \
     DWORD attributes, HANDLE template_file),                                                                  \
    (name, access, share, security, disposition, attributes, template_file), INVALID_HANDLE_VALUE)             \
  X(DWORD, GetFullPathNameW, (LPCWSTR name, DWORD size, LPWSTR buffer, LPWSTR* file_part),                   \
    (name, size, buffer, file_part), 0)                                                                        \
  X(BOOL, GetFileInformationByHandle, (HANDLE file, LPBY_HANDLE_FILE_INFORMATION info), (file, info), FALSE)   \
  X(BOOL, FileTimeToDosDateTime, (const FILETIME* time, LPWORD dos_date, LPWORD dos_time),                     \
    (time, dos_date, dos_time), FALSE)                                                                         \
  X(HANDLE, GetProcessHeap, (), (), nullptr)                                                                   \
  X(LPVOID, HeapAlloc, (HANDLE heap, DWORD flags, SIZE_T bytes), (heap, flags, bytes), nullptr)                \
  X(LPVOID, HeapReAlloc, (HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes), (heap, flags, block, bytes),  \
    nullptr)                                                                                                   \
  X(BOOL, HeapFree, (HANDLE heap, DWORD flags, LPVOID block), (heap, flags, block), FALSE)                     \
  X(DWORD, GetFileAttributesW, (LPCWSTR name), (name), INVALID_FILE_ATTRIBUTES)                               \
  X(DWORD, FormatMessageA,                                                                                     \
    (DWORD flags, LPCVOID source, DWORD message_id, DWORD language_id, LPSTR buffer, DWORD size,               \
     va_list* arguments),                                                                                     \
    (flags, source, message_id, language_id, buffer, size, arguments), 0)                                      \
  X(HMODULE, LoadLibraryExA, (LPCSTR name, HANDLE file, DWORD flags), (name, file, flags), nullptr)            \
  X(BOOL, FreeLibrary, (HMODULE module), (module), FALSE)                                                      \
  X(HLOCAL, LocalFree, (HLOCAL block), (block), block)                                                         \
  X(HANDLE, FindFirstFileW, (LPCWSTR pattern, LPWIN32_FIND_DATAW data), (pattern, data), INVALID_HANDLE_VALUE)  \
  X(BOOL, FindNextFileW, (HANDLE search, LPWIN32_FIND_DATAW data), (search, data), FALSE)                        \
  X(BOOL, FindClose, (HANDLE search), (search), FALSE)                                                         \
  X(BOOL, GetVolumeInformationW,                                                                               \
    (LPCWSTR root, LPWSTR volume_name, DWORD volume_name_size, LPDWORD serial,                                 \
     LPDWORD maximum_component_length, LPDWORD file_system_flags, LPWSTR file_system_name,                     \
     DWORD file_system_name_size),                                                                             \
    (root, volume_name, volume_name_size, serial, maximum_component_length, file_system_flags,                 \
     file_system_name, file_system_name_size),                                                                 \
    FALSE)                                                                                                     \
  X(DWORD, GetCurrentDirectoryW, (DWORD size, LPWSTR buffer), (size, buffer), 0)                              \
  X(LPWCH, GetEnvironmentStringsW, (), (), nullptr)                                                            \
  X(BOOL, FreeEnvironmentStringsW, (LPWCH block), (block), FALSE)                                              \
  X(int, WideCharToMultiByte,                                                                                  \
    (UINT code_page, DWORD flags, LPCWCH wide, int units, LPSTR text, int size, LPCCH default_char,            \
     LPBOOL used_default),                                                                                     \
    (code_page, flags, wide, units, text, size, default_char, used_default), 0)                                \
  X(int, MultiByteToWideChar, (UINT code_page, DWORD flags, LPCCH text, int size, LPWSTR wide, int units),      \
    (code_page, flags, text, size, wide, units), 0)                                                            \
  X(LPVOID, MapViewOfFile, (HANDLE mapping, DWORD access, DWORD offset_high, DWORD offset_low, SIZE_T bytes),  \
    (mapping, access, offset_high, offset_low, bytes), nullptr)                                                \
  X(HANDLE, OpenProcess, (DWORD access, BOOL inherit, DWORD process_id), (access, inherit, process_id), nullptr)  \
  X(DWORD, WaitForSingleObjectEx, (HANDLE object, DWORD milliseconds, BOOL alertable),                          \
    (object, milliseconds, alertable), WAIT_FAILED)                                                            \
  X(BOOL, ReadDirectoryChangesW,                                                                               \
    (HANDLE directory, LPVOID buffer, DWORD length, BOOL watch_subtree, DWORD filter, LPDWORD returned,        \
     LPOVERLAPPED overlapped, LPOVERLAPPED_COMPLETION_ROUTINE routine),                                        \
    (directory, buffer, length, watch_subtree, filter, returned, overlapped, routine), FALSE)                  \
  X(SIZE_T, VirtualQuery, (LPCVOID address, PMEMORY_BASIC_INFORMATION information, SIZE_T size),               \
    (address, information, size), 0)                                                                           \
  X(BOOL, WriteConsoleW, (HANDLE console, LPCVOID buffer, DWORD units, LPDWORD done, LPVOID reserved),      \
    (console, buffer, units, done, reserved), (*done = 0, FALSE))                                              \
  X(DWORD, GetModuleFileNameW, (HMODULE module, LPWSTR name, DWORD size), (module, name, size), 0)             \
  X(BOOL, SetConsoleCtrlHandler, (PHANDLER_ROUTINE routine, BOOL add), (routine, add), FALSE)

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
// The page names have inside the program: any character, as UTF-8. The file
// functions are called with their UTF-16 form.
inline constexpr UINT kNamePage = CP_UTF8;
// A path of MAX_PATH characters or more is given to the file functions as
// its full path in the \\?\ form, which has no such limit.
inline constexpr bool kExtendedPaths = true;
}  // namespace w32

#else  // POSIX: our own declarations, implemented in winapi/posix

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// --- 2. Types ---------------------------------------------------------------
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
using LPCCH = const char*;
using LPBOOL = BOOL*;
using WCHAR = char16_t;  // a UTF-16 unit, as on Windows
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using LPWCH = WCHAR*;
using LPCWCH = const WCHAR*;
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

struct WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  WCHAR cFileName[MAX_PATH];
  WCHAR cAlternateFileName[14];
};
using LPWIN32_FIND_DATAW = WIN32_FIND_DATAW*;

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
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
using ULONG_PTR = std::uintptr_t;
using ULONGLONG = std::uint64_t;

// Reads and writes are synchronous; only directory change requests are
// overlapped, and they complete by a routine the waiting thread runs.
struct OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  DWORD Offset;
  DWORD OffsetHigh;
  HANDLE hEvent;  // not used by a request with a completion routine: the caller's own
};
using LPOVERLAPPED = OVERLAPPED*;
#define CALLBACK
using LPOVERLAPPED_COMPLETION_ROUTINE = void (*)(DWORD error, DWORD bytes, LPOVERLAPPED overlapped);

// One change a directory request reports; entries follow each other at
// NextEntryOffset (0 for the last), each name (not ended by a zero unit)
// relative to the directory.
struct FILE_NOTIFY_INFORMATION {
  DWORD NextEntryOffset;
  DWORD Action;
  DWORD FileNameLength;  // in bytes
  WCHAR FileName[1];
};

namespace w32 {
// Text files end lines with LF alone here: streams are binary by default
// (an explicit "t" still translates).
inline constexpr bool kTextModeByDefault = false;
// There are no drives: "c:" is an ordinary name.
inline constexpr bool kDriveLetters = false;
}  // namespace w32

// --- 2. Constants -----------------------------------------------------------
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
constexpr DWORD FILE_LIST_DIRECTORY = 0x1;
constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;

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

constexpr DWORD SYNCHRONIZE = 0x00100000;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 0x102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr DWORD WAIT_IO_COMPLETION = 0xC0;
constexpr DWORD INFINITE = 0xFFFFFFFF;

constexpr DWORD FILE_NOTIFY_CHANGE_FILE_NAME = 0x1;
constexpr DWORD FILE_NOTIFY_CHANGE_DIR_NAME = 0x2;
constexpr DWORD FILE_NOTIFY_CHANGE_ATTRIBUTES = 0x4;
constexpr DWORD FILE_NOTIFY_CHANGE_SIZE = 0x8;
constexpr DWORD FILE_NOTIFY_CHANGE_LAST_WRITE = 0x10;
constexpr DWORD FILE_NOTIFY_CHANGE_SECURITY = 0x100;
constexpr DWORD FILE_ACTION_ADDED = 1;
constexpr DWORD FILE_ACTION_REMOVED = 2;
constexpr DWORD FILE_ACTION_MODIFIED = 3;
constexpr DWORD FILE_ACTION_RENAMED_OLD_NAME = 4;
constexpr DWORD FILE_ACTION_RENAMED_NEW_NAME = 5;

constexpr UINT CP_ACP = 0;
constexpr UINT CP_OEMCP = 1;
constexpr UINT CP_UTF8 = 65001;
namespace w32 {
// The page names have inside the program: the bytes the system names files
// with, each byte one character (the OEM page here converts each byte to the
// unit of its value and back).
inline constexpr UINT kNamePage = CP_OEMCP;
// Paths of any length are given as they are: there is no MAX_PATH here.
inline constexpr bool kExtendedPaths = false;
}  // namespace w32
constexpr DWORD MB_ERR_INVALID_CHARS = 0x8;
constexpr DWORD WC_ERR_INVALID_CHARS = 0x80;
constexpr DWORD WC_NO_BEST_FIT_CHARS = 0x400;

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
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
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
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_INVALID_FLAGS = 1004;
constexpr DWORD ERROR_NO_UNICODE_TRANSLATION = 1113;

// Console control events and locks between threads. A handler runs in a
// thread of its own (here: Ctrl+C, Ctrl+Break and the console closing come as
// SIGINT, SIGQUIT and SIGHUP); without one that returns TRUE the process ends
// with STATUS_CONTROL_C_EXIT. A critical section is held by one thread at a
// time, which may take it again (it is let go as often).
#define WINAPI
using PHANDLER_ROUTINE = BOOL (*)(DWORD event);
constexpr DWORD CTRL_C_EVENT = 0;
constexpr DWORD CTRL_BREAK_EVENT = 1;
constexpr DWORD CTRL_CLOSE_EVENT = 2;
constexpr DWORD STATUS_CONTROL_C_EXIT = 0xC000013A;
struct CRITICAL_SECTION {
  alignas(16) unsigned char host[64];  // the host's lock
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;
void InitializeCriticalSection(LPCRITICAL_SECTION section);
void EnterCriticalSection(LPCRITICAL_SECTION section);
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section);
void LeaveCriticalSection(LPCRITICAL_SECTION section);

// --- The emulated functions (global, as <windows.h> declares them) ----------
#define W32_DECLARE(result, name, parameters, arguments, failed) result name parameters;
W32_HOOKED_CALLS(W32_DECLARE)
#undef W32_DECLARE
DWORD GetLastError();
void SetLastError(DWORD code);
HANDLE GetCurrentProcess();
DWORD GetVersion();
void Sleep(DWORD milliseconds);
DWORD SleepEx(DWORD milliseconds, BOOL alertable);
ULONGLONG GetTickCount64();
[[noreturn]] void ExitProcess(UINT code);
LPWSTR GetCommandLineW();
UINT GetOEMCP();
UINT GetConsoleOutputCP();
DWORD GetCurrentProcessId();
UINT SetErrorMode(UINT mode);
LPTOP_LEVEL_EXCEPTION_FILTER SetUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter);

#endif  // platform

namespace w32 {

// --- 3. The call hook -------------------------------------------------------
namespace hook {

// The functions whose calls are counted, can be made to fail and can be
// replaced.
enum class Call : unsigned {
#define W32_CALL_NAME(result, name, parameters, arguments, failed) name,
  W32_HOOKED_CALLS(W32_CALL_NAME)
#undef W32_CALL_NAME
  count_
};

// Arms a failure: the nth call of fn from now on (1 = the next one) fails and
// leaves `code` as the last error. One armed failure per function.
void fail_nth(Call fn, unsigned nth, DWORD code);
// Arms one failure counted over the calls of all functions together: the
// nth hooked call from now on fails, whatever its function. When it is
// reached, fail(fn) is called with the function whose call fails, and gives
// the error code left as the last error; the failure is then used up.
void fail_any_nth(unsigned nth, DWORD (*fail)(Call fn));
// Number of calls of fn since the program started or since reset().
unsigned calls(Call fn);
// Clears every count, every armed failure and every replacement.
void reset();
// Counts a call of fn; true when the call must fail (the last error is then set).
bool inject(Call fn);

// The functions called in place of the system's, one per hooked call; null
// calls the system. A replacement is called after inject, so an armed
// failure still comes first, and it may call the system's own function
// (::WriteFile) for the part it lets through. Sleep, SleepEx,
// GetTickCount64 and ExitProcess cannot fail and are not counted, but they
// have slots too: a test can end a program at its pause, run the clock it
// reads, or take its run back at the end of the process (the process ends
// when the replacement returns).
struct Replacements {
#define W32_REPLACEMENT(result, name, parameters, arguments, failed) result(*name) parameters = nullptr;
  W32_HOOKED_CALLS(W32_REPLACEMENT)
#undef W32_REPLACEMENT
  void (*Sleep)(DWORD milliseconds) = nullptr;
  DWORD (*SleepEx)(DWORD milliseconds, BOOL alertable) = nullptr;
  ULONGLONG (*GetTickCount64)() = nullptr;
  void (*ExitProcess)(UINT code) = nullptr;
};
extern Replacements replacements;

// Puts a replacement in one slot of `replacements` for the length of a scope:
//   hook::Replace short_writes(hook::replacements.WriteFile, &write_three_bytes);
template <class Function>
class Replace {
 public:
  Replace(Function& slot, Function replacement) : slot_(slot), saved_(slot) { slot = replacement; }
  ~Replace() { slot_ = saved_; }
  Replace(const Replace&) = delete;
  Replace& operator=(const Replace&) = delete;

 private:
  Function& slot_;
  Function saved_;
};

}  // namespace hook

// --- 4. The functions the runtime calls ---------------------------------------
using ::GetLastError;
using ::SetLastError;
using ::GetCurrentProcess;
using ::GetVersion;
using ::GetCommandLineW;
using ::GetOEMCP;
using ::GetConsoleOutputCP;
using ::GetCurrentProcessId;
using ::SetErrorMode;
using ::SetUnhandledExceptionFilter;
using ::InitializeCriticalSection;
using ::EnterCriticalSection;
using ::TryEnterCriticalSection;
using ::LeaveCriticalSection;

inline void Sleep(DWORD milliseconds) {
  if (hook::replacements.Sleep) return hook::replacements.Sleep(milliseconds);
  ::Sleep(milliseconds);
}

inline DWORD SleepEx(DWORD milliseconds, BOOL alertable) {
  if (hook::replacements.SleepEx) return hook::replacements.SleepEx(milliseconds, alertable);
  return ::SleepEx(milliseconds, alertable);
}

inline ULONGLONG GetTickCount64() {
  if (hook::replacements.GetTickCount64) return hook::replacements.GetTickCount64();
  return ::GetTickCount64();
}

[[noreturn]] inline void ExitProcess(UINT code) {
  if (hook::replacements.ExitProcess) hook::replacements.ExitProcess(code);
  ::ExitProcess(code);
}

#define W32_WRAPPER(result, name, parameters, arguments, failed)           \
  inline result name parameters {                                          \
    if (hook::inject(hook::Call::name)) return failed;                     \
    if (hook::replacements.name) return hook::replacements.name arguments; \
    return ::name arguments;                                               \
  }
W32_HOOKED_CALLS(W32_WRAPPER)
#undef W32_WRAPPER

}  // namespace w32
