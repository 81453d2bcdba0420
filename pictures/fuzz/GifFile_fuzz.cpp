// Whole-file reader fuzz target. Input: a flags byte (bit 0 tolerate), then a
// GIF file. Reading and decoding every frame may only end in pictures or the
// unit's named errors; what was read must write and read back to the same
// frames (code bytes, placement, timing, transparency).
#include <cstdlib>
#include <string>

#include "GifCore.h"

using namespace pictures;

namespace {
bool Named(const std::string& m) {
  return m == SGIFReadError || m == SGIFCodeSize || m == SGIFDecodeError || m == SGIFWrongColors ||
         m == SGIFVersion || m == SGIFTooLarge || m == SGIFEncodeError || m.rfind("Unrecognized extension block: ", 0) == 0;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool tolerate = data[0] & 1;
  const std::string_view gif(reinterpret_cast<const char*>(data + 1), size - 1);
  TGifDocument doc;
  try {
    ReadGif(gif, doc, tolerate);
  } catch (const zf::EInvalidGraphicOperation& e) {
    if (!Named(e.Message())) std::abort();
    return 0;
  } catch (const zf::EReadError&) {
    return 0;
  }
  for (const TGifFrameRecord& f : doc.Frames) {
    try {
      bool corrupted = false;
      DecodeToDib(f.Item, f.State.Interlaced, {}, corrupted, tolerate);
    } catch (const zf::EInvalidGraphicOperation& e) {
      if (!Named(e.Message())) std::abort();
    } catch (const zf::EReadError&) {
      // a frame without even its code-size byte
    }
  }
  if (doc.Frames.empty()) return 0;
  for (TGifFrameRecord& f : doc.Frames) UpdateExtensions(f.State, f.Item, doc.Screen.Version);
  std::string written;
  try {
    written = WriteGif(doc);
  } catch (const zf::EInvalidGraphicOperation& e) {
    // Frames placed beyond 16 bits (a zero-size descriptor on a large screen).
    if (e.Message() != SGIFEncodeError) std::abort();
    return 0;
  }
  TGifDocument again;
  ReadGif(written, again, true);
  if (again.Frames.size() != doc.Frames.size()) std::abort();
  for (size_t i = 0; i < doc.Frames.size(); ++i) {
    const TGifFrameRecord &a = doc.Frames[i], &b = again.Frames[i];
    if (a.Item.Encoded != b.Item.Encoded || a.State.Left != b.State.Left || a.State.Top != b.State.Top ||
        a.State.Delay / 10 != b.State.Delay / 10 || a.State.Disposal != b.State.Disposal)
      std::abort();
  }
  return 0;
}
