// Every numbered message of the program, once: its number in set 1 of the
// message catalogue, the kind of message, its English text (the text when no
// catalogue gives one), and what it is for. Call sites name a message; a
// translation (nls/*.msg) gives a text for each number with the same
// conversions as the English one, which a test checks.
#pragma once

#include <cstdint>

namespace rt {

struct Message {
  std::int32_t number;
  const char* kind;  // the class handed to msg_lookup: "E filename", "U", ...
  const char* text;
};

// X(name, number, kind, English text, what it is for)
#define RT_MESSAGES(X)                                                                                          \
  X(kIllegalSeek, 0, "E", "illegal seek", "the text of error -3: a seek on a pipe or a console")                \
  X(kUnknownErrorCode, 0, "E", "Unknown error #%x",                                                             \
    "the text of an error number below -9; shares number 0 with the seek error, whose translations never "      \
    "take its argument, so it stays in English")                                                                \
  X(kInputFile, 3, "E filename", "input file \"%s\"", "the file operand can't be opened")                       \
  X(kWriteError, 4, "E", "write error on standard output", "standard output refused bytes")                     \
  X(kStandardInput, 177, "I", "[standard input]", "the name of standard input in messages")                     \
  X(kReadError, 261, "E filename", "read error on file \"%s\"", "the input could not be read")                  \
  X(kBadCount, 535, "U", "Badly formed line/character count \"%s\"\n", "a count followed by other characters")  \
  X(kUnknownError, 641, "E", "unknown error", "the text of error -1")                                           \
  X(kNameTooLong, 4029, "E", "name too long", "the text of error -2")                                           \
  X(kArgumentTooLarge, 695, "E", "argument too large", "the text of error -4")                                  \
  X(kResultTooLarge, 696, "E", "result too large", "the text of error -5")                                      \
  X(kNoSuchProcess, 697, "E", "no such process", "the text of error -6")                                        \
  X(kNoSpace, 698, "E", "no space left on device", "the text of error -7")                                      \
  X(kDirectoryNotEmpty, 699, "E", "directory not empty", "the text of error -8")                                \
  X(kInterrupt, 4837, "E", "interrupt", "the text of error -9")                                                 \
  X(kNoBufferMemory, 1835, "E", "not enough memory for buffering", "a buffer or ring can't be allocated")       \
  X(kMissingNumber, 3311, "U", "Missing number after \"-%c\" option\n", "a unit option without its count")      \
  X(kAllocationFailure, 3581, "E", "!memory allocation failure", "a copy the runtime needs can't be made")      \
  X(kUsage, 5275, "U",                                                                                          \
    "Usage: tail [-f|-F] [-q|-v] [-s seconds] [-b|c|k|l|m|n [+-]number] [file...]\n"                            \
    "       tail -[number][b|c|k|l|m|n][f] [file...]\n"                                                         \
    "       tail +[number][b|c|k|l|m|n][f] [file...]\n"                                                         \
    "       tail --help | --version",                                                                          \
    "the usage text after a usage error, and the first lines of --help")                                       \
  X(kInvalidNumber, 5291, "U", "Invalid number \"%s\"", "a count outside the 32-bit range")                     \
  X(kByteCountRange, 5292, "E", "Byte count not in range %ld..%ld\n", "a byte count too large for its unit")    \
  X(kInvalidOption, 5293, "U", "Invalid option character \"%c\" in \"%s\"\n", "an unknown option letter")       \
  X(kExclusiveOptions, 5294, "U",                                                                               \
    "Argument \"%s\" is mutually exclusive with previously specified \"%c\" option.\n",                         \
    "a second unit option")                                                                                     \
  X(kBadInterval, 5295, "U", "Invalid number of seconds \"%s\"\n", "a value of -s that is no interval")         \
  X(kTruncated, 5296, "E filename", "%s: file truncated", "a followed file shrank: written again from its start") \
  X(kReplaced, 5297, "E filename", "'%s' has been replaced; following new file",                                \
    "-F: the name now opens another file")                                                                      \
  X(kInaccessible, 5298, "E filename", "'%s' has become inaccessible",                                          \
    "-F: the name no longer opens the followed file, or that file was deleted")                                 \
  X(kAppeared, 5299, "E filename", "'%s' has appeared; following new file",                                     \
    "-F: a name that could not be opened opens a file")                                                         \
  X(kAccessibleAgain, 5300, "E filename", "'%s' has become accessible again; following on where it left off",   \
    "-F: a name that could not be opened opens the file followed before")                                       \
  X(kUnknownOption, 5301, "U", "Unknown option \"%s\"\n", "a word beginning with -- that names no long option")    \
  X(kAmbiguousOption, 5302, "U", "Ambiguous option \"%s\"\n", "the beginning of more than one long option")        \
  X(kNoValueTaken, 5303, "U", "Option \"%s\" takes no value\n", "a long option without value given one after =")    \
  X(kBadFollow, 5304, "U", "Invalid value \"%s\" for --follow: name or descriptor\n",                              \
    "--follow= with a value other than name or descriptor")                                                     \
  X(kBadPid, 5305, "U", "Invalid process id \"%s\"\n", "--pid with a value that is no process id")                \
  X(kMissingValue, 5306, "U", "Missing value after \"%s\" option\n", "--pid as the last word")                     \
  X(kHelp, 5307, "H",                                                                                           \
    "Writes the last part of each file, or of standard input, to standard output.\n"                           \
    "  -n, -l, --lines=[+-]N  the last N lines (10 without an option); +N: from line N on\n"                   \
    "  -c, --bytes=[+-]N      the last N bytes; +N: from byte N on\n"                                          \
    "  -b, -k, -m [+-]N       the last N blocks of 512 bytes, kilobytes, megabytes\n"                          \
    "  -f, --follow           then write what is appended, following the open file\n"                          \
    "  --follow=name          follow the name: after a rotation, the new file\n"                               \
    "  --retry                keep looking for a name that is missing or inaccessible\n"                       \
    "  -F                     --follow=name --retry\n"                                                          \
    "  -s, --sleep-interval=S seconds between polls when following (2 without it)\n"                           \
    "  --pid=PID              end following once process PID has ended\n"                                      \
    "  -q, --quiet, --silent  never write a header before a file\n"                                            \
    "  -v, --verbose          always write a header before a file\n"                                           \
    "  --help, --version      this text; the program's version\n"                                              \
    "\n"                                                                                                       \
    "Options may follow the names (tail app.log -n 50); -- ends them.\n"                                       \
    "A - first among the names needs -- before it: tail -- - other.log\n"                                      \
    "The letters q, v, f and F go together, and before a unit: -fq, -qn 1, -Fn 20.\n"                          \
    "Wildcards (* ? [...]) outside quotes are expanded; a name that exists is not.\n"                          \
    "On Windows lines are read as text (CR LF, 1A dropped), bytes as they are.\n"                              \
    "A last line without a line end is written with the N lines before it.",                                   \
    "--help: what each option does, one line each, after the usage text")                                      \
  X(kNoFilesRemaining, 5308, "E", "no files remaining",                                                         \
    "--follow=name without --retry: every name followed has gone")

namespace messages {
#define RT_MESSAGE_RECORD(name, number, kind, text, use) inline constexpr Message name{number, kind, text};
RT_MESSAGES(RT_MESSAGE_RECORD)
#undef RT_MESSAGE_RECORD
}  // namespace messages

// Every message, in the order of the list.
#define RT_MESSAGE_ENTRY(name, number, kind, text, use) messages::name,
inline constexpr Message kMessages[] = {RT_MESSAGES(RT_MESSAGE_ENTRY)};
#undef RT_MESSAGE_ENTRY

}  // namespace rt
