#include "qelExceptNormalize.h"

#include <gtest/gtest.h>

#include "../../crashsupport/disasm/tests/TestMemory.h"

namespace qel {
namespace {

// push ebp; mov ebp, esp; call +0; pop ebp; ret  at 0x1000..0x1009
struct RoutineFixture {
  test::BufferMemory memory;
  FunctionInfo info;
  RoutineFixture() {
    memory.Place(0x1000, {0x55, 0x8B, 0xEC, 0xE8, 0x00, 0x00, 0x00, 0x00, 0x5D, 0xC3});
    info.valid = true;
    info.entry = 0x1000;
    CodeArea area;
    area.start = 0x1000;
    area.end = 0x1009;
    info.codeAreas.push_back(area);
    FarCall call;
    call.isCall = true;
    call.start = 0x4ffb;
    call.next = 0x5000;  // outside every area
    info.farCalls.push_back(call);
  }
};

TEST(AddressIsInstructionStart, BoundariesOfAreasAndCalls) {
  const RoutineFixture f;
  const struct {
    Address address;
    bool start;
  } cases[] = {
      {0x1000, false},  // the area's start itself is not inside (start < address)
      {0x1001, true},  {0x1002, false}, {0x1003, true}, {0x1004, false},
      {0x1008, true},  {0x100A, true},  // end + 1
      {0x100B, false}, {0x5000, true},  {0x4fff, false},
  };
  for (const auto& c : cases) EXPECT_EQ(AddressIsInstructionStart(f.memory, f.info, c.address), c.start) << c.address;
}

TEST(AddressIsInstructionStart, AdjustsOnlyWhenFourBytesOnIsAStart) {
  const RoutineFixture f;
  EXPECT_EQ(AdjustedExceptionAddress(f.memory, f.info, 0x1004), 0x1008u);
  EXPECT_EQ(AdjustedExceptionAddress(f.memory, f.info, 0x1003), 0x1003u);
  EXPECT_EQ(AdjustedExceptionAddress(f.memory, f.info, 0x1002), 0x1002u);  // 0x1006 is no start either
  // Unreadable code: nothing is a boundary, nothing moves.
  FunctionInfo lost = f.info;
  lost.farCalls.clear();
  EXPECT_FALSE(AddressIsInstructionStart(test::BufferMemory{}, lost, 0x1003));
}

}  // namespace
}  // namespace qel
