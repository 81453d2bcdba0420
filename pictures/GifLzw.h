// LZW raster codec of the GIF picture unit (GifImg): stored code bytes of one
// frame (code-size byte, data sub-blocks, zero terminator) to a bottom-up
// device-independent pixel array of 1, 4 or 8 bits per pixel and back.
// Portable: the frame code builds the bitmap around these routines.
#pragma once
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "Streams.h"
#include "SysUtils.h"

namespace pictures {

// Texts of the picture unit's resource strings that the codec raises.
inline constexpr const char* SGIFCodeSize = "GIF code size not in range 2 to 9";
inline constexpr const char* SGIFDecodeError = "GIF encoded data is corrupt";
inline constexpr const char* SGIFEncodeError = "GIF image encoding error";
inline constexpr const char* SGIFWrongColors = "Wrong number of colors; must be a power of 2";
inline constexpr const char* SGIFReadError = "Stream read error";

// Unit-wide choice between marking a damaged frame corrupted (1) and raising (0).
extern uint8_t TolerateCorruptGif;

// Same ordinals as the framework's progress stages, so the picture can relay them.
enum class TGifProgressStage : uint8_t { psStarting, psRunning, psEnding };
// Starting: 0 and "". Running: percent done. Ending: 100 and "" on success,
// 0 and the passing exception's message on failure.
using TGifProgressHandler =
    std::function<void(TGifProgressStage Stage, uint8_t PercentDone, const std::string& Msg)>;

// What the codec needs of the pixel array's header. Rows are stored bottom-up,
// each padded to a multiple of 4 bytes.
struct TGifRasterInfo {
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t PixelBits = 8;  // 1, 4 or 8
};

// Bytes per row: ((width x bits + 31) div 32) x 4.
int64_t GifRasterStride(int32_t width, int32_t pixelBits);

// Fills `pixels` (height x stride bytes, zero-filled by the caller) from the code
// stream at the source's position. `frameBits` (1..pixel bits) masks the decoded
// indices. `corrupted` tells whether the data had to be repaired or decoding
// stopped early. Raises EInvalidGraphicOperation when `tolerate` is false:
// SGIFCodeSize, SGIFDecodeError, or SGIFReadError when the data ends while rows remain;
// a missing code-size byte is the stream's own EReadError.
void DecodeGifRaster(zf::TStream& source, const TGifRasterInfo& info, bool interlaced,
                     const TGifProgressHandler& progress, bool& corrupted, std::span<uint8_t> pixels,
                     int32_t frameBits, bool tolerate);

// Appends the code-size byte (2, 4 or 8), the data sub-blocks and the terminator.
void EncodeGifRaster(zf::TStream& dest, const TGifRasterInfo& info, bool interlaced,
                     const TGifProgressHandler& progress, std::span<const uint8_t> pixels);

// --- pieces of the two routines -------------------------------------------

inline constexpr uint16_t GifCodesExhausted = 0xFFFF;
inline constexpr int32_t GifMaxCodeWidth = 12;

// Decoder's bit reader over the data sub-blocks of one stream.
struct TGifCodeReader {
  TGifCodeReader(zf::TStream& source, int32_t codeWidth);
  void SetCodeWidth(int32_t width) {
    CodeWidth = width;
    ReadMask = (1 << width) - 1;
  }

  uint32_t BitPos = 0;   // next unread bit from the start of Buffer
  int32_t BitsHeld = 0;  // valid bits in Buffer
  uint8_t Buffer[260] = {};  // up to 3 carried bytes plus one sub-block
  int32_t CodeWidth = 0;
  int32_t ReadMask = 0;
  int64_t Position = 0;   // the stream's position, kept here to spare a seek per code
  int64_t Remaining = 0;  // bytes left in the stream
};

// The next code, or GifCodesExhausted when the data has run out.
uint16_t ReadGifCode(zf::TStream& source, TGifCodeReader& reader);

// Where the next decoded index goes. Row 0 is the top row of the picture.
struct TGifRasterCursor {
  TGifRasterCursor(const TGifRasterInfo& info, bool interlaced, std::span<uint8_t> pixels);

  int32_t Width = 0, Height = 0, PixelBits = 8;
  bool Interlaced = false;
  int32_t Pass = 0, Column = 0, Row = 0;
  int64_t Stride = 0;
  std::span<uint8_t> Base;
  size_t CurrentRow = 0;  // offset of the current row in Base
};

// Stores one index and advances; does nothing once the raster is complete.
void PutRasterPixel(uint8_t index, TGifRasterCursor& cursor);

// The row after `row` in the four-pass order (0, 8 ...; 4, 12 ...; 2, 6 ...; 1, 3 ...).
// A result at or beyond the height ends the raster.
int32_t NextInterlacedRow(int32_t row, int32_t height, int32_t& pass);

// Encoder's bit writer: codes are packed low bit first into 255-byte sub-blocks.
struct TGifCodeWriter {
  uint32_t BitPos = 0;
  int32_t CodeWidth = 0;
  uint8_t Buffer[260] = {};
};

void PutGifCode(zf::TStream& dest, uint16_t code, TGifCodeWriter& writer);
// Writes the partial last sub-block and the zero terminator.
void FlushGifCodes(zf::TStream& dest, TGifCodeWriter& writer);

}  // namespace pictures
