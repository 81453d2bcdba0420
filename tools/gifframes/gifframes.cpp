// gifframes IN.gif OUTDIR: reads a GIF through the picture unit's byte model
// and codec, writes each frame's own pixels as OUTDIR/frame-N.pam (RGB_ALPHA
// through the frame's colour table, alpha 0 at its transparent index; frames
// are not composited) and prints one line per frame:
//   N left top width height delay-ms disposal transparent-index interlaced
// (transparent index -1 for none). Exit code 0, or 1 with the error on
// standard error for a file it refuses.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "GifCore.h"

using namespace pictures;

namespace {

std::string ReadAll(const char* path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error(std::string("cannot open ") + path);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// The frame's transparent index as its last graphic control block gives it.
int TransparentIndex(const TGifFrameRecord& f) {
  return f.State.TransparentColor == GifColorNone ? -1 : f.State.TransparentIndex;
}

void WritePam(const std::string& path, const TGifFrameRecord& f) {
  bool corrupted = false;
  const std::string bmp = DecodeToDib(f.Item, f.State.Interlaced, {}, corrupted, TolerateCorruptGif != 0);
  const int w = f.Item.Width, h = f.Item.Height;
  std::string out = "P7\nWIDTH " + std::to_string(w) + "\nHEIGHT " + std::to_string(h) +
                    "\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
  if (!bmp.empty()) {
    const TGifDib d = ParseDib(bmp);
    const int64_t stride = GifRasterStride(d.Width, d.Bits);
    const int transparent = TransparentIndex(f);
    for (int y = 0; y < h; ++y) {
      const uint8_t* row = d.Pixels.data() + (h - 1 - y) * stride;
      for (int x = 0; x < w; ++x) {
        int index = d.Bits == 8 ? row[x] : d.Bits == 4 ? (row[x / 2] >> (x % 2 ? 0 : 4)) & 15 : (row[x / 8] >> (7 - x % 8)) & 1;
        const uint8_t* q = &d.Palette[static_cast<size_t>(index) * 4];
        out.push_back(static_cast<char>(q[2]));
        out.push_back(static_cast<char>(q[1]));
        out.push_back(static_cast<char>(q[0]));
        out.push_back(static_cast<char>(index == transparent ? 0 : 255));
      }
    }
  }
  std::ofstream o(path, std::ios::binary);
  o << out;
  if (!o) throw std::runtime_error("cannot write " + path);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: gifframes IN.gif OUTDIR\n");
    return 2;
  }
  try {
    const std::string gif = ReadAll(argv[1]);
    TGifDocument doc;
    ReadGif(gif, doc, TolerateCorruptGif != 0);
    for (size_t i = 0; i < doc.Frames.size(); ++i) {
      const TGifFrameRecord& f = doc.Frames[i];
      WritePam(std::string(argv[2]) + "/frame-" + std::to_string(i) + ".pam", f);
      std::printf("%zu %d %d %d %d %u %d %d %d\n", i, f.State.Left, f.State.Top, f.Item.Width, f.Item.Height,
                  f.State.Delay, f.State.Disposal, TransparentIndex(f), f.State.Interlaced ? 1 : 0);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
