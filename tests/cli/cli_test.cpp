// End-to-end cases of the tail program, kept as data in cases.txt and run
// against the program built for this target.
//
// The format: lines beginning with '#' are comments; "case: NAME" starts a
// case; the fields that follow, one a line, are
//   args: ARG ARG ...     the arguments, separated by blanks, as typed at a
//                         prompt: one with *, ? or [ is expanded (natively
//                         as the shell does it, on Windows by tail itself).
//                         A case may have several args lines: equivalent
//                         command lines that each must give the same result
//                         (none: no arguments)
//   file NAME: BYTES      a file in the case's directory
//   dir: NAME             a directory
//                         Names, arguments and env values are UTF-8; on
//                         Windows they reach tail in UTF-16, as typed ones do
//   data: BYTES           the input, given each way that follows
//   via: file pipe redirect closed   a file "in" added to the arguments, a pipe on standard
//                         input, standard input from a file, "in" added and no standard input at all
//   out: BYTES            the expected standard output. On Windows standard
//                         output is a text stream, and each line feed of out
//                         is written as CR LF, unless a byte unit is counted
//                         (an option holding b, c, k or m, or --bytes).
//                         Several out lines (or err lines) follow each other
//   out-windows: BYTES    the expected standard output on Windows, where the
//                         text-mode reading of the input makes it differ
//   err: BYTES            the expected standard error (CR LF on Windows: stderr is a text stream)
//   status: N             the expected exit status
//   only: native|windows  a case about one host
//   stdout: full|gone     standard output is a full device (/dev/full), or a
//                         pipe whose reader has gone
//   env: NAME=VALUE ...   variables added to the environment, which otherwise
//                         chooses no language. Several env lines: environments
//                         that each must give the same result
// BYTES take the escapes \n \r \t \\ \0 \xHH and \s (a blank inside an
// argument), and {usage} (the usage text and a line feed), {error N} (the
// system's text for error code N), {repeat N TEXT} (TEXT N times), {nls}
// (the folder of the catalogues the build makes), {version} (the release's version), {catalogue LANGUAGE} (the
// bytes of the build's catalogue for that language), {oem TEXT} (TEXT as
// tail has names: on Windows in the OEM code page, elsewhere as it is).
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/runtime_test.h"
#include "runtime/msg/diag.h"

namespace {

struct Case {
  std::string name;
  int line = 0;
  // The values by key ("args", "dir", "file NAME", "out"...), in their order.
  std::map<std::string, std::vector<std::string>> fields;
};

// How a case appears in test names and messages.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

const char kUsage[] =
    "Usage: tail [-f|-F] [-q|-v] [-s seconds] [-b|c|k|l|m|n [+-]number] [file...]\n"
    "       tail -[number][b|c|k|l|m|n][f] [file...]\n"
    "       tail +[number][b|c|k|l|m|n][f] [file...]\n"
    "       tail --help | --version\n";

// A value with its escapes and placeholders replaced.
std::string expand(const std::string& value) {
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (c == '\\' && i + 1 < value.size()) {
      const char e = value[++i];
      switch (e) {
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case '0': out += '\0'; break;
        case 's': out += ' '; break;
        case '\\': out += '\\'; break;
        case 'x': out += static_cast<char>(std::stoi(value.substr(i + 1, 2), nullptr, 16)); i += 2; break;
        default: throw std::runtime_error("unknown escape \\" + std::string(1, e));
      }
    } else if (c == '{') {
      const std::size_t close = value.find('}', i);
      const std::string inside = value.substr(i + 1, close - i - 1);
      if (inside == "usage") {
        out += kUsage;
      } else if (inside.rfind("error ", 0) == 0) {
        out += rt::strerror(std::stoi(inside.substr(6)));
      } else if (inside == "version") {
        out += TAIL_VERSION;
      } else if (inside == "nls") {
        out += TAIL_NLS_DIR;
      } else if (inside.rfind("catalogue ", 0) == 0) {
        out += support::ScratchDir::read(TAIL_NLS_DIR "/" + inside.substr(10) + "/nvo.cat");
      } else if (inside.rfind("oem ", 0) == 0) {
        out += support::oem_text(expand(inside.substr(4)));
      } else if (inside.rfind("repeat ", 0) == 0) {
        std::istringstream words(inside.substr(7));
        int times;
        std::string text;
        words >> times;
        std::getline(words >> std::ws, text);
        for (const std::string piece = expand(text); times > 0; --times) out += piece;
      } else {
        throw std::runtime_error("unknown placeholder {" + inside + "}");
      }
      i = close;
    } else {
      out += c;
    }
  }
  return out;
}

// The cases of cases.txt, without those about the other host.
std::vector<Case> load_cases() {
  std::ifstream in(TAIL_CLI_CASES, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " TAIL_CLI_CASES);
  const std::string known = " args dir data via out out-windows err status only stdout env ";
  std::vector<Case> cases;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const std::size_t colon = line.find(':');
    const std::string key = line.substr(0, colon);
    if (key == "case") {
      cases.push_back(Case{line.substr(colon + 2), number, {}});
    } else if (colon == std::string::npos || cases.empty() ||
               (known.find(" " + key + " ") == std::string::npos && key.rfind("file ", 0) != 0)) {
      throw std::runtime_error("cases.txt line " + std::to_string(number) + ": " + line);
    } else {
      cases.back().fields[key].push_back(colon + 2 <= line.size() ? line.substr(colon + 2) : "");
    }
  }
  std::erase_if(cases, [](Case& c) {
    for (const char* key : {"args", "env"}) {
      if (!c.fields.count(key)) c.fields[key].emplace_back();
    }
    return c.fields.count("only") && c.fields["only"][0] != (w32::kDriveLetters ? "windows" : "native");
  });
  return cases;
}

// A field's value; the lines of a field given on several lines (out and err
// are long), one after the other.
std::string field(const Case& c, const std::string& key, const std::string& otherwise = "") {
  const auto found = c.fields.find(key);
  if (found == c.fields.end()) return otherwise;
  std::string value;
  for (const std::string& line : found->second) value += line;
  return value;
}

// A byte unit is counted: an option names b, c, k or m.
bool counts_bytes(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg.starts_with("--")) {
      if (arg.size() > 2 && std::string("--bytes").starts_with(arg.substr(0, arg.find('=')))) return true;
    } else if ((arg[0] == '-' || arg[0] == '+') && arg.find_first_of("bckm") != std::string::npos) {
      return true;
    }
  }
  return false;
}

class Cli : public support::RuntimeTest, public ::testing::WithParamInterface<Case> {};

TEST_P(Cli, Run) {
  const Case& c = GetParam();
  for (const auto& [key, values] : c.fields) {  // "dir" comes before "file NAME"
    for (const std::string& value : values) {
      if (key == "dir") std::filesystem::create_directories(dir.path() / support::utf8_path(value));
      if (key.rfind("file ", 0) == 0) dir.write(key.substr(5), expand(value));
    }
  }
  const std::string data = expand(field(c, "data"));
  dir.write("in", data);
  std::istringstream ways(field(c, "via", "none"));
  for (std::string way; ways >> way;) {
    for (const std::string& command_line : c.fields.at("args")) {
      for (const std::string& environment : c.fields.at("env")) {
        std::vector<std::string> args;
        std::istringstream words(command_line);
        for (std::string word; words >> word;) args.push_back(expand(word));
        support::RunOptions options;
        options.expand_wildcards = true;
        if (way == "file" || way == "closed") args.push_back("in");
        if (way == "pipe" || way == "redirect") options.input = data;
        options.input_pipe = way == "pipe";
        options.input_closed = way == "closed";
        if (field(c, "stdout") == "full") options.output_path = "/dev/full";
        options.output_reader_gone = field(c, "stdout") == "gone";
        options.environment = support::plain_environment();
        std::istringstream entries(environment);
        for (std::string entry; entries >> entry;) options.environment->push_back(expand(entry));
        const support::ChildResult result = support::run_tail(dir.path(), args, options);
        const bool own_windows_out = w32::kTextModeByDefault && c.fields.count("out-windows");
        std::string out = expand(field(c, own_windows_out ? "out-windows" : "out"));
        if (!own_windows_out && !counts_bytes(args)) out = support::as_text(out);
        const std::string where =
            "cases.txt line " + std::to_string(c.line) + ": " + environment + " tail " + command_line + " via " + way;
        const auto status = static_cast<unsigned>(std::stoi(field(c, "status", "0")));
        EXPECT_EQ(result.status, status) << where << "\n" << result.err;
        EXPECT_EQ(c.fields.count("stdout") ? out : result.out, out) << where;  // such an output shows nothing
        EXPECT_EQ(result.err, support::as_text(expand(field(c, "err")))) << where;
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
