// Decoder records, register tracking and assembler text on hand-made code.
#include "TestMemory.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qel {
namespace {

using test::BufferMemory;
using test::FakeSymbols;
using Bytes = std::vector<std::uint8_t>;

constexpr Address kCode = 0x00401000;

InstructionRecord Decode(const Bytes& bytes, Address va = kCode) {
  BufferMemory mem;
  mem.Place(va, bytes);
  InstructionRecord rec;
  DecodeInstructionAt(mem, va, rec);
  return rec;
}

std::string Text(const Bytes& bytes, Address va = kCode, const Symbolizer* symbols = nullptr) {
  BufferMemory mem;
  mem.Place(va, bytes);
  std::string text;
  InstructionRecord rec;
  DisassembleInstruction({mem, symbols}, va, text, nullptr, rec, false);
  return text;
}

TEST(Decoder, CallOfNextInstructionIsPlainCode) {
  const auto rec = Decode({0xE8, 0, 0, 0, 0});
  EXPECT_TRUE(rec.valid);
  EXPECT_FALSE(rec.isCall);
  EXPECT_FALSE(rec.isJump);
  EXPECT_EQ(rec.target, 0u);
  EXPECT_EQ(rec.targetOperandLocation, 0u);
  EXPECT_EQ(rec.targetSize, 0);
  EXPECT_FALSE(rec.enlargeable);
  EXPECT_EQ(rec.next, kCode + 5);
}

TEST(Decoder, RelativeBranches) {
  auto rec = Decode({0xEB, 0xFE});
  EXPECT_TRUE(rec.isJump);
  EXPECT_TRUE(rec.relative);
  EXPECT_EQ(rec.target, kCode);
  EXPECT_EQ(rec.targetOperandLocation, kCode + 1);
  EXPECT_EQ(rec.targetSize, 1);
  EXPECT_TRUE(rec.enlargeable);

  rec = Decode({0xE8, 0x0B, 0, 0, 0});
  EXPECT_TRUE(rec.isCall);
  EXPECT_EQ(rec.target, kCode + 0x10);
  EXPECT_EQ(rec.targetSize, 4);

  rec = Decode({0x0F, 0x85, 0xF0, 0xFF, 0xFF, 0xFF});
  EXPECT_TRUE(rec.isJump);
  EXPECT_EQ(rec.opcode, 0x0F85);
  EXPECT_EQ(rec.target, kCode + 6 - 0x10);

  // loop/jecxz have no long form
  for (std::uint8_t op : {0xE0, 0xE1, 0xE2, 0xE3}) {
    rec = Decode({op, 0x10});
    EXPECT_TRUE(rec.isJump) << int(op);
    EXPECT_FALSE(rec.enlargeable) << int(op);
  }
  // a 16-bit branch clears the upper half of eip
  rec = Decode({0x66, 0xE8, 0x00, 0x10});
  EXPECT_EQ(rec.next, kCode + 4);
  EXPECT_EQ(rec.target, (kCode + 4 + 0x1000) & 0xFFFFu);
  EXPECT_EQ(rec.targetSize, 2);
}

TEST(Decoder, IndirectCallThroughCell) {
  BufferMemory mem;
  mem.Place(kCode, {0xFF, 0x15, 0x00, 0x30, 0x40, 0x00});
  InstructionRecord rec;
  DecodeInstructionAt(mem, kCode, rec);
  EXPECT_FALSE(rec.valid) << "the cell at $403000 is unreadable";

  mem.PlaceDword(0x403000, 0x7C801234);
  DecodeInstructionAt(mem, kCode, rec);
  EXPECT_TRUE(rec.valid);
  EXPECT_TRUE(rec.isCall);
  EXPECT_EQ(rec.target, 0x7C801234u);
  EXPECT_EQ(rec.targetCellOperandLocation, kCode + 2);
  EXPECT_EQ(rec.targetSize, 4);

  // the checked form reads the cell only through its own reader
  BufferMemory none;
  DecodeInstructionChecked(mem, kCode, none, rec);
  EXPECT_FALSE(rec.valid);
  DecodeInstructionChecked(mem, kCode, mem, rec);
  EXPECT_TRUE(rec.valid);

  // jmp [disp32] is a jump
  mem.Place(0x402000, {0xFF, 0x25, 0x00, 0x30, 0x40, 0x00});
  DecodeInstructionAt(mem, 0x402000, rec);
  EXPECT_TRUE(rec.isJump);
  EXPECT_EQ(rec.target, 0x7C801234u);
}

TEST(Decoder, FarAndUnresolvedBranchesHaveNoTarget) {
  struct Case {
    Bytes bytes;
    bool call;
  };
  const Case cases[] = {
      {{0x9A, 0x00, 0x10, 0x40, 0x00, 0x1B, 0x00}, true},
      {{0xEA, 0x00, 0x10, 0x40, 0x00, 0x1B, 0x00}, false},
      {{0xFF, 0xD0}, true},        // call eax
      {{0xFF, 0x63, 0x08}, false}, // jmp [ebx+8]
      {{0xFF, 0x18}, true},        // call far [eax]
  };
  for (const auto& c : cases) {
    const auto rec = Decode(c.bytes);
    EXPECT_TRUE(rec.valid);
    EXPECT_EQ(rec.isCall, c.call);
    EXPECT_EQ(rec.isJump, !c.call);
    EXPECT_EQ(rec.target, 0u);
    EXPECT_EQ(rec.targetOperandLocation, 0u);
    EXPECT_EQ(rec.targetCellOperandLocation, 0u);
    EXPECT_EQ(rec.next, kCode + c.bytes.size());
  }
}

TEST(Decoder, Lengths) {
  struct Case {
    Bytes bytes;
    std::size_t length;
  };
  const Case cases[] = {
      {{0x66, 0x05, 0x34, 0x12}, 4},                    // imm16 after 66
      {{0x05, 0x78, 0x56, 0x34, 0x12}, 5},
      {{0x67, 0xA1, 0x34, 0x12}, 4},                    // 16-bit moffs
      {{0xA1, 0x78, 0x56, 0x34, 0x12}, 5},
      {{0xC8, 0x10, 0x00, 0x01}, 4},                    // enter imm16, imm8
      {{0x9A, 1, 2, 3, 4, 5, 6}, 7},                    // far call ptr16:32
      {{0x66, 0x9A, 1, 2, 3, 4}, 6},                    // far call ptr16:16
      {{0x8B, 0x04, 0x8D, 0x00, 0x40, 0x40, 0x00}, 7},  // SIB with disp32, no base
      {{0x8B, 0x44, 0x24, 0x08}, 4},                    // SIB with disp8
      {{0x8B, 0x05, 1, 2, 3, 4}, 6},                    // [disp32]
      {{0x67, 0x8B, 0x06, 0x34, 0x12}, 5},              // [disp16]
      {{0x67, 0x8B, 0x86, 0x34, 0x12}, 5},              // [bp+disp16]
      {{0x67, 0x8B, 0x04}, 3},                          // [si]: no SIB in 16-bit addressing
      {{0xF6, 0x00, 0x12}, 3},                          // test byte ptr [eax], imm8
      {{0xF6, 0x10}, 2},                                // not byte ptr [eax]
      {{0xF7, 0xC1, 1, 2, 3, 4}, 6},                    // test ecx, imm32
      {{0x66, 0xF7, 0xC1, 1, 2}, 5},
      {{0x69, 0xC0, 0xE8, 0x03, 0x00, 0x00}, 6},
      {{0x0F, 0x0F, 0x44, 0x24, 0x08, 0xBF}, 6},        // 3DNow! suffix after the operands
      {{0x0F, 0xBA, 0xE0, 0x05}, 4},
      {{0xC2, 0x08, 0x00}, 3},
      {{0x0F, 0x1F, 0x44, 0x00, 0x00}, 5},              // multi-byte nop
      {{0x0F, 0x0B}, 2},                                // ud2
  };
  for (const auto& c : cases) {
    const auto rec = Decode(c.bytes);
    EXPECT_TRUE(rec.valid) << Text(c.bytes);
    EXPECT_EQ(rec.next - rec.start, c.length) << Text(c.bytes);
  }
}

TEST(Decoder, PrefixesAreAllConsumed) {
  Bytes bytes(100, 0x66);
  bytes.push_back(0x3E);
  bytes.push_back(0x90);
  const auto rec = Decode(bytes);
  EXPECT_TRUE(rec.valid);
  EXPECT_EQ(rec.opcode, 0x90);
  EXPECT_EQ(rec.next, kCode + 102);
}

TEST(Decoder, ValidityRules) {
  struct Case {
    Bytes bytes;
    bool valid;
  };
  const Case cases[] = {
      {{0x0F, 0x0F, 0xC1, 0xBF}, true},   // pavgusb
      {{0x0F, 0x0F, 0xC1, 0x00}, false},  // no such 3DNow! suffix
      {{0x8D, 0xC0}, false},              // lea with a register operand
      {{0x8D, 0x00}, true},
      {{0xC4, 0x00}, true},
      {{0x62, 0xC0}, false},
      {{0x8C, 0xF0}, false},              // no segment register 6
      {{0x8E, 0xD8}, true},
      {{0xFE, 0xC0}, true},
      {{0xFE, 0xD0}, false},
      {{0xFF, 0xD8}, false},              // far call needs a memory operand
      {{0xFF, 0x38}, false},
      {{0xD9, 0xD0}, true},               // fnop
      {{0xD9, 0xD1}, false},
      {{0xD9, 0xEF}, false},
      {{0xDA, 0xE9}, true},               // fucompp
      {{0xDA, 0xE8}, false},
      {{0xDA, 0xE0}, false},
      {{0xDB, 0xE3}, true},               // fninit
      {{0xDB, 0xE5}, false},
      {{0xDE, 0xD9}, true},               // fcompp
      {{0xDE, 0xDA}, false},
      {{0xDF, 0xE0}, true},               // fnstsw ax
      {{0xDF, 0xE1}, false},
      {{0x0F, 0x00, 0x30}, false},
      {{0x0F, 0x01, 0xC0}, false},        // sgdt needs memory
      {{0x0F, 0x01, 0xE0}, true},         // smsw eax
      {{0x0F, 0x01, 0x38}, true},         // invlpg [eax]
      {{0x0F, 0x01, 0xF8}, false},        // no register form of /7
      {{0x0F, 0x01, 0x28}, false},
      {{0x0F, 0x0D, 0x08}, true},         // prefetchw [eax]
      {{0x0F, 0x0D, 0x10}, false},
      {{0x0F, 0x18, 0x00}, true},
      {{0x0F, 0x18, 0x20}, false},
      {{0x0F, 0x18, 0xC0}, false},
      {{0x0F, 0x1F, 0x00}, true},
      {{0x0F, 0x1F, 0x08}, false},
      {{0x0F, 0x20, 0xC0}, true},         // mov eax, cr0
      {{0x0F, 0x20, 0xC8}, false},        // no cr1
      {{0x0F, 0x20, 0x00}, false},
      {{0x0F, 0x21, 0xE0}, false},        // no dr4
      {{0x0F, 0x23, 0xF8}, true},
      {{0x0F, 0x6C, 0xC1}, false},
      {{0x66, 0x0F, 0x6C, 0xC1}, true},
      {{0x0F, 0x71, 0xD0, 0x01}, true},   // psrlw mm0, 1
      {{0x0F, 0x71, 0xC0, 0x01}, false},  // no /0
      {{0x0F, 0x71, 0x10, 0x01}, false},  // register form only
      {{0x0F, 0x73, 0xD8, 0x01}, false},  // psrldq needs 66
      {{0x66, 0x0F, 0x73, 0xD8, 0x01}, true},
      {{0x0F, 0xAE, 0xF8}, true},         // sfence
      {{0x0F, 0xAE, 0x38}, true},         // clflush [eax]
      {{0x0F, 0xAE, 0x00}, true},         // fxsave [eax]
      {{0x0F, 0xAE, 0xC0}, false},
      {{0x0F, 0xAE, 0x28}, false},
      {{0x0F, 0xB2, 0xC0}, false},
      {{0x0F, 0xC3, 0x00}, true},
      {{0x0F, 0xC3, 0xC0}, false},
      {{0x0F, 0xBA, 0xE0, 0x01}, true},
      {{0x0F, 0xBA, 0xD8, 0x01}, false},
      {{0x0F, 0xC7, 0x08}, true},         // cmpxchg8b [eax]
      {{0x0F, 0xC7, 0x00}, false},
      {{0x0F, 0xC7, 0xC8}, false},
      {{0x0F, 0xD6, 0xC1}, false},
      {{0x66, 0x0F, 0xD6, 0xC1}, true},
      {{0xF2, 0x0F, 0xD6, 0xC1}, true},   // movdq2q
      {{0xF2, 0x0F, 0xD6, 0x00}, false},
      {{0x0F, 0xE6, 0xC1}, false},
      {{0xF3, 0x0F, 0xE6, 0xC1}, true},
      {{0x8F, 0x00}, true},
      {{0x8F, 0x08}, false},              // pop has no /1
      {{0xC6, 0x00, 0x01}, true},
      {{0xC6, 0x08, 0x01}, false},
      {{0xC7, 0x08, 1, 2, 3, 4}, false},
      {{0x0F, 0x04}, false},
      {{0x0F, 0x38, 0x00, 0xC1}, false},
      {{0x0F, 0xFF}, false},
      {{0x0F, 0xB9, 0xC0}, false},
      {{0xD6}, false},
  };
  for (const auto& c : cases) {
    const auto rec = Decode(c.bytes);
    std::string hex;
    for (auto b : c.bytes) hex += AddrHex(b, false) + " ";
    EXPECT_EQ(rec.valid, c.valid) << hex;
  }
}

TEST(Decoder, OperandDetails) {
  BufferMemory mem;
  InstructionRecord rec;
  DecodeDetails d;
  auto decode = [&](const Bytes& bytes) {
    mem.Place(kCode, bytes);
    DecodeInstruction(mem, kCode, nullptr, false, nullptr, rec, d);
  };

  // 64 66 F3 F0 89 84 8B 78 56 34 12: lock rep mov fs:[ebx+ecx*4+$12345678], ax
  decode({0x64, 0x66, 0xF3, 0xF0, 0x89, 0x84, 0x8B, 0x78, 0x56, 0x34, 0x12});
  EXPECT_TRUE(rec.valid);
  EXPECT_EQ(d.segment, 5);
  EXPECT_TRUE(d.operandSizePrefix);
  EXPECT_EQ(d.operandSize, 2);
  EXPECT_TRUE(d.rep);
  EXPECT_TRUE(d.lock);
  EXPECT_FALSE(d.repne);
  EXPECT_EQ(d.opcode, 0x89);
  EXPECT_EQ(rec.modRm, 0x84);
  EXPECT_TRUE(d.modIsMemory);
  EXPECT_EQ(d.reg, 0);
  EXPECT_EQ(d.rm, 3);
  EXPECT_EQ(d.index, 1);
  EXPECT_EQ(d.scale, 4);
  EXPECT_EQ(d.dispSize, 4);
  EXPECT_EQ(d.disp, 0x12345678);
  EXPECT_EQ(d.dispLocation, kCode + 7);
  EXPECT_EQ(d.immSize, 0);

  // C7 44 24 FC imm32: SIB without index, disp8 sign-extended, imm after it
  decode({0xC7, 0x44, 0x24, 0xFC, 0xEF, 0xBE, 0xAD, 0xDE});
  EXPECT_EQ(d.rm, 4);
  EXPECT_EQ(d.index, -1);
  EXPECT_EQ(d.scale, 0);
  EXPECT_EQ(d.disp, -4);
  EXPECT_EQ(d.dispLocation, kCode + 3);
  EXPECT_EQ(d.immSize, 4);
  EXPECT_EQ(static_cast<std::uint32_t>(d.imm), 0xDEADBEEFu);
  EXPECT_EQ(d.immLocation, kCode + 4);

  // 16-bit addressing: [bp+di-2]
  decode({0x67, 0x8B, 0x43, 0xFE});
  EXPECT_TRUE(d.addressSizePrefix);
  EXPECT_EQ(d.rm, 5);
  EXPECT_EQ(d.index, 7);
  EXPECT_EQ(d.dispSize, 1);
  EXPECT_EQ(d.disp, -2);

  // register form: rm is the register, no displacement
  decode({0x8B, 0xC1});
  EXPECT_FALSE(d.modIsMemory);
  EXPECT_EQ(d.reg, 0);
  EXPECT_EQ(d.rm, 1);
  EXPECT_EQ(d.dispSize, 0);

  // the last segment prefix wins; F2 then F3 leaves F3 as the selecting one
  decode({0x26, 0x2E, 0xF2, 0xF3, 0x90});
  EXPECT_EQ(d.segment, 2);
  EXPECT_EQ(d.lastRepPrefix, 0xF3);
  EXPECT_EQ(d.reg, -1);
}

TEST(Decoder, ReadFaultsGiveInvalidRecords) {
  // the immediate runs past the readable bytes
  auto rec = Decode({0xB8, 0x01, 0x02});
  EXPECT_FALSE(rec.valid);
  EXPECT_EQ(rec.next, kCode + 3);
  rec = Decode({0x66, 0x66});
  EXPECT_FALSE(rec.valid);
  rec = Decode({0x8B, 0x44});  // SIB missing
  EXPECT_FALSE(rec.valid);

  BufferMemory empty;
  DecodeInstructionAt(empty, kCode, rec);
  EXPECT_FALSE(rec.valid);
  EXPECT_EQ(rec.start, kCode);

  DecodeInstructionAt(empty, 0, rec);
  EXPECT_FALSE(rec.valid);
  EXPECT_EQ(rec.next, 0u);
}

// --- register tracking ---------------------------------------------------------

struct Walk {
  BufferMemory mem;
  RegisterState regs{};
  Address at = kCode;

  explicit Walk(const Bytes& code) { mem.Place(kCode, code); }
  InstructionRecord Step(bool useRegisters = true) {
    InstructionRecord rec;
    DecodeInstructionEx(mem, at, &regs, useRegisters, rec);
    at = rec.next;
    return rec;
  }
};

TEST(RegisterTracking, CallThroughRegisterLoadedWithConstant) {
  // mov eax, $402000 / call eax
  Walk w({0xB8, 0x00, 0x20, 0x40, 0x00, 0xFF, 0xD0});
  w.Step();
  EXPECT_EQ(w.regs[0], kCode + 1);
  auto rec = w.Step();
  EXPECT_TRUE(rec.isCall);
  EXPECT_EQ(rec.target, 0x402000u);
  EXPECT_EQ(rec.targetOperandLocation, kCode + 1);
  EXPECT_EQ(rec.targetSize, 4);

  Walk plain({0xB8, 0x00, 0x20, 0x40, 0x00, 0xFF, 0xD0});
  plain.Step(false);
  rec = plain.Step(false);
  EXPECT_TRUE(rec.isCall);
  EXPECT_EQ(rec.target, 0u);
  EXPECT_EQ(rec.targetOperandLocation, 0u);
}

TEST(RegisterTracking, CallThroughCellAddressedByRegister) {
  // mov ebx, $403000 / call [ebx]
  Walk w({0xBB, 0x00, 0x30, 0x40, 0x00, 0xFF, 0x13});
  w.mem.PlaceDword(0x403000, 0x00405000);
  w.Step();
  const auto rec = w.Step();
  EXPECT_TRUE(rec.valid);
  EXPECT_EQ(rec.target, 0x405000u);
  EXPECT_EQ(rec.targetCellOperandLocation, kCode + 1);
  EXPECT_EQ(rec.targetOperandLocation, 0u);

  Walk unreadable({0xBB, 0x00, 0x60, 0x40, 0x00, 0xFF, 0x13});
  unreadable.Step();
  EXPECT_FALSE(unreadable.Step().valid);
}

TEST(RegisterTracking, WritesForgetConstants) {
  const Bytes load = {0xB8, 0x00, 0x20, 0x40, 0x00};  // mov eax, $402000
  struct Case {
    const char* what;
    Bytes between;
    bool known;
  };
  const Case cases[] = {
      {"mov ecx, eax keeps eax", {0x8B, 0xC8}, true},
      {"cmp eax, 1 keeps eax", {0x83, 0xF8, 0x01}, true},
      {"mov ah, 1 changes eax", {0xB4, 0x01}, false},
      {"mov al, [ecx] changes eax", {0x8A, 0x01}, false},
      {"xor ah, ah changes eax", {0x32, 0xE4}, false},
      {"add eax, 4", {0x83, 0xC0, 0x04}, false},
      {"inc eax", {0x40}, false},
      {"pop eax", {0x58}, false},
      {"xchg eax, ecx", {0x91}, false},
      {"lodsd", {0xAD}, false},
      {"popad", {0x61}, false},
      {"cpuid", {0x0F, 0xA2}, false},
      {"rdtsc", {0x0F, 0x31}, false},
      {"mul ecx", {0xF7, 0xE1}, false},
      {"fnstsw ax", {0xDF, 0xE0}, false},
      {"mov ax, cx", {0x66, 0x8B, 0xC1}, false},
      {"movd eax, mm0", {0x0F, 0x7E, 0xC0}, false},
      {"cvttsd2si eax, xmm0", {0xF2, 0x0F, 0x2C, 0xC0}, false},
      {"nop", {0x90}, true},
  };
  for (const auto& c : cases) {
    Bytes code = load;
    code.insert(code.end(), c.between.begin(), c.between.end());
    code.insert(code.end(), {0xFF, 0xD0});
    Walk w(code);
    w.Step();
    EXPECT_TRUE(w.Step().valid) << c.what;
    const auto rec = w.Step();
    EXPECT_EQ(rec.target != 0, c.known) << c.what;
  }
}

TEST(RegisterTracking, CopiesAndStringInstructions) {
  // mov esi, $402000 / mov edi, esi / rep movsd / ...
  Walk w({0xBE, 0x00, 0x20, 0x40, 0x00, 0x8B, 0xFE, 0xB9, 0x04, 0x00, 0x00, 0x00, 0xF3, 0xA5});
  w.Step();
  w.Step();
  EXPECT_EQ(w.regs[7], kCode + 1) << "mov edi, esi copies the constant";
  w.Step();
  EXPECT_EQ(w.regs[1], kCode + 8);
  w.Step();
  EXPECT_EQ(w.regs[1], 0u);
  EXPECT_EQ(w.regs[6], 0u);
  EXPECT_EQ(w.regs[7], 0u);

  // mov [esp], imm (C7 memory form) is no register load; mov ecx, imm is
  Walk c7({0xC7, 0x04, 0x24, 1, 2, 3, 4, 0xC7, 0xC1, 1, 2, 3, 4});
  c7.Step();
  EXPECT_EQ(c7.regs, RegisterState{});
  c7.Step();
  EXPECT_EQ(c7.regs[1], kCode + 9);
}

// --- assembler text ------------------------------------------------------------

TEST(Text, GoldenLines) {
  struct Case {
    Bytes bytes;
    const char* line;
  };
  const Case cases[] = {
      {{0x55}, "00401000   push    ebp"},
      {{0x8B, 0xEC}, "00401000   mov     ebp, esp"},
      {{0x83, 0xEC, 0x10}, "00401000   sub     esp, $10"},
      {{0x83, 0xC4, 0xF8}, "00401000   add     esp, -8"},
      {{0x81, 0xC4, 0x00, 0xFF, 0xFF, 0xFF}, "00401000   add     esp, -$100"},
      {{0x8B, 0x45, 0x08}, "00401000   mov     eax, [ebp+8]"},
      {{0x8B, 0x45, 0xF0}, "00401000   mov     eax, [ebp-$10]"},
      {{0x8B, 0x45, 0x00}, "00401000   mov     eax, [ebp+0]"},
      {{0x89, 0x44, 0x24, 0x04}, "00401000   mov     [esp+4], eax"},
      {{0xC7, 0x45, 0xFC, 0, 0, 0, 0}, "00401000   mov     dword ptr [ebp-4], 0"},
      {{0x8B, 0x04, 0x8D, 0x00, 0x40, 0x40, 0x00}, "00401000   mov     eax, [ecx*4+$404000]"},
      {{0x8B, 0x04, 0x88}, "00401000   mov     eax, [eax+ecx*4]"},
      {{0x8B, 0x05, 0x05, 0, 0, 0}, "00401000   mov     eax, [5]"},
      {{0x64, 0xA1, 0, 0, 0, 0}, "00401000   mov     eax, fs:[0]"},
      {{0xA3, 0x78, 0x56, 0x34, 0x12}, "00401000   mov     [$12345678], eax"},
      {{0x64, 0x89, 0x25, 0, 0, 0, 0}, "00401000   mov     fs:[0], esp"},
      {{0x26, 0x8B, 0x00}, "00401000   mov     eax, es:[eax]"},
      {{0x67, 0x8B, 0x00}, "00401000   mov     eax, [bx+si]"},
      {{0x67, 0x8B, 0x46, 0xFE}, "00401000   mov     eax, [bp-2]"},
      {{0x66, 0xB8, 0x34, 0x12}, "00401000   mov     ax, $1234"},
      {{0xB0, 0xFF}, "00401000   mov     al, $ff"},
      {{0x80, 0x38, 0xFF}, "00401000   cmp     byte ptr [eax], -1"},
      {{0xF6, 0x40, 0x04, 0x80}, "00401000   test    byte ptr [eax+4], $80"},
      {{0xF7, 0xD8}, "00401000   neg     eax"},
      {{0x69, 0xC0, 0xE8, 0x03, 0, 0}, "00401000   imul    eax, eax, $3e8"},
      {{0x6B, 0xC0, 0xFC}, "00401000   imul    eax, eax, -4"},
      {{0x0F, 0xAF, 0xC1}, "00401000   imul    eax, ecx"},
      {{0xE8, 0x0B, 0, 0, 0}, "00401000   call    +$b ($401010)"},
      {{0xEB, 0xFE}, "00401000   jmp     -2 ($401000)"},
      {{0x74, 0x05}, "00401000   jz      +5 ($401007)"},
      {{0x0F, 0x8C, 0x00, 0x01, 0, 0}, "00401000   jl      +$100 ($401106)"},
      {{0xE3, 0x02}, "00401000   jecxz   +2 ($401004)"},
      {{0x67, 0xE3, 0x02}, "00401000   jcxz    +2 ($401005)"},
      {{0x0F, 0x94, 0xC0}, "00401000   setz    al"},
      {{0x0F, 0x4F, 0xC1}, "00401000   cmovg   eax, ecx"},
      {{0xFF, 0x10}, "00401000   call    dword ptr [eax]"},
      {{0xFF, 0x5D, 0x08}, "00401000   call far dword ptr [ebp+8]"},
      {{0xFF, 0xE0}, "00401000   jmp     eax"},
      {{0xFF, 0x74, 0x24, 0x08}, "00401000   push    dword ptr [esp+8]"},
      {{0x6A, 0xFF}, "00401000   push    $ffffffff"},
      {{0x66, 0x6A, 0xFF}, "00401000   push    $ffff"},
      {{0x6A, 0x08}, "00401000   push    8"},
      {{0x68, 0x00, 0x40, 0x40, 0x00}, "00401000   push    $404000"},
      {{0x06}, "00401000   push es"},
      {{0x0F, 0xA9}, "00401000   pop gs"},
      {{0xC3}, "00401000   ret"},
      {{0xC2, 0x08, 0x00}, "00401000   ret     8"},
      {{0xC8, 0x10, 0x00, 0x00}, "00401000   enter   $10"},
      {{0xC8, 0x10, 0x00, 0x01}, "00401000   enter   $10, 1"},
      {{0x9A, 0x00, 0x10, 0x40, 0x00, 0x1B, 0x00}, "00401000   call    $1b:$401000"},
      {{0xCD, 0x21}, "00401000   int     $21"},
      {{0xE4, 0x60}, "00401000   in      al, $60"},
      {{0xE7, 0x60}, "00401000   out     $60, eax"},
      {{0xEC}, "00401000   in      al, dx"},
      {{0x66, 0xEF}, "00401000   out     dx, ax"},
      {{0x92}, "00401000   xchg    eax, edx"},
      {{0x90}, "00401000   nop"},
      {{0xF3, 0x90}, "00401000   pause"},
      {{0xF3, 0xA5}, "00401000   rep movsd"},
      {{0x66, 0xF3, 0xAB}, "00401000   rep stosw"},
      {{0xF2, 0xAE}, "00401000   repne scasb"},
      {{0xF0, 0x0F, 0xB1, 0x0A}, "00401000   lock cmpxchg [edx], ecx"},
      {{0xF0, 0xFF, 0x00}, "00401000   lock inc dword ptr [eax]"},
      {{0xC1, 0xE0, 0x04}, "00401000   shl     eax, 4"},
      {{0xD1, 0xF8}, "00401000   sar     eax, 1"},
      {{0xD3, 0xE2}, "00401000   shl     edx, cl"},
      {{0xD0, 0x20}, "00401000   shl     byte ptr [eax], 1"},
      {{0x0F, 0xA4, 0xC1, 0x04}, "00401000   shld    ecx, eax, 4"},
      {{0x0F, 0xAD, 0xD0}, "00401000   shrd    eax, edx, cl"},
      {{0x0F, 0xB6, 0x45, 0x08}, "00401000   movzx   eax, [ebp+8]"},
      {{0x66, 0x0F, 0xBE, 0xC1}, "00401000   movsx   ax, cl"},
      {{0x0F, 0xB7, 0xC1}, "00401000   movzx   eax, cx"},
      {{0x0F, 0xC9}, "00401000   bswap   ecx"},
      {{0x0F, 0xBA, 0xE0, 0x05}, "00401000   bt      eax, 5"},
      {{0x8C, 0xD8}, "00401000   mov     ax, ds"},
      {{0x0F, 0x20, 0xC0}, "00401000   mov     eax, cr0"},
      {{0x0F, 0x23, 0xF8}, "00401000   mov     dr7, eax"},
      {{0xD4, 0x0A}, "00401000   aam"},
      {{0xD4, 0x08}, "00401000   aam     8"},
      {{0x99}, "00401000   cdq"},
      {{0x66, 0x98}, "00401000   cbw"},
      // x87
      {{0xD9, 0xC1}, "00401000   fld     st(1)"},
      {{0xD9, 0x45, 0x08}, "00401000   fld     dword ptr [ebp+8]"},
      {{0xDD, 0x5D, 0xF8}, "00401000   fstp    qword ptr [ebp-8]"},
      {{0xDB, 0x6D, 0x08}, "00401000   fld     tbyte ptr [ebp+8]"},
      {{0xDF, 0x2C, 0x24}, "00401000   fild    qword ptr [esp]"},
      {{0xD9, 0x7D, 0xFE}, "00401000   fnstcw  word ptr [ebp-2]"},
      {{0xD9, 0x30}, "00401000   fnstenv [eax]"},
      {{0xD8, 0xC1}, "00401000   fadd    st, st(1)"},
      {{0xDC, 0xC1}, "00401000   fadd    st(1), st"},
      {{0xDE, 0xC1}, "00401000   faddp   st(1), st"},
      {{0xDE, 0xE9}, "00401000   fsubp   st(1), st"},
      {{0xDC, 0xE9}, "00401000   fsub    st(1), st"},
      {{0xD8, 0xD1}, "00401000   fcom    st(1)"},
      {{0xD9, 0xE8}, "00401000   fld1"},
      {{0xD9, 0xEE}, "00401000   fldz"},
      {{0xD9, 0xE0}, "00401000   fchs"},
      {{0xD9, 0xFF}, "00401000   fcos"},
      {{0xDE, 0xD9}, "00401000   fcompp"},
      {{0xDF, 0xE0}, "00401000   fnstsw ax"},
      {{0xDB, 0xE3}, "00401000   fninit"},
      {{0xDA, 0xC9}, "00401000   fcmove  st, st(1)"},
      {{0xDF, 0xE9}, "00401000   fucomip st, st(1)"},
      {{0xDD, 0xD9}, "00401000   fstp    st(1)"},
      // MMX, SSE, SSE2, 3DNow!
      {{0x0F, 0x6F, 0xC1}, "00401000   movq    mm0, mm1"},
      {{0x66, 0x0F, 0x6F, 0xC1}, "00401000   movdqa  xmm0, xmm1"},
      {{0xF3, 0x0F, 0x6F, 0x06}, "00401000   movdqu  xmm0, [esi]"},
      {{0xF3, 0x0F, 0x7F, 0x06}, "00401000   movdqu  [esi], xmm0"},
      {{0xF3, 0x66, 0x0F, 0x6F, 0x06}, "00401000   movdqu  xmm0, [esi]"},
      {{0x66, 0xF3, 0x0F, 0x6F, 0x06}, "00401000   movdqu  xmm0, [esi]"},
      {{0xF2, 0xF3, 0x0F, 0x10, 0xC1}, "00401000   movss   xmm0, xmm1"},
      {{0xF3, 0xF2, 0x0F, 0x10, 0xC1}, "00401000   movsd   xmm0, xmm1"},
      {{0xF2, 0x0F, 0x10, 0x45, 0xF8}, "00401000   movsd   xmm0, [ebp-8]"},
      {{0x0F, 0x10, 0xC1}, "00401000   movups  xmm0, xmm1"},
      {{0x0F, 0x58, 0xC1}, "00401000   addps   xmm0, xmm1"},
      {{0x66, 0x0F, 0x58, 0xC1}, "00401000   addpd   xmm0, xmm1"},
      {{0xF2, 0x0F, 0x58, 0xC1}, "00401000   addsd   xmm0, xmm1"},
      {{0xF3, 0x0F, 0x5E, 0xC1}, "00401000   divss   xmm0, xmm1"},
      {{0x0F, 0x12, 0xC1}, "00401000   movhlps xmm0, xmm1"},
      {{0x0F, 0x12, 0x00}, "00401000   movlps  xmm0, [eax]"},
      {{0x66, 0x0F, 0x6E, 0xC0}, "00401000   movd    xmm0, eax"},
      {{0x0F, 0x7E, 0xC8}, "00401000   movd    eax, mm1"},
      {{0xF3, 0x0F, 0x7E, 0xC1}, "00401000   movq    xmm0, xmm1"},
      {{0x66, 0x0F, 0xD6, 0x45, 0xF8}, "00401000   movq    [ebp-8], xmm0"},
      {{0xF2, 0x0F, 0x2C, 0xC1}, "00401000   cvttsd2si eax, xmm1"},
      {{0xF2, 0x0F, 0x2A, 0xC1}, "00401000   cvtsi2sd xmm0, ecx"},
      {{0x0F, 0x2A, 0xC1}, "00401000   cvtpi2ps xmm0, mm1"},
      {{0x66, 0x0F, 0xEF, 0xC0}, "00401000   pxor    xmm0, xmm0"},
      {{0x0F, 0xEF, 0xC0}, "00401000   pxor    mm0, mm0"},
      {{0x66, 0x0F, 0x70, 0xC1, 0x1B}, "00401000   pshufd  xmm0, xmm1, $1b"},
      {{0x66, 0x0F, 0x73, 0xD8, 0x08}, "00401000   psrldq  xmm0, 8"},
      {{0x0F, 0x71, 0xD0, 0x01}, "00401000   psrlw   mm0, 1"},
      {{0x0F, 0xC2, 0xC1, 0x01}, "00401000   cmpps   xmm0, xmm1, 1"},
      {{0xF3, 0x0F, 0xC2, 0xC1, 0x01}, "00401000   cmpss   xmm0, xmm1, 1"},
      {{0x0F, 0x0F, 0xC1, 0xBF}, "00401000   pavgusb mm0, mm1"},
      {{0x0F, 0x0F, 0x44, 0x24, 0x08, 0x9E}, "00401000   pfadd   mm0, [esp+8]"},
      {{0x0F, 0xAE, 0xF8}, "00401000   sfence"},
      {{0x0F, 0xAE, 0x38}, "00401000   clflush dword ptr [eax]"},
      {{0x0F, 0x18, 0x08}, "00401000   prefetcht0 byte ptr [eax]"},
      {{0x0F, 0x1F, 0x44, 0x00, 0x00}, "00401000   nop     dword ptr [eax+eax+0]"},
      {{0x0F, 0x0B}, "00401000   ud2"},
      {{0x0F, 0x31}, "00401000   rdtsc"},
  };
  for (const auto& c : cases) EXPECT_EQ(Text(c.bytes), c.line);
}

TEST(Text, UndecodableBytesBecomeDataLines) {
  EXPECT_EQ(Text({0x0F, 0xFF}), "00401000   db $0f\r\n00401001   db $ff");
  EXPECT_EQ(Text({0xD6}), "00401000   db $d6");
  BufferMemory empty;
  std::string text;
  InstructionRecord rec;
  DisassembleInstruction({empty, nullptr}, kCode, text, nullptr, rec, false);
  EXPECT_FALSE(rec.valid);
  EXPECT_EQ(text.substr(0, 8), "00401000");
}

class TextComments : public ::testing::Test {
protected:
  void SetUp() override {
    symbols.AddModule({0x00400000, 0x10000, "C:\\Apps\\Tarvik.exe", true});
    symbols.AddModule({0x7C800000, 0x100000, "C:\\WINDOWS\\system32\\kernel32.dll", false});
    symbols.AddExport(0x00401010, "TForm1.Button1Click");
    symbols.AddExport(0x7C801000, "GetTickCount");
    // jump thunk at $401020 through the import cell at $403000
    mem.Place(0x00401020, {0xFF, 0x25, 0x00, 0x30, 0x40, 0x00});
    mem.PlaceDword(0x00403000, 0x7C801000);
    mem.PlaceText(0x00405000, std::string("Hello world\r\n", 14));
    mem.PlaceText(0x00405100, std::string("x\x01yz wxyz", 10));
  }
  std::string Line(const Bytes& code, Address va = kCode) {
    mem.Place(va, code);
    std::string text;
    InstructionRecord rec;
    DisassembleInstruction({mem, &symbols}, va, text, nullptr, rec, false);
    return text;
  }
  BufferMemory mem;
  FakeSymbols symbols;
};

TEST_F(TextComments, CallTargetsAreNamed) {
  EXPECT_EQ(Line({0xE8, 0x0B, 0, 0, 0}), "00401000   call    +$b ($401010)          ; TForm1.Button1Click");
  // a thunk in the main program lends its target's name and module
  EXPECT_EQ(Line({0xE8, 0x1B, 0, 0, 0}, 0x00401000),
            "00401000   call    +$1b ($401020)         ; GetTickCount (kernel32.dll)");
  EXPECT_EQ(Line({0xFF, 0x15, 0x00, 0x30, 0x40, 0x00}, 0x00402000),
            "00402000   call    dword ptr [$403000]    ; GetTickCount (kernel32.dll)");
}

TEST_F(TextComments, TrackedRegisterGivesTheCallItsName) {
  // mov eax, $401010 / call eax: with tracked registers the call has a target and a name
  mem.Place(0x00402000, {0xB8, 0x10, 0x10, 0x40, 0x00, 0xFF, 0xD0});
  RegisterState regs{};
  std::string first, second;
  InstructionRecord rec;
  DisassembleInstruction({mem, &symbols}, 0x00402000, first, &regs, rec, true);
  EXPECT_EQ(first, "00402000   mov     eax, $401010           ; TForm1.Button1Click");
  DisassembleInstruction({mem, &symbols}, 0x00402005, second, &regs, rec, true);
  EXPECT_EQ(second, "00402005   call    eax                    ; TForm1.Button1Click");
  EXPECT_EQ(rec.target, 0x00401010u);

  RegisterState unused{};
  DisassembleInstruction({mem, &symbols}, 0x00402005, second, &unused, rec, true);
  EXPECT_EQ(second, "00402005   call    eax");
}

TEST_F(TextComments, NameHookIsAskedAfterExports) {
  NameProviderHook = [](Address va, std::string& name) {
    if (va == 0x00401800) name = "Unit1.Helper";
  };
  EXPECT_EQ(Line({0xE8, 0xFB, 0x07, 0, 0}), "00401000   call    +$7fb ($401800)        ; Unit1.Helper");
  EXPECT_EQ(Line({0xE8, 0x0B, 0, 0, 0}), "00401000   call    +$b ($401010)          ; TForm1.Button1Click");
  NameProviderHook = nullptr;
  EXPECT_EQ(Line({0xE8, 0xFB, 0x07, 0, 0}), "00401000   call    +$7fb ($401800)");
}

TEST_F(TextComments, StringsBehindConstants) {
  EXPECT_EQ(Line({0x68, 0x00, 0x50, 0x40, 0x00}), "00401000   push    $405000                ; 'Hello world'");
  EXPECT_EQ(Line({0xB8, 0x00, 0x50, 0x40, 0x00}), "00401000   mov     eax, $405000           ; 'Hello world'");
  // a control character inside cancels the comment; so does an address outside any module
  EXPECT_EQ(Line({0x68, 0x00, 0x51, 0x40, 0x00}), "00401000   push    $405100");
  EXPECT_EQ(Line({0x68, 0x00, 0x50, 0x50, 0x00}), "00401000   push    $505000");
  // too near the image end
  mem.PlaceText(0x0040FFC0, "A long enough text here");
  EXPECT_EQ(Line({0x68, 0xC0, 0xFF, 0x40, 0x00}), "00401000   push    $40ffc0");
}

TEST_F(TextComments, DisplacementCellNamesItsContent) {
  // a moffs operand is an immediate: no cell content, and no name or text at $403000
  EXPECT_EQ(Line({0xA1, 0x00, 0x30, 0x40, 0x00}), "00401000   mov     eax, [$403000]");
  EXPECT_EQ(Line({0x8B, 0x0D, 0x10, 0x10, 0x40, 0x00}),
            "00401000   mov     ecx, [$401010]         ; TForm1.Button1Click");
  mem.PlaceDword(0x00403100, 0x00401010);
  EXPECT_EQ(Line({0x8B, 0x0D, 0x00, 0x31, 0x40, 0x00}),
            "00401000   mov     ecx, [$403100]         ; TForm1.Button1Click");
}

TEST(Helpers, AddrHexAndFpuNames) {
  EXPECT_EQ(AddrHex(0x401000, true), "00401000");
  EXPECT_EQ(AddrHex(0x401000, false), "401000");
  EXPECT_EQ(AddrHex(0, false), "0");
  EXPECT_EQ(AddrHex(0xDEADBEEF, false), "deadbeef");
  EXPECT_EQ(FpuRegName(0), "st");
  EXPECT_EQ(FpuRegName(7), "st(7)");
}

}  // namespace
}  // namespace qel
