#include "qelExceptNormalize.h"

namespace qel {

bool AddressIsInstructionStart(const MemoryReader& memory, const FunctionInfo& info, Address address) {
  for (const FarCall& call : info.farCalls)
    if (call.next == address) return true;
  for (const UnknownTarget& target : info.unknownTargets)
    if (target.next == address) return true;
  for (const CodeArea& area : info.codeAreas) {
    if (area.caseTable || area.exceptionTable || area.end == 0) continue;
    if (!(area.start < address && address <= area.end + 1)) continue;
    Address va = area.start;
    while (va < address) {
      InstructionRecord rec;
      DecodeInstructionAt(memory, va, rec);
      if (!rec.valid || rec.next <= va) break;
      va = rec.next;
    }
    if (va == address) return true;
  }
  return false;
}

Address AdjustedExceptionAddress(const MemoryReader& memory, const FunctionInfo& info, Address address) {
  if (!AddressIsInstructionStart(memory, info, address) && AddressIsInstructionStart(memory, info, address + 4))
    return address + 4;
  return address;
}

}  // namespace qel
