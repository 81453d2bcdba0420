#include "qelDisAsm.h"

#include "disasm/OpcodeTables.h"

#include <cstring>
#include <string_view>
#include <utility>

namespace qel {

NameProviderProc NameProviderHook = nullptr;

namespace {

using namespace disasm;

// Code bytes come in windows of 16 through the reader; near an unreadable
// edge the window shrinks to single bytes so that exactly the readable
// bytes are used.
class ByteCursor {
public:
  ByteCursor(const MemoryReader& reader, Address start) : reader_(reader), start_(start) {}

  bool Byte(std::uint8_t& b) {
    if (offset_ >= windowStart_ + windowCount_ && !Fill()) return false;
    b = window_[offset_ - windowStart_];
    ++offset_;
    return true;
  }
  // Little-endian value of n bytes (1, 2 or 4), sign-extended; other sizes are skipped.
  bool Value(int n, std::int32_t& v) {
    std::uint32_t u = 0;
    for (int i = 0; i < n; ++i) {
      std::uint8_t b;
      if (!Byte(b)) return false;
      if (i < 4) u |= std::uint32_t{b} << (8 * i);
    }
    if (n == 1) v = static_cast<std::int8_t>(u);
    else if (n == 2) v = static_cast<std::int16_t>(u);
    else if (n == 4) v = static_cast<std::int32_t>(u);
    else v = 0;
    return true;
  }
  Address Here() const { return start_ + offset_; }

private:
  bool Fill() {
    windowStart_ = offset_;
    windowCount_ = 0;
    const Address at = start_ + offset_;
    if (reader_.Read(at, window_, sizeof window_)) windowCount_ = sizeof window_;
    else if (reader_.Read(at, window_, 1)) windowCount_ = 1;
    return windowCount_ != 0;
  }

  const MemoryReader& reader_;
  Address start_;
  std::uint32_t offset_ = 0;
  std::uint32_t windowStart_ = 0;
  std::uint32_t windowCount_ = 0;
  std::uint8_t window_[16] = {};
};

bool ReadDword(const MemoryReader& reader, Address va, std::uint32_t& value) {
  std::uint8_t b[4];
  if (va == 0 || !reader.Read(va, b, 4)) return false;
  value = b[0] | (std::uint32_t{b[1]} << 8) | (std::uint32_t{b[2]} << 16) | (std::uint32_t{b[3]} << 24);
  return true;
}

// The prefix that selects among the variants of a 0F opcode: the last of
// F2/F3 when either is present, else 66.
std::uint8_t SelectingPrefix(const DecodeDetails& d) {
  if (d.lastRepPrefix) return d.lastRepPrefix;
  return d.operandSizePrefix ? 0x66 : 0;
}

bool ModRmValid(const DecodeDetails& d, std::uint16_t opcode, std::uint8_t modrm) {
  const int reg = d.reg;
  const bool mem = d.modIsMemory;
  switch (opcode) {
  case 0x8C: case 0x8E: return reg < 6;
  case 0x8F: case 0xC6: case 0xC7: return reg == 0;
  case 0xD9:
    if (mem) return true;
    return !((modrm >= 0xD1 && modrm <= 0xD7) || modrm == 0xE2 || modrm == 0xE3 || modrm == 0xE6 ||
             modrm == 0xE7 || modrm == 0xEF);
  case 0xDA: return mem || !(modrm == 0xE8 || (modrm >= 0xEA && modrm <= 0xEF));
  case 0xDB: return mem || !(modrm >= 0xE5 && modrm <= 0xE7);
  case 0xDE: return mem || reg != 3 || modrm == 0xD9;  // only fcompp in the D8-DF column
  case 0xDF: return mem || !(modrm >= 0xE1 && modrm <= 0xE7);
  case 0xFE: return reg <= 1;
  case 0xFF: return reg < 7 && (mem || (reg != 3 && reg != 5));
  case 0x0F00: return reg < 6;
  case 0x0F01: return reg != 5 && (mem || (reg != 7 && reg > 3));
  case 0x0F0D: return reg <= 1;
  case 0x0F18: return reg <= 3;
  case 0x0F1F: return reg == 0;
  case 0x0F20: case 0x0F22: return reg == 0 || reg == 2 || reg == 3 || reg == 4;
  case 0x0F21: case 0x0F23: return reg != 4 && reg != 5;
  case 0x0F6C: case 0x0F6D: return SelectingPrefix(d) == 0x66;  // F2/F3 would select a form that does not exist
  case 0x0F71: case 0x0F72: return reg == 2 || reg == 4 || reg == 6;
  case 0x0F73: return reg == 2 || reg == 6 || ((reg == 3 || reg == 7) && SelectingPrefix(d) == 0x66);
  case 0x0FAE: return reg == 7 || (reg <= 3 && mem) || ((reg == 5 || reg == 6) && !mem);
  case 0x0FBA: return reg >= 4;
  case 0x0FC7: return reg == 1;
  case 0x0FD6: case 0x0FE6: return d.operandSizePrefix || d.rep || d.repne;
  default: return true;
  }
}

void ClassifyBranch(const MemoryReader& code, const MemoryReader& cells, const RegisterState* regs,
                    bool useRegisters, const DecodeDetails& d, InstructionRecord& rec) {
  const std::uint16_t op = d.opcode;
  if (d.flags & REL) {
    rec.relative = true;
    rec.targetOperandLocation = d.immLocation;
    Address target = rec.next + static_cast<Address>(d.imm);
    if (d.operandSizePrefix) target &= 0xFFFF;  // a 16-bit branch leaves eip's upper half zero
    rec.target = target;
    rec.targetSize = d.immSize;
    rec.enlargeable = op < 0xE0 || op > 0xE3;
    if (op == 0xE8) rec.isCall = true;
    else rec.isJump = true;
    return;
  }
  if (op == 0x9A) { rec.isCall = true; return; }
  if (op == 0xEA) { rec.isJump = true; return; }
  if (op != 0xFF || d.reg < 2 || d.reg > 5) return;
  if (d.reg <= 3) rec.isCall = true;
  else rec.isJump = true;

  if (d.modIsMemory && d.dispSize == 4 && d.rm < 0 && d.index < 0) {
    rec.targetCellOperandLocation = d.dispLocation;
    rec.targetSize = 4;
    std::uint32_t t = 0;
    rec.valid = ReadDword(cells, static_cast<Address>(d.disp), t);
    rec.target = t;
    return;
  }
  if (regs && useRegisters && !d.addressSizePrefix && d.rm >= 0 && d.index < 0 && d.dispSize == 0 &&
      (*regs)[d.rm] != 0) {
    const Address constantAt = (*regs)[d.rm];
    std::uint32_t constant = 0;
    if (!ReadDword(code, constantAt, constant)) {
      rec.valid = false;
      return;
    }
    rec.targetSize = 4;
    if (d.modIsMemory) {
      rec.targetCellOperandLocation = constantAt;
      std::uint32_t t = 0;
      rec.valid = ReadDword(cells, constant, t);
      rec.target = t;
    } else {
      rec.targetOperandLocation = constantAt;
      rec.target = constant;
    }
  }
}

// Keeps the register state true after one valid instruction: every register
// the instruction may change loses its known constant.
void TrackRegisters(const DecodeDetails& d, RegisterState& r) {
  const RegisterState before = r;
  const std::uint16_t op = d.opcode;
  const std::uint16_t f = d.flags;
  const bool regForm = d.hasModRm && !d.modIsMemory;
  // A write to ah/ch/dh/bh changes eax/ecx/edx/ebx, not esp..edi.
  const bool regIsByte = d.hasModRm && RegKind(f) == R_B;
  const bool rmIsByte = ModRmKind(f) == 2;
  const int regCell = d.reg >= 0 ? (regIsByte ? d.reg & 3 : d.reg) : -1;
  const int rmCell = regForm ? (rmIsByte ? d.rm & 3 : d.rm) : -1;
  const int opCell = (!d.hasModRm && RegKind(f) == R_OPB) ? (op & 3) : (op & 7);
  auto clear = [&r](int cell) {
    if (cell >= 0) r[static_cast<std::size_t>(cell)] = 0;
  };

  if ((d.rep || d.repne) && op < 0x100) clear(1);
  switch (WriteKind(f)) {
  case 1: clear(regCell); break;
  case 2: clear(rmCell); break;
  case 3: clear(opCell); break;
  case 4: clear(0); break;
  case 5: clear(regCell); clear(rmCell); break;
  case 6: clear(0); clear(rmCell); break;
  case 7: clear(0); clear(opCell); break;
  default: break;
  }

  switch (op) {
  case 0x8B:
    if (regForm && !d.operandSizePrefix) r[static_cast<std::size_t>(d.reg)] = before[static_cast<std::size_t>(d.rm)];
    break;
  case 0xB8: case 0xB9: case 0xBA: case 0xBB: case 0xBC: case 0xBD: case 0xBE: case 0xBF:
    if (!d.operandSizePrefix) r[op & 7] = d.immLocation;
    break;
  case 0xC7:
    if (regForm && !d.operandSizePrefix) r[static_cast<std::size_t>(d.rm)] = d.immLocation;
    break;
  case 0x61: r.fill(0); break;
  case 0x6C: case 0x6D: case 0xAA: case 0xAB: case 0xAE: case 0xAF: clear(7); break;
  case 0x6E: case 0x6F: case 0xAC: case 0xAD: clear(6); break;
  case 0xA4: case 0xA5: case 0xA6: case 0xA7: clear(6); clear(7); break;
  case 0x99: clear(2); break;
  case 0x80: case 0x81: case 0x82: case 0x83:
    if (d.reg != 7) clear(rmCell);
    break;
  case 0xC8: case 0xC9: clear(5); break;
  case 0xDF:
    if (regForm && d.reg == 4 && d.rm == 0) clear(0);
    break;
  case 0xE0: case 0xE1: case 0xE2: clear(1); break;
  case 0xF7:
    if (d.reg >= 4) clear(2);
    break;
  case 0xFF:
    if (d.reg <= 1) clear(rmCell);
    break;
  case 0x0F00:
    if (d.reg <= 1) clear(rmCell);
    break;
  case 0x0F01:
    if (d.reg == 4) clear(rmCell);
    break;
  case 0x0F2C: case 0x0F2D:
    if (d.rep || d.repne) clear(d.reg);
    break;
  case 0x0F31: case 0x0F32: case 0x0F33: case 0x0FC7: clear(2); break;
  case 0x0F7E: case 0x0F7F:
    if (!d.rep) clear(rmCell);
    break;
  case 0x0FA2: clear(0); clear(1); clear(2); clear(3); break;
  case 0x0FBA:
    if (d.reg >= 5) clear(rmCell);
    break;
  default: break;
  }
}

int ImmediateSize(const DecodeDetails& d) {
  switch (ImmKind(d.flags)) {
  case 1: return 1;
  case 2: return 2;
  case 3: return d.operandSize;
  default: break;
  }
  switch (d.opcode) {
  case 0x9A: case 0xEA: return d.operandSize + 2;
  case 0xA0: case 0xA1: case 0xA2: case 0xA3: return d.addressSizePrefix ? 2 : 4;
  case 0xC8: return 3;
  default: return 0;
  }
}

const GroupRow* FindGroup(std::uint16_t opcode) {
  for (const auto& row : kGroups)
    if (row.opcode == opcode) return &row;
  return nullptr;
}

// Reads ModR/M, SIB and displacement; false on a read fault.
bool DecodeModRm(ByteCursor& c, DecodeDetails& d, InstructionRecord& rec) {
  std::uint8_t m;
  if (!c.Byte(m)) return false;
  rec.modRm = m;
  d.hasModRm = true;
  const int mod = m >> 6;
  const int rm = m & 7;
  d.reg = (m >> 3) & 7;
  d.modIsMemory = m < 0xC0;
  if (!d.modIsMemory) {
    d.rm = rm;
    return true;
  }
  if (d.addressSizePrefix) {
    static constexpr int kBase16[8] = {3, 3, 5, 5, 6, 7, 5, 3};  // bx bx bp bp si di bp bx
    d.dispSize = mod == 1 ? 1 : mod == 2 ? 2 : 0;
    if (rm < 4) {
      d.index = (rm & 1) ? 7 : 6;
      d.scale = 1;
    }
    if (mod == 0 && rm == 6) {
      d.rm = -1;
      d.dispSize = 2;
    } else {
      d.rm = kBase16[rm];
    }
  } else {
    d.dispSize = mod == 1 ? 1 : mod == 2 ? 4 : 0;
    int base = rm;
    if (rm == 4) {
      std::uint8_t sib;
      if (!c.Byte(sib)) return false;
      base = sib & 7;
      const int index = (sib >> 3) & 7;
      if (index != 4) {
        d.index = index;
        d.scale = 1 << (sib >> 6);
      }
    }
    if (mod == 0 && base == 5) {
      base = -1;
      d.dispSize = 4;
    }
    d.rm = base;
  }
  d.dispLocation = c.Here();
  return c.Value(d.dispSize, d.disp);
}

}  // namespace

void DecodeInstruction(const MemoryReader& code, Address va, RegisterState* regs, bool useRegisters,
                       const MemoryReader* cellReader, InstructionRecord& rec, DecodeDetails& d) {
  rec = InstructionRecord{};
  d = DecodeDetails{};
  rec.start = va;
  if (va == 0) return;

  ByteCursor c(code, va);
  auto stop = [&] { rec.next = c.Here(); };

  std::uint8_t b;
  if (!c.Byte(b)) return stop();
  for (;;) {
    bool prefix = true;
    switch (b) {
    case 0x66: d.operandSizePrefix = true; d.operandSize = 2; break;
    case 0x67: d.addressSizePrefix = true; break;
    case 0xF0: d.lock = true; break;
    case 0xF2: d.repne = true; d.lastRepPrefix = 0xF2; break;
    case 0xF3: d.rep = true; d.lastRepPrefix = 0xF3; break;
    case 0x26: d.segment = 1; break;
    case 0x2E: d.segment = 2; break;
    case 0x36: d.segment = 3; break;
    case 0x3E: d.segment = 4; break;
    case 0x64: d.segment = 5; break;
    case 0x65: d.segment = 6; break;
    default: prefix = false; break;
    }
    if (!prefix) break;
    if (!c.Byte(b)) return stop();
  }

  const OpEntry* entry = &kOneByte[b];
  d.opcode = b;
  if (b == 0x0F) {
    if (!c.Byte(b)) return stop();
    d.opcode = static_cast<std::uint16_t>(0x0F00 | b);
    entry = &kTwoByte[b];
  }
  rec.opcode = d.opcode;
  d.flags = entry->flags;
  d.mnemonic = entry->mnemonic;
  std::uint8_t form = entry->form;
  if (d.opcode > 0xFF) {
    if (const std::uint8_t p = SelectingPrefix(d)) {
      for (const auto& o : kPrefixOverrides) {
        if (o.opcode == (d.opcode & 0xFF) && o.prefix == p) {
          d.flags = o.flags;
          form = o.form;
          break;
        }
      }
    }
  }
  if (d.flags == BAD) return stop();

  if (ModRmKind(d.flags) != 0) {
    if (!DecodeModRm(c, d, rec)) return stop();
    if (ModRmKind(d.flags) == 1) {
      const GroupRow* row = FindGroup(d.opcode);
      d.flags = d.modIsMemory ? row->memory[static_cast<std::size_t>(d.reg)]
                              : row->registers[static_cast<std::size_t>(d.reg)];
      if (d.flags == BAD) return stop();
    }
  }

  d.immSize = ImmediateSize(d);
  d.immLocation = c.Here();
  if (!c.Value(d.immSize, d.imm)) return stop();
  rec.next = c.Here();

  bool valid = !(form == MemOnly && !d.modIsMemory) && !(form == RegOnly && d.modIsMemory);
  if (valid && d.hasModRm) valid = ModRmValid(d, d.opcode, rec.modRm);
  if (valid && d.opcode == 0x0F0F) valid = k3DNowValid.Has(static_cast<std::uint8_t>(d.imm));
  if (valid) {
    rec.valid = true;
    ClassifyBranch(code, cellReader ? *cellReader : code, regs, useRegisters, d, rec);
    if (regs && rec.valid) TrackRegisters(d, *regs);
  }

  if ((rec.isCall || rec.isJump) && rec.target == rec.next) {
    rec.isCall = rec.isJump = false;
    rec.target = rec.targetOperandLocation = rec.targetCellOperandLocation = 0;
    rec.targetSize = 0;
    rec.enlargeable = false;
  }
}

void DecodeInstructionEx(const MemoryReader& code, Address va, RegisterState* regs, bool useRegisters,
                         InstructionRecord& rec, const MemoryReader* cellReader) {
  DecodeDetails d;
  DecodeInstruction(code, va, regs, useRegisters, cellReader, rec, d);
}

void DecodeInstructionAt(const MemoryReader& code, Address va, InstructionRecord& rec) {
  DecodeInstructionEx(code, va, nullptr, false, rec, nullptr);
}

void DecodeInstructionChecked(const MemoryReader& code, Address va, const MemoryReader& cellReader,
                              InstructionRecord& rec) {
  DecodeInstructionEx(code, va, nullptr, false, rec, &cellReader);
}

// --- Assembler text ------------------------------------------------------------
//
// The line is written straight into fixed buffers and the caller's string:
// no temporary strings per instruction, so a caller that reuses its string
// allocates nothing once it is large enough.

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// Text of bounded length in place: an operand, or the line before its comment.
// Writes beyond the room are dropped; every caller's text fits (the longest
// operand, "dword ptr fs:[eax+eax*8-$80000000]", has 34 characters).
template <std::size_t Room>
class FixedText {
public:
  void Add(char c) {
    if (size_ < Room) text_[size_++] = c;
  }
  void Add(std::string_view s) {
    const std::size_t n = s.size() < Room - size_ ? s.size() : Room - size_;
    std::memcpy(text_ + size_, s.data(), n);
    size_ += n;
  }
  void PadTo(std::size_t width) {
    while (size_ < width && size_ < Room) text_[size_++] = ' ';
  }
  bool Empty() const { return size_ == 0; }
  char Back() const { return text_[size_ - 1]; }
  std::string_view View() const { return {text_, size_}; }

private:
  char text_[Room];
  std::size_t size_ = 0;
};

using Operand = FixedText<64>;
using LineHead = FixedText<192>;

// "$" and lower-case hex without leading zeros: the text of HexStrPadded(v, 1, '0').
// TODO(fold): call qelStrings' HexStrPadded once the decoder library may link the core library.
template <typename Out>
void AddDollarHex(Out& out, std::uint32_t v) {
  char buf[9];
  char* p = buf + sizeof buf;
  do {
    *--p = kHexDigits[v & 15];
    v >>= 4;
  } while (v != 0);
  *--p = '$';
  out.Add(std::string_view(p, static_cast<std::size_t>(buf + sizeof buf - p)));
}

// 0..9 in decimal, else "$" hex.
template <typename Out>
void AddUnsignedValue(Out& out, std::uint32_t v) {
  if (v <= 9) out.Add(static_cast<char>('0' + v));
  else AddDollarHex(out, v);
}

// -9..9 in decimal, else "$" hex; negatives with "-", and "+" for positives when asked.
template <typename Out>
void AddSignedValue(Out& out, std::int32_t v, bool plus) {
  const bool negative = v < 0;
  if (negative) out.Add('-');
  else if (plus && v > 0) out.Add('+');
  AddUnsignedValue(out, negative ? 0u - static_cast<std::uint32_t>(v) : static_cast<std::uint32_t>(v));
}

// Eight lower-case hex digits.
template <typename Out>
void AddAddress(Out& out, Address va) {
  char buf[8];
  for (int i = 7; i >= 0; --i) {
    buf[i] = kHexDigits[va & 15];
    va >>= 4;
  }
  out.Add(std::string_view(buf, 8));
}

std::uint32_t Masked(std::int32_t v, int size) {
  const auto u = static_cast<std::uint32_t>(v);
  if (size == 1) return u & 0xFF;
  if (size == 2) return u & 0xFFFF;
  return u;
}

// Item i of s split at sep, or empty when s has fewer items.
std::string_view Item(std::string_view s, char sep, std::size_t i) {
  std::size_t from = 0;
  for (; i > 0; --i) {
    const std::size_t at = s.find(sep, from);
    if (at == std::string_view::npos) return {};
    from = at + 1;
  }
  const std::size_t at = s.find(sep, from);
  return at == std::string_view::npos ? s.substr(from) : s.substr(from, at - from);
}

std::size_t ItemCount(std::string_view s, char sep) {
  std::size_t n = 1;
  for (const char ch : s) n += ch == sep;
  return n;
}

// The part of the mnemonic's text that the prefixes and the ModR/M byte pick;
// its "%cc", "%seg", "S" and "P" marks are resolved as it is written.
struct MnemonicChoice {
  std::string_view text;
  bool usedRepPrefix = false;  // F2/F3 picked the variant and is no prefix of its own
};

MnemonicChoice ChooseMnemonic(const DecodeDetails& d) {
  MnemonicChoice out;
  if (d.mnemonic == 0) {
    if (d.opcode == 0x0F0F) {
      const auto suffix = static_cast<std::uint8_t>(d.imm);
      for (const auto& s : k3DNow)
        if (s.suffix == suffix) out.text = s.name;
    }
    return out;
  }
  std::string_view v = kMnemonics[d.mnemonic];
  if (v.find('/') != std::string_view::npos) {
    std::string_view chosen;
    if (d.lastRepPrefix == 0xF2) chosen = Item(v, '/', 2);
    else if (d.lastRepPrefix == 0xF3) chosen = Item(v, '/', 3);
    if (!chosen.empty()) out.usedRepPrefix = true;
    if (chosen.empty() && d.operandSizePrefix) chosen = Item(v, '/', 1);
    if (chosen.empty()) chosen = Item(v, '/', 0);
    v = chosen;
  }
  if (v.find('|') != std::string_view::npos && d.reg >= 0) {
    if (!d.modIsMemory && ItemCount(v, '|') >= 9) {
      v = Item(v, '|', static_cast<std::size_t>(d.reg) + 8);
      if (v.find('-') != std::string_view::npos) v = Item(v, '-', static_cast<std::size_t>(d.rm));
    } else {
      v = Item(v, '|', static_cast<std::size_t>(d.reg));
    }
  }
  if (const std::size_t colon = v.find(':'); colon != std::string_view::npos)
    v = d.modIsMemory ? v.substr(colon + 1) : v.substr(0, colon);
  out.text = v;
  return out;
}

template <typename Out>
void AddMnemonic(Out& out, const DecodeDetails& d, std::string_view v) {
  const std::uint16_t op = d.opcode;
  if (op == 0xE3 && d.addressSizePrefix) {
    out.Add("jcxz");
    return;
  }
  if (op >= 0xD8 && op <= 0xDF && !v.empty()) out.Add('f');
  const char s = (d.operandSizePrefix || d.lastRepPrefix == 0xF2) && d.lastRepPrefix != 0xF3 ? 'd' : 's';
  const char p = d.lastRepPrefix ? 's' : 'p';
  for (std::size_t i = 0; i < v.size(); ++i) {
    const char ch = v[i];
    if (ch == '%') {
      if (v.substr(i + 1, 2) == "cc") {
        out.Add(kConditions[op & 15]);
        i += 2;
        continue;
      }
      if (v.substr(i + 1, 3) == "seg") {
        out.Add(kRegisterNames[2][(op >> 3) & 7]);
        i += 3;
        continue;
      }
    }
    out.Add(ch == 'S' ? s : ch == 'P' ? p : ch);
  }
}

int OperandMemSize(const DecodeDetails& d) {
  static constexpr int kSizes[8] = {0, 0, 1, 2, 4, 8, 10, 16};
  const int kind = ModRmKind(d.flags);
  int size = kSizes[kind];
  if ((d.flags & M66) && d.operandSizePrefix) {
    if (size == 4) size = 2;
    else if (size == 8) size = 16;
  }
  return size;
}

void AddFpuRegister(Operand& out, int n) {
  out.Add("st");
  if (n == 0) return;
  out.Add('(');
  out.Add(static_cast<char>('0' + n));
  out.Add(')');
}

void AddRegister(Operand& out, int size, int n) {
  n &= 7;
  switch (size) {
  case 1: out.Add(kRegisterNames[0][n]); break;
  case 2: out.Add(kRegisterNames[1][n]); break;
  case 4: out.Add(kRegisterNames[3][n]); break;
  case 8: out.Add("mm"); out.Add(static_cast<char>('0' + n)); break;
  case 10: AddFpuRegister(out, n); break;
  case 16: out.Add("xmm"); out.Add(static_cast<char>('0' + n)); break;
  default: break;
  }
}

void AddRegisterOperand(Operand& out, const DecodeDetails& d) {
  const int kind = RegKind(d.flags);
  const bool word = (d.flags & R66) && d.operandSizePrefix;
  if (d.hasModRm) {
    switch (kind) {
    case 1: AddRegister(out, 1, d.reg); break;
    case 2: AddRegister(out, 2, d.reg); break;
    case 3:
      if (d.opcode > 0xFF) {
        out.Add((d.opcode & 1) ? "dr" : "cr");
        out.Add(static_cast<char>('0' + d.reg));
      } else {
        out.Add(kRegisterNames[2][d.reg]);
      }
      break;
    case 4: AddRegister(out, word ? 2 : 4, d.reg); break;
    case 5: AddRegister(out, word ? 16 : 8, d.reg); break;
    case 6: AddFpuRegister(out, 0); break;
    case 7: AddRegister(out, 16, d.reg); break;
    default: break;
    }
    return;
  }
  const int low = d.opcode & 7;
  switch (kind) {
  case 1: out.Add("al"); break;
  case 2: out.Add(word ? "ax" : "eax"); break;
  case 4: AddRegister(out, 1, low); break;
  case 5: AddRegister(out, word ? 2 : 4, low); break;
  case 6:
    AddRegister(out, word ? 2 : 4, 0);
    out.Add(", ");
    AddRegister(out, word ? 2 : 4, low);
    break;
  case 7: {
    const std::string_view acc = (d.opcode & 1) ? (word ? "ax" : "eax") : "al";
    if (d.flags & MF) {
      out.Add("dx, ");
      out.Add(acc);
    } else {
      out.Add(acc);
      out.Add(", dx");
    }
    break;
  }
  default: break;
  }
}

void AddSegmentPrefix(Operand& out, const DecodeDetails& d) {
  if (d.segment == 0) return;
  out.Add(kRegisterNames[2][d.segment - 1]);
  out.Add(':');
}

std::string_view SizeKeyword(int size) {
  switch (size) {
  case 1: return "byte";
  case 2: return "word";
  case 4: return "dword";
  case 8: return "qword";
  case 10: return "tbyte";
  case 16: return "oword";
  default: return "";
  }
}

void AddModRm(Operand& s, const DecodeDetails& d) {
  if (d.flags & EXT) {
    s.Add(SizeKeyword(OperandMemSize(d)));
    s.Add(" ptr ");
  }
  AddSegmentPrefix(s, d);
  s.Add('[');
  const int row = d.addressSizePrefix ? 1 : 3;
  bool any = false;  // a "+" right after "[" is left out
  if (d.rm >= 0) {
    s.Add(kRegisterNames[row][d.rm]);
    any = true;
  }
  if (d.index >= 0) {
    if (any) s.Add('+');
    s.Add(kRegisterNames[row][d.index]);
    if (d.scale > 1) {
      s.Add('*');
      s.Add(static_cast<char>('0' + d.scale));
    }
    any = true;
  }
  if (d.dispSize > 0) {
    if (!any) AddUnsignedValue(s, Masked(d.disp, d.dispSize));
    else if (d.disp == 0) s.Add("+0");
    else AddSignedValue(s, d.disp, true);
  }
  s.Add(']');
}

void AddImmediateParts(Operand& out, const MemoryReader& code, const DecodeDetails& d) {
  // Far pointer (offset, then segment) and enter (size, level) are no plain values.
  std::uint8_t b[6] = {};
  if (!code.Read(d.immLocation, b, static_cast<std::size_t>(d.immSize))) {
    out.Add('?');
    return;
  }
  if (d.opcode == 0xC8) {
    const std::uint32_t size = b[0] | (std::uint32_t{b[1]} << 8);
    const std::uint32_t level = b[2];
    AddUnsignedValue(out, size);
    if (level != 0) {
      out.Add(", ");
      AddUnsignedValue(out, level);
    }
    return;
  }
  const int offsetSize = d.immSize - 2;
  std::uint32_t offset = 0;
  for (int i = 0; i < offsetSize; ++i) offset |= std::uint32_t{b[i]} << (8 * i);
  const std::uint32_t segment = b[offsetSize] | (std::uint32_t{b[offsetSize + 1]} << 8);
  AddUnsignedValue(out, segment);
  out.Add(':');
  AddUnsignedValue(out, offset);
}

void AddImmediate(Operand& out, const MemoryReader& code, const DecodeDetails& d, const InstructionRecord& rec) {
  const std::uint16_t op = d.opcode;
  if (d.immSize == 0 || op == 0x0F0F) return;
  if ((op == 0xD4 || op == 0xD5) && d.imm == 0x0A) return;
  if (op == 0xC8 || op == 0x9A || op == 0xEA) return AddImmediateParts(out, code, d);
  if (d.flags & REL) {
    Address target = rec.next + static_cast<Address>(d.imm);
    if (d.operandSizePrefix) target &= 0xFFFF;
    AddSignedValue(out, d.imm, true);
    out.Add(" (");
    AddDollarHex(out, target);
    out.Add(')');
    return;
  }
  if (op == 0x69 || op == 0x6B || (op >= 0x80 && op <= 0x83)) return AddSignedValue(out, d.imm, false);
  if ((op >= 0xA0 && op <= 0xA3) || ((d.flags & EXT) && !d.hasModRm)) {
    AddSegmentPrefix(out, d);
    out.Add('[');
    AddUnsignedValue(out, Masked(d.imm, d.immSize));
    out.Add(']');
    return;
  }
  if (op == 0x6A) return AddUnsignedValue(out, Masked(d.imm, d.operandSizePrefix ? 2 : 4));
  AddUnsignedValue(out, Masked(d.imm, d.immSize));
}

void PadTo(std::string& s, std::size_t width) {
  if (s.size() < width) s.append(width - s.size(), ' ');
}

std::string_view FileNamePart(std::string_view path) {
  const std::size_t slash = path.find_last_of('\\');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Routine name for a target; a jump thunk inside the module lends its target's name.
std::string TargetName(const DisAsmEnvironment& env, Address target) {
  ModuleInfo module;
  const bool inModule = env.symbols->ModuleOfAddress(target, module);
  std::string name = ProcNameOfAddress(env.symbols, inModule ? &module : nullptr, target);
  if (name.empty() && inModule) {
    InstructionRecord thunk;
    DecodeInstructionAt(env.code, target, thunk);
    if (thunk.valid && (thunk.isCall || thunk.isJump) && thunk.target != 0) {
      ModuleInfo other;
      const bool otherKnown = env.symbols->ModuleOfAddress(thunk.target, other);
      name = ProcNameOfAddress(env.symbols, otherKnown ? &other : nullptr, thunk.target);
      if (otherKnown) module = std::move(other);
    }
  }
  if (!name.empty() && !module.isMainProgram && !module.fileName.empty()) {
    name += " (";
    name += FileNamePart(module.fileName);
    name += ')';
  }
  return name;
}

bool InsideImage(const ModuleInfo& m, Address va) {
  return va >= m.base && va - m.base < m.imageSize;
}

// Length of the text at va when the bytes look like a readable string, else 0.
std::size_t ScanString(const MemoryReader& code, Address va, std::uint8_t (&bytes)[100]) {
  std::size_t avail = 0;
  if (code.Read(va, bytes, sizeof bytes)) {
    avail = sizeof bytes;
  } else {
    while (avail < sizeof bytes && code.Read(va + static_cast<Address>(avail), bytes + avail, 1)) ++avail;
  }
  int letters = 0, separators = 0, marks = 0, others = 0;
  std::size_t n = 0;
  bool ended = false;
  for (; n < avail; ++n) {
    const std::uint8_t ch = bytes[n];
    // CR ends a string like LF does: texts with CR LF line ends are ordinary.
    if (ch == 0 || ch == 10 || ch == 12 || ch == 13) {
      ended = true;
      break;
    }
    if (ch < 32) return 0;
    if ((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == ' ') ++letters;
    else if (ch == ',' || ch == '.' || ch == ':' || ch == '\\') ++separators;
    else if (ch >= '!' && ch <= ']') ++marks;
    else ++others;
  }
  if (!ended && n < sizeof bytes) return 0;  // ran into unreadable memory
  if (n < 4) return 0;
  if (!(2 * letters > 5 * separators)) return 0;
  if (!(letters + separators / 2 > 8 * marks)) return 0;
  if (!(letters + separators / 2 + marks / 4 > 10 * others)) return 0;
  return n;
}

// The comment's text after its column: a routine name, or a string in quotes.
void AddComment(std::string& line, std::string_view text, bool quoted) {
  PadTo(line, 40);
  line += quoted ? "  ; '" : "  ; ";
  line += text;
  if (quoted) line += '\'';
}

bool AddDataComment(std::string& line, const DisAsmEnvironment& env, Address va, bool throughCell) {
  ModuleInfo module;
  if (!env.symbols->ModuleOfAddress(va, module)) return false;
  if (va - module.base + 100 > module.imageSize) return false;
  Address lookup = va;
  if (throughCell) {
    std::uint32_t cell = 0;
    if (ReadDword(env.code, va, cell) && InsideImage(module, cell)) lookup = cell;
  }
  if (const std::string name = TargetName(env, lookup); !name.empty()) {
    AddComment(line, name, false);
    return true;
  }
  std::uint8_t bytes[100];
  if (const std::size_t n = ScanString(env.code, va, bytes); n != 0) {
    AddComment(line, std::string_view(reinterpret_cast<const char*>(bytes), n), true);
    return true;
  }
  return false;
}

void AddCommentOf(std::string& line, const DisAsmEnvironment& env, const DecodeDetails& d,
                  const InstructionRecord& rec) {
  if (!env.symbols) return;
  if ((rec.isCall || rec.isJump) && rec.target != 0) {
    if (const std::string name = TargetName(env, rec.target); !name.empty()) AddComment(line, name, false);
    return;
  }
  if (d.dispSize == 4 && AddDataComment(line, env, static_cast<Address>(d.disp), true)) return;
  if (d.immSize == 4 && d.opcode != 0x9A && d.opcode != 0xEA)
    AddDataComment(line, env, static_cast<Address>(d.imm), (d.flags & EXT) != 0);
}

void WriteUndecodable(std::string& text, const MemoryReader& code, const InstructionRecord& rec) {
  const Address end = rec.next > rec.start ? rec.next : rec.start + 1;
  text.clear();
  for (Address a = rec.start; a != end; ++a) {
    std::uint8_t b;
    if (!code.Read(a, &b, 1)) break;
    LineHead line;
    if (!text.empty()) line.Add("\r\n");
    AddAddress(line, a);
    line.Add("   db $");
    line.Add(kHexDigits[b >> 4]);
    line.Add(kHexDigits[b & 15]);
    text += line.View();
  }
  if (text.empty()) {
    LineHead line;
    AddAddress(line, rec.start);
    line.Add("   db ??");
    text = line.View();
  }
}

}  // namespace

void DisassembleInstruction(const DisAsmEnvironment& env, Address va, std::string& text, RegisterState* regs,
                            InstructionRecord& rec, bool useRegisters) {
  DecodeDetails d;
  DecodeInstruction(env.code, va, regs, useRegisters, nullptr, rec, d);
  if (!rec.valid) return WriteUndecodable(text, env.code, rec);

  const MnemonicChoice mnemonic = ChooseMnemonic(d);
  LineHead line;
  AddAddress(line, va);
  line.Add("   ");
  if (d.lock) line.Add("lock ");
  if (d.opcode < 0xFF && !mnemonic.usedRepPrefix) {
    if (d.repne) line.Add("repne ");
    if (d.rep) line.Add("rep ");
  }
  AddMnemonic(line, d, mnemonic.text);

  Operand operands[3];
  int count = 0;
  AddRegisterOperand(operands[count], d);
  if (!operands[count].Empty()) ++count;
  // lfence, mfence and sfence are the register forms of 0F AE and take no operand
  const bool fence = d.opcode == 0x0FAE && !d.modIsMemory;
  if (d.hasModRm && ModRmKind(d.flags) >= 2 && !fence) {
    if (d.modIsMemory) AddModRm(operands[count], d);
    else AddRegister(operands[count], OperandMemSize(d), d.rm);
    ++count;
  }
  AddImmediate(operands[count], env.code, d, rec);
  if (!operands[count].Empty()) ++count;
  int order[3] = {0, 1, 2};
  if ((d.flags & MF) && count >= 2) std::swap(order[0], order[1]);

  const std::uint16_t op = d.opcode;
  const std::string_view implicit = op == 0xD0 || op == 0xD1                                     ? ", 1"
                                    : op == 0xD2 || op == 0xD3 || op == 0x0FA5 || op == 0x0FAD ? ", cl"
                                                                                                 : "";
  if (count > 0 || !implicit.empty()) {
    line.PadTo(19);
    if (line.Back() != ' ') line.Add(' ');
    for (int i = 0; i < count; ++i) {
      if (i) line.Add(", ");
      line.Add(operands[order[i]].View());
    }
    line.Add(implicit);
  }
  text = line.View();
  AddCommentOf(text, env, d, rec);
}

std::string AddrHex(Address va, bool fixedWidth) {
  char buf[8];
  for (int i = 7; i >= 0; --i) {
    buf[i] = kHexDigits[va & 15];
    va >>= 4;
  }
  std::string_view s(buf, 8);
  if (!fixedWidth) {
    const std::size_t first = s.find_first_not_of('0');
    s = first == std::string_view::npos ? s.substr(7) : s.substr(first);
  }
  return std::string(s);
}

std::string ProcNameOfAddress(const Symbolizer* symbols, const ModuleInfo* module, Address va) {
  std::string name;
  if (symbols && module) name = symbols->ExportNameAt(*module, va);
  if (name.empty() && NameProviderHook) NameProviderHook(va, name);
  return name;
}

std::string FpuRegName(int n) {
  if (n == 0) return "st";
  return "st(" + std::to_string(n) + ")";
}

}  // namespace qel
