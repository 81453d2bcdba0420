// GIF raster decode and encode: this codec beside giflib on the same pictures and
// the same code streams, in one run; and whole files: a GIF read with every frame
// decoded to its BMP, and a BMP encoded into a GIF file.
#include <benchmark/benchmark.h>
#include <gif_lib.h>

#include <cstring>
#include <array>

#include "GifCore.h"
#include "GifLzw.h"
#include "tests/GifTestSupport.h"

using namespace pictures;

namespace {

struct Picture {
  giftest::Indices idx;
  int bits;  // pixel bits of the array and of the colour table
  std::vector<uint8_t> dib;
  std::string raster;  // our encoding
  std::string gif;     // the same raster in a GIF file, for giflib
};

const Picture& Get(int which) {
  static const std::array<Picture, 3> pics = [] {
    auto make = [](const char* kind, int colors, int bits) {
      Picture p{giftest::MakePicture(kind, 1024, 768, colors, 42), bits, {}, {}, {}};
      p.dib = giftest::PackDib(p.idx, bits);
      zf::TMemoryStream out;
      EncodeGifRaster(out, {1024, 768, bits}, false, {}, p.dib);
      p.raster = out.Bytes();
      p.gif = giftest::WrapGif(1024, 768, bits, giftest::GrayPalette(bits), p.raster, false);
      return p;
    };
    return std::array<Picture, 3>{make("smooth", 256, 8), make("noise", 256, 8), make("stripes", 16, 4)};
  }();
  return pics[which];
}

const char* const kNames[] = {"smooth8", "noise8", "stripes4"};

struct Reader {
  const std::string* data;
  size_t pos;
};
int ReadMem(GifFileType* g, GifByteType* buf, int n) {
  auto* r = static_cast<Reader*>(g->UserData);
  const size_t k = std::min<size_t>(static_cast<size_t>(n), r->data->size() - r->pos);
  std::memcpy(buf, r->data->data() + r->pos, k);
  r->pos += k;
  return static_cast<int>(k);
}
int WriteMem(GifFileType* g, const GifByteType* buf, int n) {
  static_cast<std::string*>(g->UserData)->append(reinterpret_cast<const char*>(buf), static_cast<size_t>(n));
  return n;
}

void DecodeOurs(benchmark::State& st) {
  const Picture& p = Get(static_cast<int>(st.range(0)));
  std::vector<uint8_t> dib(p.dib.size());
  for (auto _ : st) {
    zf::TMemoryStream in(p.raster);
    bool corrupted = false;
    DecodeGifRaster(in, {1024, 768, p.bits}, false, {}, corrupted, dib, p.bits, true);
    benchmark::DoNotOptimize(dib.data());
  }
  if (dib != p.dib) st.SkipWithError("decoded picture differs");
  st.SetItemsProcessed(st.iterations() * 1024 * 768);
  st.SetLabel(kNames[st.range(0)]);
}

void DecodeOursWithProgress(benchmark::State& st) {
  const Picture& p = Get(static_cast<int>(st.range(0)));
  std::vector<uint8_t> dib(p.dib.size());
  int reports = 0;
  const TGifProgressHandler progress = [&](TGifProgressStage, uint8_t, const std::string&) { ++reports; };
  for (auto _ : st) {
    zf::TMemoryStream in(p.raster);
    bool corrupted = false;
    DecodeGifRaster(in, {1024, 768, p.bits}, false, progress, corrupted, dib, p.bits, true);
    benchmark::DoNotOptimize(reports);
  }
  st.SetItemsProcessed(st.iterations() * 1024 * 768);
  st.SetLabel(kNames[st.range(0)]);
}

void DecodeGiflib(benchmark::State& st) {
  const Picture& p = Get(static_cast<int>(st.range(0)));
  for (auto _ : st) {
    Reader r{&p.gif, 0};
    int err = 0;
    GifFileType* g = DGifOpen(&r, ReadMem, &err);
    if (!g || DGifSlurp(g) != GIF_OK) {
      st.SkipWithError("giflib could not decode");
      break;
    }
    benchmark::DoNotOptimize(g->SavedImages[0].RasterBits);
    DGifCloseFile(g, &err);
  }
  st.SetItemsProcessed(st.iterations() * 1024 * 768);
  st.SetLabel(kNames[st.range(0)]);
}

void EncodeOurs(benchmark::State& st) {
  const Picture& p = Get(static_cast<int>(st.range(0)));
  size_t bytes = 0;
  for (auto _ : st) {
    zf::TMemoryStream out;
    EncodeGifRaster(out, {1024, 768, p.bits}, false, {}, p.dib);
    bytes = static_cast<size_t>(out.Size());
    benchmark::DoNotOptimize(out.Memory());
  }
  st.SetItemsProcessed(st.iterations() * 1024 * 768);
  st.counters["bytes"] = static_cast<double>(bytes);
  st.SetLabel(kNames[st.range(0)]);
}

void EncodeGiflib(benchmark::State& st) {
  const Picture& p = Get(static_cast<int>(st.range(0)));
  std::vector<GifColorType> colors(1u << p.bits);
  std::vector<GifPixelType> line(p.idx.px.begin(), p.idx.px.end());
  size_t bytes = 0;
  for (auto _ : st) {
    std::string out;
    int err = 0;
    GifFileType* g = EGifOpen(&out, WriteMem, &err);
    ColorMapObject* map = GifMakeMapObject(1 << p.bits, colors.data());
    bool ok = g && map && EGifPutScreenDesc(g, 1024, 768, p.bits, 0, map) == GIF_OK &&
              EGifPutImageDesc(g, 0, 0, 1024, 768, false, nullptr) == GIF_OK &&
              EGifPutLine(g, line.data(), static_cast<int>(line.size())) == GIF_OK;
    GifFreeMapObject(map);
    ok = EGifCloseFile(g, &err) == GIF_OK && ok;
    if (!ok) {
      st.SkipWithError("giflib could not encode");
      break;
    }
    bytes = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  st.SetItemsProcessed(st.iterations() * 1024 * 768);
  st.counters["bytes"] = static_cast<double>(bytes);
  st.SetLabel(kNames[st.range(0)]);
}

// A BMP file of the picture, as the picture class hands a bitmap to the encoder.
std::string Bmp(const Picture& p) {
  std::string out = "BM";
  auto put32 = [&](uint32_t v) { for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i))); };
  auto put16 = [&](uint16_t v) { out.push_back(static_cast<char>(v)); out.push_back(static_cast<char>(v >> 8)); };
  const uint32_t palette = 4u << p.bits;
  put32(static_cast<uint32_t>(54 + palette + p.dib.size()));
  put32(0);
  put32(54 + palette);
  put32(40);
  put32(1024);
  put32(768);
  put16(1);
  put16(static_cast<uint16_t>(p.bits));
  put32(0);
  put32(static_cast<uint32_t>(p.dib.size()));
  out.append(16, '\0');
  for (uint32_t c : giftest::GrayPalette(p.bits)) {
    for (int k = 0; k < 3; ++k) out.push_back(static_cast<char>(c >> (8 * k)));
    out.push_back('\0');
  }
  out.append(reinterpret_cast<const char*>(p.dib.data()), p.dib.size());
  return out;
}

void DecodeFileOurs(benchmark::State& st) {
  const Picture& p = Get(static_cast<int>(st.range(0)));
  std::string bmp;
  for (auto _ : st) {
    TGifDocument doc;
    ReadGif(p.gif, doc, true);
    bool corrupted = false;
    bmp = DecodeToDib(doc.Frames[0].Item, false, {}, corrupted, true);
    benchmark::DoNotOptimize(bmp.data());
  }
  if (bmp.size() < p.dib.size() || std::memcmp(bmp.data() + bmp.size() - p.dib.size(), p.dib.data(), p.dib.size()))
    st.SkipWithError("decoded picture differs");
  st.SetItemsProcessed(st.iterations() * 1024 * 768);
  st.SetLabel(kNames[st.range(0)]);
}

void EncodeFileOurs(benchmark::State& st) {
  const Picture& p = Get(static_cast<int>(st.range(0)));
  const std::string bmp = Bmp(p);
  size_t bytes = 0;
  for (auto _ : st) {
    TGifDocument doc;
    doc.Frames.emplace_back();
    EncodeDib(bmp, doc.Frames[0].Item, doc.Frames[0].State, &doc.Data, &doc.Screen, {});
    doc.Screen.Version = 1;
    const std::string gif = WriteGif(doc);
    bytes = gif.size();
    benchmark::DoNotOptimize(gif.data());
  }
  st.SetItemsProcessed(st.iterations() * 1024 * 768);
  st.counters["bytes"] = static_cast<double>(bytes);
  st.SetLabel(kNames[st.range(0)]);
}

}  // namespace

BENCHMARK(DecodeOurs)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(DecodeOursWithProgress)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(DecodeGiflib)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(EncodeOurs)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(EncodeGiflib)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
// Whole files; giflib's DecodeGiflib and EncodeGiflib above read and write whole files too.
BENCHMARK(DecodeFileOurs)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(EncodeFileOurs)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
