// The end-to-end cases of cases.txt, run against this target's program. '#' begins a comment, "case: NAME" a case
// (blank lines do not count); its fields, one a line (several lines of out, err or data make one text):
//   args: ARG ...          the arguments, split at blanks; each args line (and each env line) must give the
//                          same result. row: ARG ... => BYTES instead: each row with its own standard error
//   line: LINE             instead, the whole command line, split and expanded by tail's own start-up on Windows
//                          (elsewhere by the sweep program's, which then runs tail)
//   block: WORD ...        an argument block for tail (NVOARGS)
//   file NAME: BYTES, hole NAME: N (N zero bytes before its bytes), dir: NAME   the case's directory; names,
//                          arguments and env values are UTF-8 (on Windows they reach tail in UTF-16)
//   data: BYTES, via: WAYS the input: as a file "in" added to the arguments, on a pipe, redirected, or "in" added
//                          with no standard input at all (file pipe redirect closed)
//   out, err: BYTES        standard output and error; line feeds as CR LF on Windows, but out stays bytes when an
//   status: N              option counts a byte unit (b, c, k or m)
//   only: native|windows   a case about one host
//   stdout: full|gone      standard output is a full device or a pipe whose reader has gone (no out then)
//   env: NAME=VALUE ...    variables added to an environment that chooses no language
//   sweep: yes             run again with call N through the seam failing, for N = 1, 2, ... until a run no longer
//                          reaches N (every other N under Wine): each run either does what the clean run did or ends
//                          with status 1 (127 in start-up) and a diagnostic, having written a prefix of the output;
//                          never a crash, a hang or a sanitizer report
//   grow: NAME, grown: BYTES   NAME gains a line once a file's size is taken; a faulted run may write grown instead
// BYTES take \n \r \t \\ \0 \xHH \s (a blank in an argument) and {usage}, {error N} (the text for system error N),
// {repeat N TEXT}, {nls}, {version}, {catalogue LANGUAGE}, {message LANGUAGE N}, {oem TEXT} (TEXT in the OEM code
// page on Windows), {here} (the case's directory).
#include <gtest/gtest.h>
#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <numeric>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>
#include "tests/support/support.h"
#include "runtime/msg/locale.h"
#include "runtime/msg/messages.h"
namespace {
struct Case {
  std::string name;
  int line = 0;
  int swept = 0;                                           // cases swept before this one
  std::map<std::string, std::vector<std::string>> fields;  // values by key ("args", "file NAME"...), in their order
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
const char kUsage[] =
    "Usage: tail [-f|-F] [-q|-v] [-s seconds] [-b|c|k|l|m|n [+-]number] [file...]\n"
    "       tail -[number][b|c|k|l|m|n][f] [file...]\n"
    "       tail +[number][b|c|k|l|m|n][f] [file...]\n"
    "       tail --help | --version\n";
constexpr char kStartupFailure[] = "_main: memory allocation error during startup.\r\n";
// The texts a user reads for the system error codes the cases meet, kept here rather than asked of the runtime, so
// that a wrong text fails a case: natively the C library's text for the errno value behind the code, under Wine
// the system's message table on one line, without the blank its line break became.
struct ErrorText { int code; const char* native; const char* windows; };
constexpr ErrorText kErrorTexts[] = {
    {2, "No such file or directory", "File not found."}, {3, "No such file or directory", "Path not found."},
    {5, "Permission denied", "Access denied."},          {8, "Cannot allocate memory", "Not enough memory."},
    {112, "No space left on device", "Disk full."}};
std::string error_text(int code) {
  for (const ErrorText& e : kErrorTexts) if (e.code == code) return w32::kDriveLetters ? e.windows : e.native;
  throw std::runtime_error("no text known for error code " + std::to_string(code) + ": add it to kErrorTexts");
}
std::string g_here;  // the directory of the case under way, a full path
std::string expand(const std::string& value) {
  static const std::string escapes = "nrt0s\\";
  static const std::string escaped("\n\r\t\0 \\", 6);
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const std::size_t close = value.find('}', i);
    const std::string inside = value[i] == '{' ? value.substr(i + 1, close - i - 1) : "";
    const auto starts = [&inside](const char* prefix) { return inside.rfind(prefix, 0) == 0; };
    if (value[i] == '\\' && value[i + 1] == 'x') {
      out += static_cast<char>(std::stoi(value.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else if (value[i] == '\\') {
      const std::size_t e = escapes.find(value[++i]);
      if (e == std::string::npos) throw std::runtime_error("unknown escape in " + value);
      out += escaped[e];
    } else if (value[i] != '{') {
      out += value[i];
    } else if (inside == "usage" || inside == "nls" || inside == "version" || inside == "here") {
      out += inside == "usage" ? kUsage : inside == "nls" ? TAIL_NLS_DIR : inside == "here" ? g_here : TAIL_VERSION;
    } else if (starts("error ")) {
      out += error_text(std::stoi(inside.substr(6)));
    } else if (starts("catalogue ")) {
      out += support::ScratchDir::read(TAIL_NLS_DIR "/" + inside.substr(10) + "/nvo.cat");
    } else if (starts("message ")) {  // {message LANG N}: message N as the build's catalogue for LANG has it
      const std::string language = inside.substr(8, inside.find(' ', 8) - 8);
      const support::Environment environment({"NLSPATH=" TAIL_NLS_DIR "/%l/%N.cat", "LANG=" + language});
      rt::setlocale(rt::LC_ALL, "");
      const int number = std::stoi(inside.substr(9 + language.size()));
      for (const rt::Message& m : rt::kMessages) out += m.number == number ? rt::msg_lookup(m) : "";
      rt::set_catalog_name(nullptr);
    } else if (starts("oem ")) {
      out += support::oem_text(expand(inside.substr(4)));
    } else if (starts("repeat ")) {
      const std::string piece = expand(inside.substr(inside.find(' ', 7) + 1));
      for (int times = std::stoi(inside.substr(7)); times > 0; --times) out += piece;
    } else {
      throw std::runtime_error("unknown placeholder in " + value);
    }
    if (value[i] == '{') i = close;
  }
  return out;
}
std::vector<Case> load_cases() {  // without those about the other host
  std::ifstream in(TAIL_CLI_CASES, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " TAIL_CLI_CASES);
  const std::string known = " args row line block dir data via out err status only stdout env sweep grow grown ";
  std::vector<Case> cases;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const std::size_t colon = line.find(':');
    const std::string key = line.substr(0, colon);
    const bool named = key.rfind("file ", 0) == 0 || key.rfind("hole ", 0) == 0;
    if (key == "case") {
      cases.push_back(Case{line.substr(colon + 2), number, 0, {}});
    } else if (colon == std::string::npos || cases.empty() ||
               (!named && known.find(" " + key + " ") == std::string::npos)) {
      throw std::runtime_error("cases.txt line " + std::to_string(number) + ": " + line);
    } else {
      cases.back().fields[key].push_back(colon + 2 <= line.size() ? line.substr(colon + 2) : "");
    }
  }
  std::erase_if(cases, [](Case& c) {
    for (const char* key : {"args", "env"}) if (!c.fields.count(key)) c.fields[key].emplace_back();
    return c.fields.count("only") && c.fields["only"][0] != (w32::kDriveLetters ? "windows" : "native");
  });
  for (std::size_t i = 1; i < cases.size(); ++i) {
    cases[i].swept = cases[i - 1].swept + static_cast<int>(cases[i - 1].fields.count("sweep"));
  }
  return cases;
}
std::string field(const Case& c, const std::string& key, const std::string& otherwise = "") {  // its lines joined
  const auto found = c.fields.find(key);
  return found == c.fields.end() ? otherwise
                                 : std::accumulate(found->second.begin(), found->second.end(), std::string());
}
// What a run left; in the sweep program also the function whose call failed ("" if none) and whether following began.
struct Outcome { unsigned status; std::string out, err, failed; bool following = false; };
class Cli : public support::RuntimeTest, public ::testing::WithParamInterface<Case> {
 protected:
  // One way to run the case: tail, or with `nth` >= 0 the sweep program with its nth call failing (0: none).
  Outcome run(support::RunOptions options, std::vector<std::string> args, int nth) {
    const Case& c = GetParam();
    const bool raw = c.fields.count("line") != 0;
    const std::string marker = in_dir("marker");
    std::filesystem::remove(marker);
    dir.write("in", expand(field(c, "data")));  // as it was before a run that made it grow
    if (nth >= 0) {
      options.environment->push_back("SWEEP_NTH=" + std::to_string(nth));
      options.environment->push_back("SWEEP_MARKER=" + marker);
      for (const std::string& entry : support::host_environment()) {
        if (entry.find("SAN_OPTIONS=") != std::string::npos) options.environment->push_back(entry);
      }
    }
    if (c.fields.count("grow")) options.environment->push_back("SWEEP_GROW=" + in_dir(field(c, "grow")));
    const bool sweep = nth >= 0 || (raw && !w32::kDriveLetters);
    support::Child child(support::sibling_program(sweep ? "sweep" : "../tail"), raw ? decltype(args){} : args,
                         options);
    const std::optional<unsigned> status = child.wait(std::chrono::seconds(30));
    const std::string marked = support::ScratchDir::read(marker);  // the failed call's line, then "following"
    const std::string failed = marked.starts_with("following") ? "" : marked.substr(0, marked.find('\n'));
    return Outcome{status.value_or(~0u), child.out(), child.err(), failed, marked.ends_with("following\n")};
  }
  // The sweep: every failing call ends soundly (see the top of this file).
  void sweep(const support::RunOptions& options, const std::vector<std::string>& args, const Outcome& clean,
             const std::string& grown, const std::string& where) {
    constexpr unsigned kStride = w32::kDriveLetters ? 2 : 1;
    unsigned changed = 0;  // runs the fault made end otherwise than the run without one
    for (unsigned n = kStride == 1 ? 1 : 1 + GetParam().swept % 2;; n += kStride) {
      ASSERT_LT(n, 2000u) << "the sweep does not end";
      const Outcome got = run(options, args, static_cast<int>(n));
      const std::string what = where + ": call " + std::to_string(n) + " (" + got.failed + ") failing: status " +
                               std::to_string(got.status) + ", stdout [" + got.out + "], stderr [" + got.err + "]";
      if (got.failed.empty()) {  // not reached: the run made fewer calls, and is the run without a fault
        EXPECT_EQ(got.status, clean.status) << what;
        EXPECT_EQ(got.out, clean.out) << what;
        EXPECT_EQ(got.following, clean.following) << what;
        break;
      }
      EXPECT_EQ(got.err.find("Sanitizer"), std::string::npos) << what;
      EXPECT_EQ(got.err.find("runtime error"), std::string::npos) << what;
      // A disk file whose status cannot be read is not followed, as a pipe is not.
      const bool following = got.following || (clean.following && got.failed == "GetFileInformationByHandle");
      // Under a fault a file that grew may be read to its end: sound, but other output.
      const std::string& out = !got.out.empty() && grown.starts_with(got.out) ? grown : clean.out;
      const bool same = got.status == clean.status && got.out == out && following == clean.following;
      if (!same || got.err != clean.err) ++changed;
      if (same && (got.err == clean.err || got.failed == "HeapFree")) continue;
      const bool stderr_alone = got.out == out && (got.failed == "WriteFile" || got.failed == "GetStdHandle");
      // Where the run without a fault wrote no message, the diagnostic names the error the fault gave; but a
      // missing standard handle fails later in its own way, and a folder expansion cannot read gives no names.
      const int code = got.failed.starts_with("Heap") ? ERROR_NOT_ENOUGH_MEMORY : ERROR_ACCESS_DENIED;
      const bool named = !clean.err.empty() || got.failed == "GetStdHandle" || GetParam().fields.count("line") ||
                         got.err.find(error_text(code)) != std::string::npos;
      const bool diagnostic = got.status == 127 ? got.err == kStartupFailure
                                                : !got.err.empty() && got.err != clean.err && named;
      EXPECT_TRUE(got.status == 127 || got.status == 1) << what;
      EXPECT_TRUE(diagnostic || stderr_alone) << what;
      EXPECT_EQ(got.out, out.substr(0, got.out.size())) << what;
    }
    EXPECT_GT(changed, 0u) << where << ": no fault showed";
  }
};
TEST_P(Cli, Run) {
  const Case& c = GetParam();
  g_here = support::utf8_name(dir.path());
  for (const auto& [key, values] : c.fields) {  // "dir", then "file NAME", then "hole NAME"
    for (const std::string& value : values) {
      const std::string name = key.size() > 5 ? expand(key.substr(5)) : "";
      if (key == "dir") std::filesystem::create_directories(dir.path() / support::utf8_path(expand(value)));
      if (key.rfind("file ", 0) == 0) dir.write(name, expand(value));
      if (key.rfind("hole ", 0) == 0) {
        const std::string bytes = support::ScratchDir::read(in_dir(name));
        std::filesystem::resize_file(dir.write(name, ""), std::stoull(value));
        std::ofstream(in_dir(name), std::ios::binary | std::ios::app) << bytes;
      }
    }
  }
  const bool raw = c.fields.count("line") != 0, swept = c.fields.count("sweep") != 0;
  const std::string block = field(c, "block");
  const char* lines = raw ? "line" : c.fields.count("row") ? "row" : "args";
  std::istringstream ways(field(c, "via", "none"));
  for (std::string way; ways >> way;) {
    for (const std::string& row : c.fields.at(lines)) {
      const std::string command_line = row.substr(0, row.find(" => "));
      const std::string err = row.size() > command_line.size() ? row.substr(command_line.size() + 4) : field(c, "err");
      for (const std::string& environment : c.fields.at("env")) {
        std::vector<std::string> args;
        // A whole line is expanded first: a placeholder in it may hold blanks.
        std::istringstream words(raw ? expand(command_line) : command_line);
        for (std::string word; words >> word;) args.push_back(raw ? word : expand(word));
        support::RunOptions options;
        options.cwd = support::utf8_name(dir.path());
        if (way == "file" || way == "closed") args.push_back("in");
        if (way == "pipe" || way == "redirect") options.input = expand(field(c, "data"));
        options.input_pipe = way == "pipe";
        options.input_closed = way == "closed";
        if (field(c, "stdout") == "full") options.output_path = w32::kDriveLetters ? "Z:\\dev\\full" : "/dev/full";
        options.output_reader_gone = field(c, "stdout") == "gone";
        // A swept run's environment is the case's alone: each entry costs start-up calls.
        options.environment = swept ? std::vector<std::string>{} : support::plain_environment();
        std::istringstream entries(environment);
        for (std::string entry; entries >> entry;) options.environment->push_back(expand(entry));
        if (raw && w32::kDriveLetters) options.command_line = expand(command_line);
        if (raw && !w32::kDriveLetters) options.environment->push_back("SWEEP_COMMAND_LINE=" + expand(command_line));
        if (!block.empty()) options.argument_block.emplace();
        std::istringstream block_words(block);
        for (std::string word; block_words >> word;) options.argument_block->push_back(expand(word));
        const Outcome clean = run(options, args, swept || c.fields.count("grow") ? 0 : -1);
        const bool bytes = std::any_of(args.begin(), args.end(), [](const std::string& arg) {  // a byte unit
          const std::string name = arg.substr(0, arg.find('='));
          if (arg.starts_with("--")) return name.size() > 2 && std::string("--bytes").starts_with(name);
          return (arg[0] == '-' || arg[0] == '+') && arg.find_first_of("bckm") != std::string::npos;
        });
        const auto text = [bytes](const std::string& b) { return bytes ? b : support::as_text(b); };
        const std::string out = text(expand(field(c, "out")));
        const std::string where = "cases.txt line " + std::to_string(c.line) + ": " + environment + " tail " +
                                  command_line + " " + block + " via " + way;
        EXPECT_EQ(clean.status, static_cast<unsigned>(std::stoi(field(c, "status", "0")))) << where;
        EXPECT_EQ(clean.out, out) << where;
        EXPECT_EQ(clean.err, support::as_text(expand(err))) << where;
        if (swept) sweep(options, args, clean, text(expand(field(c, "grown"))), where);
      }
    }
  }
}
std::string case_name(const ::testing::TestParamInfo<Case>& info) {
  std::string name = "line" + std::to_string(info.param.line) + "_";
  for (const char c : info.param.name) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}
INSTANTIATE_TEST_SUITE_P(Cases, Cli, ::testing::ValuesIn(load_cases()), case_name);
}  // namespace
