// Hooks into the run-time's exception paths (Windows, i686, mingw-w64 C++
// run-time with DWARF-2 unwinding): uncaught C++ exceptions and other
// terminations through the terminate handler, hardware faults through an
// unhandled-exception filter that chains the C run-time's, exceptions caught
// at the framework's platform boundaries. And the gate of the foreign
// run-time library ("cc3260mt.dll"/"cc3260.dll").
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

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
  // A hardware fault (code not 0) comes without an object: the faulting
  // thread may hold the heap's lock, so the object is made where the report
  // is made (DescribeFault).
  std::uint32_t faultCode = 0;
  std::uint32_t faultAccessKind = 0;  // the record's: 0 read, 1 write, 8 execution
  std::uintptr_t faultAccessed = 0;
};
// Fills e.object from the fault, when e is a fault without an object.
void DescribeFault(TRuntimeException& e);
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

// Hands object to the installed handler as an abnormal end (no address,
// can-continue false, this thread's stack from here), then ends the process
// with exit code 3.
[[noreturn]] void ReportAbnormalEnd(const TExceptionObject& object);

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

// What installing the hooks into a foreign run-time found and redirected
// (call instruction starts; 0 = not found).
struct TForeignRtlHooks {
  std::uintptr_t perThreadData = 0;
  std::uint32_t currentExceptionOffset = 0;
  std::uintptr_t allocatingRoutine = 0;
  std::uintptr_t raiseSite = 0;   // RaiseException -> RaiseExceptionHook
  std::uintptr_t mallocSite = 0;  // the allocating routine's malloc -> AllocWithThrowStack
  std::vector<std::uintptr_t> getObjectSites;  // -> GetExceptionObjectHook
  std::vector<std::uintptr_t> initCatchSites;  // -> InitCatchArgHook
  std::uintptr_t anyExceptionSite = 0;         // 5-byte call to AnyExceptionCallHook
  bool terminateHooked = false;
  // The previous targets the hooks pass on to.
  std::uintptr_t savedMalloc = 0;
  std::uintptr_t savedRaise = 0;
  std::uintptr_t savedGetObject = 0;
  std::uintptr_t savedInitCatch = 0;
};
// The installation's steps on a run-time already looked up: hands the frame
// routine to the function analyser, learns the per-thread data, redirects the
// throw path's, the handler's and, when isExecutable, the any-exception
// handler's call sites and takes over termination. Every write goes to the
// undo list. False (nothing changed) unless the run-time is complete.
bool InstallForeignRtlHooks(const TForeignRtl& rtl, bool isExecutable, TForeignRtlHooks* found = nullptr);

// The address of the run-time library's any-exception frame handler. Our
// run-time has none (catch-all handlers are found through its unwind tables),
// so this is 0 unless the analyser's run-time routines were given one.
std::uintptr_t AnyExceptionHandlerEntry();

// The hook routines, reached only through redirected calls. None raises; each
// passes through to the saved target when it cannot do its own work. The
// forwarding hooks hand the first 8 argument words of the caller on (the
// run-time's routines take fewer, and the caller cleans its stack) and give
// back edx:eax as the target left them.
void* AllocWithThrowStack(std::uint32_t size);
std::uint64_t GetExceptionObjectHook(std::uint32_t a0, std::uint32_t a1, std::uint32_t a2, std::uint32_t a3,
                                     std::uint32_t a4, std::uint32_t a5, std::uint32_t a6, std::uint32_t a7);
std::uint64_t InitCatchArgHook(std::uint32_t a0, std::uint32_t a1, std::uint32_t a2, std::uint32_t a3,
                               std::uint32_t a4, std::uint32_t a5, std::uint32_t a6, std::uint32_t a7);
void __stdcall RaiseExceptionHook(std::uint32_t code, std::uint32_t flags, std::uint32_t count,
                                  const std::uintptr_t* arguments);
// Called in place of the 9 bytes mov edx, eax; mov eax, [esp+4];
// mov ecx, [eax+0C]: does their work (ecx gets the foreign exception's throw
// address instead) and returns behind them. Not callable from C++.
extern "C" void AnyExceptionCallHook();
[[noreturn]] void TerminateHook();

// The block AllocWithThrowStack makes: size bytes zeroed, then the record
// header {0, check, n} and the n items; nil when allocate fails or the size
// overflows (nothing written).
void* AllocThrowBlock(std::uint32_t size, const std::vector<std::uint8_t>& items, void* (*allocate)(std::size_t));
// Fills what is still unknown (address 0, object nil) from the foreign
// run-time's current exception of the calling thread: the thrown class object
// and the record's address and stack block (dword count, 5-byte items).
void ThrowStackOfException(std::uintptr_t& address, const void*& object, std::vector<std::uint8_t>& stack);

// --- pure-virtual calls and invalid parameters ------------------------------------------------
// Report through the installed handler (can-continue false) and end the
// process; without a handler they do what the run-time would have done.
// Every pure-virtual call of our code comes here (the C++ run-time's routine
// is wrapped at link time).
[[noreturn]] void PureVirtualCallHook();
void InvalidParameterHook(const wchar_t* expression, const wchar_t* function, const wchar_t* file,
                          unsigned line, std::uintptr_t reserved);
// Which of the C run-time DLL's handlers InstallRuntimeHooks could install:
// its setters exist only in some of its versions.
struct TRuntimeHandlers {
  bool crtPurecallHandler = false;       // the C run-time DLL's _set_purecall_handler
  bool crtInvalidParameterHandler = false;  // the C run-time DLL's _set_invalid_parameter_handler
};
TRuntimeHandlers InstalledRuntimeHandlers();

}  // namespace qel
