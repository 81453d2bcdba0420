#include "qelExceptRtlScan.h"

#include <cstring>

namespace qel {

namespace {

// A routine without a return within this many instructions is not one of the
// run-time's small routines: nothing is found in it.
constexpr int kMaxScanInstructions = 4096;

bool IsReturn(const InstructionRecord& rec) { return rec.opcode == 0xC3 || rec.opcode == 0xC2; }

// The cell's routine when the code at va is jmp [cell] (FF 25), else va.
Address ThroughJumpCell(const MemoryReader& code, Address va) {
  std::uint8_t op[2] = {};
  if (!code.Read(va, op, 2) || op[0] != 0xFF || op[1] != 0x25) return va;
  std::uint32_t cell = 0, routine = 0;
  if (!code.Read(va + 2, &cell, 4) || !code.Read(cell, &routine, 4)) return va;
  return routine;
}

// Calls visit for every instruction from start up to and including the first
// return, until visit returns true; false when it never did.
template <typename Visit>
bool WalkToReturn(const MemoryReader& code, Address start, Visit visit) {
  Address at = start;
  for (int i = 0; i < kMaxScanInstructions; ++i) {
    InstructionRecord rec;
    DecodeInstructionAt(code, at, rec);
    if (!rec.valid || rec.next <= at) return false;
    if (visit(rec)) return true;
    if (IsReturn(rec)) return false;
    at = rec.next;
  }
  return false;
}

}  // namespace

bool ThrowRecordOf(const MemoryReader& memory, Address block, Address& record, TThrowStackHeader& header) {
  std::uint32_t objectSize = 0;
  if (block == 0 || !memory.Read(block + kBlockObjectSizeOffset, &objectSize, 4)) return false;
  const std::uint64_t at = std::uint64_t{block} + kBlockDescriptorSize + objectSize;
  if (at + kThrowStackHeaderSize > 0x100000000ull) return false;
  std::uint32_t words[3] = {};
  if (!memory.Read(static_cast<Address>(at), words, sizeof words)) return false;
  record = static_cast<Address>(at);
  header = {words[0], words[1], words[2]};
  return true;
}

bool FindPerThreadDataCall(const MemoryReader& code, Address handler, Address& routine, std::uint32_t& offset) {
  bool afterCall = false;
  Address callTarget = 0;
  return WalkToReturn(code, handler, [&](const InstructionRecord& rec) {
    std::uint8_t op[6] = {};
    if (afterCall && code.Read(rec.start, op, sizeof op) && op[0] == 0x8B && op[1] == 0x80) {
      routine = callTarget;
      std::memcpy(&offset, op + 2, 4);
      return true;
    }
    afterCall = rec.isCall && rec.target != 0;
    if (afterCall) callTarget = rec.target;
    return false;
  });
}

bool FindCallBeforeReturn(const MemoryReader& code, Address start, Address target, InstructionRecord& call) {
  return WalkToReturn(code, start, [&](const InstructionRecord& rec) {
    if (!rec.isCall || rec.target == 0) return false;
    if (rec.target != target && ThroughJumpCell(code, rec.target) != target) return false;
    call = rec;
    return true;
  });
}

Address FindAnyExceptionPatchSite(const MemoryReader& code, Address entry) {
  if (entry == 0) return 0;
  Address last = 0;
  Address at = ThroughJumpCell(code, entry);
  for (int i = 0; i < kMaxScanInstructions; ++i) {
    std::uint8_t bytes[sizeof kAnyExceptionSequence] = {};
    if (code.Read(at, bytes, sizeof bytes) && std::memcmp(bytes, kAnyExceptionSequence, sizeof bytes) == 0) {
      // The three moves are whole instructions: go on behind them.
      last = at;
      at += sizeof bytes;
      continue;
    }
    InstructionRecord rec;
    DecodeInstructionAt(code, at, rec);
    if (!rec.valid || rec.next <= at || IsReturn(rec)) break;
    at = rec.next;
  }
  return last;
}

}  // namespace qel
