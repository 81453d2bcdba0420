// Screenshot encoding of a 1280 x 1024 desktop-like screen: quantizer + PNG
// writer as the capture runs them, and the PNG writer alone beside libpng
// writing the same palette image at the same deflate level. The PNG sizes are
// counters, with the size ImageMagick's `convert` gives the same pixels.
// Every PNG written is decoded again with libpng and must give the pixels it
// was made from (the palette colours the quantizer chose); a benchmark whose
// output does not fails, and so does the program.
#include <benchmark/benchmark.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "qelScreenShot.h"

namespace {

constexpr uint32_t kWidth = 1280, kHeight = 1024;

struct TRgb {
  int r, g, b;
};

class TScreen {
public:
  std::vector<uint8_t> Pixels = std::vector<uint8_t>(size_t{kWidth} * kHeight * 4);
  void Put(int x, int y, TRgb c) {
    if (x < 0 || y < 0 || x >= int(kWidth) || y >= int(kHeight)) return;
    uint8_t* p = &Pixels[(size_t(y) * kWidth + size_t(x)) * 4];
    p[0] = uint8_t(c.b);
    p[1] = uint8_t(c.g);
    p[2] = uint8_t(c.r);
  }
  void Fill(int x0, int y0, int x1, int y1, TRgb c) {
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x) Put(x, y, c);
  }
};

// A desktop: a gradient background and windows with title-bar gradients,
// button faces, lines of text-like glyphs and a photo-like picture.
const TScreen& Desktop() {
  static const TScreen screen = [] {
    TScreen s;
    std::mt19937 rng(11);
    for (int y = 0; y < int(kHeight); ++y)
      for (int x = 0; x < int(kWidth); ++x) s.Put(x, y, {0, 64 + y * 64 / int(kHeight), 128 + x * 64 / int(kWidth)});
    const int windows[][4] = {{40, 30, 700, 560}, {380, 260, 1220, 980}, {900, 60, 1250, 400}};
    for (const auto& w : windows) {
      s.Fill(w[0], w[1], w[2], w[3], {212, 208, 200});
      for (int x = w[0] + 3; x < w[2] - 3; ++x) {
        const int t = (x - w[0]) * 255 / (w[2] - w[0]);
        s.Fill(x, w[1] + 3, x + 1, w[1] + 21, {10 + t * 156 / 255, 36 + t * 166 / 255, 106 + t * 134 / 255});
      }
      s.Fill(w[0] + 8, w[1] + 30, w[2] - 8, w[3] - 50, {255, 255, 255});
      for (int line = w[1] + 36; line + 12 < w[3] - 56; line += 16)
        for (int x = w[0] + 12; x + 6 < w[2] - 12 - int(rng() % 200); x += 7)
          for (int gy = 0; gy < 10; ++gy)
            for (int gx = 0; gx < 6; ++gx)
              if (rng() % 3 == 0) s.Put(x + gx, line + gy, {0, 0, 0});
      for (int b = 0; b < 3; ++b) s.Fill(w[2] - 90 * (b + 1), w[3] - 40, w[2] - 90 * b - 10, w[3] - 15, {212, 208, 200});
    }
    // A picture: smooth colour waves with noise.
    for (int y = 0; y < 300; ++y)
      for (int x = 0; x < 400; ++x)
        s.Put(440 + x, 320 + y,
              {int(128 + 100 * std::sin(x / 23.0) + rng() % 20), int(128 + 100 * std::cos(y / 17.0) + rng() % 20),
               int(128 + 60 * std::sin((x + y) / 31.0) + rng() % 20)});
    return s;
  }();
  return screen;
}

bool gDecodeFailed = false;

// The PNG decoded by libpng as 8-bit RGB, or empty.
std::vector<uint8_t> DecodeRgb(const std::string& png) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) return {};
  image.format = PNG_FORMAT_RGB;
  std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
  const bool ok = image.width == kWidth && image.height == kHeight &&
                  png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr);
  png_image_free(&image);
  return ok ? rgb : std::vector<uint8_t>{};
}

// Fails the benchmark unless png decodes to expected (RGB, row by row).
void CheckDecodes(benchmark::State& state, const std::string& png, const std::vector<uint8_t>& expected) {
  const std::vector<uint8_t> decoded = DecodeRgb(png);
  if (decoded == expected) return;
  gDecodeFailed = true;
  state.SkipWithError(decoded.empty() ? "output does not decode" : "output decodes to other pixels than its input");
}

struct TIndexed {
  qel::TPalette Palette{};
  std::string Data;  // filter byte 0 and indices per row
};

const TIndexed& Indexed() {
  static const TIndexed indexed = [] {
    TIndexed d;
    const std::vector<uint8_t>& px = Desktop().Pixels;
    qel::QuantizeColors(px.data(), size_t{kWidth} * kHeight, d.Palette);
    qel::TColorCache cache;
    qel::InitColorCache(cache);
    for (uint32_t y = 0; y < kHeight; ++y) {
      d.Data += '\0';
      for (uint32_t x = 0; x < kWidth; ++x) {
        const uint8_t* p = &px[(size_t{y} * kWidth + x) * 4];
        d.Data += static_cast<char>(qel::NearestPaletteIndex(cache, d.Palette, p[2], p[0], p[1]));
      }
    }
    return d;
  }();
  return indexed;
}

// Size of the PNG that ImageMagick writes for the desktop's pixels.
double ConvertSize() {
  static const double size = [] {
    char dir[] = "/tmp/qelscreenshot_bench.XXXXXX";
    if (mkdtemp(dir) == nullptr) return -1.0;
    const std::string ppm = std::string(dir) + "/d.ppm", png = std::string(dir) + "/d.png";
    FILE* f = std::fopen(ppm.c_str(), "wb");
    if (f == nullptr) return -1.0;
    std::fprintf(f, "P6\n%u %u\n255\n", kWidth, kHeight);
    const std::vector<uint8_t>& px = Desktop().Pixels;
    for (size_t i = 0; i < px.size(); i += 4) {
      const uint8_t rgb[3] = {px[i + 2], px[i + 1], px[i]};
      std::fwrite(rgb, 1, 3, f);
    }
    std::fclose(f);
    struct stat st {};
    const bool ok = std::system(("/usr/bin/convert '" + ppm + "' '" + png + "'").c_str()) == 0 &&
                    stat(png.c_str(), &st) == 0;
    std::system(("rm -rf '" + std::string(dir) + "'").c_str());
    return ok ? static_cast<double>(st.st_size) : -1.0;
  }();
  return size;
}

// What the colour capture must show: every pixel in the palette colour the
// quantizer gave it.
std::vector<uint8_t> ExpandedIndexed() {
  const TIndexed& d = Indexed();
  std::vector<uint8_t> rgb;
  rgb.reserve(size_t{kWidth} * kHeight * 3);
  for (uint32_t y = 0; y < kHeight; ++y)
    for (uint32_t x = 0; x < kWidth; ++x) {
      const auto index = static_cast<uint8_t>(d.Data[size_t{y} * (kWidth + 1) + 1 + x]);
      rgb.insert(rgb.end(), &d.Palette[3 * size_t{index}], &d.Palette[3 * size_t{index}] + 3);
    }
  return rgb;
}

// What the grey capture must show: the grey palette entry nearest each
// pixel's brightness.
std::vector<uint8_t> ExpandedGrey() {
  const std::vector<uint8_t>& px = Desktop().Pixels;
  qel::TGrayCache cache;
  qel::InitGrayCache(cache);
  const auto& palette = qel::GrayPalette();
  std::vector<uint8_t> rgb;
  rgb.reserve(size_t{kWidth} * kHeight * 3);
  for (size_t i = 0; i < px.size(); i += 4) {
    const auto grey = static_cast<uint8_t>((px[i + 2] * 77 + px[i + 1] * 151 + px[i] * 28) >> 8);
    const uint8_t index = qel::NearestGrayIndex(cache, palette, grey);
    rgb.insert(rgb.end(), &palette[3 * size_t{index}], &palette[3 * size_t{index}] + 3);
  }
  return rgb;
}

void EncodeMode(benchmark::State& state, uint8_t mode) {
  std::vector<uint8_t> work;
  std::string png;
  for (auto _ : state) {
    work = Desktop().Pixels;  // the grey fallback works in place
    png = qel::EncodeScreenPng(work.data(), kWidth, kHeight, mode);
    benchmark::DoNotOptimize(png.data());
  }
  state.counters["png_bytes"] = static_cast<double>(png.size());
  state.counters["convert_png_bytes"] = ConvertSize();
  CheckDecodes(state, png, mode == qel::ssmGray ? ExpandedGrey() : ExpandedIndexed());
}

void BM_EncodeColour(benchmark::State& state) { EncodeMode(state, qel::ssmColor); }
void BM_EncodeGrey(benchmark::State& state) { EncodeMode(state, qel::ssmGray); }

void BM_BuildPng(benchmark::State& state) {
  const TIndexed& d = Indexed();
  const std::string palette(d.Palette.begin(), d.Palette.end());
  std::string png;
  for (auto _ : state) {
    qel::BuildPng(kWidth, kHeight, palette, png, d.Data);
    benchmark::DoNotOptimize(png.data());
  }
  state.counters["png_bytes"] = static_cast<double>(png.size());
  CheckDecodes(state, png, ExpandedIndexed());
}

void AppendToString(png_structp p, png_bytep data, png_size_t length) {
  static_cast<std::string*>(png_get_io_ptr(p))->append(reinterpret_cast<const char*>(data), length);
}

// libpng, same image: 8-bit palette, no filter, deflate level 2, memory level 8.
void BM_LibpngPalette(benchmark::State& state) {
  const TIndexed& d = Indexed();
  std::vector<png_color> palette(256);
  for (int k = 0; k < 256; ++k) palette[size_t(k)] = {d.Palette[3 * k], d.Palette[3 * k + 1], d.Palette[3 * k + 2]};
  std::vector<png_bytep> rows(kHeight);
  for (uint32_t y = 0; y < kHeight; ++y)
    rows[y] = reinterpret_cast<png_bytep>(const_cast<char*>(d.Data.data())) + size_t{y} * (kWidth + 1) + 1;
  std::string png;
  for (auto _ : state) {
    png.clear();
    png_structp p = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(p);
    if (setjmp(png_jmpbuf(p))) {
      png_destroy_write_struct(&p, &info);
      state.SkipWithError("libpng failed");
      return;
    }
    png_set_write_fn(p, &png, AppendToString, nullptr);
    png_set_compression_level(p, 2);
    png_set_compression_mem_level(p, 8);
    png_set_filter(p, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_set_IHDR(p, info, kWidth, kHeight, 8, PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE,
                 PNG_FILTER_TYPE_BASE);
    png_set_PLTE(p, info, palette.data(), 256);
    png_set_rows(p, info, rows.data());
    png_write_png(p, info, PNG_TRANSFORM_IDENTITY, nullptr);
    png_destroy_write_struct(&p, &info);
    benchmark::DoNotOptimize(png.data());
  }
  state.counters["png_bytes"] = static_cast<double>(png.size());
  CheckDecodes(state, png, ExpandedIndexed());
}

}  // namespace

BENCHMARK(BM_EncodeColour)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeGrey)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BuildPng)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibpngPalette)->Unit(benchmark::kMillisecond);
int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return gDecodeFailed ? 1 : 0;
}
