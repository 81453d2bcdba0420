// What the hooks into the foreign run-time library look for in its code, and
// the throw-time record it leaves behind its exception blocks. Portable: the
// code and the blocks are read through a MemoryReader, so the searches are
// tested on byte buffers.
#pragma once

#include <cstdint>

#include "qelDisAsm.h"

namespace qel {

// The exception code the foreign run-time raises its exceptions with.
inline constexpr std::uint32_t kForeignExceptionCode = 0x0EEFFACE;
// The check word of a throw-time record: the first word equals the second
// XOR this value.
inline constexpr std::uint32_t ThrowCheckValue = 0x9BDF9BDF;

// The foreign run-time's exception block: an 82-byte descriptor whose u32 at
// 16 is the size of the thrown object that follows it; its byte at 68 is set
// when the thrown value is a class object.
inline constexpr std::uint32_t kBlockDescriptorSize = 82;
inline constexpr std::uint32_t kBlockObjectSizeOffset = 16;
inline constexpr std::uint32_t kBlockClassObjectOffset = 68;

// The throw-time record behind the thrown object (block + 82 + object size):
// exception address, its check word, the item count; then the 5-byte stack
// items.
struct TThrowStackHeader {
  std::uint32_t address = 0;
  std::uint32_t check = 0;
  std::uint32_t count = 0;
};
inline constexpr std::uint32_t kThrowStackHeaderSize = 12;
inline constexpr std::uint32_t kThrowStackItemSize = 5;

inline bool ThrowRecordValid(const TThrowStackHeader& header) {
  return header.address == (header.check ^ ThrowCheckValue);
}
inline TThrowStackHeader ThrowRecordHeader(std::uint32_t address, std::uint32_t count) {
  return {address, address ^ ThrowCheckValue, count};
}

// The record's address and header behind block; false when the block or the
// record cannot be read (the header's validity is not checked).
bool ThrowRecordOf(const MemoryReader& memory, Address block, Address& record, TThrowStackHeader& header);

// The per-thread-data routine of the exception handler at handler: decoding
// from its start up to its first return, the first call whose next
// instruction is mov eax, [eax + disp32] (8B 80); routine gets the call's
// target, offset the disp32 (the current-exception pointer's place in the
// per-thread data).
bool FindPerThreadDataCall(const MemoryReader& code, Address handler, Address& routine, std::uint32_t& offset);

// The first call of target (directly or through a jump cell FF 25 in front of
// it) decoding from start up to the first return.
bool FindCallBeforeReturn(const MemoryReader& code, Address start, Address target, InstructionRecord& call);

// True when the instruction is a relative call with a 4-byte field (E8).
inline bool IsRel32Call(const InstructionRecord& rec) {
  return rec.valid && rec.isCall && rec.relative && rec.opcode == 0xE8 && rec.targetSize == 4;
}

// The place in the run-time's any-exception handler that receives the call to
// the hook: decoding from entry (through a leading jump FF 25) up to the
// first return, the last instruction start where the 9 bytes
// 89 C2 8B 44 24 04 8B 48 0C (mov edx, eax; mov eax, [esp+4];
// mov ecx, [eax+0C]) stand; 0 when none does.
inline constexpr std::uint8_t kAnyExceptionSequence[9] = {0x89, 0xC2, 0x8B, 0x44, 0x24, 0x04, 0x8B, 0x48, 0x0C};
Address FindAnyExceptionPatchSite(const MemoryReader& code, Address entry);

}  // namespace qel
