#include "qelExceptRtlHooks.h"

#include <windows.h>

#include <cstring>
#include <exception>

#include "../framework/ExceptHook.h"
#include "../framework/System.h"
#include "qelExceptSettings.h"
#include "qelTools.h"

// The programs link with -Wl,--wrap=__cxa_pure_virtual: the pure virtual
// slots of every vtable lead here instead of to the C++ run-time's routine,
// which would print a line and terminate.
extern "C" {
[[noreturn]] void __real___cxa_pure_virtual();
[[noreturn]] void __wrap___cxa_pure_virtual() { qel::PureVirtualCallHook(); }
}

namespace qel {

namespace {

TRuntimeReportHandler gHandler = nullptr;
std::terminate_handler gPreviousTerminate = nullptr;
LPTOP_LEVEL_EXCEPTION_FILTER gPreviousFilter = nullptr;
zf::TBoundaryHandler gPreviousBoundary = nullptr;
bool gInstalled = false;

std::uintptr_t StackPointerHere() {
  std::uintptr_t sp;
  asm volatile("movl %%esp, %0" : "=r"(sp));
  return sp;
}

// Reports from any number of threads at once queue up behind each other in
// the handler; a failure on the reporter's own thread is not reported there.
void Report(TRuntimeException& e) {
  if (gHandler) gHandler(e);
}

// Reports e with this thread's stack from here and ends the process.
[[noreturn]] __attribute__((noinline)) void ReportAndEnd(TRuntimeException& e) {
  e.threadId = GetCurrentThreadId();
  e.stackPointer = StackPointerHere();
  e.framePointer = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  Report(e);
  TerminateProcess(GetCurrentProcess(), 3);
  for (;;) Sleep(INFINITE);
}

// The C++ run-time's terminate handler: an exception that nothing caught, or
// a termination without one (a noexcept breach, a rethrow outside a handler).
[[noreturn]] void CppTerminateHook() {
  const std::exception_ptr current = std::current_exception();
  if (!current) ReportAbnormalEnd({{"BcbTermination", "QelException"}, "Abnormal program termination"});
  TRuntimeException e;
  e.object = DescribeCurrentException();
  e.thrownObject = ThrownObjectOf(current);
  ReportAndEnd(e);
}

LONG WINAPI UnhandledFilter(EXCEPTION_POINTERS* pointers) {
  // The C run-time's filter first: it turns floating-point faults into
  // signals where the program asked for them.
  if (gPreviousFilter) {
    const LONG previous = gPreviousFilter(pointers);
    if (previous == EXCEPTION_CONTINUE_EXECUTION) return previous;
  }
  // Nothing here allocates: the faulting thread may hold the heap's lock.
  const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
  TRuntimeException e;
  e.faultCode = record->ExceptionCode;
  e.faultAccessKind = static_cast<std::uint32_t>(record->NumberParameters >= 1 ? record->ExceptionInformation[0] : 0);
  e.faultAccessed = record->NumberParameters >= 2 ? record->ExceptionInformation[1] : 0;
  e.address = reinterpret_cast<std::uintptr_t>(record->ExceptionAddress);
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

using TPurecallHandler = void(__cdecl*)();
using TInvalidParameterHandler = void(__cdecl*)(const wchar_t*, const wchar_t*, const wchar_t*, unsigned,
                                                std::uintptr_t);
using TSetPurecallHandler = TPurecallHandler(__cdecl*)(TPurecallHandler);
using TSetInvalidParameterHandler = TInvalidParameterHandler(__cdecl*)(TInvalidParameterHandler);

TRuntimeHandlers gRuntimeHandlers;
TPurecallHandler gPreviousPurecall = nullptr;
TInvalidParameterHandler gPreviousInvalidParameter = nullptr;

// The C run-time DLL our modules import. The setters are looked up there, not
// linked: the import library's stand-ins of older DLL versions only keep the
// handler in a variable that the DLL never calls.
template <typename Proc>
Proc CrtExport(const char* name) {
  HMODULE crt = GetModuleHandleA("msvcrt.dll");
  return crt ? reinterpret_cast<Proc>(reinterpret_cast<void*>(GetProcAddress(crt, name))) : nullptr;
}

std::string Narrow(const wchar_t* text) {
  if (!text || !*text) return {};
  const int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string result(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, -1, result.data(), n, nullptr, nullptr);
  result.resize(static_cast<std::size_t>(n - 1));
  return result;
}

void InstallRuntimeHandlers() {
  if (auto set = CrtExport<TSetPurecallHandler>("_set_purecall_handler")) {
    gPreviousPurecall = set(PureVirtualCallHook);
    gRuntimeHandlers.crtPurecallHandler = true;
  }
  if (auto set = CrtExport<TSetInvalidParameterHandler>("_set_invalid_parameter_handler")) {
    gPreviousInvalidParameter = set(InvalidParameterHook);
    gRuntimeHandlers.crtInvalidParameterHandler = true;
  }
}

void UninstallRuntimeHandlers() {
  if (gRuntimeHandlers.crtPurecallHandler)
    CrtExport<TSetPurecallHandler>("_set_purecall_handler")(gPreviousPurecall);
  if (gRuntimeHandlers.crtInvalidParameterHandler)
    CrtExport<TSetInvalidParameterHandler>("_set_invalid_parameter_handler")(
        gPreviousInvalidParameter);
  gRuntimeHandlers.crtPurecallHandler = gRuntimeHandlers.crtInvalidParameterHandler = false;
}

}  // namespace

void DescribeFault(TRuntimeException& e) {
  if (e.faultCode == 0 || !e.object.classChain.empty()) return;
  e.object = HardwareExceptionObject(
      e.faultCode, HardwareExceptionMessage(e.faultCode, e.address, ModuleNameOfAddress(e.address), e.faultAccessKind,
                                            e.faultAccessed));
}

void ReportAbnormalEnd(const TExceptionObject& object) {
  TRuntimeException e;
  e.object = object;
  ReportAndEnd(e);
}

void PureVirtualCallHook() {
  if (!gHandler) __real___cxa_pure_virtual();
  ReportAbnormalEnd({{"EPureVirtualCall", "QelException"}, "Pure virtual function call"});
}

void InvalidParameterHook(const wchar_t* expression, const wchar_t* function, const wchar_t* file, unsigned line,
                          std::uintptr_t reserved) {
  if (!gHandler) {
    if (gPreviousInvalidParameter) gPreviousInvalidParameter(expression, function, file, line, reserved);
    return;
  }
  // The DLL's release build passes no details; a debug build names them.
  std::string message = "Invalid parameter passed to a C run-time routine";
  const std::string routine = Narrow(function), source = Narrow(file), test = Narrow(expression);
  if (!routine.empty()) message += " " + routine;
  if (!source.empty()) message += " (" + source + ", line " + std::to_string(line) + ")";
  if (!test.empty()) message += ": " + test;
  ReportAbnormalEnd({{"EInvalidParameter", "QelException"}, message});
}

TRuntimeHandlers InstalledRuntimeHandlers() { return gRuntimeHandlers; }

void InstallRuntimeHooks(TRuntimeReportHandler handler) {
  gHandler = handler;
  if (gInstalled) return;
  gInstalled = true;
  gPreviousTerminate = std::set_terminate(CppTerminateHook);
  gPreviousFilter = SetUnhandledExceptionFilter(UnhandledFilter);
  gPreviousBoundary = zf::SetBoundaryExceptionHandler(BoundaryHook);
  InstallRuntimeHandlers();
}

TRuntimeReportHandler RuntimeReportHandler() { return gHandler; }

void UninstallRuntimeHooks() {
  if (!gInstalled) return;
  gInstalled = false;
  std::set_terminate(gPreviousTerminate);
  SetUnhandledExceptionFilter(gPreviousFilter);
  zf::SetBoundaryExceptionHandler(gPreviousBoundary);
  UninstallRuntimeHandlers();
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

std::string ModuleNameOfAddress(std::uintptr_t address) { return zf::ModuleFileNameOfAddress(address); }

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

bool InstallRtlHooks(bool isExecutable) {
  HMODULE self = nullptr;
  std::string file;
  if (!ModuleOfAddress(reinterpret_cast<const void*>(&InstallRtlHooks), self, file)) return false;
  return InstallForeignRtlHooks(LookupForeignRtl(reinterpret_cast<std::uintptr_t>(self)), isExecutable);
}

}  // namespace qel
