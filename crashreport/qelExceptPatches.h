// Code patches that make the framework's own exception paths report through
// the reporter: jumps over framework routines and redirected calls, each to a
// replacement entry point. Every write is undone at shutdown. Windows, i686.
// Every replacement hands what it caught to RuntimeReportHandler().
#pragma once
#include <windows.h>
#include <httpext.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "../framework/System.h"
#include "qelExceptReportCore.h"

namespace zf {
class TApplication;
class TObject;
class TUnitTable;
}  // namespace zf

namespace qel {

// The routines to patch as addresses in the running module, 0 = none.
struct TCodePatchTargets {
  std::uintptr_t appHandleException = 0;
  std::uintptr_t appShowException = 0;
  std::uintptr_t clxHandleException = 0;
  std::uintptr_t clxShowException = 0;
  std::uintptr_t rtlShowException = 0;
  std::uintptr_t loadPackage = 0;
  std::uintptr_t initializePackage = 0;
  std::uintptr_t checkSynchronize = 0;
  std::uintptr_t furtherRoutineA = 0;
  std::uintptr_t furtherRoutineB = 0;
  std::uintptr_t webExtension = 0;
  std::uintptr_t halt0 = 0;
  std::uintptr_t startUp = 0;
  std::uintptr_t finalizeUnits = 0;
  std::uintptr_t topLevelHandler = 0;
  std::uintptr_t runtimeErrorText = 0;
  std::uintptr_t doneExcept = 0;
  // The object-free routine whose call inside doneExcept is redirected and
  // the routine inside checkSynchronize that takes over the exception: the
  // patch table has no entries for them; they come with their run-time.
  std::uintptr_t exceptionFree = 0;
  std::uintptr_t acquireException = 0;
};

// The patch table's entries relocated to the module at instance.
TCodePatchTargets RelocatedPatchTargets(std::uintptr_t instance);
// The jumps, then the call redirections, in the reporter's installation
// order; empty targets are skipped. Sets HtmlMode when webExtension is set.
void ApplyCodePatches(const TCodePatchTargets& targets);
// The module names of the framework's run-time packages (run-time library,
// component library, cross-platform component library).
inline constexpr const char* kRuntimePackage = "zfruntime.dll";
inline constexpr const char* kComponentPackage = "zfcomponents.dll";
inline constexpr const char* kCrossPlatformPackage = "zfcrossplatform.dll";
// Fills empty entries from the loaded run-time packages: with the top-level
// handler empty, from the run-time package's exports and its decoded program
// start (nothing when its ShowException already starts with a jump: then
// isExecutable becomes false); with the application entries empty, from the
// component packages' exports.
void TakeFromRuntimePackages(TCodePatchTargets& targets, bool& isExecutable);
// Applies the patches of the (relocated) patch table of the module at
// instance, when CatchExceptions and PatchRtlGui are both set. isExecutable:
// whether the module is the program's executable; worked out here when the
// caller passes false and it is.
void InstallCodePatches(HMODULE instance, bool& isExecutable);

// --- replacement entry points (each keeps the convention of what it replaces)
// TApplication::HandleException(TObject* Sender): the exception in flight.
void __attribute__((thiscall)) ReplHandleExceptionApp(zf::TApplication* application, zf::TObject* sender);
// TApplication::ShowException(const std::exception&): the given object.
void __attribute__((thiscall)) ReplShowExceptionApp(zf::TApplication* application, const std::exception& e);
// The run-time's ShowException(object, address): the given object and address.
void ReplShowExceptionSysUtils(const std::exception* exceptObject, const void* exceptAddr);
// The hand-over of the exception object inside CheckSynchronize: reports the
// exception in flight and gives none, so the thread that asked for the
// synchronised call sees no exception.
std::exception_ptr ReplCheckSynchronizeAcquire();
// Calls of TUnitTable::Finalize: skipped on the main thread while an
// exception is being raised or handled, so that a failed start-up is
// reported with every unit still initialised.
void __attribute__((thiscall)) ReplFinalizeUnits(zf::TUnitTable* table);
// The runtime-error output of the program end: reports a QelException with the
// runtime-error text (cannot continue).
void ReplRuntimeErrorMessage();
// Package initialization under a guard that reports what it raises.
void ReplInitializePackage(HMODULE module);
// Further routines: report the exception in flight (can continue); B stores
// the report into the calling thread's report-out string.
void ReplFurtherRoutineA();
void ReplFurtherRoutineB();
std::string& ThreadReportOut();

// The code of exceptions raised by the framework's thread routine for a C++
// exception that left the thread: parameter 0 the address, parameter 1 the
// address of a std::exception_ptr.
inline constexpr DWORD kFrameworkExceptionCode = 0x0EEDFADE;
// The top-level exception handler of threads: reports, then ends only the
// calling thread (exit code 0).
EXCEPTION_DISPOSITION __cdecl ReplTopLevelHandler(EXCEPTION_RECORD* record, void* establisherFrame,
                                                  CONTEXT* context, void* dispatcherContext);
// The message of an operating-system exception without an object.
std::string OsExceptionText(const EXCEPTION_RECORD& record);
// Reports a QelException with that message, the record's address, cannot continue.
void OsExceptionMessage(const EXCEPTION_RECORD& record);

// --- exception end
inline constexpr DWORD kThreadNameException = 0x406D1388;
// A handled "EExternalException" that names a thread (the debugger
// convention: info type 0x1000, the name, the thread id or -1, flags 0) names
// that thread in the thread list. Never raises.
void FreedExceptionNotify(const zf::TEndingException* ending);

// --- web-server extension wrapper
// The module's request entry (the web-server extension entry of the table)
// run on a copy of the control block whose ServerSupportFunction is
// WebServerSupport; an exception there gives the HTML page and result 4.
DWORD WINAPI WebExtensionWrapper(EXTENSION_CONTROL_BLOCK* ecb);
BOOL WINAPI WebServerSupport(HCONN connection, DWORD request, LPVOID buffer, LPDWORD size, LPDWORD dataType);
// Removes the open request; its header-sent flag (false when not open).
bool RemoveWebRequest(HCONN connection);
std::size_t OpenWebRequestCount();
inline constexpr const char* kWebErrorHeader = "Content-Type: text/html\r\n\r\n";

}  // namespace qel
