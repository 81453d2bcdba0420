// The compressed map format: header, deciphering, unpacking and the tables.
#include <algorithm>
#include <cstring>

#include "qelCrypt.h"
#include "qelMapFile.h"
#include "qelStrings.h"
#include "qelZip.h"

namespace qel {

namespace {

std::uint32_t LoadLE32(const char* p) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(p[i]);
  return v;
}

std::uint32_t ReadU32(TMiniStream& stream) {
  char bytes[4] = {};
  stream.ReadBytes(bytes, 4);
  return LoadLE32(bytes);
}

// A count from the file, bounded by what the bytes left can hold.
std::uint32_t BoundedCount(std::uint32_t count, const TMiniStream& stream, std::int64_t minimumEntrySize) {
  const std::int64_t fits = std::max<std::int64_t>(stream.Remaining(), 0) / minimumEntrySize;
  return static_cast<std::uint32_t>(std::min<std::int64_t>(count, fits));
}

MapAddress Advanced(MapAddress address, std::int32_t delta) {
  return address + static_cast<MapAddress>(static_cast<std::intptr_t>(delta));
}

}  // namespace

std::int32_t TMiniStream::ReadBytes(void* buffer, std::int32_t count) {
  if (FPosition < 0 || count < 0) return 0;
  const std::int64_t left = Remaining();
  if (left <= 0) return static_cast<std::int32_t>(left);
  const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(count, left));
  std::memcpy(buffer, FData.data() + FPosition, static_cast<std::size_t>(n));
  FPosition += n;
  return n;
}

std::int32_t ReadCompactInt(TMiniStream& stream) {
  char first = 0;
  stream.ReadBytes(&first, 1);
  if (static_cast<unsigned char>(first) != 0x80) return static_cast<signed char>(first);
  return static_cast<std::int32_t>(ReadU32(stream));
}

void ReadShortText(TMiniStream& stream, std::string& text) {
  unsigned char length = 0;
  if (stream.ReadBytes(&length, 1) <= 0) return;
  if (stream.Remaining() < length) return;
  std::string read(length, '\0');
  stream.ReadBytes(read.data(), length);
  text = std::move(read);
}

std::string BuildMapPassword(std::uint32_t payloadLength) {
  const std::string text = std::string(QelMapPasswordText) +
                           UpperStr(HexStrPadded32(payloadLength, 7, '0')) + QelMapPasswordText +
                           DecStrPadded(static_cast<std::int32_t>(payloadLength), 8, '0');
  std::string password = text + text;
  const std::string key = password;
  LegacyEncryptStr(password, key);
  return password;
}

bool LoadCompressedMap(std::string_view data, TMapFile& map) {
  if (data.size() <= QelMapHeaderSize || LoadLE32(data.data() + 18) != QelMapVersion ||
      std::memcmp(data.data(), QelMapSignature, 14) != 0)
    return false;
  const std::size_t length = std::min<std::size_t>(LoadLE32(data.data() + 14), data.size() - QelMapHeaderSize);
  if (length > MaxMapFileSize) return true;
  std::string payload(data.substr(QelMapHeaderSize, length));
  LegacyDecryptStr(payload, BuildMapPassword(static_cast<std::uint32_t>(payload.size())));
  std::string unpacked = UnpackString(payload);
  if (unpacked.empty() || unpacked.size() > MaxMapFileSize) return true;

  TMiniStream stream(std::move(unpacked));
  const MapAddress codeStart = map.FBounds.codeStart;
  // Smallest entries: a segment 4 + 4 + 1 bytes, a public 1 + 1, a line 1 + 1.
  const std::uint32_t segments = BoundedCount(ReadU32(stream), stream, 9);
  std::string text;
  map.FSegments.reserve(segments);
  for (std::uint32_t i = 0; i < segments; ++i) {
    TMfSegment s{true, true, codeStart + ReadU32(stream), 0, {}};
    s.length = ReadU32(stream);
    ReadShortText(stream, text);
    s.unit = text;
    map.FSegments.push_back(std::move(s));
  }
  const std::uint32_t publics = BoundedCount(ReadU32(stream), stream, 2);
  map.FPublics.reserve(publics);
  MapAddress address = codeStart;
  for (std::uint32_t i = 0; i < publics; ++i) {
    ReadShortText(stream, text);
    address = i == 0 ? codeStart + ReadU32(stream) : Advanced(address, ReadCompactInt(stream));
    map.FPublics.push_back(TMfPublic{true, true, text, address});
  }
  const std::uint32_t lines = ReadU32(stream);
  if (lines > 0) {
    const std::uint32_t further = BoundedCount(lines - 1, stream, 2);
    std::int32_t line = static_cast<std::int32_t>(ReadU32(stream));
    address = codeStart + ReadU32(stream);
    map.FLines.reserve(further + 1);
    map.FLines.push_back(TMfLineNumber{line, address});
    for (std::uint32_t i = 0; i < further; ++i) {
      line = static_cast<std::int32_t>(static_cast<std::uint32_t>(line) + static_cast<std::uint32_t>(ReadCompactInt(stream)));
      address = Advanced(address, ReadCompactInt(stream));
      map.FLines.push_back(TMfLineNumber{line, address});
    }
  }
  if (stream.Remaining() == 4) map.FEntryPoint = codeStart + ReadU32(stream);
  map.SortTables();
  return true;
}

}  // namespace qel
