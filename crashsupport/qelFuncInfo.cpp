#include "qelFuncInfo.h"

#include "qelStrings.h"

#include <algorithm>
#include <cstddef>
#include <exception>
#include <optional>
#include <utility>

namespace qel {

RuntimeRoutineAddresses RuntimeRoutines;
Address ExceptionFrameRoutine = 0;

Address AnyExceptHandlerAddr() { return RuntimeRoutines.anyExceptHandler; }
Address OnExceptHandlerAddr() { return RuntimeRoutines.onExceptHandler; }
Address AutoExceptHandlerAddr() { return RuntimeRoutines.autoExceptHandler; }
Address FinallyHandlerAddr() { return RuntimeRoutines.finallyHandler; }
Address HaltRoutineAddr() { return RuntimeRoutines.haltRoutine; }

namespace {

bool ReadU32(const MemoryReader& m, Address va, std::uint32_t& v) {
  std::uint8_t b[4];
  if (va == 0 || !m.Read(va, b, 4)) return false;
  v = b[0] | (std::uint32_t{b[1]} << 8) | (std::uint32_t{b[2]} << 16) | (std::uint32_t{b[3]} << 24);
  return true;
}

bool ReadU16(const MemoryReader& m, Address va, std::uint16_t& v) {
  std::uint8_t b[2];
  if (va == 0 || !m.Read(va, b, 2)) return false;
  v = static_cast<std::uint16_t>(b[0] | (b[1] << 8));
  return true;
}

bool HasTargetField(const InstructionRecord& r) {
  return r.targetOperandLocation != 0 || r.targetCellOperandLocation != 0;
}

// Longest list of a foreign exception-frame descriptor that is followed, and
// the most handlers a typed exception block's table may have.
constexpr int kMaxFrameListEntries = 4096;
constexpr std::uint32_t kMaxHandlerTableEntries = 4096;

class Analyser {
public:
  Analyser(const AnalyserEnvironment& env, const MemoryReader& memory, FunctionInfo& info)
      : env_(env), mem_(memory), info_(info) {}

  void Run(Address entry);

private:
  struct Snapshot {
    std::vector<CodeArea> areas;  // whole: a guessed walk may also cut known areas
    std::vector<FarCall> farCalls;
    std::vector<UnknownTarget> unknowns;
    std::int32_t copySize;
  };

  bool InBounds(Address va) const { return va >= first_ && va <= last_; }
  void Decode(Address va, RegisterState* regs, bool useRegisters, InstructionRecord& rec, DecodeDetails& d) const {
    DecodeInstruction(mem_, va, regs, useRegisters, &mem_, rec, d);
  }

  void AddCodeTarget(Address target, Address source, const RegisterState& regs);
  void AddTable(Address start, std::uint32_t size, bool caseTable);
  bool WalkArea(std::size_t index);
  void RecordBranch(const InstructionRecord& rec, const RegisterState& regs);
  void HandlerTargets(Address target, const InstructionRecord& rec, const RegisterState& regs);
  void ForeignFrameTargets(const InstructionRecord& call, const RegisterState& regs);
  bool SecondPass();
  std::optional<Address> GapStart() const;
  void Fail(Address at);
  void PatchableTest();

  const AnalyserEnvironment& env_;
  const MemoryReader& mem_;
  FunctionInfo& info_;
  Address first_ = 0, last_ = 0;  // inclusive code bounds
  std::vector<CodeArea>& areas() { return info_.codeAreas; }
  // The walk in progress: the area it fills and the first address it must not pass.
  std::optional<std::size_t> walked_;
  std::uint64_t limit_ = 0;
};

void Analyser::AddCodeTarget(Address target, Address source, const RegisterState& regs) {
  auto& as = areas();
  for (std::size_t i = 0; i < as.size(); ++i) {
    CodeArea& a = as[i];
    if (a.start == target) {
      if (source != 0 && source < target && source > a.reachedFrom) a.reachedFrom = source;
      for (std::size_t r = 0; r < 8; ++r)
        if (a.registers[r] != regs[r]) a.registers[r] = 0;
      return;
    }
  }
  for (std::size_t i = 0; i < as.size(); ++i) {
    CodeArea& a = as[i];
    // Tables are not cut: a target inside one is left to stand apart.
    if (a.caseTable || a.exceptionTable || a.end == 0 || !(a.start < target && target <= a.end)) continue;
    CodeArea tail;
    tail.start = target;
    tail.end = a.end;
    tail.reachedFrom = source;
    tail.registers = regs;
    for (std::size_t r = 0; r < 8; ++r)
      if (tail.registers[r] != a.registers[r]) tail.registers[r] = 0;
    a.end = target - 1;
    const bool walking = walked_ && *walked_ == i;
    as.push_back(tail);
    if (walking) walked_ = as.size() - 1;
    return;
  }
  CodeArea fresh;
  fresh.start = target;
  fresh.reachedFrom = source;
  fresh.registers = regs;
  as.push_back(fresh);
  if (walked_ && target > as[*walked_].start && target < limit_) limit_ = target;
}

void Analyser::AddTable(Address start, std::uint32_t size, bool caseTable) {
  CodeArea t;
  t.start = start;
  t.end = start + size - 1;
  t.caseTable = caseTable;
  t.exceptionTable = !caseTable;
  areas().push_back(t);
  if (walked_ && start > areas()[*walked_].start && start < limit_) limit_ = start;
}

bool Analyser::WalkArea(std::size_t index) {
  walked_ = index;
  const Address start = areas()[index].start;
  limit_ = std::uint64_t{last_} + 1;
  for (const CodeArea& a : areas())
    if (a.start > start && a.start < limit_) limit_ = a.start;

  RegisterState regs = areas()[index].registers;
  Address at = start;
  // Exception frame set-up: push imm32 directly followed by an fs: push.
  std::optional<Address> pushedHandler;
  // Case table pattern: 0 idle, 1 after cmp reg, imm8, 2 after the bounds branch.
  int caseStep = 0;
  std::uint32_t caseCount = 0;
  int caseRegister = -1;

  for (;;) {
    InstructionRecord rec;
    DecodeDetails d;
    const RegisterState before = regs;
    Decode(at, &regs, false, rec, d);
    if (!rec.valid || rec.next <= at || rec.next > limit_) {
      Fail(rec.next > at ? rec.next : at);
      return false;
    }
    areas()[*walked_].end = rec.next - 1;
    const std::uint16_t op = rec.opcode;
    if (op == 0xC2 || op == 0xC3 || op == 0xCA || op == 0xCB || op == 0xCF) break;

    // A frame handler is pushed just before the frame is linked in at fs:[0].
    std::optional<Address> handler;
    if (pushedHandler && d.segment == 5 && op == 0xFF && d.reg == 6 && d.modIsMemory && d.index < 0) {
      const bool throughRegister = d.rm >= 0 && d.dispSize == 0 && before[static_cast<std::size_t>(d.rm)] == 0;
      const bool absoluteZero = d.rm < 0 && d.dispSize == 4 && d.disp == 0;
      if (throughRegister || absoluteZero) handler = pushedHandler;
    }
    pushedHandler.reset();
    if (op == 0x68 && rec.next - rec.start == 5) {
      std::uint8_t following = 0;
      if (mem_.Read(rec.next, &following, 1) && following == 0x64) pushedHandler = static_cast<Address>(d.imm);
    }
    // A handler outside the bounds is not this routine's code.
    if (handler && InBounds(*handler)) AddCodeTarget(*handler, 0, regs);

    // cmp reg, imm8 / ja or jae / jmp [table + reg*4] with the table right after the jmp.
    bool caseTableFound = false;
    if (caseStep == 2 && op == 0xFF && d.reg == 4 && d.modIsMemory && d.rm < 0 && d.index == caseRegister &&
        d.scale == 4 && d.dispSize == 4 && static_cast<Address>(d.disp) == rec.next && !d.addressSizePrefix) {
      // a table that would run out of the bounds is none
      caseTableFound = std::uint64_t{rec.next} + std::uint64_t{caseCount} * 4 <= std::uint64_t{last_} + 1;
      caseStep = 0;
    } else if (caseStep == 1 && (op == 0x77 || op == 0x7F || op == 0x0F87 || op == 0x0F8F)) {
      ++caseCount;
      caseStep = 2;
    } else if (caseStep == 1 && (op == 0x73 || op == 0x7D || op == 0x0F83 || op == 0x0F8D)) {
      caseStep = 2;
    } else if (op == 0x83 && rec.modRm >= 0xF8 && !d.operandSizePrefix && d.imm >= 0) {
      // a negative imm8 is sign-extended: no bounded index follows from it
      caseStep = 1;
      caseCount = static_cast<std::uint32_t>(d.imm);
      caseRegister = rec.modRm & 7;
    } else {
      caseStep = 0;
    }
    if (caseTableFound) {
      if (caseCount != 0) {
        AddTable(rec.next, caseCount * 4, true);
        for (std::uint32_t i = 0; i < caseCount; ++i) {
          std::uint32_t target = 0;
          if (ReadU32(mem_, rec.next + 4 * i, target)) AddCodeTarget(target, rec.start, regs);
        }
      }
      break;
    }

    const bool halts = rec.isCall && HaltRoutineAddr() != 0 && HasTargetField(rec) && rec.target == HaltRoutineAddr();
    if (rec.isCall || rec.isJump) RecordBranch(rec, regs);
    const bool unconditional =
        op == 0xE9 || op == 0xEA || op == 0xEB || (op == 0xFF && (d.reg == 4 || d.reg == 5));
    if (unconditional && rec.isJump) break;
    if (halts) break;

    if (regs != before || rec.next >= limit_) {
      AddCodeTarget(rec.next, 0, regs);
      break;
    }
    at = rec.next;
  }
  walked_.reset();
  return true;
}

void Analyser::ForeignFrameTargets(const InstructionRecord& call, const RegisterState& regs) {
  // The descriptor's address is the last constant loaded into eax before the call.
  const CodeArea* entryArea = nullptr;
  for (const CodeArea& a : areas())
    if (a.start == info_.entry) entryArea = &a;
  if (!entryArea) return;
  std::optional<Address> descriptor;
  for (Address at = entryArea->start; at < call.start;) {
    InstructionRecord rec;
    DecodeDetails d;
    Decode(at, nullptr, false, rec, d);
    if (!rec.valid || rec.next <= at) break;
    if (rec.opcode == 0xB8 && !d.operandSizePrefix) descriptor = static_cast<Address>(d.imm);
    at = rec.next;
  }
  if (!descriptor) return;
  std::uint16_t kind = 0;
  if (!ReadU16(mem_, *descriptor + 10, kind)) return;
  std::uint32_t value = 0;
  switch (kind) {
  case 0:
    if (ReadU32(mem_, *descriptor + 12, value) && InBounds(value)) AddCodeTarget(value, 0, regs);
    break;
  case 1: case 2:
    if (ReadU32(mem_, *descriptor + 16, value) && InBounds(value)) AddCodeTarget(value, 0, regs);
    break;
  case 3: {
    std::uint32_t block = 0;
    if (!ReadU32(mem_, *descriptor + 12, block)) break;
    for (int i = 0; i < kMaxFrameListEntries; ++i) {
      if (!ReadU32(mem_, block + 8 + 20 * static_cast<Address>(i), value) || value == 0) break;
      if (InBounds(value)) AddCodeTarget(value, 0, regs);
    }
    break;
  }
  default: break;
  }
}

void Analyser::HandlerTargets(Address target, const InstructionRecord& rec, const RegisterState& regs) {
  if (target == AnyExceptHandlerAddr()) {
    AddCodeTarget(rec.next, 0, regs);
  } else if (target == FinallyHandlerAddr()) {
    AddCodeTarget(rec.next, 0, regs);
    // The finally code ends in a jump back to the protected block's end, which
    // was pushed as the return address before the try.
    InstructionRecord back;
    DecodeInstructionAt(mem_, rec.next, back);
    if (back.valid && back.isJump && HasTargetField(back) && back.target >= info_.entry && back.target < rec.start) {
      std::uint8_t push = 0;
      std::uint32_t pushed = 0;
      if (mem_.Read(back.target - 5, &push, 1) && push == 0x68 && ReadU32(mem_, back.target - 4, pushed) &&
          pushed > info_.entry && InBounds(pushed))
        AddCodeTarget(pushed, 0, regs);
    }
  } else if (target == OnExceptHandlerAddr()) {
    std::uint32_t count = 0;
    const Address table = rec.next;
    // The table must lie in the code bounds, whole; a count beyond any real
    // block's handlers means the bytes are no table.
    if (!ReadU32(mem_, table, count) || !InBounds(table) || count > kMaxHandlerTableEntries) return;
    const std::uint64_t size = std::uint64_t{count} * 8 + 4;
    if (size - 1 > std::uint64_t{last_} - table) return;
    AddTable(table, static_cast<std::uint32_t>(size), false);
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint32_t handler = 0;
      if (ReadU32(mem_, table + 8 + 8 * i, handler) && handler != 0) AddCodeTarget(handler, 0, regs);
    }
  }
}

void Analyser::RecordBranch(const InstructionRecord& rec, const RegisterState& regs) {
  auto& unknown = info_.unknownTargets;
  if (!HasTargetField(rec)) {
    for (const UnknownTarget& u : unknown)
      if (u.start == rec.start) return;
    unknown.push_back({rec.isCall, rec.start, rec.next});
    return;
  }
  Address target = rec.target;
  bool handlerJump = false;
  if (target != 0) {
    for (Address h : {AnyExceptHandlerAddr(), FinallyHandlerAddr(), OnExceptHandlerAddr(), AutoExceptHandlerAddr()})
      if (h != 0 && target == h) handlerJump = true;
    if (handlerJump) HandlerTargets(target, rec, regs);
    if (ExceptionFrameRoutine != 0 && target == ExceptionFrameRoutine) ForeignFrameTargets(rec, regs);
  }

  if ((rec.targetSize == 4 && rec.isCall) || !InBounds(target) || handlerJump) {
    // A thunk (jmp [import] and the like) lends its target unless the first target is an export itself.
    std::uint8_t first = 0;
    if (mem_.Read(target, &first, 1) &&
        (first == 0x02 || first == 0x03 || first == 0xE9 || first == 0xEB || first == 0xFF)) {
      InstructionRecord thunk;
      DecodeInstructionAt(mem_, target, thunk);
      if (thunk.valid && (thunk.isCall || thunk.isJump) && HasTargetField(thunk)) {
        ModuleInfo module;
        const bool exported =
            env_.symbols.ModuleOfAddress(target, module) && !env_.symbols.ExportNameAt(module, target).empty();
        if (!exported) target = thunk.target;
      }
    }
    bool known = false;
    for (const FarCall& f : info_.farCalls)
      if (f.next == rec.next) known = true;
    if (!known) {
      info_.farCalls.push_back({rec.isCall, rec.start, rec.next, target, rec.relative, rec.targetOperandLocation,
                                rec.targetCellOperandLocation});
      if (rec.targetCellOperandLocation != 0) info_.copySize += 4;
    }
  } else {
    AddCodeTarget(target, rec.start, regs);
  }
  for (std::size_t i = 0; i < unknown.size(); ++i) {
    if (unknown[i].start == rec.start) {
      unknown[i] = unknown.back();
      unknown.pop_back();
      break;
    }
  }
}

// Indirect branches again, now with the area's known constants as targets.
// True when that made a new area to walk.
bool Analyser::SecondPass() {
  auto& unknown = info_.unknownTargets;
  for (std::size_t i = unknown.size(); i-- > 0;) {
    const UnknownTarget u = unknown[i];
    const CodeArea* area = nullptr;
    for (const CodeArea& a : areas()) {
      if (!a.caseTable && !a.exceptionTable && a.start <= u.start && a.end >= u.next) {
        area = &a;
        break;
      }
    }
    if (!area) continue;
    const RegisterState start = area->registers;  // the area array may grow below
    RegisterState regs = start;
    InstructionRecord rec;
    DecodeDetails d;
    Decode(u.start, &regs, true, rec, d);
    if (!rec.valid || !(rec.isCall || rec.isJump) || !HasTargetField(rec)) continue;
    const std::size_t before = areas().size();
    RecordBranch(rec, start);
    for (std::size_t k = before; k < areas().size(); ++k)
      if (areas()[k].end == 0) return true;
  }
  return false;
}

std::optional<Address> Analyser::GapStart() const {
  const auto& as = info_.codeAreas;
  if (as.empty()) return std::nullopt;
  Address begin = as[0].start;
  Address highest = as[0].end;
  for (const CodeArea& a : as) {
    begin = std::min(begin, a.start);
    highest = std::max(highest, a.end);
  }
  std::uint64_t gap = begin;
  for (bool moved = true; moved;) {
    moved = false;
    for (const CodeArea& a : as) {
      if (a.end != 0 && a.start <= gap && gap <= a.end) {
        gap = std::uint64_t{a.end} + 1;
        moved = true;
      }
    }
  }
  if (gap == std::uint64_t{highest} + 1 || std::uint64_t{highest} >= gap + 0x400) return std::nullopt;
  return static_cast<Address>(gap);
}

void Analyser::Fail(Address at) {
  info_.valid = false;
  info_.errorAddress = at;
  info_.errorNumber = kErrorInvalidCode;
  info_.errorText = "Invalid code!";
}

void Analyser::PatchableTest() {
  const auto& as = info_.codeAreas;
  const CodeArea* area = nullptr;
  for (const CodeArea& a : as)
    if (a.start == info_.entry) area = &a;
  std::uint64_t straight = 0;
  while (area) {
    straight += std::uint64_t{area->end} - area->start + 1;
    const Address after = area->end + 1;
    const CodeArea* nextArea = nullptr;
    for (const CodeArea& a : as)
      if (a.start == after && after != 0) nextArea = &a;
    if (!nextArea || nextArea->caseTable || nextArea->exceptionTable || nextArea->reachedFrom != 0) break;
    area = nextArea;
  }
  if (straight < 6) return;
  info_.patchable = true;
  for (Address at = info_.entry; at - info_.entry < 6;) {
    InstructionRecord rec;
    DecodeInstructionAt(mem_, at, rec);
    if (!rec.valid || rec.next <= at) {
      info_.patchable = false;
      return;
    }
    if (rec.isCall || rec.isJump) {
      // The copy must keep working elsewhere: the target field has to be absolute or widenable.
      if (!HasTargetField(rec) || (!rec.enlargeable && rec.targetSize < 4)) {
        info_.patchable = false;
        return;
      }
    }
    at = rec.next;
  }
}

void Analyser::Run(Address entry) {
  info_.entry = entry;
  info_.complete = true;
  if (!env_.symbols.CodeBounds(entry, first_, last_) || entry < first_ || entry > last_) {
    info_.errorAddress = entry;
    info_.errorNumber = kErrorNotCommitted;
    info_.errorText = env_.errorText ? env_.errorText(kErrorNotCommitted) : UnknownErrorText(kErrorNotCommitted);
    return;
  }
  AddCodeTarget(entry, 0, RegisterState{});

  // A walk of a gap is a guess: if it meets bad code, what it added goes again.
  std::optional<Snapshot> guess;
  for (;;) {
    auto unwalked = std::find_if(areas().begin(), areas().end(), [](const CodeArea& a) {
      return a.end == 0 && !a.caseTable && !a.exceptionTable;
    });
    if (unwalked != areas().end()) {
      if (WalkArea(static_cast<std::size_t>(unwalked - areas().begin()))) continue;
      if (!guess) return;
      areas() = std::move(guess->areas);
      info_.farCalls = std::move(guess->farCalls);
      info_.unknownTargets = std::move(guess->unknowns);
      info_.copySize = guess->copySize;
      info_.errorAddress = info_.errorNumber = 0;
      info_.errorText.clear();
      break;
    }
    if (SecondPass()) continue;
    const bool unknownJump = std::any_of(info_.unknownTargets.begin(), info_.unknownTargets.end(),
                                         [](const UnknownTarget& u) { return !u.isCall; });
    if (!unknownJump) break;
    const std::optional<Address> gap = GapStart();
    if (!gap) break;
    guess = Snapshot{areas(), info_.farCalls, info_.unknownTargets, info_.copySize};
    AddCodeTarget(*gap, 0, RegisterState{});
  }

  areas().shrink_to_fit();
  Address begin = areas()[0].start;
  Address highest = areas()[0].end;
  for (const CodeArea& a : areas()) {
    begin = std::min(begin, a.start);
    highest = std::max(highest, a.end);
  }
  info_.valid = true;
  info_.begin = begin;
  info_.length = highest - begin + 1;
  info_.copySize += static_cast<std::int32_t>(info_.length + 4);
  PatchableTest();
}

}  // namespace

void AnalyseFunctionEx(const AnalyserEnvironment& env, Address entry, const MemoryReader* rangeChecked,
                       FunctionInfo& info) {
  info = FunctionInfo{};
  try {
    Analyser(env, rangeChecked ? *rangeChecked : env.memory, info).Run(entry);
  } catch (const std::exception&) {
    // only allocation can throw here; the record then tells of failure
    info.valid = false;
  }
}

void AnalyseFunction(const AnalyserEnvironment& env, Address entry, FunctionInfo& info) {
  AnalyseFunctionEx(env, entry, nullptr, info);
}

bool CodeBoundsOfRegion(const MemoryReader& memory, const MemoryRegionInfo& region, Address& first, Address& last) {
  if (!region.committed || region.size == 0) return false;
  first = region.base;
  last = region.base + region.size - 1;
  const Address image = region.allocationBase;
  std::uint16_t mz = 0, sections = 0, optionalSize = 0, magic = 0;
  std::uint32_t peOffset = 0, pe = 0;
  if (!ReadU16(memory, image, mz) || mz != 0x5A4D || !ReadU32(memory, image + 0x3C, peOffset)) return true;
  const Address header = image + peOffset;
  if (!ReadU32(memory, header, pe) || pe != 0x00004550 || !ReadU16(memory, header + 6, sections) ||
      !ReadU16(memory, header + 20, optionalSize))
    return true;
  const Address opt = header + 24;
  std::uint32_t sizeOfCode = 0, initData = 0, uninitData = 0, baseOfCode = 0, baseOfData = 0;
  if (!ReadU16(memory, opt, magic) || magic != 0x10B || !ReadU32(memory, opt + 4, sizeOfCode) ||
      !ReadU32(memory, opt + 8, initData) || !ReadU32(memory, opt + 12, uninitData) ||
      !ReadU32(memory, opt + 20, baseOfCode) || !ReadU32(memory, opt + 24, baseOfData))
    return true;
  std::uint32_t virtualSize = 0, virtualAddress = 0, characteristics = 0;
  const Address section = opt + optionalSize;
  const bool firstIsCode = sections > 0 && ReadU32(memory, section + 8, virtualSize) &&
                           ReadU32(memory, section + 12, virtualAddress) &&
                           ReadU32(memory, section + 36, characteristics) && (characteristics & 0x20) != 0;
  std::uint64_t lo = 0, hi = 0;  // [lo, hi) before widening
  if (firstIsCode) {
    lo = std::uint64_t{image} + virtualAddress;
    hi = lo + virtualSize;
  } else {
    lo = std::uint64_t{image} + baseOfCode;
    hi = lo + sizeOfCode;
  }
  const std::uint64_t dataSize = std::uint64_t{initData} + uninitData;
  if (dataSize != 0) {
    const std::uint64_t dataLo = std::uint64_t{image} + baseOfData;
    lo = std::min(lo, dataLo);
    hi = std::max(hi, dataLo + dataSize);
  }
  if (hi <= lo || hi - 1 > 0xFFFFFFFFu) return true;  // nonsense headers: keep the region
  first = static_cast<Address>(lo);
  last = static_cast<Address>(hi - 1);
  return true;
}

}  // namespace qel
