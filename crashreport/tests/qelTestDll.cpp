// A second module carrying the reporter's thread list and loader-lock test,
// loaded by the Windows tests. When the events "qelTestLoaderEntered$<pid>"
// and "qelTestLoaderRelease$<pid>" exist, its attach waits inside the loader
// lock until it is released.
#include <windows.h>

#include <string>

#include "qelExceptProcess.h"
#include "qelExceptThreads.h"
#include "qelStrings.h"

extern "C" {

__declspec(dllexport) int TestDllHeldLoaderLock = -1;

__declspec(dllexport) BOOL TestDllInstall() { return qel::InstallThreadList(); }
__declspec(dllexport) void TestDllUninstall() { qel::UninstallThreadList(); }
__declspec(dllexport) void TestDllSetThreadName(DWORD id, const char* name) { qel::SetThreadName(id, name); }
__declspec(dllexport) void* TestDllAnchor() { return qel::InstalledThreadList(); }
__declspec(dllexport) BOOL TestDllHoldsLoaderLock() { return qel::HoldsLoaderLock(); }

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void*) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  TestDllHeldLoaderLock = qel::HoldsLoaderLock() ? 1 : 0;
  const std::string pid = qel::HexStrPadded(GetCurrentProcessId(), 1, '0');
  HANDLE entered = OpenEventA(EVENT_MODIFY_STATE, FALSE, ("qelTestLoaderEntered" + pid).c_str());
  HANDLE release = OpenEventA(SYNCHRONIZE, FALSE, ("qelTestLoaderRelease" + pid).c_str());
  if (entered != nullptr && release != nullptr) {
    SetEvent(entered);
    WaitForSingleObject(release, 20000);
  }
  if (entered != nullptr) CloseHandle(entered);
  if (release != nullptr) CloseHandle(release);
  return TRUE;
}

}  // extern "C"
