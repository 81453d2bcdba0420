// Finding one call inside a routine, for rewriting its target: portable (the
// decoder reads through a MemoryReader), so it is tested on byte buffers.
#pragma once

#include <cstdint>

#include "qelDisAsm.h"

namespace qel {

struct TCallSite {
  Address start = 0;         // the call instruction
  Address next = 0;          // the instruction after it
  Address displacement = 0;  // its 32-bit displacement field
  Address target = 0;
};

// Decodes from start up to limit, the routine's end: a routine that does not
// return has no return to stop at, and the compiler places code of the
// routine after its first return, so the extent bounds the scan. nth = 1 gives the
// first E8 call (rel32) whose target is target (any target when target is 0),
// 2 the second, and so on. False when none or an undecodable byte comes first.
bool FindCallInRoutine(const MemoryReader& code, Address start, Address limit, Address target, int nth,
                       TCallSite& site);

// The routine a jump at address leads to: E9/EB targets and FF 25 through its
// cell; address itself when the instruction is no jump.
Address FollowJump(const MemoryReader& code, Address address);

}  // namespace qel
