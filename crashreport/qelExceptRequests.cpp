#include "qelExceptRequests.h"

#include <atomic>
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
                     R.ThrowStack, report);
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
  void CloseApplication() override { qel::CloseApplication(); }
  void RestartApplication() override { qel::RestartApplication(ExceptionTimeHistory()); }
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

bool WriteRequest(const TExceptionRequest& request) {
  const HANDLE pipe = gPipeWrite.load();
  DWORD written = 0;
  return pipe != nullptr && WriteFile(pipe, &request, kRequestSize, &written, nullptr) && written == kRequestSize;
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
    ProcessExceptionRequest(request);
    SetEvent(request.DoneEvent);
    PostThreadMessageA(request.RequestThreadId, WM_NULL, 0, 0);
  }
  return 0;
}

}  // namespace

uint32_t ExceptionThreadId() { return gThreadId.load(); }

void ProcessExceptionRequest(TExceptionRequest& request) {
  try {
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
                                               std::string* reportOut, const void* thrownObject) {
  const DWORD self = GetCurrentThreadId();
  if (self == gThreadId.load()) return;  // the reporter's own failures are not reported
  if (self == MainThreadId && MainThreadRunsHandlers()) return;

  TExceptionObject normalized;
  std::vector<uint8_t> throwStack;
  try {
    if (object != nullptr) normalized = *object;
    NormalizeException(normalized, address, throwStack, thrownObject);
  } catch (...) {
    return;  // no memory for the report either
  }
  const TExceptionObject* exceptObject = normalized.classChain.empty() ? nullptr : &normalized;

  if (exceptObject != nullptr && IsClassNamed(exceptObject, "EAbort")) {
    if (!canContinue) CloseApplication();
    return;
  }

  if (stackPtr == 0) asm volatile("movl %%esp, %0" : "=r"(stackPtr));
  if (framePtr == 0) framePtr = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));

  TExceptionRequest request{};
  request.RequestThreadId = self;
  request.Frozen = frozen;
  request.ExceptObject = exceptObject;
  request.ExceptAddr = address;
  request.CanContinue = canContinue;
  request.StackPtr = stackPtr;
  request.FramePtr = framePtr;
  request.ReportOut = reportOut;
  request.ThrowStack = throwStack.empty() ? nullptr : thrownObject;
  // Without an event (loader lock held, or none to be had) the report is made
  // here: no other thread could start or end meanwhile.
  if (!HoldsLoaderLock()) request.DoneEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);

  {
    TWatchdogHold hold;
    try {
      if (request.DoneEvent == nullptr) {
        ProcessExceptionRequest(request);
      } else if (WriteRequest(request)) {
        if (self == MainThreadId)
          MainThreadWait(request.DoneEvent);
        else
          WaitServingSentMessages(request.DoneEvent);
      }
    } catch (...) {
    }
    if (request.DoneEvent != nullptr) CloseHandle(request.DoneEvent);
  }
  if (ResetFpuOnException) ResetFpu();
}

void ReportRuntimeException(const TRuntimeException& e) {
  ReportException(false, &e.object, e.address, e.canContinue, e.stackPointer, e.framePointer, e.reportOut,
                  e.thrownObject);
}

void StartExceptionThread() {
  if (gThreadId.load() != kNoThread) return;
  HANDLE readEnd = nullptr, writeEnd = nullptr;
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
