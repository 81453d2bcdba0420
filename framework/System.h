// The run-time library's program end (with its runtime-error text), its
// display of an exception, its factory that turns operating-system
// exceptions into exception objects, and the end of a caught exception
// object. The exception reporter patches these routines. Windows, i686.
#pragma once
#include <cstdint>
#include <exception>
#include <string>

struct _EXCEPTION_RECORD;

namespace zf {

class TUnitTable;

// --- program end
// What Halt0 ends the process with.
extern int ExitCode;
// Where a runtime error happened; nullptr: the program ends normally.
extern const void* ErrorAddr;
// The program's unit table, finalized by Halt0; set by the program's entry.
extern TUnitTable* ProgramUnits;
// "Runtime error NNN at XXXXXXXX", filled by Halt0 when ErrorAddr is set.
inline constexpr std::size_t kRuntimeErrorTextSize = 32;
extern char RuntimeErrorText[kRuntimeErrorTextSize];
// The program's end: the runtime-error text is formatted and shown (when
// ErrorAddr is set), the program's units are finalized, the process exits
// with ExitCode. In that call order: the reporter replaces the second call.
// Programs end with it after their message loop.
[[noreturn]] void Halt0();
[[noreturn]] void Halt(int code);
// Ends the program with runtime error code at address.
[[noreturn]] void RunError(int code, const void* address);
// Halt0's first and second calls.
void FormatRuntimeError();
void ShowRuntimeError();

// --- display
// A message box with the exception's message; the caption is the program's
// file name. Used where no application object shows exceptions.
void ShowException(const std::exception* exceptObject, const void* exceptAddr);

// --- operating-system exceptions as objects
using TExceptObjectFactory = std::exception_ptr (*)(const _EXCEPTION_RECORD* record);
// The factory in use (SysExceptionObject unless a program installs another).
extern TExceptObjectFactory ExceptObjProc;
// Class name of the root of the objects the factory makes.
extern const char* ExceptClassName;
// An EExternal of the record's class (EAccessViolation, EDivByZero, ...)
// holding the record and the message ExternalExceptionMessage gives.
std::exception_ptr SysExceptionObject(const _EXCEPTION_RECORD* record);
// The file name (no path) of the module whose image holds address, or empty.
std::string ModuleFileNameOfAddress(std::uintptr_t address);

// --- the end of caught exception objects
// The object whose handling ends: the thrown object and, for classes derived
// from std::exception, that base (else nullptr).
struct TEndingException {
  const void* Object = nullptr;
  const std::exception* StdObject = nullptr;
};
// Every end of a catch block comes here (the C++ run-time's end of a catch
// is wrapped): it hands the object to FreeExceptObject.
void DoneExcept();
// Ends the handling, which frees the object once nothing else holds it.
void FreeExceptObject(const TEndingException* ending);

}  // namespace zf
