#include "qelPatch.h"

#include <windows.h>

#include <cstring>
#include <mutex>

#include "qelFuncInfo.h"
#include "qelPatchFind.h"
#include "qelTools.h"

namespace qel {

namespace {

std::mutex gPatchLock;
std::vector<TPatchRecord>& Records() {
  static std::vector<TPatchRecord> records;
  return records;
}

// Writes length bytes with the protection lifted and put back; false when
// the protection cannot be changed or the write faults.
bool WriteCode(std::uintptr_t address, const void* bytes, std::size_t length) {
  DWORD old = 0;
  if (!VirtualProtect(reinterpret_cast<void*>(address), length, PAGE_EXECUTE_READWRITE, &old)) return false;
  // The page was made writable just now: the copy cannot fault on protection.
  std::memcpy(reinterpret_cast<void*>(address), bytes, length);
  DWORD dummy = 0;
  VirtualProtect(reinterpret_cast<void*>(address), length, old, &dummy);
  FlushInstructionCache(GetCurrentProcess(), reinterpret_cast<void*>(address), length);
  return true;
}

struct TDwarfEhBases {
  void* tbase;
  void* dbase;
  void* func;
};
extern "C" const void* _Unwind_Find_FDE(void* pc, TDwarfEhBases* bases);

// The end of the routine that starts at start from its unwind-table entry
// (an FDE: length, CIE pointer, start, range; both 4 bytes on i686), 0 when
// it has none or the entry is another routine's.
std::uintptr_t RoutineEndByUnwindInfo(std::uintptr_t start) {
  TDwarfEhBases bases{};
  const auto* fde = static_cast<const std::uint8_t*>(_Unwind_Find_FDE(reinterpret_cast<void*>(start + 1), &bases));
  if (!fde || reinterpret_cast<std::uintptr_t>(bases.func) != start) return 0;
  std::uint32_t range = 0;
  if (!SafeReadMemory(fde + 12, &range, sizeof range)) return 0;
  return start + range;
}

}  // namespace

bool PatchCode(void* target, const void* newBytes, std::size_t length) {
  if (target == nullptr || newBytes == nullptr || length == 0) return false;
  const auto address = reinterpret_cast<std::uintptr_t>(target);
  std::vector<std::uint8_t> old(length);
  if (!SafeReadMemory(target, old.data(), length)) return false;
  if (std::memcmp(old.data(), newBytes, length) == 0) return false;
  std::lock_guard<std::mutex> lock(gPatchLock);
  if (!WriteCode(address, newBytes, length)) return false;
  const auto* b = static_cast<const std::uint8_t*>(newBytes);
  Records().push_back({address, std::move(old), std::vector<std::uint8_t>(b, b + length)});
  return true;
}

bool PatchJump(void* target, const void* destination) {
  std::uint8_t head[6];
  if (!SafeReadMemory(target, head, sizeof head)) return false;
  if (head[0] == 0xFF && head[1] == 0x25) {
    std::uint32_t cell = 0, routine = 0;
    std::memcpy(&cell, head + 2, 4);
    if (!SafeReadMemory(reinterpret_cast<const void*>(static_cast<std::uintptr_t>(cell)), &routine, 4)) return false;
    target = reinterpret_cast<void*>(static_cast<std::uintptr_t>(routine));
  }
  std::uint8_t code[5] = {0xE9};
  const auto disp = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(destination) -
                                               reinterpret_cast<std::uintptr_t>(target) - 5);
  std::memcpy(code + 1, &disp, 4);
  return PatchCode(target, code, 5);
}

bool PatchCallSite(void* address, const void* destination) {
  std::uint8_t code[5] = {0xE8};
  const auto disp = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(destination) -
                                               reinterpret_cast<std::uintptr_t>(address) - 5);
  std::memcpy(code + 1, &disp, 4);
  return PatchCode(address, code, 5);
}

bool PatchDword(void* address, std::uint32_t value) { return PatchCode(address, &value, 4); }

void UndoPatches() {
  std::lock_guard<std::mutex> lock(gPatchLock);
  for (const auto& r : Records()) {
    std::vector<std::uint8_t> now(r.newBytes.size());
    if (!SafeReadMemory(reinterpret_cast<const void*>(r.address), now.data(), now.size())) continue;
    if (now != r.newBytes) continue;  // changed since: not ours to put back
    WriteCode(r.address, r.oldBytes.data(), r.oldBytes.size());
  }
  Records().clear();
}

std::vector<TPatchRecord> PatchRecords() {
  std::lock_guard<std::mutex> lock(gPatchLock);
  return Records();
}

bool PatchCallInRoutine(void* routine, const void* target, int nth, const void* replacement) {
  const TOwnProcessReader reader;
  const TOwnProcessSymbolizer symbols;
  const AnalyserEnvironment env{reader, symbols};
  FunctionInfo info;
  AnalyseFunction(env, static_cast<Address>(reinterpret_cast<std::uintptr_t>(routine)), info);
  if (!info.valid || info.length == 0) return false;
  // Exception landing pads follow the routine's last return, reached by no
  // jump: its unwind entry, when it has one, gives the whole routine.
  Address limit = info.begin + info.length;
  const std::uintptr_t unwound = RoutineEndByUnwindInfo(reinterpret_cast<std::uintptr_t>(routine));
  if (unwound > limit) limit = static_cast<Address>(unwound);
  TCallSite site;
  if (!FindCallInRoutine(reader, info.entry, limit,
                         static_cast<Address>(reinterpret_cast<std::uintptr_t>(target)), nth, site))
    return false;
  return PatchDword(reinterpret_cast<void*>(static_cast<std::uintptr_t>(site.displacement)),
                    static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(replacement) - site.next));
}

__attribute__((noinline)) std::uintptr_t CurrentStackPtr() {
  return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) + 2 * sizeof(void*);
}

__attribute__((noinline)) std::uintptr_t CurrentFramePtr() {
  return *static_cast<const std::uintptr_t*>(__builtin_frame_address(0));
}

}  // namespace qel
