#include "qelExceptRtlScan.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "../../crashsupport/disasm/tests/TestMemory.h"

namespace qel {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const Bytes kSeq(std::begin(kAnyExceptionSequence), std::end(kAnyExceptionSequence));
const Bytes kRet{0xC3};
const Bytes kPushEbp{0x55};
const Bytes kMovEaxImm{0xB8, 0x11, 0x11, 0x11, 0x11};

// E8 from va to target.
Bytes CallRel(Address va, Address target) {
  const std::uint32_t d = target - (va + 5);
  return {0xE8, static_cast<std::uint8_t>(d), static_cast<std::uint8_t>(d >> 8), static_cast<std::uint8_t>(d >> 16),
          static_cast<std::uint8_t>(d >> 24)};
}

TEST(AnyExceptionPatchSite, LastSequenceBeforeTheFirstReturn) {
  const struct {
    const char* name;
    Bytes code;
    Address site;  // 0: none
  } cases[] = {
      {"no match", kPushEbp + kMovEaxImm + kRet, 0},
      {"one match", kPushEbp + kSeq + kRet, 0x1001},
      {"two matches: the last", kSeq + kMovEaxImm + kSeq + kRet, 0x100E},
      {"adjacent matches", kSeq + kSeq + kRet, 0x1009},
      {"a return before the match", kPushEbp + kRet + kSeq, 0},
      {"ret n before the match", Bytes{0xC2, 0x04, 0x00} + kSeq + kRet, 0},
      // The bytes 89 C2 8B 44 inside mov eax, imm32 start no sequence.
      {"inside an instruction", Bytes{0xB8, 0x89, 0xC2, 0x8B, 0x44, 0x24, 0x04, 0x8B, 0x48, 0x0C} + kRet, 0},
      {"a match, then undecodable code", kSeq + Bytes{0x0F, 0xFF}, 0x1000},
  };
  for (const auto& c : cases) {
    test::BufferMemory memory;
    memory.Place(0x1000, c.code);
    EXPECT_EQ(FindAnyExceptionPatchSite(memory, 0x1000), c.site) << c.name;
  }
  EXPECT_EQ(FindAnyExceptionPatchSite(test::BufferMemory{}, 0), 0u);
}

TEST(AnyExceptionPatchSite, ThroughALeadingJumpCell) {
  test::BufferMemory memory;
  memory.Place(0x1000, {0xFF, 0x25, 0x00, 0x30, 0x00, 0x00});  // jmp [0x3000]
  memory.PlaceDword(0x3000, 0x2000);
  memory.Place(0x2000, kMovEaxImm + kSeq + kRet);
  EXPECT_EQ(FindAnyExceptionPatchSite(memory, 0x1000), 0x2005u);
}

TEST(PerThreadDataCall, CallDirectlyFollowedByMovEaxFromEaxDisp32) {
  const Bytes movDisp32{0x8B, 0x80, 0x20, 0x01, 0x00, 0x00};  // mov eax, [eax+0x120]
  const Bytes movDisp8{0x8B, 0x40, 0x20};                     // mov eax, [eax+0x20]
  const struct {
    const char* name;
    Bytes code;
    bool found;
  } cases[] = {
      {"found", Bytes{0x55, 0x8B, 0xEC} + CallRel(0x1003, 0x3000) + movDisp32 + kRet, true},
      {"second call is the one", CallRel(0x1000, 0x4000) + kPushEbp + CallRel(0x1006, 0x3000) + movDisp32 + kRet,
       true},
      {"not directly after the call", CallRel(0x1000, 0x3000) + kPushEbp + movDisp32 + kRet, false},
      {"disp8 form", CallRel(0x1000, 0x3000) + movDisp8 + kRet, false},
      {"after the first return", kRet + CallRel(0x1001, 0x3000) + movDisp32, false},
  };
  for (const auto& c : cases) {
    test::BufferMemory memory;
    memory.Place(0x1000, c.code);
    Address routine = 0;
    std::uint32_t offset = 0;
    EXPECT_EQ(FindPerThreadDataCall(memory, 0x1000, routine, offset), c.found) << c.name;
    if (c.found) {
      EXPECT_EQ(routine, 0x3000u) << c.name;
      EXPECT_EQ(offset, 0x120u) << c.name;
    }
  }
}

TEST(CallBeforeReturn, DirectOrThroughAJumpCell) {
  test::BufferMemory memory;
  // 0x1000: call 0x5000 (jmp [0x6000] -> 0x7000); call 0x7000; ret; call 0x8000
  memory.Place(0x1000, CallRel(0x1000, 0x5000) + CallRel(0x1005, 0x7000) + kRet + CallRel(0x100B, 0x8000));
  memory.Place(0x5000, {0xFF, 0x25, 0x00, 0x60, 0x00, 0x00});
  memory.PlaceDword(0x6000, 0x7000);
  InstructionRecord call;
  ASSERT_TRUE(FindCallBeforeReturn(memory, 0x1000, 0x7000, call));
  EXPECT_EQ(call.start, 0x1000u) << "the call through the cell comes first";
  EXPECT_TRUE(IsRel32Call(call));
  EXPECT_EQ(call.targetOperandLocation, 0x1001u);
  EXPECT_FALSE(FindCallBeforeReturn(memory, 0x1000, 0x8000, call)) << "behind the return";
  ASSERT_TRUE(FindCallBeforeReturn(memory, 0x1005, 0x7000, call));
  EXPECT_EQ(call.start, 0x1005u);
}

TEST(ThrowRecord, BehindTheThrownObjectAndChecked) {
  test::BufferMemory memory;
  const Address block = 0x4000;
  memory.Place(block, Bytes(86, 0));
  memory.PlaceDword(block + kBlockObjectSizeOffset, 4);
  const TThrowStackHeader fresh = ThrowRecordHeader(0, 0);
  EXPECT_TRUE(ThrowRecordValid(fresh)) << "the header a new block gets";
  EXPECT_TRUE(ThrowRecordValid(ThrowRecordHeader(0x401234, 3)));
  EXPECT_FALSE(ThrowRecordValid({0x401234, 0x401234, 0}));
  const TThrowStackHeader stored = ThrowRecordHeader(0x401234, 2);
  Bytes recordBytes(12);
  std::memcpy(recordBytes.data(), &stored, 12);
  memory.Place(block + 86, recordBytes);
  Address record = 0;
  TThrowStackHeader header;
  ASSERT_TRUE(ThrowRecordOf(memory, block, record, header));
  EXPECT_EQ(record, block + 86);
  EXPECT_TRUE(ThrowRecordValid(header));
  EXPECT_EQ(header.address, 0x401234u);
  EXPECT_EQ(header.count, 2u);
  // An object size that runs past the address space, a block not readable.
  memory.PlaceDword(block + kBlockObjectSizeOffset, 0xFFFFFFF0u);
  EXPECT_FALSE(ThrowRecordOf(memory, block, record, header));
  EXPECT_FALSE(ThrowRecordOf(memory, 0x9000, record, header));
  EXPECT_FALSE(ThrowRecordOf(memory, 0, record, header));
}

}  // namespace
}  // namespace qel
