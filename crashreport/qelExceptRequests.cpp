#include "qelExceptRequests.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "qelExceptFreeze.h"
#include "qelExceptHistory.h"
#include "qelExceptPause.h"
#include "qelExceptProcess.h"
#include "qelExceptReport.h"
#include "qelExceptRequestsCore.h"
#include "qelExceptSettings.h"
#include "qelExceptThreads.h"
#include "qelReportActions.h"
#include "qelScreenShot.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace qel {

TExceptionBoxRoutine ExceptionBoxRoutine = nullptr;

static_assert(kExceptEventHandlers == hkExceptEvent && kActionHandlers == hkAction);
static_assert(kActionClose == eaCloseApplication && kActionRestart == eaRestartApplication &&
              kActionContinue == eaContinueApplication && kActionSave == eaSaveBugReport &&
              kActionMail == eaMailBugReport);

namespace {

constexpr uint32_t kNoThread = 0xFFFFFFFF;
constexpr DWORD kRequestSize = sizeof(TExceptionRequest);
constexpr DWORD kStopWait = 500;

std::atomic<uint32_t> gThreadId{kNoThread};
HANDLE gThread = nullptr;
HANDLE gPipeRead = nullptr;
std::atomic<HANDLE> gPipeWrite{nullptr};

// --- storage set aside for the requests in flight ------------------------------
// A faulting thread may hold the heap's lock, so from the fault to the pipe
// write nothing may allocate: each request in flight takes one of these.
constexpr size_t kRequestSlots = 16;
constexpr size_t kMaxThrowItems = 2048;
struct TRequestSlot {
  std::atomic<LONG> Busy{0};
  HANDLE Done = nullptr;  // manual reset, made with the first exception thread, kept
  THardwareFault Fault;
  TExceptionObject FaultObject;  // made from Fault where the request is processed
  uint32_t Serial = 0;           // the request's place in the pipe
  uint8_t ThrowStack[4 + 5 * kMaxThrowItems];
};
TRequestSlot gSlots[kRequestSlots];

// A lock for the few instructions around the pipe write, so that serial
// numbers follow the pipe's order. It never allocates.
std::atomic<LONG> gWriteLock{0};
uint32_t gWriteSerial = 0;  // under gWriteLock
std::atomic<int> gPending{0};
std::atomic<uint32_t> gProcessedSerial{0};

// Takes a free slot, waiting while all are in use; gives it back at the end.
class TSlotHold {
public:
  TSlotHold() {
    for (;;) {
      for (TRequestSlot& slot : gSlots) {
        LONG expected = 0;
        if (slot.Busy.compare_exchange_strong(expected, 1)) {
          FSlot = &slot;
          return;
        }
      }
      Sleep(1);
    }
  }
  ~TSlotHold() {
    if (FSlot->Done != nullptr) ResetEvent(FSlot->Done);
    FSlot->Fault = {};
    FSlot->Busy.store(0);
  }
  TSlotHold(const TSlotHold&) = delete;
  TSlotHold& operator=(const TSlotHold&) = delete;
  TRequestSlot& operator*() const { return *FSlot; }
  TRequestSlot* operator->() const { return FSlot; }

private:
  TRequestSlot* FSlot = nullptr;
};

TRequestSlot* SlotOfFaultObject(const TExceptionObject* object) {
  for (TRequestSlot& slot : gSlots)
    if (object == &slot.FaultObject) return &slot;
  return nullptr;
}

// Copies the newest items of block (dword count, 5-byte items) into the
// slot; false when there are none.
bool StoreThrowStack(TRequestSlot& slot, const std::vector<uint8_t>& block) {
  if (block.size() < 4) return false;
  uint32_t count = 0;
  memcpy(&count, block.data(), 4);
  count = std::min<uint32_t>(count, static_cast<uint32_t>((block.size() - 4) / 5));
  if (count == 0) return false;
  const uint32_t kept = std::min<uint32_t>(count, kMaxThrowItems);
  memcpy(slot.ThrowStack, &kept, 4);
  memcpy(slot.ThrowStack + 4, block.data() + 4 + 5 * (count - kept), 5 * kept);
  return true;
}

// --- whether another thread can have the process heap ------------------------------
// A thread that faults while it holds the process heap's lock keeps every
// other thread from that heap, and the exception thread could not make its
// report. A probe thread takes the lock when asked; when it cannot within
// kHeapProbeWait, the report is made on the reporting thread, which can.
constexpr DWORD kHeapProbeWait = 2000;
HANDLE gProbeThread = nullptr;
HANDLE gProbeGo = nullptr;    // auto reset
HANDLE gProbeDone = nullptr;  // auto reset
std::atomic<uint32_t> gProbeAsked{0}, gProbeAnswered{0};

DWORD WINAPI HeapProbeProc(void*) {
  while (WaitForSingleObject(gProbeGo, INFINITE) == WAIT_OBJECT_0) {
    const uint32_t asked = gProbeAsked.load();
    HeapLock(GetProcessHeap());
    HeapUnlock(GetProcessHeap());
    gProbeAnswered.store(asked);
    SetEvent(gProbeDone);
  }
  return 0;
}

// Started once and kept for the process: a probe stuck behind a held heap
// lock must not be ended from outside.
void StartHeapProbe() {
  if (gProbeThread != nullptr) return;
  gProbeGo = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  gProbeDone = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  DWORD id = 0;
  if (gProbeGo != nullptr && gProbeDone != nullptr)
    gProbeThread = CreateThread(nullptr, 0, &HeapProbeProc, nullptr, 0, &id);
  if (gProbeThread == nullptr) return;
  StoreThreadInfo(id, gProbeThread, "-", 0, nullptr, {});
  SetThreadPriority(gProbeThread, THREAD_PRIORITY_HIGHEST);
}

bool ProcessHeapAvailable() {
  if (gProbeThread == nullptr) return true;
  const uint32_t asked = ++gProbeAsked;
  SetEvent(gProbeGo);
  const DWORD start = GetTickCount();
  while (static_cast<int32_t>(gProbeAnswered.load() - asked) < 0) {
    if (GetTickCount() - start >= kHeapProbeWait) return false;
    WaitForSingleObject(gProbeDone, 20);
  }
  return true;
}

// --- the end of the program, after every queued report -----------------------------
// A close or restart decided on the exception thread waits while other
// requests are in the pipe: each of them still gets its report. The request
// that decided it keeps its thread held (going on, a faulting thread would
// end the process).
enum class TDeferredEnd : uint8_t { None, Close, Restart };
TDeferredEnd gDeferredEnd = TDeferredEnd::None;  // exception thread only
bool gDeferredByThisRequest = false;

bool DeferEnd(TDeferredEnd end) {
  if (GetCurrentThreadId() != gThreadId.load() || gPending.load() <= 1) return false;
  if (gDeferredEnd == TDeferredEnd::None) gDeferredEnd = end;  // the first decision stands
  gDeferredByThisRequest = true;
  return true;
}

void RunDeferredEnd() {
  if (gDeferredEnd == TDeferredEnd::Restart) qel::RestartApplication(ExceptionTimeHistory());
  qel::CloseApplication();
}

HINSTANCE OwnInstance() { return reinterpret_cast<HINSTANCE>(&__ImageBase); }

bool IsConsoleProgram() {
  const auto* base = reinterpret_cast<const uint8_t*>(GetModuleHandleA(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  return nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI;
}

// The capture routine of the patch table, in this module.
using TCaptureRoutine = void (*)(uint8_t mode, std::string& png);
TCaptureRoutine CaptureRoutine() {
  const uintptr_t address =
      RelocatePatchEntry(qelPatchTable[peCaptureRoutine], reinterpret_cast<uintptr_t>(OwnInstance()));
  return reinterpret_cast<TCaptureRoutine>(address);
}

TRequestSettings CurrentRequestSettings() {
  TRequestSettings s;
  s.ShowExceptBox = ShowExceptBox;
  s.HtmlMode = HtmlMode;
  s.ConsoleOutput = ConsoleOutput;
  s.ConsoleProgram = IsConsoleProgram();
  s.PauseRunningThreads = PauseRunningThreads;
  s.ReporterInExecutable = GetModuleHandleA(nullptr) == OwnInstance();
  s.AutoSaveBugReport = AutoSaveBugReport;
  s.AutoMailBugReport = AutoMailBugReport;
  s.AutoCloseSeconds = AutoCloseSeconds;
  s.AutoRestartSeconds = AutoRestartSeconds;
  s.ScreenShotSetting = ScreenShotSetting;
  s.IgnoredExceptionClasses = IgnoredExceptionClasses;
  return s;
}

// The steps of one request, carried out for the reporter.
class TRequestWork : public TRequestSteps {
public:
  explicit TRequestWork(TExceptionRequest& request) : R(request) {}

  void PauseOtherThreads(bool pause) override { qel::PauseOtherThreads(pause); }
  void PushExceptionTime() override { qel::PushExceptionTime(ExceptionTimeHistory(), NowSeconds()); }
  void CallHandlers(uint8_t kind, uint8_t phase, uint32_t action, bool& handled, bool& canContinue,
                    std::string& screenshot, std::string& report) override {
    CallExceptHandlers(kind, phase, action, &handled, &canContinue, &screenshot, &report, R.RequestThreadId,
                       R.ExceptAddr, const_cast<TExceptionObject*>(R.ExceptObject), R.Frozen);
  }
  bool CaptureAvailable() override { return CaptureRoutine() != nullptr; }
  void CaptureScreen(uint8_t mode, std::string& png) override { CaptureRoutine()(mode, png); }
  void ComposeReport(bool progress, std::string& report) override {
    ComposeBugReport(R.Frozen, R.ExceptObject, R.ExceptAddr, R.RequestThreadId, R.StackPtr, R.FramePtr, progress,
                     nullptr, report, R.ThrowStack);
  }
  void SaveReport(const std::string& report) override {
    qel::SaveBugReport(ActionSettings(), report, nullptr, true);
  }
  void MailReport(const std::string& report, const std::string& screenshot) override {
    qel::MailBugReport(ActionSettings(), report, screenshot, nullptr, true);
  }
  void ShowBox(bool canContinue, const std::string& screenshot, const std::string& report) override {
    if (ExceptionBoxRoutine != nullptr)
      ExceptionBoxRoutine(R.Frozen, R.ExceptObject, R.ExceptAddr, canContinue, screenshot, report);
  }
  void StoreHtmlReport(const std::string& report) override {
    if (R.ReportOut != nullptr) *R.ReportOut = report;
  }
  bool AutoActionDue(uint32_t seconds) override { return qel::AutoActionDue(seconds); }
  void CloseApplication() override {
    if (!DeferEnd(TDeferredEnd::Close)) qel::CloseApplication();
  }
  void RestartApplication() override {
    if (!DeferEnd(TDeferredEnd::Restart)) qel::RestartApplication(ExceptionTimeHistory());
  }
  void ResetFreezeMissCount() override { qel::ResetFreezeMissCount(); }

private:
  static TReportActionSettings ActionSettings() {
    TReportActionSettings s = ReportActionSettingsFromSettings();
    s.ReleaseMainThread = [] { return qel::ReleaseMainThread(); };
    s.HoldMainThread = [] { qel::HoldMainThread(); };
    return s;
  }
  TExceptionRequest& R;
};

// Reads one whole request; false when the pipe fails or closes.
bool ReadRequest(HANDLE pipe, TExceptionRequest& request) {
  auto* bytes = reinterpret_cast<uint8_t*>(&request);
  DWORD have = 0;
  while (have < kRequestSize) {
    DWORD got = 0;
    if (!ReadFile(pipe, bytes + have, kRequestSize - have, &got, nullptr) || got == 0) return false;
    have += got;
  }
  return true;
}

bool WriteRequest(const TExceptionRequest& request, uint32_t* serial = nullptr) {
  const HANDLE pipe = gPipeWrite.load();
  if (pipe == nullptr) return false;
  LONG expected = 0;
  while (!gWriteLock.compare_exchange_weak(expected, 1)) {
    expected = 0;
    Sleep(0);
  }
  // The serial is stored before the write: the exception thread may read
  // the request at once.
  if (serial != nullptr) *serial = ++gWriteSerial;
  DWORD written = 0;
  const bool whole = WriteFile(pipe, &request, kRequestSize, &written, nullptr) && written == kRequestSize;
  if (!whole && serial != nullptr) --gWriteSerial;
  gWriteLock.store(0);
  return whole;
}

// A plain wait would block every other thread's SendMessage to this thread's
// windows: serve sent messages while waiting.
void WaitServingSentMessages(HANDLE event) {
  for (;;) {
    const DWORD r = MsgWaitForMultipleObjects(1, &event, FALSE, INFINITE, QS_SENDMESSAGE);
    if (r != WAIT_OBJECT_0 + 1) return;
    MSG m;
    PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
}

// The main thread keeps its windows alive while its report is made. A quit
// message is posted again for the program's own loop; the wait goes on,
// because the request points into this thread's stack.
void MainThreadWait(HANDLE event) {
  while (WaitForSingleObject(event, 0) == WAIT_TIMEOUT) {
    MSG m;
    const BOOL got = GetMessageA(&m, nullptr, 0, 0);
    if (got == 0) {
      PostQuitMessage(static_cast<int>(m.wParam));
      break;
    }
    if (got == -1) break;
    TranslateMessage(&m);
    DispatchMessageA(&m);
  }
  WaitServingSentMessages(event);
}

class TWatchdogHold {
public:
  TWatchdogHold() { HoldFreezeWatchdog(true); }
  TWatchdogHold(const TWatchdogHold&) = delete;
  TWatchdogHold& operator=(const TWatchdogHold&) = delete;
  ~TWatchdogHold() { HoldFreezeWatchdog(false); }
};

DWORD WINAPI ExceptionThreadProc(void*) {
  TExceptionRequest request{};
  while (ReadRequest(gPipeRead, request) && request.DoneEvent != nullptr) {
    for (const TRequestSlot& slot : gSlots)
      if (slot.Done == request.DoneEvent) gProcessedSerial.store(slot.Serial);
    gDeferredByThisRequest = false;
    ProcessExceptionRequest(request);
    gProcessedSerial.store(0);
    const int left = --gPending;
    if (gDeferredEnd != TDeferredEnd::None && left <= 0) RunDeferredEnd();
    if (gDeferredByThisRequest) continue;
    SetEvent(request.DoneEvent);
    PostThreadMessageA(request.RequestThreadId, WM_NULL, 0, 0);
  }
  return 0;
}

}  // namespace

uint32_t ExceptionThreadId() { return gThreadId.load(); }
int PendingExceptionRequests() { return gPending.load(); }
uint32_t ProcessedRequestSerial() { return gProcessedSerial.load(); }

void ProcessExceptionRequest(TExceptionRequest& request) {
  try {
    // A fault's object is made here, where allocating is safe.
    if (TRequestSlot* slot = SlotOfFaultObject(request.ExceptObject); slot != nullptr && slot->Fault.Code != 0) {
      TRuntimeException fault;
      fault.faultCode = slot->Fault.Code;
      fault.faultAccessKind = slot->Fault.AccessKind;
      fault.faultAccessed = slot->Fault.Accessed;
      fault.address = request.ExceptAddr;
      DescribeFault(fault);
      slot->FaultObject = std::move(fault.object);
    }
    TRequestFacts facts;
    facts.Frozen = request.Frozen;
    facts.HasObject = request.ExceptObject != nullptr;
    facts.ClassName = ExceptionClassName(request.ExceptObject);
    facts.CanContinue = request.CanContinue;
    TRequestWork work(request);
    ProcessRequestSteps(work, CurrentRequestSettings(), facts);
  } catch (...) {
    // the reporting thread is released all the same
  }
}

__attribute__((noinline)) void ReportException(bool frozen, const TExceptionObject* object, uintptr_t address,
                                               bool canContinue, uintptr_t stackPtr, uintptr_t framePtr,
                                               std::string* reportOut, const void* thrownObject,
                                               const THardwareFault* fault) {
  const DWORD self = GetCurrentThreadId();
  if (self == gThreadId.load()) return;  // the reporter's own failures are not reported
  if (self == MainThreadId && MainThreadRunsHandlers()) return;

  // The exception being handled is worked out here, on its own thread (these
  // paths allocate anyway). A fault is not: its address is exact and its
  // object is made where the request is processed.
  TExceptionObject normalized;
  std::vector<uint8_t> throwStack;
  const TExceptionObject* exceptObject = nullptr;
  if (fault == nullptr) {
    try {
      if (object != nullptr) normalized = *object;
      NormalizeException(normalized, address, throwStack, thrownObject);
    } catch (...) {
      return;  // no memory for the report either
    }
    exceptObject = normalized.classChain.empty() ? nullptr : &normalized;
    if (exceptObject != nullptr && IsClassNamed(exceptObject, "EAbort")) {
      if (!canContinue) CloseApplication();
      return;
    }
  }

  if (stackPtr == 0) asm volatile("movl %%esp, %0" : "=r"(stackPtr));
  if (framePtr == 0) framePtr = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));

  // From here to the pipe write nothing allocates.
  const TSlotHold slot;
  if (fault != nullptr) {
    slot->Fault = *fault;
    exceptObject = &slot->FaultObject;
  }
  TExceptionRequest request{};
  request.RequestThreadId = self;
  request.Frozen = frozen;
  request.ExceptObject = exceptObject;
  request.ExceptAddr = address;
  request.CanContinue = canContinue;
  request.StackPtr = stackPtr;
  request.FramePtr = framePtr;
  request.ReportOut = reportOut;
  request.ThrowStack = StoreThrowStack(*slot, throwStack) ? slot->ThrowStack : nullptr;
  // Without an event (loader lock held, or the heap held, most likely by
  // this thread) the report is made here: no other thread could start or
  // end, or allocate, meanwhile.
  const bool here = HoldsLoaderLock() || !ProcessHeapAvailable();
  if (!here) {
    request.DoneEvent = slot->Done;
    if (request.DoneEvent == nullptr) return;  // no exception thread was ever started
  }

  {
    TWatchdogHold hold;
    try {
      if (here) {
        ProcessExceptionRequest(request);
      } else {
        ++gPending;
        if (!WriteRequest(request, &slot->Serial)) {
          --gPending;
        } else if (self == MainThreadId) {
          MainThreadWait(request.DoneEvent);
        } else {
          WaitServingSentMessages(request.DoneEvent);
        }
      }
    } catch (...) {
    }
  }
  if (ResetFpuOnException) ResetFpu();
}

void ReportRuntimeException(const TRuntimeException& e) {
  if (e.faultCode != 0 && e.object.classChain.empty()) {
    const THardwareFault fault{e.faultCode, e.faultAccessKind, e.faultAccessed};
    ReportException(false, nullptr, e.address, e.canContinue, e.stackPointer, e.framePointer, e.reportOut, nullptr,
                    &fault);
    return;
  }
  ReportException(false, &e.object, e.address, e.canContinue, e.stackPointer, e.framePointer, e.reportOut,
                  e.thrownObject);
}

void StartExceptionThread() {
  if (gThreadId.load() != kNoThread) return;
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  for (TRequestSlot& slot : gSlots)
    if (slot.Done == nullptr) slot.Done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  StartHeapProbe();
  if (!CreatePipe(&readEnd, &writeEnd, nullptr, 0)) return;
  gPipeRead = readEnd;
  gPipeWrite.store(writeEnd);
  DWORD id = 0;
  gThread = CreateThread(nullptr, 0, &ExceptionThreadProc, nullptr, 0, &id);
  if (gThread == nullptr) return;
  gThreadId.store(id);
  StoreThreadInfo(id, gThread, "-", 0, nullptr, {});
  SetThreadPriority(gThread, THREAD_PRIORITY_HIGHEST);
}

void StopExceptionThread() {
  const uint32_t id = gThreadId.load();
  if (id == kNoThread) {
    // A pipe without a thread (the thread could not be made) is closed too.
    if (HANDLE pipe = gPipeWrite.exchange(nullptr)) CloseHandle(pipe);
    if (gPipeRead != nullptr) CloseHandle(gPipeRead);
    gPipeRead = nullptr;
    return;
  }
  ResumeThread(gThread);
  if (!HoldsLoaderLock()) {
    const TExceptionRequest stop{};
    WriteRequest(stop);
    WaitForSingleObject(gThread, kStopWait);
  }
  if (HANDLE pipe = gPipeWrite.exchange(nullptr)) CloseHandle(pipe);
  if (WaitForSingleObject(gThread, 0) == WAIT_TIMEOUT) TerminateThread(gThread, 0);
  CloseHandle(gThread);
  gThread = nullptr;
  CloseHandle(gPipeRead);
  gPipeRead = nullptr;
  SetThreadName(id, "");
  gThreadId.store(kNoThread);
}

void ResetFpu() {
  const uint16_t control = DefaultFpuControlWord;
  asm volatile("fninit\n\tfwait\n\tfldcw %0" : : "m"(control));
}

}  // namespace qel
