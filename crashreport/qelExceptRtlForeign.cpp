// The hooks into the foreign run-time library: its throw path records the
// thrower's stack and the throw address behind every exception block, its
// handler's exception address becomes the throw address, its termination
// becomes a report. Call sites are found with the decoder and the function
// analyser and rewritten through the undo list.
#include <windows.h>

#include <cstddef>
#include <cstring>

#include "qelExceptProcess.h"
#include "qelExceptRtlHooks.h"
#include "qelExceptRtlScan.h"
#include "qelFuncInfo.h"
#include "qelPatch.h"
#include "qelStackTrace.h"
#include "qelTools.h"

namespace qel {

namespace {

using TMallocProc = void*(__cdecl*)(std::size_t);
using TRaiseProc = void(WINAPI*)(DWORD, DWORD, DWORD, const ULONG_PTR*);
using TForwardProc = std::uint64_t(__cdecl*)(std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t,
                                             std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t);
using TPerThreadDataProc = void*(__cdecl*)();

// Set once by installation, before any thread uses the hooked paths.
TMallocProc gSavedMalloc = nullptr;
TRaiseProc gSavedRaise = nullptr;
TForwardProc gSavedGetObject = nullptr;
TForwardProc gSavedInitCatch = nullptr;
TPerThreadDataProc gPerThreadData = nullptr;
std::uint32_t gCurrentExceptionOffset = 0;

std::uintptr_t Ptr(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }
template <typename F>
std::uintptr_t CodePtr(F* f) {
  return reinterpret_cast<std::uintptr_t>(reinterpret_cast<void*>(f));
}

bool ReadWord(std::uintptr_t address, std::uint32_t& value) {
  return SafeReadMemory(reinterpret_cast<const void*>(address), &value, 4);
}

// True when the n bytes at address lie in committed, writable memory.
bool Writable(std::uintptr_t address, std::size_t n) {
  constexpr DWORD kWritable = PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  for (std::uintptr_t at = address; at < address + n;) {
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(reinterpret_cast<const void*>(at), &info, sizeof info) != sizeof info ||
        info.State != MEM_COMMIT || !(info.Protect & kWritable) || (info.Protect & PAGE_GUARD))
      return false;
    at = Ptr(info.BaseAddress) + info.RegionSize;
  }
  return true;
}

// Stores address into the record behind block when the record is valid.
bool StoreThrowAddress(std::uintptr_t block, std::uint32_t address) {
  const TOwnProcessReader memory;
  Address record = 0;
  TThrowStackHeader header;
  if (!ThrowRecordOf(memory, static_cast<Address>(block), record, header) || !ThrowRecordValid(header) ||
      !Writable(record, 8))
    return false;
  const TThrowStackHeader stored = ThrowRecordHeader(address, header.count);
  std::memcpy(reinterpret_cast<void*>(static_cast<std::uintptr_t>(record)), &stored, 8);
  return true;
}

// The foreign run-time's current exception block of the calling thread, 0
// when there is none or it cannot be read.
std::uintptr_t CurrentExceptionBlock() {
  if (!gPerThreadData) return 0;
  void* data = gPerThreadData();
  std::uint32_t block = 0;
  if (!data || !ReadWord(Ptr(data) + gCurrentExceptionOffset, block)) return 0;
  return block;
}

bool IsRel32CallAt(const MemoryReader& code, const FarCall& call) {
  InstructionRecord rec;
  DecodeInstructionAt(code, call.start, rec);
  return IsRel32Call(rec) && rec.next == call.next;
}

// The call's present target, read from its field.
std::uintptr_t Rel32Target(const FarCall& call) {
  std::uint32_t disp = 0;
  ReadWord(call.targetOperandLocation, disp);
  return static_cast<std::uint32_t>(call.next + disp);
}

bool ThrowBlockTooLarge(std::uint32_t size, std::size_t itemBytes) {
  return std::uint64_t{size} + kThrowStackHeaderSize + itemBytes > 0x7FFFFFFFu;
}

bool RedirectRel32(std::uintptr_t field, std::uintptr_t next, std::uintptr_t hook) {
  return PatchDword(reinterpret_cast<void*>(field), static_cast<std::uint32_t>(hook - next));
}

// Redirects a call to hook after saving its previous target for the hook. A
// call already leading to the hook stays; a second call site of this
// installation with another previous target is left alone, since one saved
// target serves the hook.
template <typename Proc>
bool RedirectSaving(const FarCall& call, Proc& saved, std::uintptr_t& savedHere, std::uintptr_t hook) {
  const std::uintptr_t previous = Rel32Target(call);
  if (previous == hook || (savedHere && savedHere != previous)) return false;
  savedHere = previous;
  saved = reinterpret_cast<Proc>(previous);
  return RedirectRel32(call.targetOperandLocation, call.next, hook);
}

std::uintptr_t RaiseExceptionAddress() {
  return CodePtr(GetProcAddress(GetModuleHandleA("kernel32.dll"), "RaiseException"));
}

bool CallsTarget(const FunctionInfo& info, std::uintptr_t target) {
  for (const FarCall& call : info.farCalls)
    if (call.isCall && call.target == target) return true;
  return false;
}

// The throw routine's one far call and that callee's RaiseException and
// allocating calls.
void HookThrowPath(const AnalyserEnvironment& env, const TForeignRtl& rtl, TForeignRtlHooks& found) {
  FunctionInfo thrower;
  AnalyseFunction(env, static_cast<Address>(rtl.throwRoutine), thrower);
  std::vector<const FarCall*> calls;
  for (const FarCall& call : thrower.farCalls)
    if (call.isCall) calls.push_back(&call);
  if (!thrower.valid || calls.size() != 1) return;
  FunctionInfo callee;
  AnalyseFunction(env, calls[0]->target, callee);
  if (!callee.valid) return;
  const std::uintptr_t raise = RaiseExceptionAddress();
  for (const FarCall& call : callee.farCalls) {
    if (!call.isCall) continue;
    std::uint32_t pushed = 0;
    if (raise && call.target == raise) {
      if (ReadWord(call.start - 4, pushed) && pushed == kForeignExceptionCode && IsRel32CallAt(env.memory, call) &&
          RedirectSaving(call, gSavedRaise, found.savedRaise, CodePtr(&RaiseExceptionHook)) && !found.raiseSite)
        found.raiseSite = call.start;
      continue;
    }
    if (found.allocatingRoutine) continue;
    InstructionRecord mallocCall;
    if (!FindCallBeforeReturn(env.memory, call.target, static_cast<Address>(rtl.malloc), mallocCall)) continue;
    found.allocatingRoutine = call.target;
    if (IsRel32Call(mallocCall)) {
      const FarCall site{true, mallocCall.start, mallocCall.next, mallocCall.target, true,
                         mallocCall.targetOperandLocation, 0};
      if (RedirectSaving(site, gSavedMalloc, found.savedMalloc, CodePtr(&AllocWithThrowStack)))
        found.mallocSite = site.start;
    }
  }
}

// The handler's calls of routines that call the allocating routine: with
// memcpy they fetch the exception object, without it they set up the catch
// argument.
void HookHandlerCalls(const AnalyserEnvironment& env, const TForeignRtl& rtl, TForeignRtlHooks& found) {
  FunctionInfo handler;
  AnalyseFunction(env, static_cast<Address>(rtl.exceptionHandler), handler);
  if (!handler.valid) return;
  for (const FarCall& call : handler.farCalls) {
    if (!call.isCall || call.target == 0) continue;
    FunctionInfo callee;
    AnalyseFunction(env, call.target, callee);
    if (!callee.valid || !CallsTarget(callee, found.allocatingRoutine) || !IsRel32CallAt(env.memory, call))
      continue;
    if (CallsTarget(callee, rtl.memcpy)) {
      if (RedirectSaving(call, gSavedGetObject, found.savedGetObject, CodePtr(&GetExceptionObjectHook)))
        found.getObjectSites.push_back(call.start);
    } else if (RedirectSaving(call, gSavedInitCatch, found.savedInitCatch, CodePtr(&InitCatchArgHook))) {
      found.initCatchSites.push_back(call.start);
    }
  }
}

}  // namespace

std::uintptr_t AnyExceptionHandlerEntry() { return AnyExceptHandlerAddr(); }

bool InstallForeignRtlHooks(const TForeignRtl& rtl, bool isExecutable, TForeignRtlHooks* foundOut) {
  if (!ForeignRtlComplete(rtl)) return false;
  TForeignRtlHooks found;
  ExceptionFrameRoutine = static_cast<Address>(rtl.exceptionFrameRoutine);
  const TOwnProcessReader memory;
  const TOwnProcessSymbolizer symbols;
  const AnalyserEnvironment env{memory, symbols};
  Address perThreadData = 0;
  if (FindPerThreadDataCall(memory, static_cast<Address>(rtl.exceptionHandler), perThreadData,
                            found.currentExceptionOffset)) {
    found.perThreadData = perThreadData;
    gPerThreadData = reinterpret_cast<TPerThreadDataProc>(found.perThreadData);
    gCurrentExceptionOffset = found.currentExceptionOffset;
    HookThrowPath(env, rtl, found);
  }
  if (found.allocatingRoutine) HookHandlerCalls(env, rtl, found);
  if (isExecutable) {
    const Address site = FindAnyExceptionPatchSite(memory, static_cast<Address>(AnyExceptionHandlerEntry()));
    if (site && PatchCallSite(reinterpret_cast<void*>(static_cast<std::uintptr_t>(site)),
                              reinterpret_cast<const void*>(&AnyExceptionCallHook)))
      found.anyExceptionSite = site;
  }
  if (rtl.terminatePointer)
    found.terminateHooked =
        PatchDword(reinterpret_cast<void*>(rtl.terminatePointer), static_cast<std::uint32_t>(CodePtr(&TerminateHook)));
  else
    found.terminateHooked = PatchJump(reinterpret_cast<void*>(rtl.terminateRoutine),
                                      reinterpret_cast<const void*>(&TerminateHook));
  if (foundOut) *foundOut = found;
  return true;
}

// --- hook routines ----------------------------------------------------------------------------

void* AllocThrowBlock(std::uint32_t size, const std::vector<std::uint8_t>& items, void* (*allocate)(std::size_t)) {
  const std::uint32_t count = static_cast<std::uint32_t>(items.size() / kThrowStackItemSize);
  if (!allocate || ThrowBlockTooLarge(size, std::size_t{count} * kThrowStackItemSize)) return nullptr;
  auto* block = static_cast<std::uint8_t*>(allocate(size + kThrowStackHeaderSize + count * kThrowStackItemSize));
  if (!block) return nullptr;
  std::memset(block, 0, size);
  const TThrowStackHeader header = ThrowRecordHeader(0, count);
  std::memcpy(block + size, &header, kThrowStackHeaderSize);
  if (count) std::memcpy(block + size + kThrowStackHeaderSize, items.data(), count * kThrowStackItemSize);
  return block;
}

void* AllocWithThrowStack(std::uint32_t size) {
  if (!gSavedMalloc) return nullptr;
  std::vector<std::uint8_t> items;
  try {
    TDABcbStackItem list;
    BcbStackDump(Ptr(__builtin_frame_address(0)), list);
    items.resize(list.size() * kThrowStackItemSize);
    if (!list.empty()) std::memcpy(items.data(), list.data(), items.size());
  } catch (...) {
    items.clear();
  }
  // Too large to carry the record: the run-time gets its plain allocation.
  if (ThrowBlockTooLarge(size, items.size())) return gSavedMalloc(size);
  return AllocThrowBlock(size, items, gSavedMalloc);
}

std::uint64_t GetExceptionObjectHook(std::uint32_t a0, std::uint32_t a1, std::uint32_t a2, std::uint32_t a3,
                                     std::uint32_t a4, std::uint32_t a5, std::uint32_t a6, std::uint32_t a7) {
  if (!gSavedGetObject) return 0;
  const std::uint64_t result = gSavedGetObject(a0, a1, a2, a3, a4, a5, a6, a7);
  const auto block = static_cast<std::uint32_t>(result);
  std::uint32_t address = 0;
  if (block && a0 && ReadWord(a0 + offsetof(EXCEPTION_RECORD, ExceptionAddress), address))
    StoreThrowAddress(block, address);
  return result;
}

std::uint64_t InitCatchArgHook(std::uint32_t a0, std::uint32_t a1, std::uint32_t a2, std::uint32_t a3,
                               std::uint32_t a4, std::uint32_t a5, std::uint32_t a6, std::uint32_t a7) {
  if (!gSavedInitCatch) return 0;
  const std::uint64_t result = gSavedInitCatch(a0, a1, a2, a3, a4, a5, a6, a7);
  const std::uintptr_t block = CurrentExceptionBlock();
  std::uint32_t words[6] = {};
  if (block && a2 && SafeReadMemory(reinterpret_cast<const void*>(static_cast<std::uintptr_t>(a2)), words,
                                    sizeof words))
    StoreThrowAddress(block, words[5] + (words[4] == 8 ? 4 : 0));
  return result;
}

void __stdcall RaiseExceptionHook(std::uint32_t code, std::uint32_t flags, std::uint32_t count,
                                  const std::uintptr_t* arguments) {
  std::uint32_t words[3] = {};
  if (code == kForeignExceptionCode && count == 3 && arguments && SafeReadMemory(arguments, words, sizeof words))
    StoreThrowAddress(words[2], words[1]);
  (gSavedRaise ? gSavedRaise : RaiseException)(code, flags, count, reinterpret_cast<const ULONG_PTR*>(arguments));
}

void TerminateHook() {
  ReportAbnormalEnd({{"BcbTermination", "QelException"}, "Abnormal program termination"});
}

void ThrowStackOfException(std::uintptr_t& address, const void*& object, std::vector<std::uint8_t>& stack) {
  const std::uintptr_t block = CurrentExceptionBlock();
  if (!block) return;
  std::uint8_t classObject = 0;
  std::uint32_t objectSize = 0, value = 0;
  if (!object && SafeReadMemory(reinterpret_cast<const void*>(block + kBlockClassObjectOffset), &classObject, 1) &&
      classObject && ReadWord(block + kBlockObjectSizeOffset, objectSize) && objectSize == 4 &&
      ReadWord(block + kBlockDescriptorSize, value) && IsValidExceptionObject(reinterpret_cast<const void*>(value)))
    object = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(value));
  if (address) return;
  const TOwnProcessReader memory;
  Address record = 0;
  TThrowStackHeader header;
  if (!ThrowRecordOf(memory, static_cast<Address>(block), record, header) || !ThrowRecordValid(header)) return;
  address = header.address;
  if (header.count == 0 || header.count > kMaxTraceItems) return;
  std::vector<std::uint8_t> block5(4 + std::size_t{header.count} * kThrowStackItemSize);
  if (memory.Read(record + 8, block5.data(), block5.size())) stack = std::move(block5);
}

}  // namespace qel

// Runs in place of 9 bytes of the run-time's any-exception handler, with the
// caller's flags kept: edx := eax; eax := the exception record ([esp+4] at
// the call site); ecx := its exception address, or for the foreign
// run-time's exceptions (with at least two parameters) the throw address in
// the second parameter. Returns behind the 4 bytes the call left over.
asm(R"(
    .text
    .globl _AnyExceptionCallHook
    .def _AnyExceptionCallHook; .scl 2; .type 32; .endef
_AnyExceptionCallHook:
    pushfl
    movl %eax, %edx
    movl 12(%esp), %eax
    movl 0x0C(%eax), %ecx
    cmpl $0x0EEFFACE, (%eax)
    jne 1f
    cmpl $2, 0x10(%eax)
    jb 1f
    movl 0x18(%eax), %ecx
1:
    addl $4, 4(%esp)
    popfl
    ret
)");
