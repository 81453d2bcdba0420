#include "System.h"

#include <windows.h>

#include <cxxabi.h>

#include <cstdio>
#include <cstring>
#include <typeinfo>

#include "SysUtils.h"
#include "Units.h"

#define ZF_STR2(x) #x
#define ZF_STR(x) ZF_STR2(x)
#define ZF_SYM(name) ZF_STR(__USER_LABEL_PREFIX__) #name

extern "C" void __real___cxa_end_catch();
extern "C" void __wrap___cxa_end_catch() { zf::DoneExcept(); }

namespace zf {

int ExitCode = 0;
const void* ErrorAddr = nullptr;
TUnitTable* ProgramUnits = nullptr;
char RuntimeErrorText[kRuntimeErrorTextSize] = "Runtime error     at 00000000";
TExceptObjectFactory ExceptObjProc = &SysExceptionObject;
const char* ExceptClassName = "Exception";

// Written out so that the order of its calls is fixed: the runtime-error
// output is the second call (both only after a runtime error), the unit finalization a call of
// TUnitTable::Finalize (this in ecx). The return after the exit bounds the
// routine for whoever reads it.
__asm__(
    "  .text\n"
    "  .p2align 4\n"
    "  .globl " ZF_SYM(_ZN2zf5Halt0Ev) "\n"
    ZF_SYM(_ZN2zf5Halt0Ev) ":\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  cmpl $0, " ZF_SYM(_ZN2zf9ErrorAddrE) "\n"
    "  je 2f\n"
    "  call " ZF_SYM(_ZN2zf18FormatRuntimeErrorEv) "\n"
    "  call " ZF_SYM(_ZN2zf16ShowRuntimeErrorEv) "\n"
    "2:\n"
    "  movl " ZF_SYM(_ZN2zf12ProgramUnitsE) ", %ecx\n"
    "  testl %ecx, %ecx\n"
    "  jz 1f\n"
    "  call " ZF_SYM(_ZN2zf10TUnitTable8FinalizeEv) "\n"
    "1:\n"
    "  pushl " ZF_SYM(_ZN2zf8ExitCodeE) "\n"
    "  call " ZF_SYM(exit) "\n"
    "  leave\n"
    "  ret\n");

void Halt(int code) {
  ExitCode = code;
  Halt0();
}

void RunError(int code, const void* address) {
  ExitCode = code;
  ErrorAddr = address;
  Halt0();
}

__attribute__((noipa, used)) void FormatRuntimeError() {
  if (!ErrorAddr) return;
  std::snprintf(RuntimeErrorText, sizeof RuntimeErrorText, "Runtime error %3d at %08X", ExitCode,
                static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(ErrorAddr)));
}

__attribute__((noipa, used)) void ShowRuntimeError() {
  if (!ErrorAddr) return;
  MessageBoxA(nullptr, RuntimeErrorText, "Error", MB_OK | MB_ICONSTOP | MB_TASKMODAL);
}

namespace {

std::string ProgramTitle() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string name = path;
  const std::size_t slash = name.find_last_of("\\/:");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.erase(dot);
  return name;
}

}  // namespace

__attribute__((noipa, used)) void ShowException(const std::exception* exceptObject, const void*) {
  std::string text = "Unknown exception";
  if (const auto* e = dynamic_cast<const Exception*>(exceptObject))
    text = e->Message();
  else if (exceptObject)
    text = exceptObject->what();
  MessageBoxA(nullptr, text.c_str(), ProgramTitle().c_str(), MB_OK | MB_ICONSTOP | MB_TASKMODAL);
}

std::string ModuleFileNameOfAddress(std::uintptr_t address) {
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

std::exception_ptr SysExceptionObject(const EXCEPTION_RECORD* record) {
  if (!record) return {};
  TExceptionRecord r;
  r.Code = record->ExceptionCode;
  r.Flags = record->ExceptionFlags;
  r.Address = reinterpret_cast<std::uintptr_t>(record->ExceptionAddress);
  r.NumberParameters = record->NumberParameters < 15 ? record->NumberParameters : 15;
  for (std::uint32_t i = 0; i < r.NumberParameters; ++i) r.Information[i] = record->ExceptionInformation[i];
  const auto accessKind = static_cast<std::uint32_t>(r.NumberParameters >= 1 ? r.Information[0] : 0);
  const std::uintptr_t accessed = r.NumberParameters >= 2 ? r.Information[1] : 0;
  std::string message =
      ExternalExceptionMessage(r.Code, r.Address, ModuleFileNameOfAddress(r.Address), accessKind, accessed);
  switch (r.Code) {
    case EXCEPTION_ACCESS_VIOLATION: return std::make_exception_ptr(EAccessViolation(std::move(message), r));
    case EXCEPTION_INT_DIVIDE_BY_ZERO: return std::make_exception_ptr(EDivByZero(std::move(message), r));
    case EXCEPTION_INT_OVERFLOW: return std::make_exception_ptr(EIntOverflow(std::move(message), r));
    case EXCEPTION_STACK_OVERFLOW: return std::make_exception_ptr(EStackOverflow(std::move(message), r));
    default: return std::make_exception_ptr(EExternalException(std::move(message), r));
  }
}

// Patched at run time by the exception reporter: its call of
// FreeExceptObject is redirected.
__attribute__((noipa, used)) void DoneExcept() {
  TEndingException ending;
  if (const std::type_info* type = abi::__cxa_current_exception_type()) {
    const std::exception_ptr current = std::current_exception();
    // An exception_ptr holds the address of the thrown object.
    std::memcpy(&ending.Object, &current, sizeof ending.Object);
    void* adjusted = const_cast<void*>(ending.Object);
    if (ending.Object && typeid(std::exception).__do_catch(type, &adjusted, 1))
      ending.StdObject = static_cast<const std::exception*>(adjusted);
  }
  FreeExceptObject(&ending);
}

__attribute__((noipa, used)) void FreeExceptObject(const TEndingException*) { __real___cxa_end_catch(); }

}  // namespace zf
