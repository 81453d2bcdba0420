#include "qelExceptFreeze.h"

#include <atomic>

#include "qelExceptRequests.h"
#include "qelExceptSettings.h"
#include "qelExceptThreads.h"
#include "qelTools.h"

namespace qel {

namespace {
// Recorded by StartFreezeWatchdog: the main thread's handler window and the
// message number registered there for the probe.
HWND gMainHandlerWindow = nullptr;
UINT gFreezeProbeMessage = 0;

constexpr WPARAM kAnswer = 777;
constexpr int kMissLimit = 10;
constexpr DWORD kStopWait = 500;

DWORD gMainThreadId = 0;
HANDLE gWatchdog = nullptr;
std::atomic<DWORD> gWatchdogId{0};
HANDLE gStopEvent = nullptr;
std::atomic<long> gMissCount{0};

// The hold: a nesting counter (-1 free) and an event that exists while held.
// The event is made, set and closed under the lock, and the watchdog waits
// on a copy, so that the last holder cannot close it under the waiting
// watchdog.
volatile LONG gHoldCount = -1;
HANDLE gHoldEvent = nullptr;
CRITICAL_SECTION gHoldLock;
std::atomic<bool> gHoldLockReady{false};

class THoldLock {
public:
  THoldLock() { EnterCriticalSection(&gHoldLock); }
  THoldLock(const THoldLock&) = delete;
  THoldLock& operator=(const THoldLock&) = delete;
  ~THoldLock() { LeaveCriticalSection(&gHoldLock); }
};

void PrepareHoldLock() {
  if (!gHoldLockReady.exchange(true)) InitializeCriticalSection(&gHoldLock);
}

HANDLE HoldEventCopy() {
  THoldLock lock;
  HANDLE copy = nullptr;
  if (gHoldEvent != nullptr &&
      !DuplicateHandle(GetCurrentProcess(), gHoldEvent, GetCurrentProcess(), &copy, SYNCHRONIZE, FALSE, 0))
    copy = nullptr;
  return copy;
}

// False when the watchdog is to stop.
bool WaitWhileHeld() {
  HANDLE hold = HoldEventCopy();
  if (hold == nullptr) return WaitForSingleObject(gStopEvent, 0) != WAIT_OBJECT_0;
  const HANDLE events[2] = {gStopEvent, hold};
  const DWORD r = WaitForMultipleObjects(2, events, FALSE, INFINITE);
  CloseHandle(hold);
  return r != WAIT_OBJECT_0;
}

// Takes every message of the watchdog's queue; true when the main thread's
// answer is among them.
bool ProbeAnswered() {
  bool answered = false;
  MSG m;
  while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE))
    if (m.hwnd == nullptr && m.message == WM_NULL && m.wParam == kAnswer && static_cast<WPARAM>(m.lParam) == kAnswer)
      answered = true;
  return answered;
}

DWORD WINAPI FreezeWatchdog(void*) {
  // One watchdog per process, whichever module started it.
  HANDLE mutex = nullptr;
  if (TThreadListAnchor* anchor = InstalledThreadList()) mutex = anchor->WatchdogMutex;
  if (mutex != nullptr) {
    const HANDLE events[2] = {gStopEvent, mutex};
    const DWORD r = WaitForMultipleObjects(2, events, FALSE, INFINITE);
    if (r != WAIT_OBJECT_0 + 1 && r != WAIT_ABANDONED_0 + 1) return 0;  // stopped, or no mutex to be had
  }
  MSG m;
  PeekMessageA(&m, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // the queue the answers go to
  const DWORD base = FreezeTimeout / 10;
  DWORD interval = base;
  while (WaitWhileHeld()) {
    PostMessageA(gMainHandlerWindow, gFreezeProbeMessage, 0, 0);
    if (WaitForSingleObject(gStopEvent, interval) == WAIT_OBJECT_0) break;
    if (ProbeAnswered()) {
      gMissCount = 0;
      interval = base;
    } else if (++gMissCount >= kMissLimit) {
      ReportException(true, nullptr, 0, true, 0, 0, nullptr);
      gMissCount = 0;
      interval += interval / 2;  // a program that stays frozen is reported again after longer spells
    }
  }
  if (mutex != nullptr) ReleaseMutex(mutex);
  return 0;
}

}  // namespace

void AnswerFreezeProbe(HWND, UINT, WPARAM wParam, LPARAM, LRESULT& result) {
  if (wParam != 0)
    PostMessageA(reinterpret_cast<HWND>(wParam), WM_NULL, kAnswer, kAnswer);
  else
    PostThreadMessageA(gWatchdogId.load(), WM_NULL, kAnswer, kAnswer);
  result = kAnswer;
}

bool PostFreezeProbe(HWND answerTo) {
  if (!gMainHandlerWindow || !gFreezeProbeMessage) return false;
  return PostMessageA(gMainHandlerWindow, gFreezeProbeMessage, reinterpret_cast<WPARAM>(answerTo), 0) != FALSE;
}

uint32_t FreezeWatchdogThreadId() { return gWatchdogId.load(); }

void StartFreezeWatchdog() {
  if (gMainHandlerWindow != nullptr || FreezeTimeout == 0) return;
  PrepareHoldLock();
  const HWND window = HandlerWindowForThread(0);
  if (window == nullptr) return;
  const uint32_t message = AddMessageHandler(&AnswerFreezeProbe, 0, 0);
  if (message == 0) return;
  gMainThreadId = GetCurrentThreadId();
  gMainHandlerWindow = window;
  gFreezeProbeMessage = message;
  gMissCount = 0;
  gStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (gStopEvent == nullptr) return;
  DWORD id = 0;
  gWatchdog = CreateThread(nullptr, 0, &FreezeWatchdog, nullptr, CREATE_SUSPENDED, &id);
  if (gWatchdog == nullptr) return;
  gWatchdogId = id;
  StoreThreadInfo(id, gWatchdog, "-", 0, nullptr, {});
  SetThreadPriority(gWatchdog, THREAD_PRIORITY_HIGHEST);
  ResumeThread(gWatchdog);
}

void StopFreezeWatchdog() {
  if (gMainHandlerWindow == nullptr || FreezeTimeout == 0) return;
  {
    THoldLock lock;
    if (gHoldEvent != nullptr) {
      SetEvent(gHoldEvent);
      CloseHandle(gHoldEvent);
      gHoldEvent = nullptr;
    }
    gHoldCount = -1;
  }
  RemoveMessageHandler(&AnswerFreezeProbe, gFreezeProbeMessage, gMainThreadId);
  const DWORD id = gWatchdogId.exchange(0);
  if (gWatchdog != nullptr) {
    // Asked first; a watchdog that waits inside a report of its own is ended.
    SetEvent(gStopEvent);
    if (WaitForSingleObject(gWatchdog, kStopWait) == WAIT_TIMEOUT) TerminateThread(gWatchdog, 0);
    CloseHandle(gWatchdog);
    gWatchdog = nullptr;
    SetThreadName(id, "");
  }
  if (gStopEvent != nullptr) CloseHandle(gStopEvent);
  gStopEvent = nullptr;
  gMainHandlerWindow = nullptr;
  gFreezeProbeMessage = 0;
  gMainThreadId = 0;
}

void HoldFreezeWatchdog(bool hold) {
  const DWORD watchdog = gWatchdogId.load();
  if (watchdog == 0 || GetCurrentThreadId() == watchdog) return;
  THoldLock lock;
  if (hold) {
    gMissCount = 0;
    if (InterlockedIncrement(&gHoldCount) == 0) gHoldEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  } else {
    if (InterlockedDecrement(&gHoldCount) < 0 && gHoldEvent != nullptr) {
      SetEvent(gHoldEvent);
      CloseHandle(gHoldEvent);
      gHoldEvent = nullptr;
    }
    gMissCount = 0;
  }
}

void ResetFreezeMissCount() { gMissCount = 0; }

}  // namespace qel
