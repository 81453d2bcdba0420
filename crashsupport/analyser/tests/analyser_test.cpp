// Function analysis of hand-assembled routines.
#include "Routine.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace qel {
namespace {

using test::Bytes;
using test::kCode;
using test::PutDword;
using test::Routine;

const CodeArea* AreaAt(const FunctionInfo& info, Address start) {
  for (const CodeArea& a : info.codeAreas)
    if (a.start == start) return &a;
  return nullptr;
}

struct AreaShape {
  Address start, end;
  bool caseTable, exceptionTable;
  Address reachedFrom;
  bool operator==(const AreaShape&) const = default;
};

std::vector<AreaShape> Shapes(const FunctionInfo& info) {
  std::vector<AreaShape> s;
  for (const CodeArea& a : info.codeAreas) s.push_back({a.start, a.end, a.caseTable, a.exceptionTable, a.reachedFrom});
  std::sort(s.begin(), s.end(), [](const AreaShape& x, const AreaShape& y) { return x.start < y.start; });
  return s;
}

void PrintTo(const AreaShape& a, std::ostream* os) {
  *os << std::hex << "{" << a.start << ".." << a.end << (a.caseTable ? " case" : "") << (a.exceptionTable ? " except" : "")
      << " from " << a.reachedFrom << "}";
}

TEST(Analyser, EntryOutsideCommittedMemoryGivesError87) {
  Routine r({0xC3});
  r.symbols.committed = false;
  const FunctionInfo info = r.Analyse();
  EXPECT_FALSE(info.valid);
  EXPECT_EQ(info.errorNumber, 87u);
  EXPECT_EQ(info.errorAddress, kCode);
  EXPECT_EQ(info.errorText, "system text 87");
  EXPECT_TRUE(info.codeAreas.empty());
}

TEST(Analyser, LoneReturnIsOneByteAndNotPatchable) {
  const FunctionInfo info = Routine({0xC3}).Analyse();
  ASSERT_TRUE(info.valid);
  EXPECT_EQ(Shapes(info), (std::vector<AreaShape>{{kCode, kCode, false, false, 0}}));
  EXPECT_EQ(info.begin, kCode);
  EXPECT_EQ(info.length, 1u);
  EXPECT_FALSE(info.patchable);
  EXPECT_TRUE(info.complete);
  EXPECT_EQ(info.copySize, 5);
}

TEST(Analyser, UndecodableCodeOnAPathFails) {
  // jz over a ret into 0F 04, which exists in no processor
  const FunctionInfo info = Routine({0x74, 0x01, 0xC3, 0x0F, 0x04}).Analyse();
  EXPECT_FALSE(info.valid);
  EXPECT_EQ(info.errorNumber, 0x770001u);
  EXPECT_EQ(info.errorText, "Invalid code!");
  EXPECT_EQ(info.errorAddress, kCode + 5);
}

TEST(Analyser, CodeRunningOffTheBoundsFails) {
  const FunctionInfo info = Routine({0x90, 0x90, 0x90, 0x90}, 4).Analyse();
  EXPECT_FALSE(info.valid);
  EXPECT_EQ(info.errorNumber, 0x770001u);
}

TEST(Analyser, PatchableNeedsSixStraightRelocatableBytes) {
  struct Case {
    const char* what;
    Bytes code;
    bool patchable;
  };
  const Case cases[] = {
      {"call rel32, then straight code", {0xE8, 0xFB, 0x0F, 0x00, 0x00, 0x55, 0x89, 0xE5, 0xC9, 0xC3}, true},
      {"five bytes only", {0x55, 0x89, 0xE5, 0xC9, 0xC3}, false},
      {"jecxz in the first six bytes", {0xE3, 0x02, 0x55, 0x5D, 0x90, 0x90, 0xC3}, false},
      {"loop in the first six bytes", {0x55, 0xE2, 0xFD, 0x5D, 0x90, 0x90, 0xC3}, false},
      {"short jz that widens, straight code to its target", {0x74, 0x04, 0x55, 0x5D, 0x90, 0x90, 0xC3}, true},
      {"a branch target four bytes in ends the straight code", {0x74, 0x02, 0x55, 0x5D, 0x90, 0x90, 0xC3}, false},
      {"jz short within straight code", {0x85, 0xC0, 0x74, 0x05, 0x55, 0x5D, 0x90, 0x90, 0x90, 0xC3}, true},
      {"call eax in the first six bytes", {0x55, 0x89, 0xE5, 0xFF, 0xD0, 0x5D, 0xC3}, false},
  };
  for (const Case& c : cases) {
    const FunctionInfo info = Routine(c.code).Analyse();
    ASSERT_TRUE(info.valid) << c.what;
    EXPECT_EQ(info.patchable, c.patchable) << c.what;
  }
}

TEST(Analyser, CaseTableAfterTheJump) {
  Bytes code = {
      0x83, 0xF9, 0x02,                    // 00 cmp ecx, 2
      0x77, 0x13,                          // 03 ja 18
      0xFF, 0x24, 0x8D, 0, 0, 0, 0,        // 05 jmp [0C + ecx*4]
  };
  PutDword(code, 8, kCode + 0x0C);
  PutDword(code, 0x0C, kCode + 0x19);
  PutDword(code, 0x10, kCode + 0x1B);
  PutDword(code, 0x14, kCode + 0x19);
  code.resize(0x18);
  code.insert(code.end(), {0xC3, 0x40, 0xC3, 0x48, 0xC3});  // 18 ret; 19 inc eax, ret; 1B dec eax, ret
  const FunctionInfo info = Routine(code).Analyse();
  ASSERT_TRUE(info.valid) << info.errorText;
  EXPECT_EQ(Shapes(info), (std::vector<AreaShape>{{kCode, kCode + 0x0B, false, false, 0},
                                                  {kCode + 0x0C, kCode + 0x17, true, false, 0},
                                                  {kCode + 0x18, kCode + 0x18, false, false, kCode + 3},
                                                  {kCode + 0x19, kCode + 0x1A, false, false, kCode + 5},
                                                  {kCode + 0x1B, kCode + 0x1C, false, false, kCode + 5}}));
  EXPECT_TRUE(info.unknownTargets.empty());
  EXPECT_EQ(info.length, 0x1Du);
}

TEST(Analyser, CaseCountFollowsTheBoundsBranch) {
  // jae keeps the count: entries 0..1
  Bytes code = {0x83, 0xF8, 0x02, 0x73, 0x0F, 0xFF, 0x24, 0x85, 0, 0, 0, 0};
  PutDword(code, 8, kCode + 0x0C);
  PutDword(code, 0x0C, kCode + 0x14);
  PutDword(code, 0x10, kCode + 0x14);
  code.resize(0x14);
  code.insert(code.end(), {0xC3});
  const FunctionInfo info = Routine(code).Analyse();
  ASSERT_TRUE(info.valid) << info.errorText;
  const CodeArea* table = AreaAt(info, kCode + 0x0C);
  ASSERT_NE(table, nullptr);
  EXPECT_TRUE(table->caseTable);
  EXPECT_EQ(table->end, kCode + 0x13);

  // a broken pattern (an instruction between cmp and ja) is no table: the jmp stays unknown
  Bytes broken = {0x83, 0xF8, 0x02, 0x90, 0x73, 0x07, 0xFF, 0x24, 0x85, 0, 0, 0, 0};
  PutDword(broken, 9, kCode + 0x0D);
  broken.push_back(0xC3);
  const FunctionInfo other = Routine(broken).Analyse();
  ASSERT_TRUE(other.valid);
  EXPECT_TRUE(std::none_of(other.codeAreas.begin(), other.codeAreas.end(), [](const CodeArea& a) { return a.caseTable; }));
  ASSERT_EQ(other.unknownTargets.size(), 1u);
  EXPECT_EQ(other.unknownTargets[0].start, kCode + 6);
}

TEST(Analyser, CaseTableRunningOutOfTheBoundsIsNone) {
  Bytes code = {0x83, 0xF8, 0x7F, 0x77, 0x08, 0xFF, 0x24, 0x85, 0, 0, 0, 0, 0x90, 0xC3};  // 128 entries
  PutDword(code, 8, kCode + 0x0C);
  const FunctionInfo info = Routine(code, 0x0E).Analyse();
  ASSERT_TRUE(info.valid) << info.errorText;
  EXPECT_TRUE(std::none_of(info.codeAreas.begin(), info.codeAreas.end(), [](const CodeArea& a) { return a.caseTable; }));
  ASSERT_EQ(info.unknownTargets.size(), 1u);
  EXPECT_EQ(info.unknownTargets[0].start, kCode + 5);
}

TEST(Analyser, JumpIntoAWalkedAreaSplitsIt) {
  const Bytes code = {
      0x74, 0x04,  // 0 jz 6
      0x90, 0x90, 0x90,
      0xC3,        // 5 ret
      0xEB, 0xFB,  // 6 jmp 3
  };
  const FunctionInfo info = Routine(code).Analyse();
  ASSERT_TRUE(info.valid) << info.errorText;
  EXPECT_EQ(Shapes(info), (std::vector<AreaShape>{{kCode, kCode + 2, false, false, 0},
                                                  {kCode + 3, kCode + 5, false, false, kCode + 6},
                                                  {kCode + 6, kCode + 7, false, false, kCode}}));
  EXPECT_EQ(info.length, 8u);
}

TEST(Analyser, BackwardJumpInsideTheWalkedAreaContinuesInItsTail) {
  const Bytes code = {0x90, 0x49, 0x75, 0xFD, 0xC3};  // nop; l: dec ecx; jnz l; ret
  const FunctionInfo info = Routine(code).Analyse();
  ASSERT_TRUE(info.valid);
  EXPECT_EQ(Shapes(info), (std::vector<AreaShape>{{kCode, kCode, false, false, 0},
                                                  {kCode + 1, kCode + 4, false, false, kCode + 2}}));
}

TEST(Analyser, IndirectCallThroughALoadedRegisterBecomesAFarCall) {
  const Bytes code = {0xB8, 0x00, 0x00, 0x50, 0x00,  // mov eax, 00500000
                      0xFF, 0xD0,                    // call eax
                      0xC3};
  const FunctionInfo info = Routine(code).Analyse();
  ASSERT_TRUE(info.valid);
  EXPECT_TRUE(info.unknownTargets.empty());
  ASSERT_EQ(info.farCalls.size(), 1u);
  const FarCall& f = info.farCalls[0];
  EXPECT_TRUE(f.isCall);
  EXPECT_EQ(f.start, kCode + 5);
  EXPECT_EQ(f.next, kCode + 7);
  EXPECT_EQ(f.target, 0x00500000u);
  EXPECT_EQ(f.targetOperandLocation, kCode + 1);
  EXPECT_EQ(f.targetCellOperandLocation, 0u);
  // the mov changed eax: the area ends there and the call starts one of its own
  ASSERT_NE(AreaAt(info, kCode + 5), nullptr);
  EXPECT_EQ(AreaAt(info, kCode + 5)->registers[0], kCode + 1);
}

TEST(Analyser, FarCallsAndCopySize) {
  Bytes code = {0xE8, 0, 0, 0, 0,           // call 00402000 (rel32, inside the bounds: still a call)
                0xFF, 0x15, 0, 0, 0, 0,     // call [cell]
                0xE9, 0, 0, 0, 0};          // jmp 00600000, outside the bounds
  PutDword(code, 1, 0x00402000 - (kCode + 5));
  PutDword(code, 7, kCode + 0x40);
  PutDword(code, 12, 0x00600000 - (kCode + 16));
  PutDword(code, 0x40, 0x00700000);
  const FunctionInfo info = Routine(code).Analyse();
  ASSERT_TRUE(info.valid) << info.errorText;
  ASSERT_EQ(info.farCalls.size(), 3u);
  EXPECT_EQ(info.farCalls[0].target, 0x00402000u);
  EXPECT_TRUE(info.farCalls[0].relative);
  EXPECT_EQ(info.farCalls[1].target, 0x00700000u);
  EXPECT_EQ(info.farCalls[1].targetCellOperandLocation, kCode + 7);
  EXPECT_FALSE(info.farCalls[2].isCall);
  EXPECT_EQ(info.farCalls[2].target, 0x00600000u);
  EXPECT_EQ(info.length, 16u);
  EXPECT_EQ(info.copySize, 16 + 4 + 4);  // one target held in a cell
}

TEST(Analyser, CallThroughAThunkNamesTheThunksTarget) {
  Bytes code = {0xE8, 0, 0, 0, 0, 0xC3};
  PutDword(code, 1, 0x20);
  code.resize(0x25);
  code.insert(code.end(), {0xFF, 0x25, 0, 0, 0, 0});  // at 25: jmp [cell at 40]
  PutDword(code, 0x27, kCode + 0x40);
  PutDword(code, 0x40, 0x77001234);
  Routine r(code);
  FunctionInfo info = r.Analyse();
  ASSERT_TRUE(info.valid);
  ASSERT_EQ(info.farCalls.size(), 1u);
  EXPECT_EQ(info.farCalls[0].target, 0x77001234u);

  // an exported thunk keeps its own address
  r.symbols.AddModule({kCode, 0x1000, "C:\\app\\main.exe", true});
  r.symbols.AddExport(kCode + 0x25, "Thunk");
  info = r.Analyse();
  ASSERT_EQ(info.farCalls.size(), 1u);
  EXPECT_EQ(info.farCalls[0].target, kCode + 0x25);
}

TEST(Analyser, UnresolvedIndirectJumpsStayUnknownAndStartTheGapSearch) {
  const Bytes code = {
      0x85, 0xC0,                    // 00 test eax, eax
      0x74, 0x0B,                    // 02 jz 0F
      0xB8, 0x00, 0x00, 0x50, 0x00,  // 04 mov eax, 00500000
      0xFF, 0xE0,                    // 09 jmp eax: ends its area, unresolved
      0x40,                          // 0B inc eax (reached by nothing)
      0xFF, 0x63, 0x08,              // 0C jmp [ebx+8]
      0xC3,                          // 0F ret
  };
  const FunctionInfo info = Routine(code).Analyse();
  ASSERT_TRUE(info.valid) << info.errorText;
  std::vector<Address> unknown;
  for (const UnknownTarget& u : info.unknownTargets) {
    EXPECT_FALSE(u.isCall);
    unknown.push_back(u.start);
  }
  std::sort(unknown.begin(), unknown.end());
  EXPECT_EQ(unknown, (std::vector<Address>{kCode + 9, kCode + 0x0C}));
  const CodeArea* gap = AreaAt(info, kCode + 0x0B);
  ASSERT_NE(gap, nullptr);
  EXPECT_EQ(gap->end, kCode + 0x0E);
  EXPECT_EQ(gap->reachedFrom, 0u);
  EXPECT_EQ(info.length, 0x10u);
}

TEST(Analyser, GapFarAboveTheCodeIsNotSearched) {
  Bytes code = {0x0F, 0x84, 0, 0, 0, 0,  // jz 500
                0xFF, 0xE0};             // jmp eax
  PutDword(code, 2, 0x500 - 6);
  code.resize(0x500, 0xCC);
  code.push_back(0xC3);
  const FunctionInfo info = Routine(code).Analyse();
  ASSERT_TRUE(info.valid);
  // the hole after the jmp is 1 KiB below the highest code: left alone
  EXPECT_EQ(Shapes(info), (std::vector<AreaShape>{{kCode, kCode + 7, false, false, 0},
                                                  {kCode + 0x500, kCode + 0x500, false, false, kCode}}));
}

TEST(Analyser, AFailedGapWalkIsDroppedAndTheRoutineStaysValid) {
  const Bytes code = {
      0x74, 0x04,  // 00 jz 06
      0xFF, 0xE0,  // 02 jmp eax
      0x0F, 0x04,  // 04 data in the gap: no instruction
      0xC3,        // 06 ret
  };
  const FunctionInfo info = Routine(code).Analyse();
  ASSERT_TRUE(info.valid) << info.errorText;
  EXPECT_EQ(info.errorNumber, 0u);
  EXPECT_EQ(Shapes(info), (std::vector<AreaShape>{{kCode, kCode + 3, false, false, 0},
                                                  {kCode + 6, kCode + 6, false, false, kCode}}));
}

TEST(Analyser, ExceptionFrameHandlerIsCode) {
  Bytes code = {
      0x31, 0xC0,                    // 00 xor eax, eax
      0x55,                          // 02 push ebp
      0x68, 0, 0, 0, 0,              // 03 push handler
      0x64, 0xFF, 0x30,              // 08 push dword fs:[eax]
      0x64, 0x89, 0x20,              // 0B mov fs:[eax], esp
      0xC3,                          // 0E ret
      0x90,                          // 0F
      0x40, 0xC3,                    // 10 handler: inc eax; ret
  };
  PutDword(code, 4, kCode + 0x10);
  const FunctionInfo info = Routine(code).Analyse();
  ASSERT_TRUE(info.valid) << info.errorText;
  const CodeArea* handler = AreaAt(info, kCode + 0x10);
  ASSERT_NE(handler, nullptr);
  EXPECT_EQ(handler->end, kCode + 0x11);
  EXPECT_EQ(handler->reachedFrom, 0u);

  // the push must be followed directly by the frame link: a plain push imm32 is no handler
  code[8] = 0x90;
  code[9] = 0x90;
  code[10] = 0x90;
  const FunctionInfo plain = Routine(code).Analyse();
  ASSERT_TRUE(plain.valid);
  EXPECT_EQ(AreaAt(plain, kCode + 0x10), nullptr);
}

TEST(Analyser, TypedExceptionBlockGivesAHandlerTable) {
  constexpr Address kOnExcept = 0x00500000;
  const test::RuntimeRoutinesScope scope({0, kOnExcept, 0, 0, 0});
  Bytes code = {0xE9, 0, 0, 0, 0};  // jmp OnExcept, the table follows
  PutDword(code, 1, kOnExcept - (kCode + 5));
  PutDword(code, 5, 2);                   // two entries
  PutDword(code, 9, 0x00480000);          // class reference
  PutDword(code, 13, kCode + 0x20);       // handler
  PutDword(code, 17, 0);                  // no class: else
  PutDword(code, 21, kCode + 0x22);
  code.resize(0x20, 0xCC);
  code.insert(code.end(), {0x40, 0xC3, 0x48, 0xC3});
  const FunctionInfo info = Routine(code).Analyse();
  ASSERT_TRUE(info.valid) << info.errorText;
  EXPECT_EQ(Shapes(info), (std::vector<AreaShape>{{kCode, kCode + 4, false, false, 0},
                                                  {kCode + 5, kCode + 5 + 20 - 1, false, true, 0},
                                                  {kCode + 0x20, kCode + 0x21, false, false, 0},
                                                  {kCode + 0x22, kCode + 0x23, false, false, 0}}));
  ASSERT_EQ(info.farCalls.size(), 1u);
  EXPECT_EQ(info.farCalls[0].target, kOnExcept);
}

TEST(Analyser, CatchAllAndFinallyHandlersContinueAfterTheJump) {
  constexpr Address kAny = 0x00500000, kFinally = 0x00500100;
  const test::RuntimeRoutinesScope scope({kAny, 0, 0, kFinally, 0});
  // try ... finally: the address after the block is pushed, the finally
  // handler is jumped to, and the code after that jump goes back to the push.
  Bytes routine = {
      0x68, 0, 0, 0, 0,  // 00 push 10
      0x90,              // 05
      0xE9, 0, 0, 0, 0,  // 06 jmp FinallyHandler
      0xEB, 0xF8,        // 0B jmp 05 (the push sits 5 bytes before it)
      0x90, 0x90, 0x90,  // 0D
      0x40, 0xC3,        // 10 inc eax; ret
  };
  PutDword(routine, 1, kCode + 0x10);
  PutDword(routine, 7, kFinally - (kCode + 0x0B));
  FunctionInfo info = Routine(routine).Analyse();
  ASSERT_TRUE(info.valid) << info.errorText;
  EXPECT_NE(AreaAt(info, kCode + 0x0B), nullptr);
  const CodeArea* end = AreaAt(info, kCode + 0x10);
  ASSERT_NE(end, nullptr);
  EXPECT_EQ(end->end, kCode + 0x11);

  // catch-all: only the code after the jump
  Bytes any = {0xE9, 0, 0, 0, 0, 0x40, 0xC3};
  PutDword(any, 1, kAny - (kCode + 5));
  info = Routine(any).Analyse();
  ASSERT_TRUE(info.valid);
  ASSERT_NE(AreaAt(info, kCode + 5), nullptr);
  EXPECT_EQ(AreaAt(info, kCode + 5)->end, kCode + 6);
}

TEST(Analyser, HaltCallDoesNotReturn) {
  constexpr Address kHalt = 0x00500000;
  const test::RuntimeRoutinesScope scope({0, 0, 0, 0, kHalt});
  Bytes code = {0xE8, 0, 0, 0, 0, 0x0F, 0x04};  // call Halt, then no code
  PutDword(code, 1, kHalt - (kCode + 5));
  const FunctionInfo info = Routine(code).Analyse();
  ASSERT_TRUE(info.valid) << info.errorText;
  EXPECT_EQ(info.length, 5u);
}

TEST(Analyser, RangeCheckedReaderDecidesWhatIsReadable) {
  Bytes code = {0xFF, 0x15, 0, 0, 0, 0, 0xC3};
  PutDword(code, 2, 0x00600000);
  Routine r(code);
  r.memory.PlaceDword(0x00600000, 0x00700000);
  ASSERT_TRUE(r.Analyse().valid);
  // a snapshot that knows only the code: the cell counts as unreadable
  test::BufferMemory codeOnly;
  codeOnly.Place(kCode, Bytes(code.begin(), code.end()));
  const FunctionInfo info = r.Analyse(kCode, &codeOnly);
  EXPECT_FALSE(info.valid);
  EXPECT_EQ(info.errorNumber, 0x770001u);
  EXPECT_EQ(info.errorAddress, kCode + 6);
}

TEST(Analyser, ForeignExceptionFrameDescriptor) {
  constexpr Address kFrameRoutine = 0x00500000;
  const Address saved = ExceptionFrameRoutine;
  ExceptionFrameRoutine = kFrameRoutine;
  Bytes code = {0xB8, 0, 0, 0, 0,   // 00 mov eax, descriptor
                0xE8, 0, 0, 0, 0,   // 05 call ExceptionFrameRoutine
                0xC3,               // 0A ret
                0x90,
                0x40, 0xC3,         // 0C handler of kind 0
                0x48, 0xC3};        // 0E listed handler of kind 3
  PutDword(code, 1, kCode + 0x40);
  PutDword(code, 6, kFrameRoutine - (kCode + 0x0A));
  code.resize(0x40, 0xCC);
  code.resize(0x60, 0);
  PutDword(code, 0x40 + 12, kCode + 0x0C);  // kind 0 at +10, handler 2 bytes after it
  Routine r(code);
  FunctionInfo info = r.Analyse();
  ASSERT_TRUE(info.valid) << info.errorText;
  EXPECT_NE(AreaAt(info, kCode + 0x0C), nullptr);

  // kind 3: a list of 20-byte entries, 8 bytes into the block the dword after the kind names
  code[0x40 + 10] = 3;
  PutDword(code, 0x40 + 12, kCode + 0x50 - 8);
  PutDword(code, 0x50, kCode + 0x0E);
  PutDword(code, 0x50 + 20, 0);
  info = Routine(code).Analyse();
  ExceptionFrameRoutine = saved;
  ASSERT_TRUE(info.valid) << info.errorText;
  EXPECT_NE(AreaAt(info, kCode + 0x0E), nullptr);
  EXPECT_EQ(AreaAt(info, kCode + 0x0C), nullptr);
}

// A minimal PE header: the code section, BaseOfCode/SizeOfCode and the data sizes.
Bytes PeHeader(std::uint32_t firstSectionFlags) {
  Bytes h(0x400, 0);
  h[0] = 'M';
  h[1] = 'Z';
  PutDword(h, 0x3C, 0x80);
  PutDword(h, 0x80, 0x00004550);
  h[0x86] = 1;                  // one section
  h[0x94] = 0xE0;               // SizeOfOptionalHeader
  h[0x98] = 0x0B;
  h[0x99] = 0x01;               // PE32
  PutDword(h, 0x98 + 4, 0x2000);   // SizeOfCode
  PutDword(h, 0x98 + 8, 0x800);    // SizeOfInitializedData
  PutDword(h, 0x98 + 12, 0x200);   // SizeOfUninitializedData
  PutDword(h, 0x98 + 20, 0x1000);  // BaseOfCode
  PutDword(h, 0x98 + 24, 0x4000);  // BaseOfData
  const std::size_t section = 0x98 + 0xE0;
  PutDword(h, section + 8, 0x1800);    // VirtualSize
  PutDword(h, section + 12, 0x1000);   // VirtualAddress
  PutDword(h, section + 36, firstSectionFlags);
  return h;
}

TEST(Analyser, CodeBoundsFromTheImageHeaders) {
  constexpr Address kImage = 0x00400000;
  test::BufferMemory mem;
  Address first = 0, last = 0;
  const MemoryRegionInfo region{kImage + 0x1000, 0x1000, kImage, true};

  mem.Place(kImage, PeHeader(0x60000020));
  ASSERT_TRUE(CodeBoundsOfRegion(mem, region, first, last));
  EXPECT_EQ(first, kImage + 0x1000);  // code section, widened over the data
  EXPECT_EQ(last, kImage + 0x4000 + 0xA00 - 1);

  test::BufferMemory noCodeFlag;
  noCodeFlag.Place(kImage, PeHeader(0x40000040));
  ASSERT_TRUE(CodeBoundsOfRegion(noCodeFlag, region, first, last));
  EXPECT_EQ(first, kImage + 0x1000);
  EXPECT_EQ(last, kImage + 0x4000 + 0xA00 - 1);

  test::BufferMemory noImage;  // no headers: the region itself
  ASSERT_TRUE(CodeBoundsOfRegion(noImage, {0x00900000, 0x3000, 0x00900000, true}, first, last));
  EXPECT_EQ(first, 0x00900000u);
  EXPECT_EQ(last, 0x00902FFFu);

  EXPECT_FALSE(CodeBoundsOfRegion(mem, {kImage, 0x1000, kImage, false}, first, last));
}

}  // namespace
}  // namespace qel
