// A program run in a real console, and what that console shows. This runs on the Linux host for both targets, so
// that it can open a pseudo-terminal: natively the program runs on the terminal, which is its console (it shows
// UTF-8); for Windows, Wine's cmd runs the program, after chcp and set, on the terminal, and Wine's console draws
// what it holds there as UTF-8 whatever its code page. What the terminal receives is read back without its control
// sequences and carriage returns.
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

// The text the console shows once the program has ended, in UTF-8, each line ended by '\n'. Natively the program
// gets this process's environment without the variables that choose languages and character sets, LC_CTYPE=C.UTF-8
// (a terminal's page follows the locale) and the run's environment. Throws std::runtime_error when the run has not
// ended within 30 seconds (the first Wine run, which may make the prefix, gets 120); its processes are killed first.
std::string run_in_console(const ConsoleRun& run);

// A host path as Windows programs under Wine name it (drive Z: is the host's root).
std::string wine_path(const std::string& host_path);

}  // namespace support
