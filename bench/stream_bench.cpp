// Throughput of the stream paths: 100 MiB read through getc and written
// through putc, in binary and in text mode; read in text mode a run at a
// time; and copied with stream_copy from text to text, with CR LF and with
// LF line ends, as tail copies (a 128 KiB input buffer, line-buffered output
// of 256 KiB that holds its lines). Run it from the native build:
// build/native/bench/stream_bench
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "runtime/stdio/stream.h"
#include "runtime/win32/fd.h"

namespace {

constexpr std::size_t kSize = 100u << 20;
constexpr const char* kCrLfName = "tail-stream-bench.txt";
constexpr const char* kLfName = "tail-stream-bench-lf.txt";

// 100 MiB of 64-byte lines ending in `end`, made once.
std::string lines_file(const char* name, const std::string& end) {
  const auto file = std::filesystem::temp_directory_path() / name;
  std::string line(64 - end.size(), 'x');
  line += end;
  std::ofstream out(file, std::ios::binary);
  for (std::size_t written = 0; written < kSize; written += line.size()) out << line;
  return file.string();
}

// Lines ending in CR LF, so that text mode has work.
const std::string& input_file() {
  static const std::string path = lines_file(kCrLfName, "\r\n");
  return path;
}

// The same lines ending in LF alone.
const std::string& line_feeds_file() {
  static const std::string path = lines_file(kLfName, "\n");
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

void take_runs(benchmark::State& state) {
  for (auto _ : state) {
    rt::Stream* stream = rt::fopen(input_file().c_str(), "rt");
    rt::setvbuf(stream, nullptr, rt::_IOFBF, 131072);
    std::size_t bytes = 0;
    const unsigned char* run;
    while (const std::size_t n = rt::stream_take(stream, SIZE_MAX, -1, &run)) bytes += n;
    rt::fclose(stream);
    benchmark::DoNotOptimize(bytes);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}

void copy_text(benchmark::State& state, const std::string& path) {
  for (auto _ : state) {
    rt::Stream* in = rt::fopen(path.c_str(), "rt");
    rt::Stream* out = rt::fopen("/dev/null", "wt");
    rt::setvbuf(in, nullptr, rt::_IOFBF, 131072);
    rt::setvbuf(out, nullptr, rt::_IOLBF, 262144);
    rt::stream_hold_lines(out, true);
    rt::stream_copy(in, out, false);
    rt::stream_hold_lines(out, false);
    rt::fclose(in);
    rt::fclose(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}

void ReadBinary(benchmark::State& state) { read_through_getc(state, "rb"); }
void ReadText(benchmark::State& state) { read_through_getc(state, "rt"); }
void WriteBinary(benchmark::State& state) { write_through_putc(state, "wb", rt::_IOFBF); }
void WriteText(benchmark::State& state) { write_through_putc(state, "wt", rt::_IOFBF); }
void WriteBinaryLineBuffered(benchmark::State& state) { write_through_putc(state, "wb", rt::_IOLBF); }
void TakeText(benchmark::State& state) { take_runs(state); }
void CopyText(benchmark::State& state) { copy_text(state, input_file()); }
void CopyTextLineFeeds(benchmark::State& state) { copy_text(state, line_feeds_file()); }

BENCHMARK(ReadBinary)->Unit(benchmark::kMillisecond);
BENCHMARK(ReadText)->Unit(benchmark::kMillisecond);
BENCHMARK(WriteBinary)->Unit(benchmark::kMillisecond);
BENCHMARK(WriteText)->Unit(benchmark::kMillisecond);
BENCHMARK(WriteBinaryLineBuffered)->Unit(benchmark::kMillisecond);
BENCHMARK(TakeText)->Unit(benchmark::kMillisecond);
BENCHMARK(CopyText)->Unit(benchmark::kMillisecond);
BENCHMARK(CopyTextLineFeeds)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (rt::fd_init() != 0) return 1;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (const char* name : {kCrLfName, kLfName}) std::filesystem::remove(std::filesystem::temp_directory_path() / name);
  return 0;
}
