// Icon file images and the "Icons" stream form of an icon list, the portable
// parts of the units IcoList and AniFile: what can be told of an icon or cursor
// file image without the system, and the list's entries in and out of a stream.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Streams.h"

namespace pictures {

inline constexpr const char* SStreamReadError = "Stream read error";

// One entry of an icon file's directory (16 bytes from offset 6).
struct TIconDirEntry {
  uint8_t Width = 0, Height = 0, ColorCount = 0, Reserved = 0;
  uint16_t Planes = 0, BitCount = 0;  // a cursor's hot spot x and y
  uint32_t BytesInRes = 0, ImageOffset = 0;
};
static_assert(sizeof(TIconDirEntry) == 16);

// What an icon or cursor file image holds, as far as its bytes tell.
struct TIconImageInfo {
  uint16_t Type = 0;  // 1 icon, 2 cursor
  std::vector<TIconDirEntry> Entries;
  // Per entry the bit count of its image's bitmap header (offset 14), 0 when the
  // image is not within the file.
  std::vector<uint16_t> ImageBits;
};

// Directory of an icon or cursor file image; nullopt when the header is not one
// (reserved word not 0, type not 1 or 2) or the directory is not all there.
std::optional<TIconImageInfo> ReadIconDirectory(std::string_view image);

// Whether the framework's icon class can take the image (the checks it makes
// before handing the first image to the system), and the size it then has.
struct TIconSize {
  int Width = 0, Height = 0;
};
std::optional<TIconSize> ProbeIconImage(std::string_view image);

// The "Icons" stream form: 32-bit count, then per entry a 32-bit size and that
// many bytes of the icon's file form; a size of 0 or less is an empty entry.
// Reading calls `add` per entry in order (null for an empty one). A count or a
// size beyond the bytes in the stream raises EReadError SStreamReadError before
// anything is allocated for it.
void ReadIconEntries(zf::TStream& s, const std::function<void(const std::string* bytes)>& add);
// Writes the count and the entries (an empty string is an empty entry).
void WriteIconEntries(zf::TStream& s, const std::vector<std::string>& entries);

}  // namespace pictures
