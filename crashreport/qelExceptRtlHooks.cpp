#include "qelExceptRtlHooks.h"

#include <windows.h>

#include <cstring>
#include <exception>

#include "../framework/ExceptHook.h"
#include "qelExceptSettings.h"
#include "qelTools.h"

namespace qel {

namespace {

TRuntimeReportHandler gHandler = nullptr;
std::terminate_handler gPreviousTerminate = nullptr;
LPTOP_LEVEL_EXCEPTION_FILTER gPreviousFilter = nullptr;
zf::TBoundaryHandler gPreviousBoundary = nullptr;
bool gInstalled = false;
// A second fault while reporting one ends the process at once.
volatile LONG gReporting = 0;

std::uintptr_t StackPointerHere() {
  std::uintptr_t sp;
  asm volatile("movl %%esp, %0" : "=r"(sp));
  return sp;
}

void Report(TRuntimeException& e) {
  if (!gHandler) return;
  if (InterlockedExchange(&gReporting, 1) != 0) TerminateProcess(GetCurrentProcess(), 3);
  gHandler(e);
  InterlockedExchange(&gReporting, 0);
}

[[noreturn]] void TerminateHook() {
  TRuntimeException e;
  const std::exception_ptr current = std::current_exception();
  if (current) {
    e.object = DescribeCurrentException();
    e.thrownObject = ThrownObjectOf(current);
  } else {
    // terminate without an exception: a pure virtual call, a noexcept breach
    e.object = {{"BcbTermination", "QelException"}, "Abnormal program termination"};
  }
  e.threadId = GetCurrentThreadId();
  e.stackPointer = StackPointerHere();
  e.framePointer = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  Report(e);
  TerminateProcess(GetCurrentProcess(), 3);
  for (;;) Sleep(INFINITE);
}

LONG WINAPI UnhandledFilter(EXCEPTION_POINTERS* pointers) {
  // The C run-time's filter first: it turns floating-point faults into
  // signals where the program asked for them.
  if (gPreviousFilter) {
    const LONG previous = gPreviousFilter(pointers);
    if (previous == EXCEPTION_CONTINUE_EXECUTION) return previous;
  }
  const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
  const auto address = reinterpret_cast<std::uintptr_t>(record->ExceptionAddress);
  const bool write = record->NumberParameters >= 1 && record->ExceptionInformation[0] != 0;
  const std::uintptr_t accessed = record->NumberParameters >= 2 ? record->ExceptionInformation[1] : 0;
  TRuntimeException e;
  e.object = HardwareExceptionObject(record->ExceptionCode,
                                     HardwareExceptionMessage(record->ExceptionCode, address,
                                                              ModuleNameOfAddress(address), write, accessed));
  e.address = address;
  e.threadId = GetCurrentThreadId();
  e.stackPointer = pointers->ContextRecord->Esp;
  e.framePointer = pointers->ContextRecord->Ebp;
  Report(e);
  return EXCEPTION_EXECUTE_HANDLER;
}

void BoundaryHook(std::exception_ptr caught) {
  TRuntimeException e;
  e.object = DescribeException(caught);
  e.thrownObject = ThrownObjectOf(caught);
  e.threadId = GetCurrentThreadId();
  e.stackPointer = StackPointerHere();
  e.framePointer = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  e.canContinue = true;
  Report(e);
}

}  // namespace

void InstallRuntimeHooks(TRuntimeReportHandler handler) {
  gHandler = handler;
  if (gInstalled) return;
  gInstalled = true;
  gPreviousTerminate = std::set_terminate(TerminateHook);
  gPreviousFilter = SetUnhandledExceptionFilter(UnhandledFilter);
  gPreviousBoundary = zf::SetBoundaryExceptionHandler(BoundaryHook);
}

TRuntimeReportHandler RuntimeReportHandler() { return gHandler; }

void UninstallRuntimeHooks() {
  if (!gInstalled) return;
  gInstalled = false;
  std::set_terminate(gPreviousTerminate);
  SetUnhandledExceptionFilter(gPreviousFilter);
  zf::SetBoundaryExceptionHandler(gPreviousBoundary);
  gHandler = nullptr;
}

const void* ThrownObjectOf(const std::exception_ptr& e) {
  // libstdc++ keeps the thrown object's address as the pointer's only member.
  static_assert(sizeof(std::exception_ptr) == sizeof(void*));
  if (!e) return nullptr;
  const void* object = nullptr;
  std::memcpy(&object, &e, sizeof object);
  return object;
}

std::string ModuleNameOfAddress(std::uintptr_t address) {
  MEMORY_BASIC_INFORMATION info{};
  if (VirtualQuery(reinterpret_cast<const void*>(address), &info, sizeof info) != sizeof info ||
      info.State != MEM_COMMIT || !info.AllocationBase)
    return {};
  char path[MAX_PATH] = {};
  if (!GetModuleFileNameA(static_cast<HMODULE>(info.AllocationBase), path, MAX_PATH)) return {};
  const std::string file = path;
  const std::size_t slash = file.find_last_of("\\/:");
  return slash == std::string::npos ? file : file.substr(slash + 1);
}

TForeignRtl LookupForeignRtl(std::uintptr_t moduleBase) {
  TForeignRtl rtl;
  std::uintptr_t* fields[] = {&rtl.exceptionHandler, &rtl.throwRoutine, &rtl.exceptionFrameRoutine, &rtl.malloc,
                              &rtl.memcpy, &rtl.terminateRoutine, &rtl.terminatePointer};
  for (std::size_t i = 0; i < 7; ++i) *fields[i] = RelocatePatchEntry(qelPatchTable[peForeignFirst + i], moduleBase);
  if (rtl.exceptionHandler) return rtl;
  HMODULE library = GetModuleHandleA("cc3260mt.dll");
  if (!library) library = GetModuleHandleA("cc3260.dll");
  if (!library) return rtl;
  auto exported = [library](const char* name) { return reinterpret_cast<std::uintptr_t>(ExportByName(library, name)); };
  rtl.exceptionHandler = exported("____ExceptionHandler");
  rtl.throwRoutine = exported("@_ThrowExceptionLDTC$qpvt1t1t1uiuiuipuct1");
  rtl.malloc = exported("_malloc");
  rtl.memcpy = exported("_memcpy");
  rtl.terminatePointer = exported("___terminatePTR");
  return rtl;
}

bool ForeignRtlComplete(const TForeignRtl& rtl) {
  return rtl.exceptionHandler && rtl.throwRoutine && rtl.exceptionFrameRoutine && rtl.malloc && rtl.memcpy &&
         (rtl.terminatePointer || rtl.terminateRoutine);
}

bool InstallRtlHooks(bool /*isExecutable*/) {
  HMODULE self = nullptr;
  std::string file;
  if (!ModuleOfAddress(reinterpret_cast<const void*>(&InstallRtlHooks), self, file)) return false;
  const TForeignRtl rtl = LookupForeignRtl(reinterpret_cast<std::uintptr_t>(self));
  if (!ForeignRtlComplete(rtl)) return false;
  // Not reached in our programs: the frame routine comes only from the
  // build-time table, empty in both. Redirecting the run-time's call sites
  // is not built.
  return false;
}

}  // namespace qel
