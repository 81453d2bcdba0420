#include "qelExceptPatches.h"

#include <cxxabi.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <typeinfo>
#include <vector>

#include "../framework/SysUtils.h"
#include "../framework/Threads.h"
#include "../framework/Units.h"
#include "qelExceptRtlHooks.h"
#include "qelExceptSettings.h"
#include "qelExceptThreads.h"
#include "qelPatch.h"
#include "qelPatchFind.h"
#include "qelTools.h"
#include "qelTypes.h"

// The stub over the object-free call of exception end: all registers and
// flags kept, FreedExceptionNotify told of the object (the free routine's
// first stack argument), then on into the free routine as if called.
extern "C" {
std::uintptr_t qelExceptionFreeRoutine = 0;
void qelFreedExceptionEntry(const zf::TEndingException* ending) {
  // A catch inside the notification ends there too: told once.
  thread_local bool inside = false;
  if (inside) return;
  inside = true;
  qel::FreedExceptionNotify(ending);
  inside = false;
}
void qelExceptionFreeStub();
}

#define QEL_STR2(x) #x
#define QEL_STR(x) QEL_STR2(x)
#define QEL_SYM(name) QEL_STR(__USER_LABEL_PREFIX__) #name

__asm__(
    "  .text\n"
    "  .p2align 4\n"
    "  .globl " QEL_SYM(qelExceptionFreeStub) "\n"
    QEL_SYM(qelExceptionFreeStub) ":\n"
    "  pushfl\n"
    "  pushal\n"
    "  cld\n"
    "  pushl 40(%esp)\n"  // 32 bytes of registers, the flags, the return address
    "  call " QEL_SYM(qelFreedExceptionEntry) "\n"
    "  addl $4, %esp\n"
    "  popal\n"
    "  popfl\n"
    "  jmp *" QEL_SYM(qelExceptionFreeRoutine) "\n");

namespace qel {

namespace {

using TInitializePackage = void (*)(HMODULE);
using TWebEntry = DWORD(WINAPI*)(EXTENSION_CONTROL_BLOCK*);

TInitializePackage gInitializePackage = nullptr;
TWebEntry gWebEntry = nullptr;
const char* gRuntimeErrorText = nullptr;

void Report(TRuntimeException& e) {
  if (TRuntimeReportHandler handler = RuntimeReportHandler()) handler(e);
}

// The caught exception with the caller's stack and frame; can continue.
TRuntimeException CaughtHere(TExceptionObject object, const void* thrownObject, std::uintptr_t stackPointer,
                             std::uintptr_t framePointer) {
  TRuntimeException e;
  e.object = std::move(object);
  e.thrownObject = thrownObject;
  e.threadId = GetCurrentThreadId();
  e.stackPointer = stackPointer;
  e.framePointer = framePointer;
  e.canContinue = true;
  return e;
}

// Reports the exception in flight on this thread; false when there is none.
bool ReportCurrent(std::string* reportOut, std::uintptr_t stackPointer, std::uintptr_t framePointer) {
  const std::exception_ptr current = std::current_exception();
  if (!current) return false;
  TRuntimeException e = CaughtHere(DescribeException(current), ThrownObjectOf(current), stackPointer, framePointer);
  e.reportOut = reportOut;
  Report(e);
  return true;
}

std::string Demangled(const std::type_info& type) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status),
                                              std::free);
  return status == 0 && name ? std::string(name.get()) : std::string(type.name());
}

// The description of an exception object that may not be in flight.
TExceptionObject DescribeObject(const std::exception& x) {
  const std::exception_ptr current = std::current_exception();
  if (current && ThrownObjectOf(current) == &x) return DescribeException(current);
  TExceptionObject object;
  auto chain = [&object](const char* name, const char* root, std::string message) {
    object.classChain.push_back(name);
    if (object.classChain.front() != root) object.classChain.push_back(root);
    object.message = std::move(message);
  };
  if (const auto* z = dynamic_cast<const zf::Exception*>(&x))
    chain(z->ClassName(), "Exception", z->Message());
  else if (const auto* q = dynamic_cast<const QelException*>(&x))
    chain(q->ClassName(), "QelException", q->Message());
  else
    chain(Demangled(typeid(x)).c_str(), "std::exception", x.what());
  return object;
}

bool PatchJumpTo(std::uintptr_t routine, const void* replacement) {
  return routine && PatchJump(reinterpret_cast<void*>(routine), replacement);
}

bool RedirectCall(std::uintptr_t routine, std::uintptr_t target, int nth, const void* replacement) {
  return routine && PatchCallInRoutine(reinterpret_cast<void*>(routine), reinterpret_cast<const void*>(target), nth,
                                       replacement);
}

// The routine a call leads to, through a jump at its start.
std::uintptr_t Followed(std::uintptr_t routine) {
  if (!routine) return 0;
  const TOwnProcessReader reader;
  return static_cast<std::uintptr_t>(FollowJump(reader, routine));
}

template <class F>
std::uintptr_t RoutineAddress(F* routine) {
  return reinterpret_cast<std::uintptr_t>(reinterpret_cast<void*>(routine));
}

std::uintptr_t ExportOf(HMODULE module, const char* name) {
  return module ? reinterpret_cast<std::uintptr_t>(ExportByName(module, name)) : 0;
}

// The target of the nth relative call from routine on (a bounded scan).
std::uintptr_t NthCallTarget(const MemoryReader& code, std::uintptr_t routine, int nth) {
  TCallSite site;
  if (!routine || !FindCallInRoutine(code, routine, routine + 0x400, 0, nth, site)) return 0;
  return static_cast<std::uintptr_t>(site.target);
}

// The constant that routine, up to its first return, stores into the handler
// field of an exception registration (mov dword [reg+4], imm32); 0 if none.
std::uintptr_t StoredHandler(const MemoryReader& code, std::uintptr_t routine) {
  Address at = routine;
  for (int i = 0; routine && i < 256; ++i) {
    InstructionRecord rec;
    DecodeInstructionAt(code, at, rec);
    if (!rec.valid || rec.next <= at) return 0;
    std::uint8_t bytes[8] = {};
    if (code.Read(at, bytes, sizeof bytes) && bytes[0] == 0xC7 && (bytes[1] & 0xF8) == 0x40) {
      const bool sib = (bytes[1] & 7) == 4;
      if (bytes[sib ? 3 : 2] == 4) {
        std::uint32_t value = 0;
        std::memcpy(&value, bytes + (sib ? 4 : 3), sizeof value);
        return value;
      }
    }
    if (rec.opcode == 0xC3 || rec.opcode == 0xC2) return 0;
    at = rec.next;
  }
  return 0;
}

[[noreturn]] void EndThisThread() {
  SetThreadName(GetCurrentThreadId(), "");
  ExitThread(0);
}

}  // namespace

// --- installation -------------------------------------------------------------------------------

TCodePatchTargets RelocatedPatchTargets(std::uintptr_t instance) {
  auto at = [instance](TPatchEntry entry) { return RelocatePatchEntry(qelPatchTable[entry], instance); };
  TCodePatchTargets t;
  t.appHandleException = at(peAppHandleException);
  t.appShowException = at(peAppShowException);
  t.clxHandleException = at(peClxHandleException);
  t.clxShowException = at(peClxShowException);
  t.rtlShowException = at(peShowException);
  t.loadPackage = at(peLoadPackage);
  t.initializePackage = at(peInitializePackage);
  t.checkSynchronize = at(peCheckSynchronize);
  t.furtherRoutineA = at(peFurtherRoutineA);
  t.furtherRoutineB = at(peFurtherRoutineB);
  t.webExtension = at(peWebExtension);
  t.halt0 = at(peHalt0);
  t.startUp = at(peStartUp);
  t.finalizeUnits = at(peFinalizeUnits);
  t.topLevelHandler = at(peTopLevelHandler);
  t.runtimeErrorText = at(peRuntimeErrorText);
  t.doneExcept = at(peDoneExcept);
  // The framework's own helpers of the two routines.
  if (t.doneExcept) t.exceptionFree = RoutineAddress(&zf::FreeExceptObject);
  if (t.checkSynchronize) t.acquireException = RoutineAddress(&zf::AcquireExceptionObject);
  return t;
}

void TakeFromRuntimePackages(TCodePatchTargets& t, bool& isExecutable) {
  const TOwnProcessReader reader;
  if (!t.topLevelHandler) {
    if (HMODULE runtime = GetModuleHandleA(kRuntimePackage)) {
      const std::uintptr_t show = ExportOf(runtime, "ShowException");
      std::uint8_t first = 0;
      if (show && reader.Read(show, &first, 1) && first == 0xE9) {
        // Another module's reporter patched the package already.
        isExecutable = false;
      } else {
        t.rtlShowException = show;
        t.loadPackage = ExportOf(runtime, "LoadPackage");
        t.initializePackage = ExportOf(runtime, "InitializePackage");
        t.checkSynchronize = ExportOf(runtime, "CheckSynchronize");
        t.acquireException = ExportOf(runtime, "AcquireExceptionObject");
        t.halt0 = ExportOf(runtime, "Halt0");
        t.runtimeErrorText = ExportOf(runtime, "RuntimeErrorText");
        t.doneExcept = ExportOf(runtime, "DoneExcept");
        t.exceptionFree = ExportOf(runtime, "FreeExceptObject");
        const std::uintptr_t start = ExportOf(runtime, "StartProgram");
        t.topLevelHandler = StoredHandler(reader, NthCallTarget(reader, start, 1));
        t.startUp = NthCallTarget(reader, start, 2);
        t.finalizeUnits = NthCallTarget(reader, t.startUp, 1);
      }
    }
  }
  if (!t.appHandleException || !t.appShowException) {
    if (HMODULE components = GetModuleHandleA(kComponentPackage)) {
      t.appHandleException = ExportOf(components, "ApplicationHandleException");
      t.appShowException = ExportOf(components, "ApplicationShowException");
    }
  }
  if (!t.clxHandleException || !t.clxShowException) {
    if (HMODULE cross = GetModuleHandleA(kCrossPlatformPackage)) {
      t.clxHandleException = ExportOf(cross, "ApplicationHandleException");
      t.clxShowException = ExportOf(cross, "ApplicationShowException");
    }
  }
}

void ApplyCodePatches(const TCodePatchTargets& t) {
  PatchJumpTo(t.topLevelHandler, reinterpret_cast<const void*>(&ReplTopLevelHandler));
  PatchJumpTo(t.appHandleException, reinterpret_cast<const void*>(&ReplHandleExceptionApp));
  PatchJumpTo(t.appShowException, reinterpret_cast<const void*>(&ReplShowExceptionApp));
  PatchJumpTo(t.clxHandleException, reinterpret_cast<const void*>(&ReplHandleExceptionApp));
  PatchJumpTo(t.clxShowException, reinterpret_cast<const void*>(&ReplShowExceptionApp));
  PatchJumpTo(t.rtlShowException, reinterpret_cast<const void*>(&ReplShowExceptionSysUtils));
  PatchJumpTo(t.furtherRoutineA, reinterpret_cast<const void*>(&ReplFurtherRoutineA));
  PatchJumpTo(t.furtherRoutineB, reinterpret_cast<const void*>(&ReplFurtherRoutineB));
  if (t.webExtension) {
    gWebEntry = reinterpret_cast<TWebEntry>(t.webExtension);
    HtmlMode = true;
  }
  if (t.loadPackage && t.initializePackage) {
    gInitializePackage = reinterpret_cast<TInitializePackage>(t.initializePackage);
    RedirectCall(t.loadPackage, t.initializePackage, 1, reinterpret_cast<const void*>(&ReplInitializePackage));
  }
  if (t.checkSynchronize && t.acquireException)
    RedirectCall(t.checkSynchronize, Followed(t.acquireException), 1,
                 reinterpret_cast<const void*>(&ReplCheckSynchronizeAcquire));
  if (t.halt0) {
    gRuntimeErrorText = reinterpret_cast<const char*>(t.runtimeErrorText);
    RedirectCall(t.halt0, 0, 2, reinterpret_cast<const void*>(&ReplRuntimeErrorMessage));
  }
  // Without the finalization routine a search would take any call.
  if (t.finalizeUnits) {
    RedirectCall(t.halt0, t.finalizeUnits, 1, reinterpret_cast<const void*>(&ReplFinalizeUnits));
    RedirectCall(t.startUp, t.finalizeUnits, 1, reinterpret_cast<const void*>(&ReplFinalizeUnits));
    RedirectCall(t.finalizeUnits, t.finalizeUnits, 1, reinterpret_cast<const void*>(&ReplFinalizeUnits));
  }
  if (t.doneExcept && t.exceptionFree) {
    qelExceptionFreeRoutine = Followed(t.exceptionFree);
    RedirectCall(t.doneExcept, qelExceptionFreeRoutine, 1, reinterpret_cast<const void*>(&qelExceptionFreeStub));
  }
}

void InstallCodePatches(HMODULE instance, bool& isExecutable) {
  if (!CatchExceptions || !PatchRtlGui) return;
  if (!isExecutable) isExecutable = GetModuleHandleA(nullptr) == instance;
  TCodePatchTargets targets = RelocatedPatchTargets(reinterpret_cast<std::uintptr_t>(instance));
  if (isExecutable &&
      (!targets.topLevelHandler || !targets.appHandleException || !targets.clxHandleException))
    TakeFromRuntimePackages(targets, isExecutable);
  ApplyCodePatches(targets);
}

// --- replacement entry points -------------------------------------------------------------------

void __attribute__((thiscall)) ReplHandleExceptionApp(zf::TApplication*, zf::TObject*) {
  const std::uintptr_t sp = CurrentStackPtr(), fp = CurrentFramePtr();
  // A window that holds the mouse would keep it while the box is up.
  if (HWND capture = GetCapture()) SendMessageA(capture, WM_CANCELMODE, 0, 0);
  ReportCurrent(nullptr, sp, fp);
}

void __attribute__((thiscall)) ReplShowExceptionApp(zf::TApplication*, const std::exception& x) {
  TRuntimeException e = CaughtHere(DescribeObject(x), &x, CurrentStackPtr(), CurrentFramePtr());
  Report(e);
}

void ReplShowExceptionSysUtils(const std::exception* exceptObject, const void* exceptAddr) {
  TExceptionObject object;
  if (exceptObject) object = DescribeObject(*exceptObject);
  TRuntimeException e = CaughtHere(std::move(object), exceptObject, CurrentStackPtr(), CurrentFramePtr());
  e.address = reinterpret_cast<std::uintptr_t>(exceptAddr);
  Report(e);
}

std::exception_ptr ReplCheckSynchronizeAcquire() {
  ReportCurrent(nullptr, CurrentStackPtr(), CurrentFramePtr());
  return nullptr;
}

void __attribute__((thiscall)) ReplFinalizeUnits(zf::TUnitTable* table) {
  const bool inFlight = std::uncaught_exceptions() > 0 || std::current_exception() != nullptr;
  if (inFlight && MainThreadId != 0 && GetCurrentThreadId() == MainThreadId) return;
  table->Finalize();
}

void ReplRuntimeErrorMessage() {
  std::string text = "Runtime error";
  if (gRuntimeErrorText) {
    char buffer[256] = {};
    // The buffer is the run-time's: read it as far as it is readable.
    for (std::size_t i = 0; i + 1 < sizeof buffer && SafeReadMemory(gRuntimeErrorText + i, buffer + i, 1); ++i)
      if (buffer[i] == 0) break;
    text = buffer;
  }
  TRuntimeException e = CaughtHere({{"QelException"}, text}, nullptr, CurrentStackPtr(), CurrentFramePtr());
  e.address = reinterpret_cast<std::uintptr_t>(zf::ErrorAddr);
  e.canContinue = false;
  Report(e);
}

void ReplInitializePackage(HMODULE module) {
  const std::uintptr_t sp = CurrentStackPtr(), fp = CurrentFramePtr();
  try {
    if (gInitializePackage) gInitializePackage(module);
  } catch (...) {
    ReportCurrent(nullptr, sp, fp);
  }
}

void ReplFurtherRoutineA() { ReportCurrent(nullptr, CurrentStackPtr(), CurrentFramePtr()); }

void ReplFurtherRoutineB() { ReportCurrent(&ThreadReportOut(), CurrentStackPtr(), CurrentFramePtr()); }

std::string& ThreadReportOut() {
  thread_local std::string report;
  return report;
}

// --- top-level handler of threads -------------------------------------------------------------------

std::string OsExceptionText(const EXCEPTION_RECORD& record) {
  const auto address = reinterpret_cast<std::uintptr_t>(record.ExceptionAddress);
  const auto accessKind =
      static_cast<std::uint32_t>(record.NumberParameters >= 1 ? record.ExceptionInformation[0] : 0);
  const std::uintptr_t accessed = record.NumberParameters >= 2 ? record.ExceptionInformation[1] : 0;
  return HardwareExceptionMessage(record.ExceptionCode, address, ModuleNameOfAddress(address), accessKind, accessed);
}

void OsExceptionMessage(const EXCEPTION_RECORD& record) {
  TRuntimeException e = CaughtHere({{"QelException"}, OsExceptionText(record)}, nullptr, CurrentStackPtr(), 0);
  e.address = reinterpret_cast<std::uintptr_t>(record.ExceptionAddress);
  e.canContinue = false;
  Report(e);
}

EXCEPTION_DISPOSITION __cdecl ReplTopLevelHandler(EXCEPTION_RECORD* record, void* establisherFrame, CONTEXT*,
                                                  void*) {
  // An unwinding pass wants "continue search": any other answer is an
  // invalid disposition there.
  if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) return ExceptionContinueSearch;
  const std::uint16_t control = 0x1332;
  __asm__ volatile("cld\n\tfninit\n\tfwait\n\tfldcw %0" : : "m"(control));
  // The frames above the thread's own are left for good.
  RtlUnwind(establisherFrame, nullptr, record, nullptr);
  if (record->ExceptionCode == kFrameworkExceptionCode && record->NumberParameters >= 2) {
    const auto* caught = reinterpret_cast<const std::exception_ptr*>(record->ExceptionInformation[1]);
    TRuntimeException e = CaughtHere(caught ? DescribeException(*caught) : TExceptionObject{},
                                     caught ? ThrownObjectOf(*caught) : nullptr, CurrentStackPtr(), 0);
    e.address = record->ExceptionInformation[0];
    e.canContinue = GetCurrentThreadId() != MainThreadId;
    Report(e);
  } else {
    // The run-time's factory makes the object; without one, or when it gives
    // none, only a message can be reported.
    const std::exception_ptr object = ExceptObjProc ? ExceptObjProc(record) : nullptr;
    if (object) {
      TRuntimeException e = CaughtHere(DescribeException(object), ThrownObjectOf(object), CurrentStackPtr(), 0);
      e.address = reinterpret_cast<std::uintptr_t>(record->ExceptionAddress);
      e.canContinue = GetCurrentThreadId() != MainThreadId;
      Report(e);
    } else {
      OsExceptionMessage(*record);
    }
  }
  EndThisThread();
}

// --- exception end ---------------------------------------------------------------------------------

void FreedExceptionNotify(const zf::TEndingException* ending) {
  try {
    const auto* external = ending ? dynamic_cast<const zf::EExternalException*>(ending->StdObject) : nullptr;
    if (!external) return;
    const zf::TExceptionRecord& r = external->ExceptionRecord();
    if (r.Code != kThreadNameException || r.NumberParameters < 4 || r.Information[0] != 0x1000 ||
        r.Information[3] != 0)
      return;
    char name[256] = {};
    const auto* text = reinterpret_cast<const char*>(r.Information[1]);
    for (std::size_t i = 0; i + 1 < sizeof name && SafeReadMemory(text + i, name + i, 1); ++i)
      if (name[i] == 0) break;
    const DWORD id = r.Information[2] == 0xFFFFFFFFu ? GetCurrentThreadId() : static_cast<DWORD>(r.Information[2]);
    if (name[0]) SetThreadName(id, name);
    // Handlers of kind 2 would be told here: these programs register none.
  } catch (...) {
  }
}

// --- web-server extension wrapper --------------------------------------------------------------------

namespace {

struct TWebRequest {
  decltype(EXTENSION_CONTROL_BLOCK::ServerSupportFunction) serverSupport = nullptr;
  bool headerSent = false;
  std::unique_ptr<EXTENSION_CONTROL_BLOCK> copy;
};

std::mutex& WebLock() {
  static std::mutex lock;
  return lock;
}

std::vector<TWebRequest>& WebRequests() {
  static std::vector<TWebRequest> requests;
  return requests;
}

// Under WebLock; nullptr when the connection has no open request.
TWebRequest* FindWebRequest(HCONN connection) {
  for (TWebRequest& r : WebRequests())
    if (r.copy->ConnID == connection) return &r;
  return nullptr;
}

}  // namespace

DWORD WINAPI WebExtensionWrapper(EXTENSION_CONTROL_BLOCK* ecb) {
  if (!gWebEntry || !ecb) return HSE_STATUS_ERROR;
  auto copy = std::make_unique<EXTENSION_CONTROL_BLOCK>(*ecb);
  copy->ServerSupportFunction = &WebServerSupport;
  EXTENSION_CONTROL_BLOCK* block = copy.get();
  {
    std::lock_guard<std::mutex> lock(WebLock());
    std::vector<TWebRequest>& requests = WebRequests();
    if (requests.size() == requests.capacity()) requests.reserve(requests.empty() ? 64 : 2 * requests.capacity());
    requests.push_back({ecb->ServerSupportFunction, false, std::move(copy)});
  }
  std::string report;
  DWORD result;
  const std::uintptr_t sp = CurrentStackPtr(), fp = CurrentFramePtr();
  try {
    result = gWebEntry(block);
  } catch (...) {
    ReportCurrent(&report, sp, fp);
    result = HSE_STATUS_ERROR;
  }
  if (result == HSE_STATUS_PENDING) return result;
  const bool headerSent = RemoveWebRequest(ecb->ConnID);
  if (result == HSE_STATUS_ERROR && !report.empty()) {
    if (!headerSent)  // the default status, then the header text
      ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, nullptr, nullptr,
                                 reinterpret_cast<LPDWORD>(const_cast<char*>(kWebErrorHeader)));
    std::string page = HtmlPageRoutine ? HtmlPageRoutine(report) : report;
    DWORD size = static_cast<DWORD>(page.size());
    ecb->WriteClient(ecb->ConnID, page.data(), &size, HSE_IO_SYNC);
  }
  return result;
}

BOOL WINAPI WebServerSupport(HCONN connection, DWORD request, LPVOID buffer, LPDWORD size, LPDWORD dataType) {
  decltype(EXTENSION_CONTROL_BLOCK::ServerSupportFunction) serverSupport = nullptr;
  {
    std::lock_guard<std::mutex> lock(WebLock());
    if (TWebRequest* r = FindWebRequest(connection)) serverSupport = r->serverSupport;
  }
  if (!serverSupport) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const BOOL ok = serverSupport(connection, request, buffer, size, dataType);
  if (ok && (request == HSE_REQ_SEND_RESPONSE_HEADER || request == HSE_REQ_SEND_RESPONSE_HEADER_EX)) {
    std::lock_guard<std::mutex> lock(WebLock());
    if (TWebRequest* r = FindWebRequest(connection)) r->headerSent = true;
  }
  if (request == HSE_REQ_DONE_WITH_SESSION) RemoveWebRequest(connection);
  return ok;
}

bool RemoveWebRequest(HCONN connection) {
  std::lock_guard<std::mutex> lock(WebLock());
  std::vector<TWebRequest>& requests = WebRequests();
  for (auto it = requests.begin(); it != requests.end(); ++it) {
    if (it->copy->ConnID != connection) continue;
    const bool headerSent = it->headerSent;
    requests.erase(it);
    return headerSent;
  }
  return false;
}

std::size_t OpenWebRequestCount() {
  std::lock_guard<std::mutex> lock(WebLock());
  return WebRequests().size();
}

}  // namespace qel
