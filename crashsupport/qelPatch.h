// Code patching with undo: every write into the running program's code lifts
// the page protection for the write, restores it, flushes the instruction
// cache and is recorded, so that UndoPatches puts every byte back. Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qel {

struct TPatchRecord {
  std::uintptr_t address = 0;
  std::vector<std::uint8_t> oldBytes;
  std::vector<std::uint8_t> newBytes;
};

// False when the bytes already are the new ones (nothing recorded), when the
// protection cannot be lifted or the write faults.
bool PatchCode(void* target, const void* newBytes, std::size_t length);
// E9 and the displacement over the start of target; a target that starts
// FF 25 (a jump through an import cell) has the routine it leads to patched.
bool PatchJump(void* target, const void* destination);
// E8 and the displacement (5 bytes).
bool PatchCallSite(void* address, const void* destination);
bool PatchDword(void* address, std::uint32_t value);
// Puts back the bytes of every record whose bytes are still the new ones;
// then empties the list.
void UndoPatches();
// A copy of the undo list (for tests and reports).
std::vector<TPatchRecord> PatchRecords();

// Rewrites the displacement of the nth E8 call to target inside routine
// (bounded by the routine's extent) so that it calls replacement instead.
bool PatchCallInRoutine(void* routine, const void* target, int nth, const void* replacement);

// The caller's stack pointer and frame pointer.
std::uintptr_t CurrentStackPtr();
std::uintptr_t CurrentFramePtr();

}  // namespace qel
