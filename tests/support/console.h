// A program run on a pseudo-terminal of the Linux host: natively, or for Windows by Wine's cmd after chcp and set (Wine
// draws UTF-8 whatever the code page); read back without control sequences and carriage returns.
#pragma once
#include <string>
#include <vector>

namespace support {
struct ConsoleRun {
  std::string program;                   // the program's path on this host (for Windows, the .exe's)
  std::string wine;                      // Windows: the build's wine-run (Wine with the build's prefix); "" natively
  unsigned code_page = 0;                // Windows: the console's code page, set by chcp; 0 keeps Wine's (437)
  std::vector<std::string> environment;  // "NAME=VALUE" for the program; for Windows set by cmd in the console
  std::string cwd;                       // the working directory
  std::vector<std::string> args;         // for Windows without blanks or quotes: cmd gets them as typed
};

// What the console shows once the program has ended, in UTF-8, lines ended by '\n'. Natively the program gets this
// environment without what chooses languages and character sets, LC_CTYPE=C.UTF-8 (a terminal's page follows the
// locale) and the run's. Throws std::runtime_error, its processes killed, after 30 s (120 for a first Wine run).
std::string run_in_console(const ConsoleRun& run);

// A host path as Windows programs under Wine name it (drive Z: is the host's root).
std::string wine_path(const std::string& host_path);
}  // namespace support
