// Hooks into the run-time's exception paths (Windows, i686, mingw-w64 C++
// run-time with DWARF-2 unwinding): uncaught C++ exceptions and other
// terminations through the terminate handler, hardware faults through an
// unhandled-exception filter that chains the C run-time's, exceptions caught
// at the framework's platform boundaries. And the gate of the foreign
// run-time library ("cc3260mt.dll"/"cc3260.dll").
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "qelExceptReportCore.h"

namespace qel {

struct TRuntimeException {
  TExceptionObject object;
  std::uintptr_t address = 0;        // 0: the throw site, when recorded
  std::uint32_t threadId = 0;
  std::uintptr_t stackPointer = 0;
  std::uintptr_t framePointer = 0;
  const void* thrownObject = nullptr;  // the C++ object, for its throw-time stack
  bool canContinue = false;
  std::string* reportOut = nullptr;  // receives the report in HTML mode
};
using TRuntimeReportHandler = void (*)(const TRuntimeException& exception);

// Installs the terminate handler, the unhandled-exception filter and the
// framework's boundary handler; each hands what it caught to handler. After
// a terminate or a fault the process ends with exit code 3 or the fault's
// code once the handler returns.
void InstallRuntimeHooks(TRuntimeReportHandler handler);
void UninstallRuntimeHooks();
// The handler the hooks report to (also used by the code patches' entry
// points); nil while not installed.
TRuntimeReportHandler RuntimeReportHandler();

// The thrown object of a stored C++ exception (its address), null for none.
const void* ThrownObjectOf(const std::exception_ptr& e);

// The file name (no path) of the module whose image holds address, or empty.
std::string ModuleNameOfAddress(std::uintptr_t address);

// --- the foreign run-time library -------------------------------------------------------------
// The addresses of the foreign run-time, in patch-table order.
struct TForeignRtl {
  std::uintptr_t exceptionHandler = 0;
  std::uintptr_t throwRoutine = 0;
  std::uintptr_t exceptionFrameRoutine = 0;
  std::uintptr_t malloc = 0;
  std::uintptr_t memcpy = 0;
  std::uintptr_t terminateRoutine = 0;
  std::uintptr_t terminatePointer = 0;
};
// The entries of the patch table relocated to the module, then, when the
// handler entry is empty, the exports of the loaded library.
TForeignRtl LookupForeignRtl(std::uintptr_t moduleBase);
// True when the run-time is complete enough to hook.
bool ForeignRtlComplete(const TForeignRtl& rtl);
// Looks the run-time up and installs its hooks when it is complete; true
// when installed. Nothing is changed otherwise.
bool InstallRtlHooks(bool isExecutable);

}  // namespace qel
