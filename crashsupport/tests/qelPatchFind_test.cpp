#include "qelPatchFind.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace qel {
namespace {

class TBuffer : public MemoryReader {
public:
  TBuffer(Address base, std::vector<std::uint8_t> bytes) : FBase(base), FBytes(std::move(bytes)) {}
  bool Read(Address va, void* buf, std::size_t n) const override {
    if (va < FBase || va - FBase + n > FBytes.size()) return false;
    std::memcpy(buf, FBytes.data() + (va - FBase), n);
    return true;
  }

private:
  Address FBase;
  std::vector<std::uint8_t> FBytes;
};

constexpr Address kBase = 0x00401000;

// E8 at offset at calling target.
void PutCall(std::vector<std::uint8_t>& code, std::size_t at, Address target) {
  code[at] = 0xE8;
  const auto disp = static_cast<std::uint32_t>(target - (kBase + at + 5));
  std::memcpy(&code[at + 1], &disp, 4);
}

// push ebp; mov ebp,esp; call A; call B; test eax,eax; jz +1; ret; call C (after the ret); leave; ret; call D (beyond)
std::vector<std::uint8_t> Routine() {
  std::vector<std::uint8_t> code(64, 0x90);
  code[0] = 0x55;
  code[1] = 0x89;
  code[2] = 0xE5;
  PutCall(code, 3, 0x00405000);   // A
  PutCall(code, 8, 0x00406000);   // B
  code[13] = 0x85;
  code[14] = 0xC0;
  code[15] = 0x74;
  code[16] = 0x01;
  code[17] = 0xC3;                // first ret
  PutCall(code, 18, 0x00407000);  // C, after the first ret
  code[23] = 0xC9;
  code[24] = 0xC3;
  PutCall(code, 25, 0x00408000);  // D: the next routine
  return code;
}

TEST(PatchFind, CallsByTargetAndByPositionWithinTheRoutine) {
  const TBuffer code(kBase, Routine());
  const Address limit = kBase + 25;
  struct Case {
    const char* what;
    Address target;
    int nth;
    bool found;
    Address start;
  };
  const Case cases[] = {
      {"first call to B", 0x00406000, 1, true, kBase + 8},
      {"second call of any target (the halt routine's)", 0, 2, true, kBase + 8},
      {"a call placed after the first ret", 0x00407000, 1, true, kBase + 18},
      {"a call beyond the routine's extent", 0x00408000, 1, false, 0},
      {"no second call to A", 0x00405000, 2, false, 0},
  };
  for (const auto& c : cases) {
    TCallSite site;
    EXPECT_EQ(FindCallInRoutine(code, kBase, limit, c.target, c.nth, site), c.found) << c.what;
    if (c.found) {
      EXPECT_EQ(site.start, c.start) << c.what;
      EXPECT_EQ(site.next, c.start + 5) << c.what;
      EXPECT_EQ(site.displacement, c.start + 1) << c.what;
    }
  }
}

TEST(PatchFind, UndecodableBytesAndUnreadableCodeStopTheScan) {
  std::vector<std::uint8_t> bytes = Routine();
  bytes[3] = 0x0F;  // 0F FF: no instruction
  bytes[4] = 0xFF;
  const TBuffer code(kBase, bytes);
  TCallSite site;
  EXPECT_FALSE(FindCallInRoutine(code, kBase, kBase + 25, 0x00406000, 1, site));
  const std::vector<std::uint8_t> whole = Routine();
  const TBuffer shortCode(kBase, std::vector<std::uint8_t>(whole.begin(), whole.begin() + 10));
  EXPECT_FALSE(FindCallInRoutine(shortCode, kBase, kBase + 25, 0x00406000, 1, site));
}

TEST(PatchFind, JumpsAreFollowed) {
  std::vector<std::uint8_t> bytes(16, 0x90);
  bytes[0] = 0xE9;  // jmp rel32 to kBase + 0x100
  const std::uint32_t disp = 0x100 - 5;
  std::memcpy(&bytes[1], &disp, 4);
  bytes[5] = 0xFF;  // jmp [kBase + 12]
  bytes[6] = 0x25;
  const std::uint32_t cell = kBase + 12, routine = 0x7bc00010;
  std::memcpy(&bytes[7], &cell, 4);
  std::memcpy(&bytes[12], &routine, 4);
  const TBuffer code(kBase, bytes);
  EXPECT_EQ(FollowJump(code, kBase), kBase + 0x100);
  EXPECT_EQ(FollowJump(code, kBase + 5), routine);
  EXPECT_EQ(FollowJump(code, kBase + 11), kBase + 11);  // nop: no jump
}

}  // namespace
}  // namespace qel
