// Packing, unpacking and CRC-32 of the library side by side with zlib called directly.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <array>
#include <random>
#include <vector>

#include "qelZip.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Map-file-like text with some binary stretches.
const Bytes& Input() {
  static const Bytes data = [] {
    std::mt19937 rng(1);
    static const char* words[] = {"0001:0040123a  ", "qelStackTrace.", "TraceStack", "\r\n", "Line numbers for ", "  42 "};
    Bytes d;
    while (d.size() < (1u << 20)) {
      if (rng() % 8 == 0)
        for (int i = 0; i < 16; ++i) d.push_back(static_cast<uint8_t>(rng()));
      else
        for (const char* w = words[rng() % 6]; *w; ++w) d.push_back(static_cast<uint8_t>(*w));
    }
    d.resize(1u << 20);
    return d;
  }();
  return data;
}

const Bytes& Packed() {
  static const Bytes packed = [] {
    Bytes out(compressBound(static_cast<uLong>(Input().size())));
    out.resize(qel::PackBuffer(Input().data(), out.data(), static_cast<uint32_t>(Input().size()),
                               static_cast<uint32_t>(out.size())));
    return out;
  }();
  return packed;
}

void BM_PackBuffer(benchmark::State& state) {
  const Bytes& in = Input();
  Bytes out(compressBound(static_cast<uLong>(in.size())));
  for (auto _ : state)
    benchmark::DoNotOptimize(
        qel::PackBuffer(in.data(), out.data(), static_cast<uint32_t>(in.size()), static_cast<uint32_t>(out.size())));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
  state.counters["ratio"] = static_cast<double>(Packed().size()) / static_cast<double>(in.size());
}

void BM_ZlibDeflate(benchmark::State& state) {
  const Bytes& in = Input();
  Bytes out(compressBound(static_cast<uLong>(in.size())));
  for (auto _ : state) {
    z_stream z{};
    deflateInit2(&z, 2, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    benchmark::DoNotOptimize(deflate(&z, Z_FINISH));
    deflateEnd(&z);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

void BM_UnpackBuffer(benchmark::State& state) {
  const Bytes& packed = Packed();
  Bytes out(Input().size());
  for (auto _ : state)
    benchmark::DoNotOptimize(qel::UnpackBuffer(packed.data(), out.data(), static_cast<uint32_t>(packed.size()),
                                               static_cast<uint32_t>(out.size())));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * out.size()));
}

void BM_ZlibInflate(benchmark::State& state) {
  const Bytes& packed = Packed();
  Bytes out(Input().size());
  for (auto _ : state) {
    z_stream z{};
    inflateInit2(&z, -15);
    z.next_in = const_cast<Bytef*>(packed.data());
    z.avail_in = static_cast<uInt>(packed.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    benchmark::DoNotOptimize(inflate(&z, Z_FINISH));
    inflateEnd(&z);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * out.size()));
}

void BM_Crc32Update(benchmark::State& state) {
  const Bytes& in = Input();
  const auto n = static_cast<int32_t>(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(qel::Crc32Update(0xFFFFFFFFu, in.data(), n));
  state.SetBytesProcessed(state.iterations() * n);
}

void BM_ZlibCrc32(benchmark::State& state) {
  const Bytes& in = Input();
  const auto n = static_cast<uInt>(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(crc32(0, in.data(), n));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}

// The one-byte-per-step table loop, for comparison with zlib's.
void BM_Crc32BytewiseTable(benchmark::State& state) {
  static const auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
      t[i] = c;
    }
    return t;
  }();
  const Bytes& in = Input();
  const auto n = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) crc = table[(crc ^ in[i]) & 0xFF] ^ (crc >> 8);
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
}

}  // namespace

BENCHMARK(BM_PackBuffer)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibDeflate)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnpackBuffer)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibInflate)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Crc32Update)->Arg(64)->Arg(1 << 20);
BENCHMARK(BM_ZlibCrc32)->Arg(64)->Arg(1 << 20);
BENCHMARK(BM_Crc32BytewiseTable)->Arg(64)->Arg(1 << 20);

BENCHMARK_MAIN();
