// Throughput of the in-place stream paths: 100 MiB read through getc and
// written through putc, in binary and in text mode. Run it from the native
// build: build/native/bench/stream_bench
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "runtime/stdio/stream.h"
#include "runtime/win32/fd.h"

namespace {

constexpr std::size_t kSize = 100u << 20;

// 100 MiB of 64-byte lines ending in CR LF, so that text mode has work.
const std::string& input_file() {
  static const std::string path = [] {
    const auto file = std::filesystem::temp_directory_path() / "tail-stream-bench.txt";
    std::string line(62, 'x');
    line += "\r\n";
    std::ofstream out(file, std::ios::binary);
    for (std::size_t written = 0; written < kSize; written += line.size()) out << line;
    return file.string();
  }();
  return path;
}

void read_through_getc(benchmark::State& state, const char* mode) {
  for (auto _ : state) {
    rt::Stream* stream = rt::fopen(input_file().c_str(), mode);
    std::size_t bytes = 0;
    while (rt::getc(stream) != rt::EOF) ++bytes;
    rt::fclose(stream);
    benchmark::DoNotOptimize(bytes);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}

void write_through_putc(benchmark::State& state, const char* mode, int buffering) {
  std::string line(63, 'y');
  line += '\n';
  for (auto _ : state) {
    rt::Stream* stream = rt::fopen("/dev/null", mode);
    rt::setvbuf(stream, nullptr, buffering, 1024);
    for (std::size_t written = 0; written < kSize; written += line.size()) {
      for (const char c : line) rt::putc(c, stream);
    }
    rt::fclose(stream);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}

void ReadBinary(benchmark::State& state) { read_through_getc(state, "rb"); }
void ReadText(benchmark::State& state) { read_through_getc(state, "rt"); }
void WriteBinary(benchmark::State& state) { write_through_putc(state, "wb", rt::_IOFBF); }
void WriteText(benchmark::State& state) { write_through_putc(state, "wt", rt::_IOFBF); }
void WriteBinaryLineBuffered(benchmark::State& state) { write_through_putc(state, "wb", rt::_IOLBF); }

BENCHMARK(ReadBinary)->Unit(benchmark::kMillisecond);
BENCHMARK(ReadText)->Unit(benchmark::kMillisecond);
BENCHMARK(WriteBinary)->Unit(benchmark::kMillisecond);
BENCHMARK(WriteText)->Unit(benchmark::kMillisecond);
BENCHMARK(WriteBinaryLineBuffered)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (rt::fd_init() != 0) return 1;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove(input_file());
  return 0;
}
