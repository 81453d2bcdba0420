// Guarded sections on Windows (i686): a structured-exception frame on the
// calling thread's chain (fs:[0]) for the time of the body. Frames deeper in
// the chain (system routines that test memory, say) see a fault first and
// may handle it; only what they leave reaches this frame. Its handler runs
// the inner frames' unwind handlers and jumps back to the guard's start, as
// a compiler's __except block does.
#include "qelExceptGuard.h"

#include <windows.h>

namespace qel {

namespace {

struct TGuard {
  EXCEPTION_REGISTRATION_RECORD registration;  // first: the handler is given its address
  void* jump[5];                               // __builtin_setjmp buffer
  std::uint32_t code;
  std::uintptr_t address;
};

constexpr DWORD kUnwindFlags = 0x2 | 0x4;  // EXCEPTION_UNWINDING, EXCEPTION_EXIT_UNWIND
constexpr DWORD kErrorSeverity = 0x80000000u;

thread_local std::uintptr_t tLastFault = 0;

EXCEPTION_REGISTRATION_RECORD* ChainHead() {
  EXCEPTION_REGISTRATION_RECORD* head;
  asm volatile("movl %%fs:0, %0" : "=r"(head));
  return head;
}

void SetChainHead(EXCEPTION_REGISTRATION_RECORD* head) { asm volatile("movl %0, %%fs:0" : : "r"(head) : "memory"); }

// The system's RtlUnwind keeps none of ebx, esi, edi for its caller.
__attribute__((noinline)) void UnwindInnerFrames(void* frame, EXCEPTION_RECORD* record) {
  RtlUnwind(frame, nullptr, record, nullptr);
  asm volatile("" : : : "ebx", "esi", "edi", "memory");
}

extern "C" EXCEPTION_DISPOSITION __cdecl qelGuardHandler(EXCEPTION_RECORD* record, void* frame, CONTEXT*, void*) {
  // Informational and success codes (debug output, thread names) are not failures.
  if ((record->ExceptionFlags & kUnwindFlags) != 0 || (record->ExceptionCode & kErrorSeverity) == 0)
    return ExceptionContinueSearch;
  auto* guard = static_cast<TGuard*>(frame);
  guard->code = record->ExceptionCode;
  guard->address = reinterpret_cast<std::uintptr_t>(record->ExceptionAddress);
  UnwindInnerFrames(frame, record);
  __builtin_longjmp(guard->jump, 1);
}

// Apart from the jump target: a C++ exception is caught here, inside the
// frame's time on the chain, and never unwinds past it.
__attribute__((noinline)) bool CallBody(void (*body)(void*), void* context) {
  try {
    body(context);
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

bool RunGuardedBody(void (*body)(void*), void* context, TGuardFault* fault) {
  TGuard guard{};
  std::uint16_t fpuControl = 0;
  asm volatile("fnstcw %0" : "=m"(fpuControl));
  guard.registration.Next = ChainHead();
  guard.registration.Handler = reinterpret_cast<PEXCEPTION_ROUTINE>(reinterpret_cast<void*>(&qelGuardHandler));
  if (__builtin_setjmp(guard.jump) == 0) {
    SetChainHead(&guard.registration);
    const bool done = CallBody(body, context);
    SetChainHead(guard.registration.Next);
    if (!done) {
      tLastFault = 0;
      if (fault) *fault = {};
    }
    return done;
  }
  // Back from a fault: the body's registers and x87 state are lost.
  asm volatile("cld\n\tfninit\n\tfldcw %0" : : "m"(fpuControl));
  const volatile TGuard& g = guard;
  SetChainHead(g.registration.Next);
  tLastFault = g.address;
  if (fault) *fault = {g.code, g.address};
  return false;
}

std::uintptr_t LastGuardFaultAddress() { return tLastFault; }

}  // namespace qel
