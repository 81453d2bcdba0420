// A second module that carries its own copy of the reporter, for the test of
// two reporters in one process. Its unit entries are called by the test.
#include <windows.h>

#include "qelExcept.h"
#include "qelExceptSettings.h"
#include "qelExceptThreads.h"

extern "C" {

__declspec(dllexport) void ReporterDllInit() { qel::qelExceptInitialization(); }
__declspec(dllexport) void ReporterDllDone() { qel::qelExceptFinalization(); }
__declspec(dllexport) DWORD ReporterDllMainThreadId() { return qel::MainThreadId; }
__declspec(dllexport) void* ReporterDllAnchor() { return qel::InstalledThreadList(); }

}  // extern "C"
