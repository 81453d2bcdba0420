// The first frame of dbghelp's walk over a thread's context (flat i386 addresses).
#pragma once
#include <windows.h>
#include <dbghelp.h>

namespace qeltest {

inline STACKFRAME64 FirstStackFrame(const CONTEXT& context) {
  STACKFRAME64 frame{};
  frame.AddrPC.Offset = context.Eip;
  frame.AddrPC.Mode = AddrModeFlat;
  frame.AddrFrame.Offset = context.Ebp;
  frame.AddrFrame.Mode = AddrModeFlat;
  frame.AddrStack.Offset = context.Esp;
  frame.AddrStack.Mode = AddrModeFlat;
  return frame;
}

}  // namespace qeltest
