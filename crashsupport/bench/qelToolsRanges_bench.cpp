// Range lookup of the safe reads: the probe search against the standard
// library's binary search over the same table (3,000 ranges, random addresses).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>

#include "qelToolsRanges.h"

namespace {

qel::TRangeTable MakeTable(size_t count) {
  std::mt19937 rng(11);
  qel::TRangeTable t;
  uintptr_t at = 0;
  for (size_t i = 0; i < count; ++i) {
    const uintptr_t size = 0x1000 * (1 + rng() % 64);
    qel::AppendRegion(t, at, size, i % 2 == 1);
    at += size;
  }
  return t;
}

std::vector<uintptr_t> Addresses(const qel::TRangeTable& t) {
  std::mt19937 rng(5);
  std::vector<uintptr_t> a(4096);
  for (uintptr_t& x : a) x = rng() % t.back().End;
  return a;
}

void BM_ProbeSearch(benchmark::State& state) {
  const qel::TRangeTable t = MakeTable(static_cast<size_t>(state.range(0)));
  const std::vector<uintptr_t> a = Addresses(t);
  size_t i = 0, readable = 0;
  for (auto _ : state) readable += qel::IsRangeReadable(&t, a[i++ & 4095], 4);
  benchmark::DoNotOptimize(readable);
}

void BM_StdUpperBound(benchmark::State& state) {
  const qel::TRangeTable t = MakeTable(static_cast<size_t>(state.range(0)));
  const std::vector<uintptr_t> a = Addresses(t);
  size_t i = 0, readable = 0;
  for (auto _ : state) {
    const uintptr_t x = a[i++ & 4095];
    auto it = std::upper_bound(t.begin(), t.end(), x, [](uintptr_t v, const qel::TReadableRange& r) { return v < r.End; });
    readable += it != t.end() && x >= it->Start && it->Readable;
  }
  benchmark::DoNotOptimize(readable);
}

BENCHMARK(BM_ProbeSearch)->Arg(64)->Arg(3000);
BENCHMARK(BM_StdUpperBound)->Arg(64)->Arg(3000);

}  // namespace

BENCHMARK_MAIN();
