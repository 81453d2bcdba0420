// Animated cursor files (RIFF form "ACON"), the portable part of the unit
// AniFile: the walk over the chunks into a header, title, author and a list of
// steps. Icons are made by the caller's loader, so the Windows unit gets system
// icons and tests and fuzzers get the bytes' own checks.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "IconData.h"

namespace pictures {

// The "anih" chunk: nine 32-bit fields.
struct TAniHeader {
  uint32_t HeaderSize = 0, Frames = 0, Steps = 0, Width = 0, Height = 0, BitCount = 0, Planes = 0;
  uint32_t DisplayRate = 0;  // jiffies (1/60 s)
  uint32_t Flags = 0;        // bit 0: the frames are icon or cursor images
};
static_assert(sizeof(TAniHeader) == 36);

inline constexpr uint32_t kAniFlagIcon = 1;
inline constexpr size_t kAniTextMax = 255;

struct TAniStep {
  int32_t FrameNumber = -1;  // -1: made for an icon that no step asked for
  uint32_t Jiffies = 0;
  int Icon = -1;             // the loader's number of the icon; -1 none yet
  bool IsIcon = false;       // the image was an icon, not a cursor
  char ChunkId[4] = {};
  uint32_t ChunkSize = 0;
  int32_t HotX = 0, HotY = 0;
};

struct TAniContent {
  TAniHeader Header;
  std::string Title, Author;
  std::vector<TAniStep> Steps;
  uint16_t ImageColors = 0;  // the largest colour count met among the icon images
};

// Makes an icon of a file image (already of type 1) and gives the caller's number
// for it and its size, or nullopt when it cannot be made.
struct TLoadedIcon {
  int Icon = -1;
  int Width = 0, Height = 0;
};
using TAniIconLoader = std::function<std::optional<TLoadedIcon>(const std::string& image)>;

// Colour count of a bit count: 1 -> 2, 4 -> 16, 8 -> 256, others 0.
uint16_t ColorsOfBitCount(uint32_t bits);
inline uint32_t PadToEven(uint32_t size) { return size + (size & 1); }

// One "icon" sub-chunk's bytes: the icon made of them, the is-icon flag and the
// hot spot (a cursor's from its directory, the last entry's; an icon's centre).
// Raises the image colour count. Nullopt for a type other than icon or cursor
// or an image the loader refuses.
struct TAniIcon {
  TLoadedIcon Loaded;
  bool IsIcon = false;
  int32_t HotX = 0, HotY = 0;
};
std::optional<TAniIcon> ReadAniIcon(std::string_view bytes, const TAniIconLoader& loader, uint16_t& imageColors);

// The whole walk. Raises EReadError SStreamReadError for data that does not begin
// with "RIFF" ... "ACON", a bad "anih" header (flag bit 0 clear, no steps, more
// steps than the file could hold) and a file left without any step with an icon;
// damaged or truncated chunks end the walk and keep what was read.
TAniContent ReadAniRiff(std::string_view data, const TAniIconLoader& loader);

// A loader over the bytes alone (ProbeIconImage), numbering icons in order.
TAniIconLoader ProbingIconLoader(std::vector<std::string>* images = nullptr);

}  // namespace pictures
