// A fuzz target as an ordinary program: every file named or in a folder named, in name order, each followed by 64
// variants (fewer for large inputs, 1024 in all at most) a fixed xorshift draws alike on every run and host: 1-4 bytes
// flipped, inserted, deleted or runs copied. The status is 1 when no input was found: a test cannot pass on nothing.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
int main(int argc, char** argv) {
  std::vector<std::filesystem::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path named(argv[i]);
    const auto first = static_cast<std::ptrdiff_t>(inputs.size());
    if (std::filesystem::is_regular_file(named)) inputs.push_back(named);
    for (const auto& entry : std::filesystem::is_directory(named) ? std::filesystem::directory_iterator(named)
                                                                   : std::filesystem::directory_iterator()) {
      if (entry.is_regular_file()) inputs.push_back(entry.path());
    }
    std::sort(inputs.begin() + first, inputs.end());
  }
  LLVMFuzzerInitialize(&argc, &argv);
  const auto replay = [](const std::string& input) {
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
  };
  std::size_t variants = 0;
  for (const auto& path : inputs) {
    std::fprintf(stderr, "%s\n", path.string().c_str());
    std::ifstream file(path, std::ios::binary);
    const std::string seed{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    replay(seed);
    std::uint32_t state = 2463534242u ^ static_cast<std::uint32_t>(seed.size());
    const auto next = [&state](std::size_t bound) {  // 0 ... bound - 1, and 0 for a bound of 0
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      return bound ? state % bound : 0;
    };
    const std::size_t count = std::min({std::size_t{64}, 1024 / inputs.size(), (1u << 20) / (seed.size() + 1)});
    for (std::size_t v = 0; v < count; ++v, ++variants) {
      std::string input = seed;
      for (std::size_t edits = 1 + next(4); edits-- > 0;) {
        const std::size_t at = next(input.size() + 1);
        const std::size_t kind = next(4);
        if (kind == 0 && at < input.size()) input[at] = static_cast<char>(input[at] ^ (1 << next(8)));
        if (kind == 1) input.insert(at, 1, static_cast<char>(next(256)));
        if (kind == 2 && at < input.size()) input.erase(at, 1);
        if (kind == 3) input.insert(at, seed.substr(next(seed.size()), 1 + next(64)));
      }
      replay(input);
    }
  }
  std::printf("%zu inputs replayed, and %zu variants\n", inputs.size(), variants);
  return inputs.empty() ? 1 : 0;
}
