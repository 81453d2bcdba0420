#include "AniRiff.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>

namespace pictures {

namespace {

[[noreturn]] void ReadError() { throw zf::EReadError(SStreamReadError); }

bool IsId(const char* id, const char* want) { return std::memcmp(id, want, 4) == 0; }

uint32_t U32At(std::string_view d, uint64_t at) {
  uint32_t v = 0;
  std::memcpy(&v, d.data() + at, 4);
  return v;
}

// Reads chunk headers and values within the data; positions may point past the
// end after a skip, which ends the walk.
struct TRiffCursor {
  std::string_view Data;
  uint64_t Pos = 0;
  uint64_t Left() const { return Pos < Data.size() ? Data.size() - Pos : 0; }
  // True only if all 8 bytes were there.
  bool ChunkHeader(char (&id)[4], uint32_t& size) {
    if (Left() < 8) return false;
    std::memcpy(id, Data.data() + Pos, 4);
    size = U32At(Data, Pos + 4);
    Pos += 8;
    return true;
  }
};

// Text of an "INAM" or "IART" chunk: at most 255 bytes, up to the first zero.
std::string ChunkText(std::string_view bytes) {
  bytes = bytes.substr(0, kAniTextMax);
  return std::string(bytes.substr(0, bytes.find('\0')));
}

}  // namespace

uint16_t ColorsOfBitCount(uint32_t bits) {
  switch (bits) {
    case 1: return 2;
    case 4: return 16;
    case 8: return 256;
    default: return 0;
  }
}

std::optional<TAniIcon> ReadAniIcon(std::string_view bytes, const TAniIconLoader& loader, uint16_t& imageColors) {
  const auto dir = ReadIconDirectory(bytes);
  if (!dir) return std::nullopt;
  TAniIcon r;
  r.IsIcon = dir->Type == 1;
  for (size_t i = 0; i < dir->Entries.size(); ++i) {
    imageColors = std::max(imageColors, ColorsOfBitCount(dir->ImageBits[i]));
    r.HotX = dir->Entries[i].Planes;
    r.HotY = dir->Entries[i].BitCount;
  }
  // A cursor is handed over as an icon: the system makes icons of type 1 only.
  std::string image(bytes);
  image[2] = 1;
  auto loaded = loader(image);
  if (!loaded) return std::nullopt;
  r.Loaded = *loaded;
  if (r.IsIcon) r.HotX = loaded->Width / 2, r.HotY = loaded->Height / 2;
  return r;
}

TAniContent ReadAniRiff(std::string_view data, const TAniIconLoader& loader) {
  if (data.size() < 12 || std::memcmp(data.data(), "RIFF", 4) != 0 || std::memcmp(data.data() + 8, "ACON", 4) != 0)
    ReadError();
  TAniContent c;
  TRiffCursor r{data, 12};
  // No file holds more steps than one per 4 bytes (a rate, a sequence entry or
  // more for an icon); a larger count is damage, refused before allocating.
  const uint64_t maxSteps = data.size() / 4;
  int32_t icon = 0;
  size_t rate = 0, seq = 0;
  // Steps by frame number, so that each icon finds its steps without a pass over all of them.
  std::set<std::pair<int32_t, size_t>> byFrame;
  const auto addStep = [&](const TAniStep& s) {
    byFrame.emplace(s.FrameNumber, c.Steps.size());
    c.Steps.push_back(s);
  };
  char id[4];
  uint32_t size = 0;
  for (bool walking = true; walking && r.ChunkHeader(id, size);) {
    const uint64_t start = r.Pos, end = start + PadToEven(size);
    const uint64_t there = std::min<uint64_t>(size, r.Left());
    if (IsId(id, "anih")) {
      std::memcpy(&c.Header, data.data() + start, static_cast<size_t>(std::min<uint64_t>(there, sizeof c.Header)));
      if (!(c.Header.Flags & kAniFlagIcon) || c.Header.Steps == 0 || c.Steps.size() + c.Header.Steps > maxSteps)
        ReadError();
      // "rate" and "seq " hold one value per step, so there are as many steps
      // as the header says, each first showing the frame of its own number.
      for (uint32_t n = 0; n < c.Header.Steps; ++n) {
        TAniStep s;
        s.FrameNumber = static_cast<int32_t>(n);
        s.Jiffies = c.Header.DisplayRate;
        addStep(s);
      }
    } else if (IsId(id, "rate") || IsId(id, "seq ")) {
      const bool isRate = IsId(id, "rate");
      size_t& next = isRate ? rate : seq;
      for (uint64_t at = start; at + 4 <= start + there; at += 4, ++next) {
        if (next >= c.Steps.size()) continue;
        const uint32_t v = U32At(data, at);
        if (isRate) c.Steps[next].Jiffies = v;
        else {
          int32_t& frame = c.Steps[next].FrameNumber;
          byFrame.erase({frame, next});
          frame = static_cast<int32_t>(v);
          byFrame.emplace(frame, next);
        }
      }
    } else if (IsId(id, "LIST")) {
      if (r.Left() < 4) break;
      char type[4];
      std::memcpy(type, data.data() + start, 4);
      r.Pos += 4;
      const bool fram = IsId(type, "fram"), info = IsId(type, "INFO");
      char sid[4];
      uint32_t ssize = 0;
      while ((fram || info) && end > r.Pos && end - r.Pos > 7) {
        if (!r.ChunkHeader(sid, ssize)) {
          walking = false;
          break;
        }
        const uint64_t subStart = r.Pos;
        if (fram && IsId(sid, "icon")) {
          // A truncated icon ends the walk; the steps read before it stay.
          if (ssize > r.Left()) {
            walking = false;
            break;
          }
          auto got = ReadAniIcon(data.substr(subStart, ssize), loader, c.ImageColors);
          if (!got) break;
          const auto show = [&](TAniStep& s) {
            s.Icon = got->Loaded.Icon;
            s.IsIcon = got->IsIcon;
            std::memcpy(s.ChunkId, sid, 4);
            s.ChunkSize = ssize;
            s.HotX = got->HotX;
            s.HotY = got->HotY;
          };
          bool shown = false;
          for (auto it = byFrame.lower_bound({icon, 0}); it != byFrame.end() && it->first == icon; ++it)
            show(c.Steps[it->second]), shown = true;
          if (!shown) {
            // An icon that no step asked for gets a step of its own.
            TAniStep s;
            s.Jiffies = c.Header.DisplayRate;
            show(s);
            addStep(s);
          }
          ++icon;
        } else if (info && (IsId(sid, "INAM") || IsId(sid, "IART"))) {
          if (ssize > end - subStart) break;
          const std::string text = ChunkText(data.substr(subStart, static_cast<size_t>(std::min<uint64_t>(ssize, r.Left()))));
          (IsId(sid, "INAM") ? c.Title : c.Author) = text;
        }
        r.Pos = subStart + PadToEven(ssize);
      }
      r.Pos = std::max(r.Pos, end);
      continue;
    } else if (end > data.size()) {
      break;  // a skip past the end
    }
    r.Pos = end;
  }
  std::erase_if(c.Steps, [](const TAniStep& s) { return s.Icon < 0; });
  c.Header.Steps = static_cast<uint32_t>(c.Steps.size());
  if (c.Steps.empty()) ReadError();
  return c;
}

TAniIconLoader ProbingIconLoader(std::vector<std::string>* images) {
  auto count = std::make_shared<int>(0);
  return [count, images](const std::string& image) -> std::optional<TLoadedIcon> {
    const auto size = ProbeIconImage(image);
    if (!size) return std::nullopt;
    if (images) images->push_back(image);
    return TLoadedIcon{(*count)++, size->Width, size->Height};
  };
}

}  // namespace pictures
