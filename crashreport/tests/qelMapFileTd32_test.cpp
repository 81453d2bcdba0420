// The TD32 reader on blocks packed here field by field.
#include <gtest/gtest.h>

#include <chrono>

#include "Td32Builder.h"
#include "qelMapFile.h"

using namespace qel;
using namespace td32test;

namespace {

constexpr MapAddress C = 0x1000;
constexpr MapAddress D = 0x8000;
const TMapBounds kBounds{C, 0, D, 0};

struct Seg {
  bool code;
  MapAddress start;
  std::uint32_t length;
  const char* unit;
};

void ExpectSegments(const TMapFile& map, const std::vector<Seg>& expected) {
  ASSERT_EQ(map.Segments().size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const TMfSegment& s = map.Segments()[i];
    EXPECT_EQ(s.code, expected[i].code) << i;
    EXPECT_EQ(s.start, expected[i].start) << i;
    EXPECT_EQ(s.length, expected[i].length) << i;
    EXPECT_EQ(s.unit, expected[i].unit) << i;
  }
}

// Units A, B, C with a zero-size segment, a second module record of A that
// touches the first, B overlapping A, a gap before C, C's lines unsorted.
Td32Builder Sample() {
  Td32Builder t;
  const std::uint32_t a = t.Name("C:\\src\\UnitA.pas"), b = t.Name("UnitB.pas"), c = t.Name("UnitC"),
                      procA = t.Name("ProcA"), procB = t.Name("ProcB"), var = t.Name("VarX"), aligned = t.Name("Aligned");
  t.Module(a, {{1, 0x000, 0x100}, {0, 0x000, 0x40}, {1, 0x500, 0}});
  t.Module(b, {{1, 0x150, 0x100}});
  t.Module(c, {{1, 0x300, 0x20}});
  t.Module(a, {{1, 0x100, 0x80}});
  t.SourceFile(c, {{{0x300, 10}, {0x310, 12}, {0x308, 11}}, {}, {{0x400, 5}, {0x3F0, 6}}});
  t.Symbols(true, {Td32Builder::Proc(0x10, procA), Td32Builder::Proc(0x160, 0, 0x204), Td32Builder::Proc(0x200, procB),
                   Td32Builder::Data(0x8, var), Td32Builder::Record(0x204, 20, 28, 0x20, 40, procA),
                   Td32Builder::Record(0x1, 12, 4, 0x30, 8, procA)});
  t.Symbols(false, {Td32Builder::Proc(0x40, aligned)});
  return t;
}

TEST(Td32, SampleGivesTheExactTables) {
  TMapFile map("", kBounds);
  ASSERT_TRUE(ParseTd32(Sample().Build(), map));
  // A's two records merged, A cut at B's start, B stretched to C (no gap),
  // C's module segment replaced by its line range at the same start.
  ExpectSegments(map, {{true, C + 0x000, 0x150, "UnitA"},
                       {true, C + 0x150, 0x1B0, "UnitB"},
                       {true, C + 0x300, 0x9, "UnitC"},
                       {false, D + 0x000, 0x40, "UnitA"}});
  for (std::size_t i = 0; i + 1 < map.Segments().size(); ++i) {
    const TMfSegment& s = map.Segments()[i];
    if (s.code == map.Segments()[i + 1].code) {
      EXPECT_EQ(s.start + s.length, map.Segments()[i + 1].start);
    }
  }
  // Global symbols only; name index 0, a record too short for its fields and
  // an unknown kind add nothing.
  std::vector<std::pair<std::string, MapAddress>> publics;
  for (const auto& p : map.Publics()) publics.emplace_back(p.name, p.address);
  EXPECT_EQ(publics, (std::vector<std::pair<std::string, MapAddress>>{
                         {"ProcA", C + 0x10}, {"ProcB", C + 0x200}, {"VarX", D + 0x8}}));
  EXPECT_FALSE(map.Publics()[2].code);
  // Lines in address order; the empty block and the one that runs backwards are left out.
  std::vector<std::pair<std::int32_t, MapAddress>> lines;
  for (const auto& l : map.Lines()) lines.emplace_back(l.line, l.address);
  EXPECT_EQ(lines, (std::vector<std::pair<std::int32_t, MapAddress>>{{10, C + 0x300}, {11, C + 0x308}, {12, C + 0x310}}));
}

TEST(Td32, AlignedSymbolsWhenThereAreNoGlobalOnes) {
  Td32Builder t;
  const std::uint32_t unit = t.Name("Unit1"), proc = t.Name("Aligned");
  t.Module(unit, {{1, 0, 0x100}});
  t.Symbols(false, {Td32Builder::Proc(0x40, proc), Td32Builder::Record(0x20, 24, 20, 0x50, 12, 77)});
  TMapFile map("", kBounds);
  ASSERT_TRUE(ParseTd32(t.Build(), map));
  ASSERT_EQ(map.Publics().size(), 2u);
  EXPECT_EQ(map.Publics()[0].name, "Aligned");
  EXPECT_EQ(map.Publics()[1].name, "");  // name index beyond the table
  EXPECT_EQ(map.Publics()[1].address, C + 0x50);
}

TEST(Td32, RefusedAndHostileBlocks) {
  const std::string good = Sample().Build();
  TMapFile refused("", kBounds);
  EXPECT_FALSE(ParseTd32("FB0B" + good.substr(4), refused));
  EXPECT_FALSE(ParseTd32("FB0", refused));
  EXPECT_FALSE(refused.HasContent());
  TMapFile other("", kBounds);
  EXPECT_TRUE(ParseTd32(Sample().Build("FB0A"), other));
  EXPECT_EQ(other.Segments().size(), 4u);

  // A directory that names itself as the next one, and every truncation.
  const auto start = std::chrono::steady_clock::now();
  TMapFile cyclic("", kBounds);
  EXPECT_TRUE(ParseTd32(Sample().Build("FB09", true), cyclic));
  EXPECT_EQ(cyclic.Segments().size(), 4u);
  for (std::size_t n = 8; n < good.size(); ++n) {
    TMapFile cut("", kBounds);
    EXPECT_TRUE(ParseTd32(good.substr(0, n), cut));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
