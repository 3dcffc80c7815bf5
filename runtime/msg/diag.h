// Diagnostics and error texts. A diagnostic is one line on stderr: the
// program name and ": " (once progname is set), the message, and for the
// printers that ask for it ": " and the text of the error number.
#pragma once

#include "runtime/msg/format.h"
#include "runtime/prelude.h"

namespace rt {

// The program name that begins every diagnostic; null: no prefix.
extern const char* progname;

// The text of an error number; never null. The system's own codes -1 ... -9
// are numbered messages; below -9 "Unknown error #%x"; a Win32 code gets the
// system's text for it, or "Unknown error". The text lives until the next
// call of the same kind.
const char* strerror(int code);

// The message module that holds the texts of a range of Win32 codes
// (network, sockets, internet), or null for the system's own tables.
const char* message_module_for(int code);

// Prints the name, the message and the text of errno as it was on entry;
// errno is the same afterwards. The number of characters printed.
int vprint_error(const char* format, FormatArgs args);

template <class... Args>
int print_error(const char* format, const Args&... args) {
  return vprint_error(format, FormatPack<Args...>(args...).args());
}

// The handler fatal calls; it does not return.
using FatalHandler = void (*)(const char* format, FormatArgs args);
extern FatalHandler fatal_handler;

// The default handler: prints the name and the message (a numbered message
// literal is looked up), followed by ": " and the text of errno when the
// message begins with "!", then ends the process with status 1.
[[noreturn]] void fatal_default(const char* format, FormatArgs args);

[[noreturn]] void vfatal(const char* format, FormatArgs args);

template <class... Args>
[[noreturn]] void fatal(const char* format, const Args&... args) {
  vfatal(format, FormatPack<Args...>(args...).args());
}

}  // namespace rt
