#include "qelPatchFind.h"

namespace qel {

bool FindCallInRoutine(const MemoryReader& code, Address start, Address limit, Address target, int nth,
                       TCallSite& site) {
  int seen = 0;
  for (Address at = start; at < limit;) {
    InstructionRecord rec;
    DecodeInstructionAt(code, at, rec);
    if (!rec.valid || rec.next <= at || rec.next > limit) return false;
    if (rec.opcode == 0xE8 && rec.relative && rec.targetSize == 4 && (target == 0 || rec.target == target) &&
        ++seen == nth) {
      site = {rec.start, rec.next, rec.targetOperandLocation, rec.target};
      return true;
    }
    at = rec.next;
  }
  return false;
}

Address FollowJump(const MemoryReader& code, Address address) {
  InstructionRecord rec;
  DecodeInstructionAt(code, address, rec);
  if (rec.valid && rec.isJump && rec.target != 0 && (rec.opcode == 0xE9 || rec.opcode == 0xEB || rec.opcode == 0xFF))
    return rec.target;
  return address;
}

}  // namespace qel
