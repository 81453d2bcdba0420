#include "qelExceptPause.h"

#include <algorithm>
#include <atomic>
#include <mutex>

namespace qel {

namespace {

constexpr LRESULT kAnswer = 777;
constexpr UINT kProbeTimeout = 1500;
constexpr UINT kCallTimeout = 0x7FFFFFFE;

TPauseLinks GLinks;

class TLock {
public:
  explicit TLock(CRITICAL_SECTION& section) : FSection(section) { EnterCriticalSection(&FSection); }
  TLock(const TLock&) = delete;
  TLock& operator=(const TLock&) = delete;
  ~TLock() { LeaveCriticalSection(&FSection); }

private:
  CRITICAL_SECTION& FSection;
};

// The pause state. The section is made at the first pause and, unlike the
// events, never deleted: a thread may be entering it while the program ends.
struct TPauseState {
  CRITICAL_SECTION Section;
  std::vector<uint32_t> List;  // threads to hold
  HANDLE MainEvent = nullptr, OtherEvent = nullptr;
  bool MainHeld = false;       // MainEvent is reset
  uint32_t PausingThread = 0;  // the thread that processes the report
  TPauseState() { InitializeCriticalSection(&Section); }
};

std::once_flag GPauseOnce;
TPauseState* GPause = nullptr;
std::atomic<bool> GPauseReady{false};

std::atomic<HWND> GHandlerWindow{nullptr};
std::atomic<uint32_t> GHandlerMessage{0};
std::atomic<bool> GMainRunsHandlers{false};

// Set while this thread is held: a sent message served during the hold may
// call a hooked function again, which must not hold it a second time.
thread_local bool tlsHeld = false;

TPauseState& PauseState() {
  std::call_once(GPauseOnce, [] {
    static TPauseState state;
    GPause = &state;
    GPauseReady.store(true, std::memory_order_release);
    if (GLinks.HookMessageFunctions != nullptr) GLinks.HookMessageFunctions();
  });
  return *GPause;
}

void ResetOrCreate(HANDLE& event) {
  if (event == nullptr)
    event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  else
    ResetEvent(event);
}

void PostWakeUp() {
  const HWND window = GHandlerWindow.load();
  const uint32_t message = GHandlerMessage.load();
  if (window != nullptr && message != 0) PostMessageA(window, message, 1, 0);
}

HANDLE DuplicateForWait(HANDLE event) {
  HANDLE copy = nullptr;
  if (event == nullptr ||
      !DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &copy, SYNCHRONIZE, FALSE, 0))
    return nullptr;
  return copy;
}

// A plain wait would block every other thread's SendMessage to this thread's
// windows (and clipboard calls while it owns the clipboard): serve sent
// messages meanwhile; posted ones stay queued.
void WaitServingSentMessages(HANDLE event) {
  for (;;) {
    const DWORD r = MsgWaitForMultipleObjects(1, &event, FALSE, INFINITE, QS_SENDMESSAGE);
    if (r != WAIT_OBJECT_0 + 1) return;  // signalled, or the wait failed
    MSG m;
    PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
}

// --- handler lists -----------------------------------------------------------

struct THandlerEntry {
  TExceptHandlerProc Proc = nullptr;
  TExceptHandlerMethod Method = nullptr;
  void* Object = nullptr;
  bool InMainThread = false;
  uint8_t Phase = 0;
  bool Same(const THandlerEntry& o) const { return Proc == o.Proc && Method == o.Method && Object == o.Object; }
  bool Wants(uint8_t phase) const { return Phase == phase || Phase == AnyPhase; }
};

constexpr uint8_t kKinds = 3;
std::mutex GHandlersLock;
std::vector<THandlerEntry> GPlainHandlers[kKinds], GMethodHandlers[kKinds];

bool AddEntry(std::vector<THandlerEntry>* lists, uint8_t kind, const THandlerEntry& entry) {
  if (kind >= kKinds) return false;
  std::lock_guard<std::mutex> lock(GHandlersLock);
  std::vector<THandlerEntry>& list = lists[kind];
  if (std::any_of(list.begin(), list.end(), [&](const THandlerEntry& e) { return e.Same(entry); })) return false;
  list.push_back(entry);
  return true;
}

void RemoveEntry(std::vector<THandlerEntry>* lists, uint8_t kind, const THandlerEntry& entry) {
  if (kind >= kKinds) return;
  std::lock_guard<std::mutex> lock(GHandlersLock);
  std::erase_if(lists[kind], [&](const THandlerEntry& e) { return e.Same(entry); });
}

// Plain routines first, then methods; handlers may (un)register while they run.
std::vector<THandlerEntry> HandlersOf(uint8_t kind) {
  std::vector<THandlerEntry> all;
  if (kind >= kKinds) return all;
  std::lock_guard<std::mutex> lock(GHandlersLock);
  all = GPlainHandlers[kind];
  all.insert(all.end(), GMethodHandlers[kind].begin(), GMethodHandlers[kind].end());
  return all;
}

// Runs the entries for the call's phase that run in the main thread or not;
// a handler's exception is its own loss.
void RunHandlers(THandlerCall& call, const std::vector<THandlerEntry>& entries, bool mainThreadOnes) {
  for (const THandlerEntry& e : entries) {
    if (e.InMainThread != mainThreadOnes || !e.Wants(call.Phase)) continue;
    try {
      if (e.Proc != nullptr)
        e.Proc(call);
      else
        e.Method(e.Object, call);
    } catch (...) {
    }
  }
}

// Sends the call to the main thread's handler window: a probe first, so that
// a main thread that does not answer costs 1.5 s, not the report.
bool MoveToMainThread(THandlerCall& call) {
  const HWND window = GHandlerWindow.load();
  const uint32_t message = GHandlerMessage.load();
  if (window == nullptr || message == 0) return false;
  const bool released = GLinks.PauseRunningThreads && ReleaseMainThread();
  DWORD_PTR answer = 0;
  bool moved = false;
  if (SendMessageTimeoutA(window, message, 1, 0, SMTO_NORMAL, kProbeTimeout, &answer) != 0 && answer == kAnswer) {
    call.MovedToMainThread = true;
    answer = 0;
    moved = SendMessageTimeoutA(window, message, 0, reinterpret_cast<LPARAM>(&call), SMTO_NORMAL, kCallTimeout,
                                &answer) != 0 &&
            answer == kAnswer;
  }
  if (released) HoldMainThread();
  return moved;
}

}  // namespace

void SetPauseLinks(const TPauseLinks& links) { GLinks = links; }

void PauseOtherThreads(bool pause) {
  TPauseState& s = PauseState();
  const uint32_t self = GetCurrentThreadId();
  {
    TLock lock(s.Section);
    s.List.clear();
    if (pause) {
      s.PausingThread = self;
      ResetOrCreate(s.MainEvent);
      ResetOrCreate(s.OtherEvent);
      s.MainHeld = true;
    } else {
      s.PausingThread = 0;
      if (s.MainEvent != nullptr) SetEvent(s.MainEvent);
      if (s.OtherEvent != nullptr) SetEvent(s.OtherEvent);
      s.MainHeld = false;
    }
  }
  if (pause && GLinks.EnumProcessThreads != nullptr) {
    for (const uint32_t id : GLinks.EnumProcessThreads()) {
      if (id == self || id == GLinks.MainThreadId || !IsPausableThread(id)) continue;
      TLock lock(s.Section);
      if (s.PausingThread == self) s.List.push_back(id);
    }
  }
  PostWakeUp();
}

void PauseIfRequested() {
  if (!GPauseReady.load(std::memory_order_acquire) || tlsHeld) return;
  const DWORD lastError = GetLastError();
  TPauseState& s = *GPause;
  const uint32_t self = GetCurrentThreadId();
  HANDLE event = nullptr;
  {
    // Looked up under the lock, waited on outside it (on a copy of the
    // handle, so that closing the events at shutdown cannot pull it away).
    TLock lock(s.Section);
    if (s.PausingThread != self) {
      if (self == GLinks.MainThreadId) {
        if (s.MainHeld) event = DuplicateForWait(s.MainEvent);
      } else if (std::find(s.List.begin(), s.List.end(), self) != s.List.end()) {
        event = DuplicateForWait(s.OtherEvent);
      }
    }
  }
  if (event != nullptr) {
    tlsHeld = true;
    WaitServingSentMessages(event);
    tlsHeld = false;
    CloseHandle(event);
  }
  SetLastError(lastError);
}

bool ReleaseMainThread() {
  if (!GPauseReady.load(std::memory_order_acquire)) return false;
  TPauseState& s = *GPause;
  TLock lock(s.Section);
  if (s.MainEvent == nullptr || !s.MainHeld) return false;
  SetEvent(s.MainEvent);
  s.MainHeld = false;
  return true;
}

void HoldMainThread() {
  if (!GPauseReady.load(std::memory_order_acquire)) return;
  TPauseState& s = *GPause;
  {
    TLock lock(s.Section);
    if (s.MainEvent == nullptr) return;
    ResetEvent(s.MainEvent);
    s.MainHeld = true;
  }
  PostWakeUp();
}

bool IsPausableThread(uint32_t threadId) {
  uintptr_t address = 0;
  if (GLinks.ThreadCreationAddress == nullptr || !GLinks.ThreadCreationAddress(threadId, address) || address == 0)
    return false;
  return GLinks.HasMapData != nullptr && GLinks.HasMapData(address);
}

void ShutdownPause() {
  if (!GPauseReady.load(std::memory_order_acquire)) return;
  TPauseState& s = *GPause;
  TLock lock(s.Section);
  s.List.clear();
  s.PausingThread = 0;
  s.MainHeld = false;
  for (HANDLE* event : {&s.MainEvent, &s.OtherEvent}) {
    if (*event == nullptr) continue;
    SetEvent(*event);
    CloseHandle(*event);
    *event = nullptr;
  }
}

bool AddExceptHandler(uint8_t kind, TExceptHandlerProc proc, bool inMainThread, uint8_t phase) {
  if (proc == nullptr) return false;
  return AddEntry(GPlainHandlers, kind, {proc, nullptr, nullptr, inMainThread, phase});
}

bool AddExceptHandlerMethod(uint8_t kind, TExceptHandlerMethod method, void* object, bool inMainThread, uint8_t phase) {
  if (method == nullptr) return false;
  return AddEntry(GMethodHandlers, kind, {nullptr, method, object, inMainThread, phase});
}

void RemoveExceptHandler(uint8_t kind, TExceptHandlerProc proc) { RemoveEntry(GPlainHandlers, kind, {proc}); }

void RemoveExceptHandlerMethod(uint8_t kind, TExceptHandlerMethod method, void* object) {
  RemoveEntry(GMethodHandlers, kind, {nullptr, method, object});
}

void CallExceptHandlers(uint8_t kind, uint8_t phase, uint32_t action, bool* handled, bool* canContinue,
                        std::string* screenShot, std::string* report, uint32_t threadId, uintptr_t exceptAddr,
                        void* exceptObject, bool frozen) {
  const std::vector<THandlerEntry> entries = HandlersOf(kind);
  if (entries.empty()) return;
  THandlerCall call;
  call.Kind = kind;
  call.Phase = phase;
  call.Action = action;
  call.Frozen = frozen;
  call.ExceptObject = exceptObject;
  call.ExceptAddr = exceptAddr;
  call.ThreadId = threadId;
  if (screenShot != nullptr) call.ScreenShot = *screenShot;
  if (report != nullptr) call.Report = *report;
  call.CanContinue = canContinue != nullptr && *canContinue;
  call.Handled = handled != nullptr && *handled;

  RunHandlers(call, entries, false);
  const bool forMainThread =
      std::any_of(entries.begin(), entries.end(), [&](const THandlerEntry& e) { return e.InMainThread && e.Wants(phase); });
  if (!call.Handled && forMainThread && (frozen || !MoveToMainThread(call))) {
    call.MovedToMainThread = false;
    call.MoveFailed = true;
    RunHandlers(call, entries, true);
  }

  if (screenShot != nullptr) *screenShot = std::move(call.ScreenShot);
  if (report != nullptr) *report = std::move(call.Report);
  if (canContinue != nullptr) *canContinue = call.CanContinue;
  if (handled != nullptr) *handled = call.Handled && !(kind == hkExceptEvent && phase == 2);
}

bool StartHandlerWindow() {
  if (GLinks.HandlerWindowForThread == nullptr || GLinks.AddMessageHandler == nullptr) return false;
  const HWND window = GLinks.HandlerWindowForThread(0);
  if (window == nullptr) return false;
  const uint32_t message = GLinks.AddMessageHandler(AnswerHandlerCall, 0, 0);
  if (message == 0) return false;
  GHandlerMessage.store(message);
  GHandlerWindow.store(window);
  return true;
}

void StopHandlerWindow() {
  const uint32_t message = GHandlerMessage.exchange(0);
  GHandlerWindow.store(nullptr);
  if (message != 0 && GLinks.RemoveMessageHandler != nullptr) GLinks.RemoveMessageHandler(AnswerHandlerCall, message, 0);
}

uint32_t HandlerCallMessage() { return GHandlerMessage.load(); }

void AnswerHandlerCall(HWND, UINT, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  PauseIfRequested();
  if (wParam == 0 && lParam != 0) {
    THandlerCall& call = *reinterpret_cast<THandlerCall*>(lParam);
    GMainRunsHandlers.store(true);
    RunHandlers(call, HandlersOf(call.Kind), true);
    GMainRunsHandlers.store(false);
  }
  result = kAnswer;
}

bool MainThreadRunsHandlers() { return GMainRunsHandlers.load(); }

}  // namespace qel
