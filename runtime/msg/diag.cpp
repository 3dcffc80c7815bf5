// Diagnostics and the texts of error numbers.
#include "runtime/msg/diag.h"

#include "runtime/msg/heap.h"
#include "runtime/msg/messages.h"
#include "runtime/startup/exit.h"
#include "runtime/string.h"
#include "runtime/win32/errno.h"

namespace rt {

const char* progname = nullptr;
FatalHandler fatal_handler = fatal_default;

namespace {

// The texts of the system's own codes -1 ... -9, indexed by -1 - code.
constexpr const Message* kOwnErrors[] = {
    &messages::kUnknownError,    &messages::kNameTooLong,    &messages::kIllegalSeek,
    &messages::kArgumentTooLarge, &messages::kResultTooLarge, &messages::kNoSuchProcess,
    &messages::kNoSpace,          &messages::kDirectoryNotEmpty, &messages::kInterrupt,
};

constexpr char kUnknownError[] = "Unknown error";
constexpr char kBlockSizeError[] = "Unsupported block size on write, or incorrect block size on read";
constexpr int kBlockSizeCode = 1106;

char g_code_text[32];           // the text of a code below -9
char* g_system_text = nullptr;  // the system's text of the last code >= 0, to be released

// A system text (in the ANSI page) in the OEM page, the console's, newly
// allocated; the blanks the system leaves at its end (where its line break
// was) are dropped. Null when memory is exhausted or a conversion fails.
char* oem_text(const char* ansi) {
  const int units = w32::MultiByteToWideChar(CP_ACP, 0, ansi, -1, nullptr, 0);
  auto* wide = units > 0 ? static_cast<WCHAR*>(malloc(sizeof(WCHAR) * static_cast<std::size_t>(units))) : nullptr;
  char* text = nullptr;
  if (wide && w32::MultiByteToWideChar(CP_ACP, 0, ansi, -1, wide, units) == units) {
    const int size = w32::WideCharToMultiByte(CP_OEMCP, 0, wide, units, nullptr, 0, nullptr, nullptr);
    text = size > 0 ? static_cast<char*>(malloc(static_cast<std::size_t>(size))) : nullptr;
    if (text && w32::WideCharToMultiByte(CP_OEMCP, 0, wide, units, text, size, nullptr, nullptr) == size) {
      std::size_t length = strlen(text);
      while (length > 0 && text[length - 1] == ' ') text[--length] = '\0';
    } else {
      free(text);
      text = nullptr;
    }
  }
  free(wide);
  return text;
}

}  // namespace

const char* message_module_for(int code) {
  if (code >= 2100 && code <= 2999) return "netmsg.dll";
  if (code >= 10000 && code <= 11999) return "wsock32.dll";
  if (code >= 12000) return "wininet.dll";
  return nullptr;
}

const char* strerror(int code) {
  if (code < 0) {
    const unsigned index = static_cast<unsigned>(-1 - static_cast<long long>(code));
    if (index < sizeof kOwnErrors / sizeof kOwnErrors[0]) return msg_lookup(*kOwnErrors[index]);
    sprintf(g_code_text, msg_lookup(messages::kUnknownErrorCode), code);
    return g_code_text;
  }
  free(g_system_text);
  g_system_text = nullptr;
  if (code == kBlockSizeCode) return kBlockSizeError;
  const char* module_name = message_module_for(code);
  HMODULE module = module_name ? w32::LoadLibraryExA(module_name, nullptr, LOAD_LIBRARY_AS_DATAFILE) : nullptr;
  // From the module first, then the system's tables; inserts left as they
  // are, the message's own line breaks not kept.
  const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                      FORMAT_MESSAGE_MAX_WIDTH_MASK | (module ? FORMAT_MESSAGE_FROM_HMODULE : 0);
  char* text = nullptr;
  const DWORD length = w32::FormatMessageA(flags, module, static_cast<DWORD>(code), 0,
                                           reinterpret_cast<LPSTR>(&text), 0, nullptr);
  if (module) w32::FreeLibrary(module);
  if (length == 0 || !text) return kUnknownError;
  g_system_text = oem_text(text);
  w32::LocalFree(text);
  return g_system_text ? g_system_text : kUnknownError;
}

int vprint_error(const char* format, FormatArgs args) {
  const int saved = errno;
  int count = 0;
  if (progname) count += fprintf(stderr, "%s: ", progname);
  count += vfprintf(stderr, format, args);
  const char* text = strerror(saved);
  count += *text ? fprintf(stderr, ": %s\n", text) : fprintf(stderr, ": error %d\n", saved);
  errno = saved;
  return count;
}

void fatal_default(const char* format, FormatArgs args) {
  const int saved = errno;
  if (progname) fprintf(stderr, "%s: ", progname);
  const char* message = msg_text(format);
  const bool with_error = message[0] == '!';
  if (with_error) ++message;
  vfprintf(stderr, message, args);
  if (with_error) {
    const char* text = strerror(saved);
    if (*text) {
      fprintf(stderr, ": %s", text);
    } else {
      fprintf(stderr, ": errno = %d", saved);
    }
  }
  putc('\n', stderr);
  errno = saved;
  exit(1);
}

void vfatal(const char* format, FormatArgs args) {
  fatal_handler(format, args);
  exit(1);  // a handler that returns still ends the process
}

}  // namespace rt
