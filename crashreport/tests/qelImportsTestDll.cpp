// A module that carries the import hooks itself (not the executable): its
// hooks reach its own import table only.
#include <windows.h>

#include "qelExceptImportHooks.h"

namespace {
void* GRealTick = nullptr;
long GCalls = 0;
DWORD WINAPI CountingTick() {
  ++GCalls;
  return reinterpret_cast<decltype(&GetTickCount)>(GRealTick)();
}
}  // namespace

extern "C" {
__declspec(dllexport) BOOL ImportsDllHook() {
  qel::HookImport("kernel32.dll", "GetTickCount", nullptr, reinterpret_cast<const void*>(&CountingTick), GRealTick);
  return GRealTick != nullptr;
}
__declspec(dllexport) void ImportsDllUnhook() {
  qel::UnhookImport(nullptr, GRealTick, reinterpret_cast<const void*>(&CountingTick));
}
// Calls GetTickCount from this module and gives the hook's count.
__declspec(dllexport) long ImportsDllTick() {
  GetTickCount();
  return GCalls;
}
}
