// gencat: compiles message source files into one message catalogue.
//   gencat [--oem] OUTPUT.cat INPUT.msg...
// The sources (UTF-8) merge in order: later definitions replace earlier ones.
// --oem writes the texts in the console's OEM code page, for Windows. On any
// error the output is not written and the exit status is 1.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "tools/catalog/catalog_writer.h"

namespace {

int complain(const std::string& what) {
  std::cerr << "gencat: " << what << '\n';
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const bool oem = argc > 1 && std::string(argv[1]) == "--oem";
  if (oem) {
    --argc;
    ++argv;
  }
  if (argc < 3) {
    std::cerr << "usage: gencat [--oem] OUTPUT.cat INPUT.msg...\n";
    return 2;
  }
  catalog::Catalog result;
  for (int i = 2; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    if (!in) return complain(std::string(argv[i]) + ": cannot open the file");
    const std::string source{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    try {
      result = catalog::parse_source(source, std::move(result));
    } catch (const catalog::SourceError& error) {
      return complain(std::string(argv[i]) + ": " + error.what());
    }
  }
  if (const std::string problem = catalog::check(result); !problem.empty()) return complain(problem);
  if (oem) {
    try {
      result = catalog::to_oem(std::move(result));
    } catch (const std::runtime_error& error) {
      return complain(error.what());
    }
  }

  const std::string bytes = catalog::encode(result);
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    std::remove(argv[1]);
    return complain(std::string(argv[1]) + ": cannot write the file");
  }
  return 0;
}
