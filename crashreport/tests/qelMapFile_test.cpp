// The text map reader on a hand-written map and on single lines, the lookups'
// probe search against a linear search, and the map cache.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <iterator>
#include <thread>

#include "qelMapFile.h"
#include "qelStrings.h"

using namespace qel;

namespace {

constexpr MapAddress C = 0x401000;  // code start
constexpr MapAddress D = 0x405000;  // data start
const TMapBounds kBounds{C, C + 0x2C0, D, D + 0x100};

// Stands in for the support library's demangler: "@Unit@Name$params" gives
// unit Unit and name Name.
bool FakeDemangle(std::string& name, std::string& unit) {
  unit.clear();
  if (name.empty() || name[0] != '@') return false;
  const auto at = name.find('@', 1);
  const auto dollar = name.find('$', 1);
  if (at == std::string::npos || dollar == std::string::npos || at > dollar) return false;
  unit = name.substr(1, at - 1);
  name = name.substr(at + 1, dollar - at - 1);
  return true;
}

class DemangleHook : public ::testing::Test {
protected:
  void SetUp() override { MapDemangleHook = FakeDemangle; }
  void TearDown() override { MapDemangleHook = nullptr; }
};

std::string ReadFixture(const char* name) {
  std::ifstream in(std::string(QEL_MAP_FIXTURES) + "/" + name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Seg {
  bool code;
  MapAddress start;
  std::uint32_t length;
  const char* unit;
};
struct Pub {
  bool code;
  const char* name;
  MapAddress address;
};
struct Line {
  std::int32_t line;
  MapAddress address;
};

void ExpectSegments(const TMapFile& map, const std::vector<Seg>& expected) {
  ASSERT_EQ(map.Segments().size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const TMfSegment& s = map.Segments()[i];
    EXPECT_TRUE(s.valid) << i;
    EXPECT_EQ(s.code, expected[i].code) << i;
    EXPECT_EQ(s.start, expected[i].start) << i;
    EXPECT_EQ(s.length, expected[i].length) << i;
    EXPECT_EQ(s.unit, expected[i].unit) << i;
  }
}

void ExpectPublics(const TMapFile& map, const std::vector<Pub>& expected) {
  ASSERT_EQ(map.Publics().size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const TMfPublic& p = map.Publics()[i];
    EXPECT_TRUE(p.valid) << i;
    EXPECT_EQ(p.code, expected[i].code) << i;
    EXPECT_EQ(p.name, expected[i].name) << i;
    EXPECT_EQ(p.address, expected[i].address) << i;
  }
}

void ExpectLines(const TMapFile& map, const std::vector<Line>& expected) {
  ASSERT_EQ(map.Lines().size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(map.Lines()[i].line, expected[i].line) << i;
    EXPECT_EQ(map.Lines()[i].address, expected[i].address) << i;
  }
}

// --- the hand-written map ---------------------------------------------------------

TEST_F(DemangleHook, FixtureGivesTheExactTables) {
  const std::string text = ReadFixture("sample.map");
  ASSERT_GT(text.size(), 1000u);
  ASSERT_NE(text.find("\r\n"), std::string::npos) << "the fixture must keep its CR LF line ends";
  ASSERT_NE(text.substr(text.size() - 2), "\r\n") << "the fixture's last line has no CR LF";
  const TMapFile map(text, kBounds);
  EXPECT_TRUE(map.Loaded());

  // Segment 0003 and the short segment line are left out; Foo.PAS loses its
  // extension, the unit is taken after a backslash; code before data.
  ExpectSegments(map, {{true, C + 0x000, 0x100, "System"},
                       {true, C + 0x100, 0x080, "Foo"},
                       {true, C + 0x180, 0x080, "Bar"},
                       {true, C + 0x200, 0x080, "SysUtils"},
                       {true, C + 0x280, 0x040, "Baz"},
                       {false, D + 0x000, 0x040, "System"}});
  // By address; the generated name is dropped, the parameter list cut, the
  // unit's own name is its initialization, a public of another unit keeps its
  // unit; publics by name and segment 0003 are not read.
  ExpectPublics(map, {{true, "Move", C + 0x000},
                      {true, "initialization", C + 0x100},
                      {true, "Foo.Bar", C + 0x110},
                      {true, "Bar.Baz", C + 0x180},
                      {true, "System.Copy", C + 0x210},
                      {true, "Baz.Last", C + 0x280},
                      {false, "Counter", D + 0x010}});
  // Segment 0002 groups are skipped, entries not above the last one dropped,
  // the block without "(unit)" is not read.
  ExpectLines(map, {{10, C + 0x100}, {11, C + 0x108}, {13, C + 0x110}, {20, C + 0x180}, {21, C + 0x190}, {300, C + 0x210}});
  EXPECT_EQ(map.EntryPoint(), C + 0x110);
}

TEST_F(DemangleHook, FixtureLookups) {
  const TMapFile map(ReadFixture("sample.map"), kBounds);
  struct Case {
    MapAddress address;
    const char* unit;
    const char* routine;
    std::int32_t line;
  } cases[] = {
      {C + 0x000, "System", "Move", 0},          // before the first line entry
      {C + 0x10C, "Foo", "initialization", 11},
      {C + 0x10F, "Foo", "initialization", 11},
      {C + 0x110, "Foo", "Foo.Bar", 13},
      {C + 0x17F, "Foo", "Foo.Bar", 13},
      {C + 0x180, "Bar", "Bar.Baz", 20},
      {C + 0x1A0, "Bar", "Bar.Baz", 21},
      {C + 0x290, "Baz", "Baz.Last", 0},         // the nearest entry belongs to SysUtils
      {C + 0x2BF, "Baz", "Baz.Last", 0},
      {C + 0x2C0, "", "", 0},                    // outside every segment: past Baz.Last's end
      {D + 0x020, "", "", 0},                    // last public, beyond the code end
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address - C);
    EXPECT_EQ(map.SegmentOfAddress(true, c.address).unit, c.unit);
    EXPECT_EQ(map.PublicOfAddress(c.address).name, c.routine);
    EXPECT_EQ(map.LineOfAddress(c.address), c.line);
  }
  MapAddress next = 0;
  EXPECT_EQ(map.LineOfAddressRange(C + 0x10C, next), 11);
  EXPECT_EQ(next, C + 0x110);
  EXPECT_EQ(map.LineOfAddressRange(C + 0x290, next), 0);
  EXPECT_EQ(next, C + 0x291);
  EXPECT_EQ(map.SegmentOfAddress(false, D + 0x3F).unit, "System");
  EXPECT_FALSE(map.SegmentOfAddress(false, D + 0x40).valid);
  EXPECT_FALSE(map.SegmentOfAddress(false, C).valid);
}

TEST(MapText, WithoutDemanglerNamesStayAsRead) {
  const TMapFile map(ReadFixture("sample.map"), kBounds);
  EXPECT_EQ(map.PublicOfAddress(C).name, "@System@Move$qqrpxvpvi");
}

TEST(MapText, EmptyOrForeignTextIsNotLoaded) {
  for (const char* text : {"", "\r\n\r\n", "nothing of a map\r\nat all", "Publics by Value\r\n\r\n"}) {
    const TMapFile map(text, kBounds);
    EXPECT_FALSE(map.Loaded()) << text;
  }
  EXPECT_FALSE(TMapFile(std::string(MaxMapFileSize + 1, ' '), kBounds).Loaded());
  const TMapFile empty;
  EXPECT_FALSE(empty.PublicOfAddress(C).valid);
  EXPECT_FALSE(empty.SegmentOfAddress(true, C).valid);
  EXPECT_EQ(empty.LineOfAddress(C), 0);
}

TEST(MapText, LineReader) {
  struct Case {
    std::string text;
    std::vector<std::string> lines;
  } cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"  ab\r\n   \r\ncd", {"ab", "", "cd"}},
      {"ab\r\n", {"ab"}},
      {"a\rb\nc\r\nd", {"a\rb\nc", "d"}},  // only CR LF ends a line
      {"x\r", {"x\r"}},
  };
  for (const Case& c : cases) {
    TMapLineReader reader(c.text);
    std::vector<std::string> got;
    std::string_view line;
    while (reader.Next(line)) got.emplace_back(line);
    EXPECT_EQ(got, c.lines) << c.text;
  }
}

// --- single lines --------------------------------------------------------------

std::string Pad(std::string s, std::size_t width) {
  s.resize(std::max(s.size(), width), ' ');
  return s;
}

TEST(MapText, SegmentLines) {
  const std::string head = "0001:00000010 00000020 C=CODE     S=.text    G=(none)   M=";
  struct Case {
    std::string line;
    bool added;
    bool code;
    const char* unit;
  } cases[] = {
      {Pad(head + "Unit1", 72), false, true, ""},          // 72 characters: too short
      {Pad(head + "Unit1", 73), true, true, "Unit1"},     // trailing blanks stand for the attributes
      {Pad(head + "Unit1", 70) + " ACBP=A9", true, true, "Unit1"},
      {Pad(head + "Prog.DPR", 70) + " ACBP=A9", true, true, "Prog"},
      {Pad(head + "Unit.pass", 70) + " ACBP=A9", true, true, "Unit.pass"},
      {Pad(head + "lib|Unit2", 70) + " ACBP=A9", true, true, "Unit2"},
      {Pad("0002" + head.substr(4) + "Data1", 70) + " ACBP=A9", true, false, "Data1"},
      {Pad("0003" + head.substr(4) + "Tls", 70) + " ACBP=A9", false, true, ""},
      {Pad("0001-" + head.substr(5) + "X", 70) + " ACBP=A9", false, true, ""},   // no colon
      {Pad("0001:00000010-00000020" + head.substr(22) + "X", 80), false, true, ""},
      {Pad("0001:00000010 00000020 D=" + head.substr(25) + "X", 80), false, true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    TMapFile map("", kBounds);
    ParseSegmentLine(c.line, map);
    ASSERT_EQ(map.Segments().size(), c.added ? 1u : 0u);
    if (!c.added) continue;
    const TMfSegment& s = map.Segments()[0];
    EXPECT_EQ(s.code, c.code);
    EXPECT_EQ(s.start, (c.code ? C : D) + 0x10);
    EXPECT_EQ(s.length, 0x20u);
    EXPECT_EQ(s.unit, c.unit);
  }
}

TEST(MapText, PublicLines) {
  struct Case {
    const char* line;
    const char* name;  // null: nothing added
    bool code;
    MapAddress offset;
  } cases[] = {
      {"0001:00000010       Unit1.Routine", "Unit1.Routine", true, 0x10},
      {"0002:0000ABCD       Unit1.Variable", "Unit1.Variable", false, 0xABCD},
      {"0001:00000010 N", "N", true, 0x10},
      {"0001:00000010       Routine(int, char*)", "Routine", true, 0x10},
      {"0001:00000010       Functor::operator()()", "Functor::operator()", true, 0x10},
      {"0001:00000010       Routine ()", nullptr, true, 0},  // the list leaves no name
      {"0001:00000010 (x)", nullptr, true, 0},
      {"0001:00000010", nullptr, true, 0},
      {"0001:00000010       ", nullptr, true, 0},
      {"0001:000010 Name", nullptr, true, 0},               // the name begins before column 14
      {"0001-00000010       Name", nullptr, true, 0},
      {"0003:00000010       Name", nullptr, true, 0},
      {"0001:00000010       @$xp$Unit.TThing", nullptr, true, 0},
      {"0001:00000010       @$xp", "@$xp", true, 0x10},       // too short to be a generated name
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    TMapFile map("", kBounds);
    ParsePublicLine(c.line, map);
    ASSERT_EQ(map.Publics().size(), c.name ? 1u : 0u);
    if (!c.name) continue;
    EXPECT_EQ(map.Publics()[0].name, c.name);
    EXPECT_EQ(map.Publics()[0].code, c.code);
    EXPECT_EQ(map.Publics()[0].address, (c.code ? C : D) + c.offset);
  }
}

TEST(MapText, LineNumberLines) {
  struct Case {
    const char* line;
    std::vector<Line> lines;
  } cases[] = {
      {"10 0001:00000010    11 0002:00000020    12 0001:00000030", {{10, C + 0x10}, {12, C + 0x30}}},
      {"7 0001:00000040  6 0001:00000040  5 0001:00000020", {{7, C + 0x40}}},
      {"10 0001:0000001", {}},                               // fewer than 8 digits after the colon
      {"10 0001:00000010 11 0001:0000002", {{10, C + 0x10}}},
      {"1:00000010", {}},                                    // 5 places before the colon: before the line
      {"0001:00000010", {}},
      {"10x0001:00000010", {}},
      {"10 0001:00000010x11 0001:00000020", {{10, C + 0x10}, {11, C + 0x20}}},  // digits are not checked
      {"no colon at all", {}},
      {"1234567 0001:00000010 89 0001:00000020 12345678 0001:00000030 1000000 0001:00000040",
       {{1234567, C + 0x10}, {89, C + 0x20}, {12345678, C + 0x30}, {1000000, C + 0x40}}},
      {"1a 0001:00000010", {{20, C + 0x10}}},                // 'a' counts 10 in the decimal field too
      {"99999999999 0001:00000010", {{1215752191, C + 0x10}}},  // the number wraps
      {"10 0001:0000abcd  11 0001:0000-0AG", {{10, C + 0xABCD}}},  // lower case; '-' and G count 0
      {"10 0001:00000010\r11 0001:00000020", {{10, C + 0x10}, {11, C + 0x20}}},  // a lone CR is a digit 0
      {"10 0002:00000010 11 0001:00000020 12 0001:000000", {{11, C + 0x20}}},  // cut in the last offset
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    TMapFile map("", kBounds);
    ParseLineNumbersLine(c.line, map);
    ExpectLines(map, c.lines);
  }
}

// Offsets of every character class, one group a line, read as the
// unchecked hexadecimal reading reads them.
TEST(MapText, LineNumberOffsetsReadAsUncheckedHex) {
  const std::string chars = std::string("09AFaf/:@G`g- \x80\xB0\xFF") + '\0';
  std::uint32_t seed = 27;
  for (int round = 0; round < 2000; ++round) {
    std::string offset;
    for (int i = 0; i < 8; ++i) {
      seed = seed * 1103515245u + 12345u;
      // Mostly digits, so that one odd character at a time is met as well.
      offset += (seed >> 16) % 4 == 0 ? chars[(seed >> 20) % chars.size()] : "0123456789ABCDEF"[(seed >> 20) % 16];
    }
    SCOPED_TRACE(offset);
    TMapFile map("", kBounds);
    ParseLineNumbersLine("5 0001:" + offset, map);
    ExpectLines(map, {{5, C + static_cast<std::uint32_t>(ParseIntBuf(true, offset.data(), 8))}});
  }
}

// The section's reader takes the groups while it looks for each line's end:
// on random sections it must give what the lines, split first and read one
// by one, give. Fragments cut groups at CR LF, hold lone CRs and odd fields.
TEST(MapText, LineNumberSectionReadsAsItsLines) {
  const char* const fragments[] = {" ",  "  ",    "12",        " 0001:",    "0001:",    ":",  "\r\n", "\r",
                                   "7",  "0002:", "0000ABCD", "0000abcd", "00000010", "-1", "0001:0000", "x",
                                   "0FFF"};
  const std::string heading = "Line numbers for Unit(Unit.cpp) segment .text\r\n\r\n";
  std::uint32_t seed = 2027;
  const auto random = [&](std::uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % n;
  };
  for (int round = 0; round < 3000; ++round) {
    std::string section;
    for (int i = 0, n = static_cast<int>(random(24)); i < n; ++i) {
      if (random(3) == 0) {
        section += fragments[random(std::size(fragments))];
      } else {
        char group[32];
        std::snprintf(group, sizeof group, "%*u 0001:%08X", static_cast<int>(random(7)), random(5000), random(0x400));
        section += group;
      }
    }
    SCOPED_TRACE(section);
    const TMapFile read(heading + section, kBounds);

    TMapFile expected("", kBounds);
    TMapLineReader reader(section);
    std::string_view line;
    bool more;
    while ((more = reader.Next(line)) && line.empty()) {
    }
    for (; more && !line.empty(); more = reader.Next(line)) ParseLineNumbersLine(line, expected);
    ASSERT_EQ(read.Lines().size(), expected.Lines().size());
    for (std::size_t i = 0; i < expected.Lines().size(); ++i) {
      EXPECT_EQ(read.Lines()[i].line, expected.Lines()[i].line) << i;
      EXPECT_EQ(read.Lines()[i].address, expected.Lines()[i].address) << i;
    }
  }
  // A group cut by the line's end is not completed from the next line.
  const TMapFile cut(heading + "1 0001:00000010 2 0001:0FFF\r\n0020\r\n", kBounds);
  ExpectLines(cut, {{1, C + 0x10}});
}

// A public named as its segment's unit becomes "initialization": with that,
// random publics (any order, in gaps, before and after every segment, code
// and data) show which segment was found to hold each, against every segment
// tried in turn. Segments apart and overlapping.
TEST(MapText, PublicsFindTheSegmentThatHoldsThem) {
  std::uint32_t seed = 6102;
  const auto random = [&](std::uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % n;
  };
  for (const bool overlapping : {false, true}) {
    SCOPED_TRACE(overlapping ? "overlapping" : "apart");
    struct Segment {
      int kind;
      std::uint32_t start, length;
    };
    std::vector<Segment> segments;
    std::string text = "Detailed map of segments\r\n\r\n";
    char line[160];
    for (int k = 0; k < 40; ++k) {
      const Segment g{1 + k % 2, static_cast<std::uint32_t>(k / 2 * 0x100), overlapping ? 0x180u : 0x80u};
      segments.push_back(g);
      std::snprintf(line, sizeof line, " %04X:%08X %08X C=CODE     S=.text    G=(none)   M=U%-8d ACBP=A9\r\n", g.kind,
                    g.start, g.length, k);
      text += line;
    }
    text += "\r\n  Address         Publics by Value\r\n\r\n";
    std::map<std::pair<bool, MapAddress>, std::string> expected;
    for (int p = 0; p < 400; ++p) {
      const int kind = 1 + static_cast<int>(random(2));
      // Half of them at the edges of a segment (of either kind).
      const Segment& edge = segments[random(40)];
      const std::uint32_t edges[] = {edge.start, edge.start + edge.length - 1, edge.start + edge.length};
      const std::uint32_t offset = random(2) ? random(22 * 0x100) : edges[random(3)];
      // Mostly the unit of a segment of either kind near the offset.
      const int nearby = std::min(39, static_cast<int>(offset / 0x100 * 2 + random(2)));
      const int k = random(4) == 0 ? static_cast<int>(random(40)) : nearby;
      const MapAddress address = C + offset;
      if (expected.count({kind == 1, address})) continue;
      char name[16];
      std::snprintf(name, sizeof name, "U%d", k);
      const Segment& named = segments[k];
      const bool holds = named.kind == kind && named.start <= offset && offset < named.start + named.length;
      // Where segments overlap, only the one segment that holds the address alone says what must be found.
      int holders = 0;
      for (const Segment& g : segments) holders += g.kind == kind && g.start <= offset && offset < g.start + g.length;
      if (overlapping && holders > 1) continue;
      expected[{kind == 1, address}] = holds ? "initialization" : name;
      std::snprintf(line, sizeof line, " %04X:%08X       %s\r\n", kind, offset, name);
      text += line;
    }
    // Code and data at the same addresses: only the kind tells them apart.
    const TMapFile map(text, TMapBounds{C, C + 0x3000, C, C + 0x3000});
    ASSERT_EQ(map.Publics().size(), expected.size());
    for (const TMfPublic& p : map.Publics())
      EXPECT_EQ(p.name, (expected[{p.code, p.address}])) << (p.code ? "code " : "data ") << std::hex << p.address;
  }
}

TEST(MapText, EntryPointLines) {
  struct Case {
    const char* text;
    MapAddress entry;
  } cases[] = {
      {"Program entry point at 0001:00000110", C + 0x110},
      {"   Program entry point at 0001:00000110\r\n", C + 0x110},
      {"Program entry point at 001:000001100", 0},  // colon elsewhere than column 28
      {"Program entry point at 0001:0000011", 0},   // shorter than the columns read
      {"xProgram entry point at 0001:00000110", 0},
  };
  for (const Case& c : cases) {
    TMapFile map(c.text, kBounds);
    EXPECT_EQ(map.EntryPoint(), c.entry) << c.text;
  }
}

TEST(MapText, LineNumbersHeadingNeedsUnitInParentheses) {
  const char* heads[] = {"Line numbers for Foo(Foo.pas) segment .text", "Line numbers for (Foo.pas) x",
                         "Line numbers for Foo segment .text", "Line numbers for Foo(Foo.pas segment .text",
                         "Line numbers for(x) segment"};
  const bool read[] = {true, true, false, false, false};
  for (std::size_t i = 0; i < std::size(heads); ++i) {
    const std::string text = std::string(heads[i]) + "\r\n\r\n    10 0001:00000010\r\n";
    EXPECT_EQ(TMapFile(text, kBounds).Lines().size(), read[i] ? 1u : 0u) << heads[i];
  }
}

// --- table building ---------------------------------------------------------------

TEST(MapTables, MergeNeverShortensAndOrderedInsertKeepsLastIndexes) {
  TMapFile map("", kBounds);
  map.AddMapSegment(false, false, 0x9000, true, true, "D", 0x10);
  map.AddMapSegment(true, false, 0x1000, true, true, "A", 0x100);
  map.AddMapSegment(true, false, 0x1010, true, true, "A", 0x10);  // inside: stays 0x100 long
  map.AddMapSegment(true, false, 0x1102, true, true, "A", 0x20);  // within 2 bytes of the end: merged
  map.AddMapSegment(false, false, 0x9012, true, true, "D", 0x8);  // the data entry moved up by one
  map.AddMapSegment(true, false, 0x0800, true, true, "B", 0x10);  // inserted first
  map.AddMapSegment(true, false, 0x0810, true, true, "B", 0x10);  // merged into B, not into A
  map.AddMapSegment(true, false, 0x0830, true, true, "B", 0x10);  // too far: a segment of its own
  ExpectSegments(map, {{true, 0x0800, 0x20, "B"},
                       {true, 0x0830, 0x10, "B"},
                       {true, 0x1000, 0x122, "A"},
                       {false, 0x9000, 0x1A, "D"}});
  map.AddMapSegment(false, false, 0x901A, true, true, "D", 0x6);
  EXPECT_EQ(map.Segments().back().length, 0x20u);
}

TEST(MapTables, CodeOnlyDropsData) {
  TMapFile map("", kBounds, true);
  map.AddMapSegment(false, true, 0, false, false, "D", 0x10);
  map.AddMapPublic(false, "Var", 0, false);
  map.AddMapSegment(true, true, 0, false, false, "C", 0x10);
  map.AddMapPublic(true, "Routine", 0, false);
  EXPECT_EQ(map.Segments().size(), 1u);
  EXPECT_EQ(map.Publics().size(), 1u);
}

TEST_F(DemangleHook, ExtendingSegmentsFromPublics) {
  TMapFile map("", TMapBounds{0, 0x4000, 0, 0});
  map.AddMapSegment(true, false, 0x2000, true, true, "C", 0x10);
  map.AddMapSegment(true, false, 0x1000, true, true, "A", 0x10);  // inserted first, the last one added
  map.AddMapPublic(true, "@A@First$q", 0x1000, true);  // at A's start: nothing changes
  map.AddMapPublic(true, "@A@Far$q", 0x1800, true);    // A grows to reach it; same unit, no segment
  map.AddMapPublic(true, "@C@Inner$q", 0x2008, true);  // A grows up to C's start, not beyond
  map.AddMapPublic(true, "@B@Next$q", 0x3000, true);   // nobody holds it: a segment for B
  ExpectSegments(map, {{true, 0x1000, 0x1000, "A"}, {true, 0x2000, 0x10, "C"}, {true, 0x3000, 1, "B"}});
  map.AddMapPublic(true, "@B@More$q", 0x3004, true);   // B is the last one now and grows
  EXPECT_EQ(map.Segments()[2].length, 5u);
  std::vector<std::string> names;
  for (const auto& p : map.Publics()) names.push_back(p.name);
  EXPECT_EQ(names, (std::vector<std::string>{"First", "Far", "Inner", "Next", "More"}));
}

// --- probe search -------------------------------------------------------------------

// "U" + number (a helper: GCC 12 warns wrongly about literal + to_string at -O3).
std::string Named(char prefix, int number) {
  std::string s(1, prefix);
  s += std::to_string(number);
  return s;
}

TEST(MapSearch, ProbeSearchMatchesLinearSearchForEverySize) {
  for (int count = 0; count <= 40; ++count) {
    TMapFile map("", TMapBounds{0x1000, 0x1000 + 0x10 * static_cast<MapAddress>(count) + 0x30, 0x8000, 0x9000});
    std::vector<MapAddress> starts;
    MapAddress at = 0x1000;
    for (int i = 0; i < count; ++i) {
      starts.push_back(at);
      // Gaps of varying size; every fourth routine follows at once.
      const MapAddress length = 4 + static_cast<MapAddress>(i % 3) * 4;
      map.AddMapSegment(true, false, at, false, false, Named('U', i), static_cast<std::uint32_t>(length));
      map.AddMapSegment(false, false, 0x8000 + at, false, false, Named('D', i),
                        static_cast<std::uint32_t>(length));
      map.AddMapPublic(true, Named('P', i), at - 0x1000, false);
      map.AddMapLine(i + 1, at, true);
      at += length + (i % 4 == 3 ? 0 : 4);
    }
    map.SortTables();
    const MapAddress codeEnd = map.Bounds().codeEnd;
    for (MapAddress a = 0xFF0; a < codeEnd + 0x10; ++a) {
      SCOPED_TRACE(testing::Message() << "count " << count << " address " << std::hex << a);
      // Linear answers.
      int pub = -1;
      for (int i = 0; i < count; ++i)
        if (starts[i] <= a) pub = i;
      // A routine ends where code segments stop reaching from its start.
      const auto inCode = [&](MapAddress x) {
        for (const TMfSegment& s : map.Segments())
          if (s.code && s.start <= x && x < s.start + s.length) return true;
        return false;
      };
      bool covered = pub >= 0;
      for (MapAddress x = pub >= 0 ? starts[pub] : a; covered && x <= a; ++x) covered = inCode(x);
      const bool pubValid = pub >= 0 && (pub + 1 < count || a < codeEnd) && covered;
      const TMfPublic p = map.PublicOfAddress(a);
      ASSERT_EQ(p.valid, pubValid);
      if (pubValid) {
        ASSERT_EQ(p.name, Named('P', pub));
      }
      for (bool code : {true, false}) {
        const MapAddress q = code ? a : a + 0x8000;
        int seg = -1;
        for (const TMfSegment& s : map.Segments())
          if (s.code == code && s.start <= q && q < s.start + s.length) seg = std::stoi(s.unit.substr(1));
        const TMfSegment s = map.SegmentOfAddress(code, q);
        ASSERT_EQ(s.valid, seg >= 0) << code;
        if (seg >= 0) {
          ASSERT_EQ(s.unit, Named(code ? 'U' : 'D', seg));
        }
      }
    }
  }
}

TEST(MapSearch, PublicBoundaries) {
  TMapFile map("", TMapBounds{0x1000, 0x1100, 0, 0});
  map.AddMapPublic(true, "First", 0x00, false);
  map.AddMapPublic(true, "Second", 0x40, false);
  map.AddMapPublic(true, "Last", 0x80, false);
  EXPECT_FALSE(map.PublicOfAddress(0xFFF).valid);
  EXPECT_EQ(map.PublicOfAddress(0x1000).name, "First");
  EXPECT_EQ(map.PublicOfAddress(0x103F).name, "First");
  EXPECT_EQ(map.PublicOfAddress(0x1040).name, "Second");
  EXPECT_EQ(map.PublicOfAddress(0x10FF).name, "Last");
  EXPECT_FALSE(map.PublicOfAddress(0x1100).valid);
  // Without a code end the last public has no bound.
  TMapFile open("", TMapBounds{0x1000, 0, 0, 0});
  open.AddMapPublic(true, "Only", 0x10, false);
  EXPECT_EQ(open.PublicOfAddress(0xFFFFFFF0).name, "Only");
}

// Code between routines (here the run-time's, not in any segment) is named
// by no routine; a routine runs on through the segments that follow it without
// a gap (a unit change inside it), and a map without segments keeps the old
// nearest-routine rule.
TEST(MapSearch, NoRoutineIsNamedPastItsEnd) {
  TMapFile map("Detailed map of segments\r\n\r\n"
               "0001:00000000 00000010 C=CODE     S=.text    G=(none)   M=A                   ACBP=A9\r\n"
               "0001:00000010 00000008 C=CODE     S=.text    G=(none)   M=header.h            ACBP=A9\r\n"
               "0001:00000040 00000010 C=CODE     S=.text    G=(none)   M=B                   ACBP=A9\r\n"
               "\r\n  Address         Publics by Value\r\n\r\n"
               " 0001:00000000       First\r\n 0001:00000040       Second\r\n",
               TMapBounds{0x1000, 0x1100, 0, 0});
  const struct {
    MapAddress address;
    const char* routine;
  } cases[] = {{0x1000, "First"}, {0x100F, "First"}, {0x1010, "First"}, {0x1017, "First"}, {0x1018, ""},
               {0x103F, ""},      {0x1040, "Second"}, {0x104F, "Second"}, {0x1050, ""},   {0x10FF, ""}};
  for (const auto& c : cases) {
    const TMfPublic p = map.PublicOfAddress(c.address);
    EXPECT_EQ(p.valid, *c.routine != '\0') << std::hex << c.address;
    EXPECT_EQ(p.name, c.routine) << std::hex << c.address;
  }
  TMapFile bare("  Address         Publics by Value\r\n\r\n 0001:00000000       First\r\n",
                TMapBounds{0x1000, 0x1100, 0, 0});
  EXPECT_EQ(bare.PublicOfAddress(0x10FF).name, "First");
}

TEST(MapSearch, LineEntryOutsideTheHoldingSegmentGivesNoLine) {
  TMapFile map("Detailed map of segments\r\n\r\n"
               "0001:00000000 00000010 C=CODE     S=.text    G=(none)   M=A                   ACBP=A9\r\n"
               "0001:00000020 00000010 C=CODE     S=.text    G=(none)   M=B                   ACBP=A9\r\n"
               "\r\nLine numbers for A(A.pas) segment .text\r\n\r\n    5 0001:00000000    6 0001:00000010\r\n",
               TMapBounds{0x1000, 0x1030, 0, 0});
  EXPECT_EQ(map.LineOfAddress(0x100F), 5);
  EXPECT_EQ(map.LineOfAddress(0x1010), 0);  // no segment holds it
  EXPECT_EQ(map.LineOfAddress(0x1020), 0);  // entry 6 ends A and starts no line of B
  MapAddress next = 0;
  EXPECT_EQ(map.LineOfAddressRange(0x1000, next), 5);
  EXPECT_EQ(next, 0x1010u);
}

// --- cache ------------------------------------------------------------------------

std::map<std::string, std::uint32_t>* gDates = nullptr;

std::optional<std::uint32_t> FakeDate(const std::string& name) {
  const auto it = gDates->find(name);
  if (it == gDates->end()) return std::nullopt;
  return it->second;
}

std::shared_ptr<const TMapFile> MapOf(const char* text) {
  return std::make_shared<const TMapFile>(text, TMapBounds{0x1000, 0, 0, 0});
}

class MapCache : public ::testing::Test {
protected:
  void SetUp() override { gDates = &FDates; }
  void TearDown() override { gDates = nullptr; }
  std::map<std::string, std::uint32_t> FDates;
};

TEST_F(MapCache, FindsAgainUntilTheFileDateChanges) {
  TMapFileCache cache(FakeDate);
  // The map's own file name is the module's when it came from inside it.
  const auto map = MapOf("Publics by Value\r\n\r\n0001:00000010       Routine\r\n");
  FDates[map->MapFileName()] = 7;
  EXPECT_EQ(cache.Cached("C:\\App.exe"), nullptr);
  EXPECT_EQ(cache.Cache("C:\\App.exe", map), map);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(cache.Cached(i % 2 ? "c:\\app.EXE" : "C:\\App.exe"), map);
  EXPECT_EQ(cache.Count(), 1u);
  // A second map for the same module and date: the first one stays.
  EXPECT_EQ(cache.Cache("C:\\App.exe", MapOf("Publics by Value\r\n\r\n0001:00000020       Other\r\n")), map);
  EXPECT_EQ(cache.Count(), 1u);

  FDates[map->MapFileName()] = 8;
  EXPECT_EQ(cache.Cached("C:\\App.exe"), nullptr);
  EXPECT_EQ(cache.Count(), 0u);
  // The holder's map is still whole.
  EXPECT_EQ(map->PublicOfAddress(0x1010).name, "Routine");
  cache.Cache("C:\\App.exe", map);
  cache.Clear();
  EXPECT_EQ(cache.Count(), 0u);
}

// The Windows builds run in the 32-bit lane, whose emulator (qemu-user) dies
// as soon as a few threads run at once (seen with four bare CreateThread
// threads); the cache's lock is portable code and is tried on the host.
#ifndef _WIN32
TEST_F(MapCache, SeveralThreadsShareOneEntry) {
  TMapFileCache cache(FakeDate);
  std::vector<std::thread> threads;
  std::vector<std::shared_ptr<const TMapFile>> got(8);
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        auto m = cache.Cached("mod.exe");
        if (!m) m = cache.Cache("mod.exe", MapOf("Publics by Value\r\n\r\n0001:00000010       R\r\n"));
        got[t] = m;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(cache.Count(), 1u);
  for (const auto& m : got) EXPECT_EQ(m, got[0]);
}
#endif

}  // namespace
