#include "qelStackTraceCore.h"

#include <gtest/gtest.h>

#include <cstring>

namespace qel {
namespace {

TEST(StackTraceBytes, CallPatternsBeforeAReturnAddress) {
  struct Case {
    const char* what;
    std::uint8_t b[8];
    bool follows;
  };
  const Case cases[] = {
      {"call rel32", {0x90, 0x90, 0x90, 0xE8, 1, 2, 3, 4}, true},
      {"call eax (FF D0)", {0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0xFF, 0xD0}, true},
      {"call [eax] (FF 10)", {0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0xFF, 0x10}, true},
      {"call [ebp-8] (FF 55 F8)", {0x90, 0x90, 0x90, 0x90, 0x90, 0xFF, 0x55, 0xF8}, true},
      {"call [esp+4] (FF 54 24 04)", {0x90, 0x90, 0x90, 0x90, 0xFF, 0x54, 0x24, 0x04}, true},
      {"call [disp32] (FF 15 ...)", {0x90, 0x90, 0xFF, 0x15, 1, 2, 3, 4}, true},
      {"call [eax+disp32*x] (FF 94 ...)", {0x90, 0xFF, 0x94, 0x85, 1, 2, 3, 4}, true},
      {"far call [mem] FF /3 (FF 1D ...)", {0x90, 0x90, 0xFF, 0x1D, 1, 2, 3, 4}, true},
      {"call far ptr16:32", {0x90, 0x9A, 1, 2, 3, 4, 5, 6}, true},
      {"jmp [disp32] (FF 25: reg field 4)", {0x90, 0x90, 0xFF, 0x25, 1, 2, 3, 4}, false},
      {"push [eax] (FF 30: reg field 6)", {0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0xFF, 0x30}, false},
      {"FF at b[-5] is not tested", {0x90, 0x90, 0x90, 0xFF, 0x10, 0x90, 0x90, 0x90}, false},
      {"E8 at b[-4] is no call to here", {0x90, 0x90, 0x90, 0x90, 0xE8, 1, 2, 3}, false},
      {"plain data", {1, 2, 3, 4, 5, 6, 7, 8}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(FollowsCallBytes(c.b), c.follows) << c.what;
}

TTraceItems MakeItems(std::initializer_list<TraceAddress> addresses) {
  TTraceItems items;
  for (auto a : addresses) {
    TTraceItem it;
    it.address = a;
    items.push_back(it);
  }
  return items;
}

std::vector<TraceAddress> Live(const TTraceItems& items) {
  std::vector<TraceAddress> out;
  for (const auto& it : items)
    if (!it.invalid) out.push_back(it.address);
  return out;
}

TEST(StackTraceRecursion, RepeatedRunsCollapse) {
  struct Case {
    std::vector<TraceAddress> in, out;
  };
  const Case cases[] = {
      {{0xA, 0xB, 0xA, 0xB}, {0xA, 0xB}},
      {{0x1, 0xA, 0xB, 0xA, 0xB, 0xA, 0xB, 0x2}, {0x1, 0xA, 0xB, 0x2}},
      {{0x1, 0xA, 0xB, 0xC, 0xA, 0xB, 0xC, 0x2}, {0x1, 0xA, 0xB, 0xC, 0x2}},
      {{0xA, 0xB, 0xC}, {0xA, 0xB, 0xC}},
      {{0xA, 0xB, 0xA}, {0xA, 0xB, 0xA}},  // no full repeat
  };
  for (const auto& c : cases) {
    TTraceItems items;
    for (auto a : c.in) items.push_back(TTraceItem{a});
    RemoveRecursion(items, 0);
    EXPECT_EQ(Live(items), c.out);
  }
  // A 50-deep recursion of one routine under main collapses to one line;
  // 3,000 deep stays quick and bounded.
  for (int depth : {50, 3000}) {
    TTraceItems items{TTraceItem{0x100}};
    for (int i = 0; i < depth; ++i) items.push_back(TTraceItem{0x200});
    items.push_back(TTraceItem{0x300});
    RemoveRecursion(items, 1);
    EXPECT_EQ(Live(items), (std::vector<TraceAddress>{0x100, 0x200, 0x300})) << depth;
  }
}

TEST(StackTraceRecursion, DroppedItemsLoseTheirLinksButForcedOnesStay) {
  TTraceItems items = MakeItems({0xA, 0xB, 0xA, 0xB, 0xC});
  items[4].forced = true;
  items[2].lists[0].links.push_back({3, 0x10});
  items[3].lists[1].links.push_back({2, 0x10});
  items[3].lists[0].links.push_back({4, 0x20});
  items[4].lists[1].links.push_back({3, 0x20});
  items[0].forced = true;
  items[2].forced = true;  // a removed repeat loses its forced flag first
  RemoveRecursion(items, 1);
  EXPECT_EQ(Live(items), (std::vector<TraceAddress>{0xA, 0xB, 0xC}));
  EXPECT_TRUE(items[4].lists[1].links.empty());
  EXPECT_TRUE(items[2].lists[0].links.empty());
  EXPECT_FALSE(items[2].forced);
  // DropStackItem leaves a forced item alone.
  DropStackItem(items, 4);
  EXPECT_FALSE(items[4].invalid);
}

TEST(StackTraceRecursion, AddressTwiceInARowKeepsTheAnchor) {
  // A stale copy of a return address just above its real, frame-chain slot:
  // whichever comes first in the scan, the forced one stays.
  for (const bool olderForced : {false, true}) {
    TTraceItems items = MakeItems({0x1, 0xA, 0xA, 0x2});
    items[olderForced ? 1 : 2].forced = true;
    RemoveRecursion(items, 1);
    EXPECT_EQ(Live(items), (std::vector<TraceAddress>{0x1, 0xA, 0x2})) << olderForced;
    EXPECT_FALSE(items[olderForced ? 1 : 2].invalid) << olderForced;
    EXPECT_TRUE(items[olderForced ? 1 : 2].forced) << olderForced;
  }
}

TTraceLink Link(std::int32_t target, std::int32_t function = -1) {
  TTraceLink l;
  l.target = target;
  l.function = function;
  l.callSite = 0x1000 + static_cast<TraceAddress>(target);
  return l;
}

const TFunctionConfirmed kFunctionZeroConfirmed = [](std::int32_t f) { return f == 0; };

TEST(StackTraceWeights, ChainRulesPickTheHeaviestPath) {
  // 0 -> {1 plain, 2 through confirmed function 0}; 1 -> 3 plain; 2 -> 3 through function 0.
  TTraceItems items = MakeItems({0x10, 0x20, 0x30, 0x40});
  items[0].lists[0].links = {Link(1), Link(2, 0)};
  items[1].lists[0].links = {Link(3)};
  items[2].lists[0].links = {Link(3, 0)};
  const std::uint64_t w = BestChainWeight(items, true, 0, 3, kFunctionZeroConfirmed);
  // Reached through a function (0x70000000), two confirmed first hops, each 0x1000000 << 16.
  EXPECT_EQ(w, (std::uint64_t{0x70000000} << 32) + 2 * (std::uint64_t{0x1000000} << 16));
  EXPECT_EQ(items[0].lists[0].best, 1);
  EXPECT_EQ(items[1].lists[0].links[0].weight, (std::uint64_t{0x50000000} << 32) + 1);  // plain, no map: e = 1
  // The weights stay once computed.
  EXPECT_EQ(BestChainWeight(items, true, 0, 3, kFunctionZeroConfirmed), w);
}

TEST(StackTraceWeights, PlainLinkBonusAndFunctionKinds) {
  struct Case {
    bool mapKnown;
    std::int32_t lineA, lineC;
    std::uint64_t e;
  };
  for (const Case c : {Case{false, 5, 5, 1}, Case{true, 5, 5, 1024}, Case{true, 0, 5, 256}, Case{true, 5, 0, 256}}) {
    TTraceItems items = MakeItems({0x10, 0x20});
    items[0].module = items[1].module = 0;
    items[0].mapKnown = c.mapKnown;
    items[0].mapLine = c.lineA;
    items[1].mapLine = c.lineC;
    items[0].lists[0].links = {Link(1)};
    // Direct link into the target: only the base weight plus e.
    EXPECT_EQ(BestChainWeight(items, false, 0, 1, kFunctionZeroConfirmed), (std::uint64_t{0x50000000} << 32) + c.e);
  }
  // Confirmed function 0 outweighs unconfirmed function 1; without the first-hop
  // flag the addition is not shifted, unless the chain's last hop was a function.
  TTraceItems items = MakeItems({0x10, 0x20, 0x30});
  items[0].lists[0].links = {Link(1, 1), Link(2, 0)};
  items[1].lists[0].links = {Link(2)};
  EXPECT_EQ(BestChainWeight(items, false, 0, 2, kFunctionZeroConfirmed),
            (std::uint64_t{0x70000000} << 32) + (std::uint64_t{0x1000000} << 16));
  EXPECT_EQ(items[0].lists[0].best, 1);
  EXPECT_EQ(items[0].lists[0].links[0].weight, (std::uint64_t{0x50000000} << 32) + 1 + 0x1000);
}

TEST(StackTraceWeights, EqualLinksFirstListedWinsAndChainsAreMarked) {
  TTraceItems items = MakeItems({0x10, 0x20, 0x21, 0x30});
  items[0].forced = items[3].forced = true;
  items[0].lists[0].links = {Link(1), Link(2)};
  items[1].lists[0].links = {Link(3)};
  items[2].lists[0].links = {Link(3)};
  RealizeOptimalLinkChains(items, 0, 3, kFunctionZeroConfirmed);
  EXPECT_EQ(Live(items), (std::vector<TraceAddress>{0x10, 0x20, 0x30}));
}

TEST(StackTraceWeights, DeepChainsAreWalkedWithoutRecursion) {
  // 20,000 items linked one after the other: the walk must neither overflow
  // nor take quadratic time.
  const int n = 20000;
  TTraceItems items;
  for (int i = 0; i < n; ++i) items.push_back(TTraceItem{static_cast<TraceAddress>(0x1000 + i)});
  items.front().forced = items.back().forced = true;
  for (int i = 0; i + 1 < n; ++i) {
    items[static_cast<std::size_t>(i)].lists[0].links = {Link(i + 1)};
    items[static_cast<std::size_t>(i + 1)].lists[1].links = {Link(i)};
  }
  int calls = 0;
  SelectChains(items, kFunctionZeroConfirmed, [&](int) { ++calls; });
  EXPECT_EQ(Live(items).size(), static_cast<std::size_t>(n));
  EXPECT_EQ(calls, 1);
}

TTraceItem Named(TraceAddress shown, const char* module, const char* unit, int line, const char* name,
                 TraceAddress start = 0, int absLine = 0) {
  TTraceItem it;
  it.address = shown + 5;
  it.shownAddress = shown;
  it.moduleName = module;
  it.unitName = unit;
  it.line = line;
  it.absLine = absLine;
  it.functionName = name;
  it.functionStart = start;
  return it;
}

TEST(StackTraceText, ColumnsAlignAndHiddenItemsStayOut) {
  TTraceItems items;
  items.push_back(Named(0x00401000, "prog.exe", "main.cpp", 40, "main", 0x00400ff0));
  items.push_back(Named(0x7bc51234, "kernel32.dll", "", 0, "BaseThreadInitThunk"));
  items.push_back(Named(0x00401234, "prog.exe", "work.cpp", 7, "A", 0x00401200));
  items.push_back(Named(0x00401234, "prog.exe", "work.cpp", 7, "A", 0x00401200));  // same shown address: one line
  items.push_back(Named(0x00402000, "prog.exe", "work.cpp", 123, "C", 0x00401ff0));
  items.back().final = true;
  TTraceItem unnamed;
  unnamed.address = 0x00405000;
  unnamed.shownAddress = 0x00405000;
  items.insert(items.begin() + 1, unnamed);  // no name: never shown
  TComposeOptions o;
  EXPECT_EQ(ComposeResult(items, o),
            "00402000 prog.exe     work.cpp 123 C\r\n"
            "00401234 prog.exe     work.cpp   7 A\r\n"
            "7bc51234 kernel32.dll              BaseThreadInitThunk\r\n"
            "00401000 prog.exe     main.cpp  40 main");
  o.hideItemsWithoutLineNumber = true;
  o.showRelativeAddresses = true;
  EXPECT_EQ(ComposeResult(items, o),
            "00402000 +10 prog.exe work.cpp 123 C\r\n"
            "00401234 +34 prog.exe work.cpp   7 A\r\n"
            "00401000 +10 prog.exe main.cpp  40 main");
}

TEST(StackTraceText, RelativeLinesKeepAFrameOnItsFirstLine) {
  TTraceItems items;
  items.push_back(Named(0x00401000, "p.exe", "u.cpp", 0, "First", 0x00401000, 12));   // relative line 0
  items.push_back(Named(0x00401100, "p.exe", "u.cpp", 3, "Later", 0x00401080, 103));
  items.push_back(Named(0x00401200, "p.exe", "u.cpp", 0, "NoLine"));
  TComposeOptions o;
  o.hideItemsWithoutLineNumber = true;
  o.showRelativeLines = true;
  EXPECT_EQ(ComposeResult(items, o),
            "00401100 p.exe u.cpp 103 +3 Later\r\n"
            "00401000 p.exe u.cpp  12 +0 First");
}

TEST(StackTraceText, FinalAndCreationItemsShowWithoutNames) {
  TTraceItems items;
  TTraceItem creation;
  creation.shownAddress = 0x00401010;
  creation.moduleName = "???";
  items.push_back(creation);
  TTraceItem fault;
  fault.shownAddress = 0x00000000;
  fault.moduleName = "???";
  fault.final = true;
  items.push_back(fault);
  TComposeOptions o;
  o.hideItemsWithoutLineNumber = true;
  // Module column "??? ", an empty unit column and an empty line column.
  EXPECT_EQ(ComposeResult(items, o), "00000000 ???   ");
  o.haveCreationAddress = true;
  EXPECT_EQ(ComposeResult(items, o), "00000000 ???   \r\n00401010 ???   ");
  EXPECT_EQ(ComposeResult({}, o), "");
}

TEST(StackTraceText, AddressAndInternalErrorTexts) {
  EXPECT_EQ(AddressText(0x1234, false, "x", "y", 1, "z"), "00001234 ???");
  EXPECT_EQ(AddressText(0x00401abc, true, "prog.exe", "work.cpp", 17, "A"), "00401abc prog.exe work.cpp 17 A");
  EXPECT_EQ(AddressText(0x00401abc, true, "prog.exe", "work.cpp", 0, "A"), "00401abc prog.exe work.cpp A");
  EXPECT_EQ(InternalErrorPrefix("ComposeResult"), ">> internal error in ComposeResult");
  EXPECT_EQ(Hex8(0xDEADBEEF), "deadbeef");
}

}  // namespace
}  // namespace qel
