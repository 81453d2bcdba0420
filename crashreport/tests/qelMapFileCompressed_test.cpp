// The compressed map reader on a file written by an independent writer
// (fixtures/write_qel.py: Python's zlib and Blowfish), on header and payload
// variants, and on hostile counts.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>

#include "qelCrypt.h"
#include "qelMapFile.h"
#include "qelZip.h"

using namespace qel;

namespace {

constexpr MapAddress C = 0x401000;
const TMapBounds kBounds{C, C + 0x20000, 0x480000, 0x490000};

std::string ReadFixture(const char* name) {
  std::ifstream in(std::string(QEL_MAP_FIXTURES) + "/" + name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string LE32(std::uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (8 * i));
  return s;
}

// Packs, enciphers and heads an unpacked payload as the format wants it.
std::string Wrap(const std::string& unpacked, std::uint32_t version = QelMapVersion) {
  std::string packed(unpacked.size() + 1024, '\0');
  const std::uint32_t n = PackBuffer(unpacked.data(), packed.data(), static_cast<std::uint32_t>(unpacked.size()),
                                     static_cast<std::uint32_t>(packed.size()));
  packed.resize(n);
  const std::uint32_t crc = ~Crc32Update(0xFFFFFFFFu, unpacked.data(), static_cast<std::int32_t>(unpacked.size()));
  std::string block = LE32(static_cast<std::uint32_t>(unpacked.size())) + LE32(0) + LE32(crc) + packed;
  LegacyEncryptStr(block, BuildMapPassword(static_cast<std::uint32_t>(block.size())));
  return std::string(QelMapSignature, 14) + LE32(static_cast<std::uint32_t>(block.size())) + LE32(version) + block;
}

std::string Text(const std::string& s) { return std::string(1, static_cast<char>(s.size())) + s; }

TEST(CompressedMap, IndependentWriterGivesTheExactTables) {
  const std::string data = ReadFixture("sample.qel");
  ASSERT_GT(data.size(), QelMapHeaderSize);
  TMapFile map("", kBounds);
  ASSERT_TRUE(LoadCompressedMap(data, map));
  ASSERT_EQ(map.Segments().size(), 3u);
  const struct {
    MapAddress start;
    std::uint32_t length;
    const char* unit;
  } segments[] = {{C, 0x100, "System"}, {C + 0x100, 0x80, "A\xE7\xE3o"}, {C + 0x180, 0x10000, "Unit3"}};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_TRUE(map.Segments()[i].valid && map.Segments()[i].code);
    EXPECT_EQ(map.Segments()[i].start, segments[i].start);
    EXPECT_EQ(map.Segments()[i].length, segments[i].length);
    EXPECT_EQ(map.Segments()[i].unit, segments[i].unit);
  }
  // Read as given (one step back, one long step), then put in address order.
  std::vector<std::pair<std::string, MapAddress>> publics;
  for (const auto& p : map.Publics()) publics.emplace_back(p.name, p.address);
  EXPECT_EQ(publics, (std::vector<std::pair<std::string, MapAddress>>{
                         {"Move", C + 0x10}, {"Back", C + 0x20}, {"Fill", C + 0x90}, {"Far", C + 0x10120},
                         {"Near", C + 0x10121}}));
  std::vector<std::pair<std::int32_t, MapAddress>> lines;
  for (const auto& l : map.Lines()) lines.emplace_back(l.line, l.address);
  EXPECT_EQ(lines, (std::vector<std::pair<std::int32_t, MapAddress>>{
                       {10, C + 0x100}, {11, C + 0x104}, {12, C + 0x108}, {300, C + 0x180}, {13, C + 0x10180}}));
  EXPECT_EQ(map.EntryPoint(), C + 0x90);
  EXPECT_EQ(map.PublicOfAddress(C + 0x10120 + 0).name, "Far");
}

TEST(CompressedMap, Headers) {
  const std::string good = ReadFixture("sample.qel");
  std::string version1 = good, version3 = good, signature = good;
  version1[18] = 1;
  version3[18] = 3;
  signature[7] ^= 0x20;
  const struct {
    std::string data;
    bool accepted;
  } cases[] = {
      {good, true},
      {good.substr(0, 22), false},
      {good.substr(0, 23), true},  // accepted, the payload yields nothing
      {version1, false},
      {version3, false},
      {signature, false},
      {"", false},
  };
  for (const auto& c : cases) {
    TMapFile map("", kBounds);
    EXPECT_EQ(LoadCompressedMap(c.data, map), c.accepted) << c.data.size();
    if (!c.accepted || c.data.size() < good.size()) {
      EXPECT_TRUE(map.Segments().empty() && map.Publics().empty() && map.Lines().empty());
    }
  }
}

TEST(CompressedMap, PayloadThatDoesNotUnpackLeavesTablesEmpty) {
  std::string data = Wrap("not a table");
  data.back() ^= 1;  // breaks the block's deflate data or CRC
  TMapFile map("", kBounds);
  EXPECT_TRUE(LoadCompressedMap(data, map));
  EXPECT_FALSE(map.HasContent());
}

TEST(CompressedMap, EntryPointOnlyWithExactlyFourSpareBytes) {
  const std::string tables = LE32(0) + LE32(1) + Text("Only") + LE32(0x40) + LE32(0);
  for (int spare : {0, 3, 4, 5}) {
    std::string payload = tables + std::string(static_cast<std::size_t>(spare), '\x01');
    TMapFile map("", kBounds);
    ASSERT_TRUE(LoadCompressedMap(Wrap(payload), map));
    EXPECT_EQ(map.EntryPoint(), spare == 4 ? C + 0x01010101 : 0) << spare;
    ASSERT_EQ(map.Publics().size(), 1u);
    EXPECT_EQ(map.Publics()[0].address, C + 0x40);
  }
}

TEST(CompressedMap, CompactIntegers) {
  const struct {
    std::string bytes;
    std::int32_t value;
  } cases[] = {
      {"\x7F", 127},
      {"\xFF", -1},
      {"\x81", -127},
      {std::string("\x80\x00\x01\x00\x00", 5), 256},
      {"\x80\xFF\xFF\xFF\x7F", 0x7FFFFFFF},
      {std::string("\x80\x80\x00\x00\x00", 5), 128},
      {"", 0},                                      // past the end
      {"\x80\x01", 1},                              // a value cut short keeps its zero bytes
  };
  for (const auto& c : cases) {
    TMiniStream stream(c.bytes);
    EXPECT_EQ(ReadCompactInt(stream), c.value) << c.bytes.size();
  }
}

TEST(CompressedMap, ShortTextLongerThanTheRestKeepsThePreviousText) {
  TMiniStream stream(Text("abc") + "\xC8" + "xyz");
  std::string text;
  ReadShortText(stream, text);
  EXPECT_EQ(text, "abc");
  ReadShortText(stream, text);
  EXPECT_EQ(text, "abc");
  EXPECT_EQ(stream.Remaining(), 3);
  char buf[8];
  EXPECT_EQ(stream.ReadBytes(buf, -1), 0);
  EXPECT_EQ(stream.ReadBytes(buf, 8), 3);
  EXPECT_EQ(stream.ReadBytes(buf, 8), 0);
}

TEST(CompressedMap, HostileCountsFinishFastWithBoundedTables) {
  const std::string huge = LE32(0xFFFFFFFFu);
  const std::string filler(4000, '\x05');
  const std::string payloads[] = {
      huge + filler,                                // segments
      LE32(0) + huge + filler,                      // publics
      LE32(0) + LE32(0) + huge + filler,            // lines
      LE32(0x7FFFFFFF) + LE32(0x7FFFFFFF),          // nothing behind the count
  };
  for (const std::string& payload : payloads) {
    TMapFile map("", kBounds);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(LoadCompressedMap(Wrap(payload), map));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_LE(map.Segments().size() * 9 + map.Publics().size() * 2 + map.Lines().size() * 2, payload.size());
  }
}

TEST(CompressedMap, PasswordDependsOnTheLength) {
  const std::string a = BuildMapPassword(100), b = BuildMapPassword(101);
  EXPECT_EQ(a.size(), 56u);
  EXPECT_NE(a, b);
  EXPECT_EQ(a, BuildMapPassword(100));
}

}  // namespace
