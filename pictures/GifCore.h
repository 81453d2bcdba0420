// The GIF byte model of the picture unit (GifImg), without Windows: colour
// tables, extension blocks, the frames' placement, timing and transparency,
// the reader and the writer of whole files, and the conversion of one frame's
// code bytes to a BMP file in memory and back. The picture classes keep these
// records and add bitmaps, sharing and drawing around them.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "GifLzw.h"

namespace pictures {

// Texts of the picture unit's resource strings (the codec's are in GifLzw.h).
inline constexpr const char* SGIFVersion = "Unknown GIF version";
inline constexpr const char* SGIFNoData = "No GIF Data to write";
inline constexpr const char* SGIFSize = "Cannot change the Size of a GIF image";
inline constexpr const char* SGIFTooLarge = "GIF image is too large";
// "Unrecognized extension block: %.2x" with the label.
std::string UnknownExtensionText(uint8_t label);

// Colours as the framework holds them: 0x00BBGGRR, system colours with the high bit.
using TGifColor = int32_t;
inline constexpr TGifColor GifColorNone = 0x1FFFFFFF;
// Turns a colour into plain RGB; the Windows side installs the framework's
// conversion (system colours), the portable default only masks the low 24 bits.
using TGifColorToRgb = uint32_t (*)(TGifColor);
extern TGifColorToRgb GifColorToRgb;

// Frames larger than this many pixels are refused before anything is allocated.
inline constexpr uint64_t GifMaxPixels = 64ull * 1024 * 1024;

// Count, then 256 entries of red, green, blue; entries beyond the count are zero.
struct TGifColorTable {
  int32_t Count = 0;
  uint8_t Entries[256][3] = {};
  bool operator==(const TGifColorTable&) const = default;
};
static_assert(sizeof(TGifColorTable) == 772);

// red + green x 256 + blue x 65536 of the entry.
TGifColor TableEntryToColor(const TGifColorTable& table, int index);
// 2, 4 ... 256 give 1..8; any other count raises SGIFWrongColors.
int ColorCountToBits(int count);
// Smallest n of at least 1 with 2^n >= count.
int BitsForCount(int count);
// -1 for GifColorNone or a colour no entry has (compared as RGB).
int FindTableColor(const TGifColorTable& table, TGifColor color);
// 256 quads of 0x80, then the entries as blue, green, red, 0.
void TableToDibPalette(const TGifColorTable& table, uint8_t (&quads)[256][4]);
// Count := min(256, n); entries from the quads (blue, green, red, reserved).
void DibPaletteToTable(TGifColorTable& table, const uint8_t* quads, int n);
// Frame bits per pixel 1 -> 1, 2..4 -> 4, 5..8 -> 8; else SGIFWrongColors.
int DibBitsForFrame(int bits);

// One extension block. `Fixed` is the block's fixed part exactly as read, its
// block-size byte first: 6 bytes for a graphic control block (the terminator
// included), 13 for plain text, 12 for an application block, none for a comment.
enum class TGifExtensionKind : uint8_t { GraphicControl, PlainText, Application, Comment };
inline constexpr uint8_t GifExtensionLabels[4] = {0xF9, 0x01, 0xFF, 0xFE};

struct TGifExtension {
  TGifExtensionKind Kind = TGifExtensionKind::Comment;
  std::string Fixed;
  // One string per data sub-block; none for a graphic control block.
  std::optional<std::vector<std::string>> Strings;

  // An application block "NETSCAPE2.0" (or "ANIMEXTS1.0") of block size 11 whose
  // first sub-block holds at least 3 bytes, the first being 1.
  bool IsLoopBlock() const;
  uint16_t LoopCount() const;  // of a loop block: low byte first

  // Graphic control fields.
  static TGifExtension NewGraphicControl();
  uint8_t Packed() const { return Byte(1); }
  void SetPacked(uint8_t v) { SetByte(1, v); }
  uint16_t DelayHundredths() const { return static_cast<uint16_t>(Byte(2) | (Byte(3) << 8)); }
  void SetDelayHundredths(uint16_t v);
  uint8_t TransparentIndex() const { return Byte(4); }
  void SetTransparentIndex(uint8_t v) { SetByte(4, v); }

private:
  uint8_t Byte(size_t i) const { return i < Fixed.size() ? static_cast<uint8_t>(Fixed[i]) : 0; }
  void SetByte(size_t i, uint8_t v);
};
using TGifExtensionList = std::vector<TGifExtension>;

// The last extension of that kind, or nullptr.
const TGifExtension* FindLastExtension(const TGifExtensionList& list, TGifExtensionKind kind);
TGifExtension* FindLastExtension(TGifExtensionList& list, TGifExtensionKind kind);

// What frames share when one is assigned from another: the stored code bytes
// (code-size byte, sub-blocks, terminator, exactly as in the file), the frame's
// size and its colour table.
struct TGifItemData {
  std::optional<std::string> Encoded;
  int32_t Width = 0, Height = 0;
  uint8_t Packed = 0;        // the image descriptor's packed byte as read
  uint8_t BitsPerPixel = 0;  // 1..8 once the frame has a table
  TGifColorTable Table;
  bool HasEncoded() const { return Encoded && !Encoded->empty(); }
};

// One frame's own state beside its shared data.
struct TGifFrameState {
  TGifExtensionList Extensions;  // graphic control and comment blocks before the image
  int32_t Left = 0, Top = 0;
  bool Interlaced = false;
  bool Corrupted = false;
  bool Grayscale = false;
  TGifColor TransparentColor = GifColorNone;
  // The table index the transparent colour came from, so that writing keeps it
  // while that entry still has the colour (palettes may repeat a colour).
  int32_t TransparentIndex = -1;
  uint32_t Delay = 0;  // milliseconds
  uint8_t Disposal = 0;
  bool LocalTable = false;
};

// The picture-wide data that pictures share.
struct TGifPictureData {
  std::vector<std::string> Comments;
  uint8_t Aspect = 0;
  uint8_t BitsPerPixel = 0;
  uint8_t ColorResolution = 0;
  TGifColorTable GlobalTable;
};

// Picture fields that are not shared.
inline constexpr const char* GifVersions[3] = {"", "87a", "89a"};
struct TGifScreen {
  uint8_t Version = 0;  // index into GifVersions
  int32_t Width = 0, Height = 0;
  TGifColor Background = GifColorNone;
  bool Looping = false;
  uint16_t RepeatCount = 1;
};

struct TGifFrameRecord {
  TGifItemData Item;
  TGifFrameState State;
};

struct TGifDocument {
  TGifScreen Screen;
  TGifPictureData Data;
  std::vector<TGifFrameRecord> Frames;
};

// Reads a whole GIF. Raises EInvalidGraphicOperation with the unit's texts, and
// zf::EReadError "Stream read error" where a fixed-size part is cut short.
// `tolerate`: a frame whose data ends inside a sub-block is kept, marked corrupted.
void ReadGif(std::string_view bytes, TGifDocument& doc, bool tolerate);

// What the writer needs of one frame.
struct TGifFrameView {
  const TGifItemData* Item;
  const TGifFrameState* State;
};
// Composes a GIF from frames whose code bytes exist (after UpdateExtensions).
// A picture with comments is written as "89a".
std::string WriteGif(TGifScreen& screen, const TGifPictureData& data, std::span<const TGifFrameView> frames);
std::string WriteGif(TGifDocument& doc);

// Screen size := the largest left + width and top + height over the frames.
void UpdateScreenSize(TGifScreen& screen, std::span<const TGifFrameView> frames);

// Keeps the graphic control block in step with delay, transparency and
// disposal, drops empty comment blocks; any block left makes the picture "89a".
void UpdateExtensions(TGifFrameState& state, const TGifItemData& item, uint8_t& version);

// Sets delay, disposal and transparent colour from the frame's graphic control blocks.
void ApplyGraphicControl(TGifFrameState& state, const TGifColorTable& table);

// A device-independent bitmap as a BMP file holds it (rows bottom-up).
struct TGifDib {
  int32_t Width = 0, Height = 0, Bits = 0;
  std::vector<uint8_t> Palette;  // 4 bytes an entry: blue, green, red, 0
  std::span<const uint8_t> Pixels;
};
// Checks a BMP file of 1, 4 or 8 bits per pixel (40-byte header, no compression,
// rows bottom-up, palette and pixels inside the data); SGIFEncodeError otherwise.
TGifDib ParseDib(std::string_view bmp);

// The frame's code bytes as a BMP file: palette from the item's table (0x80
// beyond it), 1, 4 or 8 bits per pixel. A frame of no pixels gives "" without
// running the codec. `corrupted` is or-ed with what the codec reports.
std::string DecodeToDib(const TGifItemData& item, bool interlaced, const TGifProgressHandler& progress,
                        bool& corrupted, bool tolerate);

// Encodes a BMP file of 1, 4 or 8 bits into the item (code bytes, table, size,
// bits per pixel). With a global table in `data` the frame gets a local one;
// otherwise the frame's table becomes the global table. Grows the screen.
void EncodeDib(std::string_view bmp, TGifItemData& item, TGifFrameState& state, TGifPictureData* data,
               TGifScreen* screen, const TGifProgressHandler& progress);

}  // namespace pictures
