// The six mapping methods on a 1024 x 768 photo-like picture, beside one plain
// pass over the same pixels (ToRgb24's copy) as the reference.
#include <benchmark/benchmark.h>

#include "DepthConvCore.h"
#include "../tests/DibTestSupport.h"

using namespace pictures;

namespace {

const TDib& Photo() {
  static const TDib d = dibtest::PhotoLike(1024, 768, 9);
  return d;
}

void BM_ReferenceCopy(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(ToRgb24(Photo()));
  state.SetItemsProcessed(state.iterations() * 1024 * 768);
}
BENCHMARK(BM_ReferenceCopy)->Unit(benchmark::kMillisecond);

void BM_Method(benchmark::State& state) {
  const auto method = static_cast<uint8_t>(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(ReduceColors(Photo(), method));
  state.SetItemsProcessed(state.iterations() * 1024 * 768);
  static const char* const names[] = {"popularity", "median cut", "cube 7x8x4", "cube 6x6x6", "interleave", "grayscale"};
  state.SetLabel(names[method]);
}
BENCHMARK(BM_Method)->DenseRange(0, 5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
