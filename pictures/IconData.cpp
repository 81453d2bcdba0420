#include "IconData.h"

#include <algorithm>
#include <cstring>

namespace pictures {

namespace {
constexpr uint32_t kMaxIconImage = 16u << 20;  // the framework's limit per image
[[noreturn]] void ReadError() { throw zf::EReadError(SStreamReadError); }
}  // namespace

std::optional<TIconImageInfo> ReadIconDirectory(std::string_view image) {
  uint16_t hdr[3];
  if (image.size() < sizeof hdr) return std::nullopt;
  std::memcpy(hdr, image.data(), sizeof hdr);
  if (hdr[0] != 0 || (hdr[1] != 1 && hdr[1] != 2)) return std::nullopt;
  const size_t n = hdr[2];
  if ((image.size() - sizeof hdr) / sizeof(TIconDirEntry) < n) return std::nullopt;
  TIconImageInfo info;
  info.Type = hdr[1];
  info.Entries.resize(n);
  if (n) std::memcpy(info.Entries.data(), image.data() + sizeof hdr, n * sizeof(TIconDirEntry));
  info.ImageBits.assign(n, 0);
  for (size_t i = 0; i < n; ++i) {
    const TIconDirEntry& e = info.Entries[i];
    const uint64_t at = static_cast<uint64_t>(e.ImageOffset) + 14;
    if (at + 2 <= image.size() && e.BytesInRes >= 16 && static_cast<uint64_t>(e.ImageOffset) + e.BytesInRes <= image.size())
      std::memcpy(&info.ImageBits[i], image.data() + at, 2);
  }
  return info;
}

std::optional<TIconSize> ProbeIconImage(std::string_view image) {
  const auto info = ReadIconDirectory(image);
  if (!info || info->Entries.empty()) return std::nullopt;
  const uint64_t dirEnd = 6 + info->Entries.size() * sizeof(TIconDirEntry);
  for (const TIconDirEntry& e : info->Entries)
    if (e.ImageOffset < dirEnd || e.BytesInRes == 0 || e.BytesInRes > kMaxIconImage ||
        static_cast<uint64_t>(e.ImageOffset) + e.BytesInRes > image.size())
      return std::nullopt;
  const TIconDirEntry& first = info->Entries[0];
  // The system takes only images that begin with a bitmap header or a PNG signature.
  uint32_t headerSize = 0;
  if (first.BytesInRes < 4) return std::nullopt;
  std::memcpy(&headerSize, image.data() + first.ImageOffset, 4);
  if (headerSize != 40 && headerSize != 0x474E5089) return std::nullopt;
  return TIconSize{first.Width ? first.Width : 256, first.Height ? first.Height : 256};
}

void ReadIconEntries(zf::TStream& s, const std::function<void(const std::string* bytes)>& add) {
  int32_t count = 0;
  s.ReadBuffer(&count, 4);
  const auto left = [&s] { return std::max<int64_t>(s.Size() - s.Position(), 0); };
  // Every entry holds at least its size field.
  if (count < 0 || static_cast<int64_t>(count) * 4 > left()) ReadError();
  for (int32_t i = 0; i < count; ++i) {
    int32_t size = 0;
    s.ReadBuffer(&size, 4);
    if (size <= 0) {
      add(nullptr);
      continue;
    }
    if (size > left()) ReadError();
    std::string bytes(static_cast<size_t>(size), '\0');
    s.ReadBuffer(bytes.data(), size);
    add(&bytes);
  }
}

void WriteIconEntries(zf::TStream& s, const std::vector<std::string>& entries) {
  const auto count = static_cast<int32_t>(entries.size());
  s.WriteBuffer(&count, 4);
  for (const std::string& e : entries) {
    const auto size = static_cast<int32_t>(e.size());
    s.WriteBuffer(&size, 4);
    s.WriteBuffer(e.data(), size);
  }
}

}  // namespace pictures
