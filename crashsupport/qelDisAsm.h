// x86 (IA-32) instruction decoder with assembler text.
//
// The decoder never touches memory itself: every byte of code and every
// memory cell it looks at comes through a MemoryReader, so it runs the same
// on the program's own loaded code (a reader that never faults) and on a
// plain buffer in tests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace qel {

using Address = std::uint32_t;

// Reads n bytes at the 32-bit virtual address va; false (and nothing
// promised about buf) unless all n bytes could be read. The decoder asks for
// code in windows of 16 bytes and, when refused, byte by byte, so a reader
// that stops at an unreadable page loses nothing of the last instruction.
class MemoryReader {
public:
  virtual ~MemoryReader() = default;
  virtual bool Read(Address va, void* buf, std::size_t n) const = 0;
};

// One loaded module as the text comments need it.
struct ModuleInfo {
  Address base = 0;
  std::uint32_t imageSize = 0;
  std::string fileName;      // full path as the loader knows it
  bool isMainProgram = false;
};

// Module, export and code-bounds lookups of the running process.
class Symbolizer {
public:
  virtual ~Symbolizer() = default;
  // The module whose image holds va.
  virtual bool ModuleOfAddress(Address va, ModuleInfo& module) const = 0;
  // The export whose entry is exactly va, or an empty text.
  virtual std::string ExportNameAt(const ModuleInfo& module, Address va) const = 0;
  // Inclusive bounds of the code that holds entry (for the function analyser).
  virtual bool CodeBounds(Address entry, Address& first, Address& last) const = 0;
};

// Name of a routine that starts exactly at the address, or an empty text.
using NameProviderProc = void (*)(Address va, std::string& name);
// Set by the map-file reader; consulted after the exports.
extern NameProviderProc NameProviderHook;

// What the decoder learns about one instruction.
struct InstructionRecord {
  bool valid = false;
  std::uint16_t opcode = 0;        // 0x0F00 + second byte for two-byte opcodes
  std::uint8_t modRm = 0;
  bool isCall = false;
  bool isJump = false;
  bool relative = false;
  Address target = 0;
  Address targetOperandLocation = 0;      // rel field, or the imm32 that loaded the register
  Address targetCellOperandLocation = 0;  // disp32 field, or the imm32 that loaded [reg]
  std::int32_t targetSize = 0;            // width of the field named above: 1, 2, 4 or 0
  bool enlargeable = false;               // relative branch with a long form
  Address start = 0;
  Address next = 0;
};

// Per register (eax ecx edx ebx esp ebp esi edi): address of a 32-bit
// constant in the code that the register is known to hold, 0 = unknown.
using RegisterState = std::array<Address, 8>;

// Everything else the full decoder works out; the text writer needs it.
struct DecodeDetails {
  bool operandSizePrefix = false;
  bool addressSizePrefix = false;
  bool lock = false;
  bool repne = false;
  bool rep = false;
  std::uint8_t lastRepPrefix = 0;  // 0xF2 or 0xF3, whichever came last
  int segment = 0;                 // 0 none, 1 es, 2 cs, 3 ss, 4 ds, 5 fs, 6 gs
  int operandSize = 4;
  std::uint16_t opcode = 0;
  std::uint16_t flags = 0;
  std::uint8_t mnemonic = 0;
  bool hasModRm = false;
  bool modIsMemory = false;
  int reg = -1;
  int rm = -1;                     // register form: the register; memory form: base, -1 none
  int index = -1;
  int scale = 0;                   // 0 = no index
  int dispSize = 0;
  std::int32_t disp = 0;
  Address dispLocation = 0;
  int immSize = 0;
  std::int32_t imm = 0;
  Address immLocation = 0;
};

// Full decoder. regs may be null; cells (the memory that holds indirect
// targets) are read through cellReader when given, else through code.
void DecodeInstruction(const MemoryReader& code, Address va, RegisterState* regs, bool useRegisters,
                       const MemoryReader* cellReader, InstructionRecord& rec, DecodeDetails& details);
void DecodeInstructionEx(const MemoryReader& code, Address va, RegisterState* regs, bool useRegisters,
                         InstructionRecord& rec, const MemoryReader* cellReader = nullptr);
// The stepping form: no register state, no cell restrictions.
void DecodeInstructionAt(const MemoryReader& code, Address va, InstructionRecord& rec);
// Like DecodeInstructionAt, but indirect targets are read only through cellReader
// (a reader that honours a readable-range snapshot).
void DecodeInstructionChecked(const MemoryReader& code, Address va, const MemoryReader& cellReader,
                              InstructionRecord& rec);

// What the text writer needs besides the code: module and export lookups.
struct DisAsmEnvironment {
  const MemoryReader& code;
  const Symbolizer* symbols = nullptr;
};

// Decodes and sets text to the assembler line of the instruction.
void DisassembleInstruction(const DisAsmEnvironment& env, Address va, std::string& text, RegisterState* regs,
                            InstructionRecord& rec, bool useRegisters);

// Lower-case hexadecimal without "$": 8 digits when fixed, else as few as needed.
std::string AddrHex(Address va, bool fixedWidth);
// Export name of va in module (exact start), else the name hook's answer.
std::string ProcNameOfAddress(const Symbolizer* symbols, const ModuleInfo* module, Address va);
// "st" for 0, else "st(n)".
std::string FpuRegName(int n);

}  // namespace qel
