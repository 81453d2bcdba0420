// Patching the running test program's own code, and undoing it.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "qelPatch.h"

#define PATCHED extern "C" __attribute__((noinline, noipa, used))

PATCHED int PatchOriginal(int x) { return x * 3 + 1; }
PATCHED int PatchReplacement(int x) { return x * 5 + 2; }
PATCHED int PatchCallee(int x) { return x + 100; }
PATCHED int PatchCallsCallee(int x) { return PatchCallee(x) * 2 + PatchCallee(x + 1); }
PATCHED int PatchThrows(int x) {
  if (x > 0) throw x;
  return 0;
}
PATCHED int PatchHandlerCallee(int x) { return x + 1000; }
// The handler's code lies after the routine's last return.
PATCHED int PatchCallsInHandler(int x) {
  try {
    return PatchThrows(x);
  } catch (int) {
    return PatchHandlerCallee(x);
  }
}

namespace {

int (*volatile gOriginal)(int) = PatchOriginal;
int (*volatile gCallsCallee)(int) = PatchCallsCallee;
int (*volatile gCallsInHandler)(int) = PatchCallsInHandler;

struct TText {
  std::uint8_t* start = nullptr;
  std::size_t size = 0;
};

TText OwnText() {
  auto* base = reinterpret_cast<std::uint8_t*>(GetModuleHandleA(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_SECTION_HEADER* s = IMAGE_FIRST_SECTION(nt);
  for (int i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++s)
    if (std::memcmp(s->Name, ".text", 5) == 0) return {base + s->VirtualAddress, s->Misc.VirtualSize};
  return {};
}

DWORD ProtectionOf(const void* p) {
  MEMORY_BASIC_INFORMATION mbi{};
  VirtualQuery(p, &mbi, sizeof mbi);
  return mbi.Protect;
}

TEST(Patch, JumpAndCallRewriteUndoToTheSameTextByteForByte) {
  const TText text = OwnText();
  ASSERT_NE(text.start, nullptr);
  const std::vector<std::uint8_t> before(text.start, text.start + text.size);
  const DWORD protection = ProtectionOf(reinterpret_cast<void*>(&PatchOriginal));
  ASSERT_EQ(gOriginal(4), 13);
  ASSERT_EQ(gCallsCallee(1), 101 * 2 + 102);

  ASSERT_TRUE(qel::PatchJump(reinterpret_cast<void*>(&PatchOriginal), reinterpret_cast<void*>(&PatchReplacement)));
  EXPECT_EQ(gOriginal(4), 22);
  EXPECT_EQ(ProtectionOf(reinterpret_cast<void*>(&PatchOriginal)), protection);
  // Both calls of PatchCallsCallee go through the first E8 to the callee? Only the first is rewritten.
  ASSERT_TRUE(qel::PatchCallInRoutine(reinterpret_cast<void*>(&PatchCallsCallee), reinterpret_cast<void*>(&PatchCallee),
                                      1, reinterpret_cast<void*>(&PatchReplacement)));
  const int patched = gCallsCallee(1);
  EXPECT_TRUE(patched == 7 * 2 + 102 || patched == 101 * 2 + 12) << patched;  // either call may come first
  EXPECT_EQ(qel::PatchRecords().size(), 2u);

  qel::UndoPatches();
  EXPECT_TRUE(qel::PatchRecords().empty());
  EXPECT_EQ(gOriginal(4), 13);
  EXPECT_EQ(gCallsCallee(1), 101 * 2 + 102);
  EXPECT_EQ(ProtectionOf(reinterpret_cast<void*>(&PatchOriginal)), protection);
  EXPECT_TRUE(std::memcmp(before.data(), text.start, text.size) == 0);
}

TEST(Patch, CallInsideAnExceptionHandlerIsFound) {
  ASSERT_EQ(gCallsInHandler(1), 1001);
  ASSERT_TRUE(qel::PatchCallInRoutine(reinterpret_cast<void*>(&PatchCallsInHandler),
                                      reinterpret_cast<void*>(&PatchHandlerCallee), 1,
                                      reinterpret_cast<void*>(&PatchReplacement)));
  EXPECT_EQ(gCallsInHandler(1), 7);
  qel::UndoPatches();
  EXPECT_EQ(gCallsInHandler(1), 1001);
}

TEST(Patch, SameBytesTwiceIsFalseAndRecordsNothing) {
  std::uint8_t jump[5] = {0xE9};
  const auto disp = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&PatchReplacement) -
                                               reinterpret_cast<std::uintptr_t>(&PatchOriginal) - 5);
  std::memcpy(jump + 1, &disp, 4);
  ASSERT_TRUE(qel::PatchCode(reinterpret_cast<void*>(&PatchOriginal), jump, 5));
  EXPECT_FALSE(qel::PatchCode(reinterpret_cast<void*>(&PatchOriginal), jump, 5));
  EXPECT_FALSE(qel::PatchJump(reinterpret_cast<void*>(&PatchOriginal), reinterpret_cast<void*>(&PatchReplacement)));
  EXPECT_EQ(qel::PatchRecords().size(), 1u);
  qel::UndoPatches();
  EXPECT_EQ(gOriginal(4), 13);
}

TEST(Patch, UndoLeavesBytesThatChangedSinceAlone) {
  const auto target = reinterpret_cast<std::uint8_t*>(&PatchOriginal);
  std::uint8_t original[5];
  std::memcpy(original, target, 5);
  ASSERT_TRUE(qel::PatchJump(target, reinterpret_cast<void*>(&PatchReplacement)));
  // Someone else rewrites the same bytes after us.
  const std::uint8_t other[5] = {0xE9, 0, 0, 0, 0};
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(target, 5, PAGE_EXECUTE_READWRITE, &old));
  std::memcpy(target, other, 5);
  qel::UndoPatches();
  EXPECT_EQ(std::memcmp(target, other, 5), 0);
  std::memcpy(target, original, 5);
  VirtualProtect(target, 5, old, &old);
  FlushInstructionCache(GetCurrentProcess(), target, 5);
  EXPECT_EQ(gOriginal(4), 13);
}

TEST(Patch, IndirectJumpThroughACellPatchesTheRoutine) {
  // A stub "jmp [cell]" whose cell holds PatchOriginal, as an import thunk.
  auto* stub = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
  ASSERT_NE(stub, nullptr);
  const auto cell = reinterpret_cast<std::uint32_t>(stub + 16);
  const auto routine = reinterpret_cast<std::uint32_t>(&PatchOriginal);
  stub[0] = 0xFF;
  stub[1] = 0x25;
  std::memcpy(stub + 2, &cell, 4);
  std::memcpy(stub + 16, &routine, 4);
  std::uint8_t stubBefore[32];
  std::memcpy(stubBefore, stub, 32);
  ASSERT_TRUE(qel::PatchJump(stub, reinterpret_cast<void*>(&PatchReplacement)));
  EXPECT_EQ(std::memcmp(stubBefore, stub, 32), 0);
  EXPECT_EQ(gOriginal(4), 22);
  auto viaStub = reinterpret_cast<int (*)(int)>(stub);
  EXPECT_EQ(viaStub(4), 22);
  qel::UndoPatches();
  EXPECT_EQ(gOriginal(4), 13);
  VirtualFree(stub, 0, MEM_RELEASE);
}

TEST(Patch, UnwritableTargetIsFalse) {
  EXPECT_FALSE(qel::PatchDword(reinterpret_cast<void*>(0x10), 1));
  EXPECT_TRUE(qel::PatchRecords().empty());
}

__attribute__((noinline, noipa)) void StackAndFrame(std::uintptr_t& sp, std::uintptr_t& fp, std::uintptr_t& own) {
  own = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  sp = qel::CurrentStackPtr();
  fp = qel::CurrentFramePtr();
}

TEST(Patch, CallersStackAndFramePointer) {
  std::uintptr_t sp = 0, fp = 0, own = 0;
  StackAndFrame(sp, fp, own);
  EXPECT_EQ(fp, own);
  EXPECT_LT(sp, own);
  EXPECT_GT(sp, own - 256);
}

}  // namespace
