// Reading a 10 MB text map (generated: segments, publics and line numbers in
// the linker's columns), against a plain pass over the same bytes that only
// splits them into CR LF lines: the floor any reader of this format pays.
// Then Tarvik's own map, as text and compressed, when the i686 build made them.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "qelMapFile.h"

namespace {

const std::string& TenMegabyteMap() {
  static const std::string text = [] {
    std::string t;
    t.reserve(11u << 20);
    char line[160];
    const int units = 2000;
    t += "\r\nDetailed map of segments\r\n\r\n";
    for (int u = 0; u < units; ++u) {
      std::snprintf(line, sizeof line, " 0001:%08X %08X C=CODE     S=.text    G=(none)   M=Unit%-8d ACBP=A9\r\n",
                    u * 0x1000, 0x1000, u);
      t += line;
    }
    t += "\r\n\r\n  Address         Publics by Value\r\n\r\n";
    for (int p = 0; p < units * 16; ++p) {
      std::snprintf(line, sizeof line, " 0001:%08X       Unit%d::TClass%d::Routine%d\r\n", p * 0x100, p / 16, p % 7, p);
      t += line;
    }
    unsigned address = 0;
    for (int u = 0; t.size() < (10u << 20); u = (u + 1) % units) {
      std::snprintf(line, sizeof line, "\r\nLine numbers for Unit%d(Unit%d.cpp) segment .text\r\n\r\n", u, u);
      t += line;
      for (int row = 0; row < 32; ++row) {
        for (int g = 0; g < 4; ++g, address += 3) {
          std::snprintf(line, sizeof line, "%6d 0001:%08X", row * 4 + g + 1, address);
          t += line;
        }
        t += "\r\n";
      }
    }
    t += "\r\nProgram entry point at 0001:00000010\r\n";
    return t;
  }();
  return text;
}

void BM_ParseTextMap(benchmark::State& state) {
  const std::string& text = TenMegabyteMap();
  for (auto _ : state) {
    const qel::TMapFile map(text, qel::TMapBounds{0x401000, 0, 0x900000, 0});
    benchmark::DoNotOptimize(map.Lines().size());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_ParseTextMap)->Unit(benchmark::kMillisecond);

// Reference: only the line splitting.
void BM_SplitLinesOnly(benchmark::State& state) {
  const std::string& text = TenMegabyteMap();
  for (auto _ : state) {
    std::size_t lines = 0;
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
      const void* cr = std::memchr(p, '\r', static_cast<std::size_t>(end - p));
      if (cr == nullptr) break;
      p = static_cast<const char*>(cr) + 2;
      ++lines;
    }
    benchmark::DoNotOptimize(lines);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_SplitLinesOnly)->Unit(benchmark::kMillisecond);

std::string ReadBuilt(const char* relative) {
  std::ifstream in(std::string(ZIVO_BUILD_ROOT) + "/" + relative, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

const qel::TMapBounds kTarvik{0x401000, 0, 0, 0};

void BM_TarvikTextMap(benchmark::State& state) {
  const std::string text = ReadBuilt("win32/bin/Tarvik.map");
  if (text.empty()) return state.SkipWithError("build the win32 preset first");
  for (auto _ : state) {
    const qel::TMapFile map(text, kTarvik);
    benchmark::DoNotOptimize(map.Publics().size());
  }
  state.counters["file_bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_TarvikTextMap)->Unit(benchmark::kMillisecond);

void BM_TarvikCompressedMap(benchmark::State& state) {
  const std::string data = ReadBuilt("win32/nomap/Tarvik.qel");
  if (data.empty()) return state.SkipWithError("build the win32 preset first");
  for (auto _ : state) {
    qel::TMapFile map("", kTarvik);
    qel::LoadCompressedMap(data, map);
    benchmark::DoNotOptimize(map.Publics().size());
  }
  state.counters["file_bytes"] = static_cast<double>(data.size());
}
BENCHMARK(BM_TarvikCompressedMap)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
