// The tail command: the option state, the output driver over the operands,
// the modes that write the end of an input, and follow mode.
#pragma once

#include <cstdint>

#include "runtime/prelude.h"
#include "runtime/stdio/stream.h"
#include "runtime/win32/fstat.h"

namespace tail {

// The option state, set by the option loop and only read after it.
struct TailOptions {
  std::int64_t count = 10;      // the number given, in units of `unit`
  std::int32_t from_end = 1;    // 1: counted from the end; 0: from the beginning
  std::int32_t unit = 5;        // index of the unit letter in kUnitLetters
  std::uint8_t follow = 0;      // 1 once -f, -F (or an f letter) was read
  char unit_letter = 0;         // the unit letter as typed; 0 while none was given
  const char* current_arg = nullptr;  // the argument being parsed, quoted in messages
  std::uint8_t by_name = 0;     // 1 with -F: a followed name is opened again when its file goes
  std::int8_t headers = -1;     // 1 with -v, 0 with -q (the later wins); -1: with several operands
  std::uint32_t interval_ms = 2000;  // the pause before each poll (-s)
  std::uint8_t retry = 0;       // 1 with -F or --retry: a name missing or gone is looked for at every poll
  std::uint32_t pid = 0;        // --pid: following ends once this process has ended; 0: none
};
extern TailOptions options;

// Units: lines (l, n), 512-byte blocks (b), bytes (c), kilobytes (k), megabytes (m).
inline constexpr char kUnitLetters[] = "lbckmn";
// The backward scan reads a page first and then blocks of up to kScanBlockSize.
constexpr std::int32_t kScanFirstBlockSize = 4096;
constexpr std::int32_t kScanBlockSize = 65536;
// The input's buffer, and standard output's (line-buffered all the same):
// twice the input's, so that a whole run read takes one write even where
// text mode writes each line feed as two bytes.
constexpr std::size_t kInputBufferSize = 131072;
constexpr std::size_t kOutputBufferSize = 2 * kInputBufferSize;

// Options, inputs and output modes: the exit status.
int main(int argc, char** argv, char** envp);
// The option loop: fills `options` and gathers the operands, in order, at
// argv[1] on; their number.
int parse_options(int argc, char** argv);
// Prints the usage text and ends the process with status 2.
[[noreturn]] void usage();
// 1 when the text is a whole decimal number (in range or not), else 0.
int is_number(const char* text);
// Reads a count with its sign into the options; the position after it.
const char* parse_count(const char* text, int obsolescent);
// Reads a unit letter and an 'f', in either order; the position after them.
// flag: in 1 for the obsolescent forms, 0 otherwise; out 1 when an f was read.
const char* parse_units(const char* text, int& flag);

// How an input's text is read and shown.
struct InputText {
  rt::Encoding encoding;  // kUndecided until its first bytes tell; kBytes with byte units
  std::uint8_t mark;      // the bytes of its mark, which are never written
  rt::WideDecoder wide;   // UTF-16 read while following: the bytes of a character a read cut
  rt::TextForm form;      // what standard output's bytes of it are
};
// The text of an input not yet read.
InputText fresh_text();
// Makes standard output's bytes from now on those of `form` (null: bytes as
// they are); the form this replaces is stored back where it came from.
void show(rt::TextForm* form);
// Before an input's text starts afresh (or is forgotten): standard output
// lets go of its form, and a character left unfinished is written as the
// bytes it has.
void let_text_go(InputText& text);
// Decides an input's encoding from its first bytes and sets it up to be
// read: a UTF-16 mark is taken and the stream decodes from there on. False
// while the bytes are a mark begun and `more_may_come` (nothing is to be
// written yet: the encoding stays kUndecided), when the input cannot be read
// (ferror) and when decoding finds no memory. `file`: the input is a disk
// file (never a console).
bool decide_encoding(rt::Stream* stream, bool file, bool more_may_come, InputText& text);
// Gives an input whose first bytes were found to be `encoding` its form,
// and the length of its mark: UTF-16's always, UTF-8's when standard output
// is a console, which shows characters (elsewhere the bytes stay as they are).
void set_encoding(InputText& text, rt::Encoding encoding);

// Writes each operand in turn (standard input when there is none), under a
// header when there are several or -v asks for them, then follows them when
// asked: the exit status, 1 when any of them failed.
int tail_files(char* const* names, int count);
// Picks the output mode for an input and runs it: 0 or 1. `held_return`:
// null, or where a carriage return that ends the text written is kept
// instead of written (text that is followed afterwards: the byte after it
// decides whether it ends a line).
int tail_stream(rt::Stream* stream, const char* name, bool* held_return, InputText& text);
// Skips `count` lines, then copies the rest.
int skip_lines(rt::Stream* stream, const char* name, bool* held_return);
// Drops `skip` bytes, then copies the rest.
int copy_rest(rt::Stream* stream, std::int64_t skip, const char* name, bool* held_return);
// The end of every copying mode: input error, flush, output error.
int end_of_copy_checks(rt::Stream* stream, const char* name);
// The diagnostic of a failed read of the input; the status 1 it ends with.
int read_error(const char* name);
// The same, then the end of the process with status 1: a read error while
// lines are skipped or kept in the ring.
[[noreturn]] void read_error_exit(const char* name);

// The last lines of a positionable input of `size` bytes: a backward scan.
// In UTF-16 a line ends at the unit 000A.
// `text`: the input's encoding and mark.
int last_lines_seek(rt::Stream* stream, rt::off_t size, const char* name, bool* held_return, const InputText& text);
// The last lines of any input: what is read is kept until count + 1 line
// feeds come after it.
int last_lines_ring(rt::Stream* stream, const char* name);
// The last `offset` bytes of any input, kept as they are read.
int last_bytes_ring(rt::Stream* stream, std::int64_t offset, const char* name);

// The bytes kept of what was read last of a followed file, just before the
// position reached: a poll that finds them changed knows the file was
// rewritten.
constexpr int kCheckSize = 64;

// Where a followed input stands (the transitions are drawn in follow.cpp).
enum class FollowState : std::uint8_t {
  kNotFollowed,  // a pipe or console: written once
  kAwaited,      // the name opens nothing, and no file of it is known
  kOpen,         // a descriptor at the position read up to
  kAway,         // by name: let go while the file still has a name; it may come back
};

// An input as follow mode keeps it: a descriptor at the position read up
// to, and what tells its file from another.
struct Followed {
  const char* name;      // as messages and headers show it
  FollowState state;
  bool by_name;          // -F and a named operand: looked up again when its file may have changed
  bool named;            // a named operand (not standard input): its folder tells its changes
  int fd;                // kOpen: the descriptor; -1 otherwise
  rt::off_t position;    // the offset read up to: every byte before it was written or is held
  rt::off_t size;        // the most known of the file: a smaller size is a truncation
  rt::FileIdentity id;   // kOpen, kAway: the file followed, as its last poll found it
  bool drained;          // that poll read it to its end: the size and write time of `id` hold nothing new
  bool held_return;      // a carriage return ended what was read: the next byte decides
  bool unsure;           // a poll after a notice found the name opening nothing: the next clock poll decides
  int checked;           // bytes in `check`
  unsigned char check[kCheckSize];  // the bytes just before `position`, as read
  InputText text;        // its encoding, decided again when it starts afresh
};

// A name that opens nothing yet, looked for at every poll (--retry).
Followed awaited(const char* name);
// After an input's part is written: whether and how it is followed. 0 and
// an open record when it is (its stream is then closed, its descriptor
// kept), 0 and a record not followed when it is not (no -f, a pipe or
// console), 1 when following cannot be set up. `named`: a named operand,
// not standard input. `held_return`: the text written ended with a
// carriage return that was held back.
int follow_setup(rt::Stream* stream, const char* name, bool named, bool held_return, const InputText& text,
                 Followed& followed);
// Polls the inputs for what is appended (and, by name, for files that
// replace them) until the process is ended from outside, or until the
// process of --pid has ended (then with `status`). With headers, one is
// written whenever the input written changes; `written` is the input whose
// part was written last (-1: none of these); `first_header`: no header was
// written yet.
[[noreturn]] void follow_files(Followed* inputs, int count, bool first_header, bool headers, int written,
                               int status);
// True when the two identities are of one file that a handle has held all
// along: its index cannot have been given to another. A volume serial number
// of 0 is one the system could not tell (Wine gives it now and then): the
// index alone decides.
inline bool same_file(const rt::FileIdentity& a, const rt::FileIdentity& b) {
  return (a.volume == b.volume || a.volume == 0 || b.volume == 0) && a.index == b.index;
}
// True when `now` is the file `then` was taken from, though no handle held
// it in between: a file that is gone may leave its index to a new one, so
// the creation time must be known and the same.
inline bool same_file_since(const rt::FileIdentity& then, const rt::FileIdentity& now) {
  return same_file(then, now) && then.created != 0 && then.created == now.created;
}

// The folders of followed names, asked to tell their changes (watch.cpp).
struct Folder;
// What the folders have told of one input.
struct WatchedInput {
  int folder;     // the folder of its name; -1: none, the clock alone tells
  const char* leaf;  // its name in that folder, as notices give it: the end of the input's name, or its own copy
  bool owns_leaf;    // the leaf is a copy of its own, freed with the watcher
  bool by_name;   // followed by name: a rename of its file leaves the name
  bool touched;   // a notice concerned it since it was last polled
  bool moving;    // by descriptor: its file was renamed away, and its new name is yet to be told
};
// The watcher of a run of follow mode: its folders and its inputs, in the
// order of follow_files' inputs. Each request's record points back to it.
struct Watcher {
  Folder* folders;
  int folder_count;
  int folder_room;
  WatchedInput* inputs;
  int input_count;
  bool noticed;  // a notice has come since the last take_notice
};
// Gives the named inputs their folders, watches them, and asks each for
// its first notice. Inputs it cannot watch (no memory, a folder the system
// will not watch) are left to the clock.
void watch_folders(Watcher& watcher, const Followed* inputs, int count);
// Before a poll: compares the folders that a notice said may have changed,
// and at a clock poll those whose turn `tick` is (every folder once in
// kTurns clock polls; -1 at a poll that notices started), with what their
// names lead to now; watches anew those that have (touching their inputs),
// and asks every watched folder whose notice has come for its next, so
// that what changes during the poll is told again.
void renew_watches(Watcher& watcher, long long tick);
// True when a notice has come since the last call.
bool take_notice(Watcher& watcher);
// True when a notice concerned input k since the last call.
bool take_touch(Watcher& watcher, int k);
// True while the folder of input k tells its changes.
bool is_watched(const Watcher& watcher, int k);
// Closes every watch and frees the folders.
void stop_watching(Watcher& watcher);
// Clock polls in which every input and folder has its turn once: what the
// clock looks at in turns (looking names up, comparing folders, and with
// many inputs polling them) it looks at once in this many polls.
constexpr unsigned kTurns = 16;
// True when item k has its turn at clock poll `tick`.
inline bool has_turn(int k, long long tick) { return tick >= 0 && (tick + k) % kTurns == 0; }

// Writes the header of an input's part: "==> NAME <==", after a blank line
// unless it is the first thing written.
void write_header(const char* name, bool first);
// True when following reads text: line units where streams are text by
// default; line ends and 0x1A are then translated.
bool follows_text();

// Copying a run at a time, with the effect of a getc/putc loop.
// Copies the input to stdout until its end; when held_return is given, a
// carriage return that ends it is not written, and *held_return tells
// whether there was one.
void copy_to_stdout(rt::Stream* stream, bool* held_return);
// Writes a run taken from a text input; with `held_return`, a carriage
// return that ends the run is kept there and written before the next run.
// (Within one read a carriage return is never followed by a line feed: the
// pair reads as a line feed. So only one that ends the input stays open.)
void write_run(const unsigned char* run, std::size_t n, bool* held_return);
// Drops `count` bytes of input; false when the input ends first.
bool skip_bytes(rt::Stream* stream, std::int64_t count);
// Drops input up to and including the next line feed; false when the input
// ends first.
bool skip_line(rt::Stream* stream);

}  // namespace tail
