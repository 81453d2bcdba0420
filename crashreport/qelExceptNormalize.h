// Where a recorded exception address may point just before the instruction
// it belongs to (a return address taken 4 bytes short): the check the
// exception's normalisation uses, on analysed routines.
#pragma once

#include "qelFuncInfo.h"

namespace qel {

// True when address is the next address of one of the routine's far calls or
// unknown targets, or an instruction boundary inside one of its code areas
// (decoded from the area's start; the area with start < address <= end + 1).
bool AddressIsInstructionStart(const MemoryReader& memory, const FunctionInfo& info, Address address);

// The address moved on by 4 when it is not an instruction start of the
// routine but address + 4 is.
Address AdjustedExceptionAddress(const MemoryReader& memory, const FunctionInfo& info, Address address);

}  // namespace qel
