// Load times of the file readers, and the memory a huge junk file costs.
//
//   build/normal/bench/vqlisp_bench
//
// Files are written to a scratch directory first, so the figures include the
// system's file reads (from the page cache) but not the disk.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>

#include "image/char_stream.h"
#include "image/hex_reader.h"
#include "link/config_file.h"

namespace {

namespace fs = std::filesystem;

std::string HexRecord(unsigned address, const std::string& dataDigits) {
  char head[32];
  std::snprintf(head, sizeof head, ":%02zX%04X00", dataDigits.size() / 2, address & 0xFFFFu);
  return head + dataDigits + "00\r\n";  // checksums are not checked; keep them cheap
}

std::string RandomDigits(std::mt19937& random, std::size_t bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (std::size_t i = 0; i < 2 * bytes; ++i) s += kDigits[random() % 16];
  return s;
}

class ScratchFiles {
 public:
  ScratchFiles() {
    dir_ = fs::temp_directory_path() / ("vqlisp-bench-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    std::mt19937 random(1);

    std::string full;  // all 64 KiB, 16 bytes a record: about 180 KB of text
    for (unsigned a = 0; a < 65536; a += 16) full += HexRecord(a, RandomDigits(random, 16));
    full += ":00000001FF\r\n";
    fullImage = Write("full.hex", full);

    std::string overlapping;  // 4096 records of 128 bytes at scattered, overlapping places
    for (unsigned i = 0; i < 4096; ++i) {
      overlapping += HexRecord((i * 40503u) & 0xFF80u, RandomDigits(random, 128));
    }
    overlappingRecords = Write("overlap.hex", overlapping);

    config = Write("CONFIG.VQL",
                   "VQL-ISP\r\n[2710] scale\r\n[0000] bit\r\n[0000]\r\n[0378] lpt1\r\n[0278] lpt2\r\n");

    junk = (dir_ / "junk.bin").string();  // 100 MB of bytes without a colon or Ctrl-Z
    std::ofstream out(junk, std::ios::binary);
    std::string block(1 << 20, '\0');
    for (auto& c : block) {
      c = static_cast<char>(random());
      if (c == ':' || c == '\x1A') c = '.';
    }
    for (int i = 0; i < 100; ++i) out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
  ~ScratchFiles() { fs::remove_all(dir_); }

  std::string fullImage, overlappingRecords, config, junk;

 private:
  std::string Write(const std::string& name, const std::string& content) {
    const auto path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  fs::path dir_;
};

ScratchFiles& Files() {
  static ScratchFiles files;
  return files;
}

void LoadHexFile(benchmark::State& state, const std::string& path) {
  auto image = std::make_unique<vql::CodeImage>();
  for (auto _ : state) {
    vql::ClearCodeImage(*image);
    vql::FileCharStream in(path);
    benchmark::DoNotOptimize(vql::ReadHexRecords(in, *image));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(fs::file_size(path)));
}

void BM_LoadFullImage(benchmark::State& state) { LoadHexFile(state, Files().fullImage); }
void BM_LoadOverlappingRecords(benchmark::State& state) {
  LoadHexFile(state, Files().overlappingRecords);
}

void BM_LoadJunk100MB(benchmark::State& state) {
  LoadHexFile(state, Files().junk);
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void BM_ReadConfigFile(benchmark::State& state) {
  std::int32_t v[5];
  for (auto _ : state) {
    vql::ReadConfigFile(v[0], v[1], v[2], v[3], v[4], Files().config);
    benchmark::DoNotOptimize(v);
  }
}

BENCHMARK(BM_LoadFullImage)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadOverlappingRecords)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadJunk100MB)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ReadConfigFile)->Unit(benchmark::kMicrosecond);

}  // namespace
