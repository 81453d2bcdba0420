// Pausing and handler phases with real threads: the test's main thread plays
// the program's main thread (a message loop through a hooked PeekMessageA), a
// second thread plays the exception thread. The thread list, map data and the
// message-handler window are stood in for here, as small as the links ask.
#include "qelExceptPause.h"

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <stdexcept>
#include <mutex>
#include <thread>

using namespace qel;

namespace {

// --- stand-ins for the thread list, map data and handler window ------------

std::mutex GCreatorsLock;
std::map<uint32_t, uintptr_t> GCreators;  // thread id -> creation address
std::atomic<int> GHookCalls{0};

std::vector<uint32_t> ToolhelpThreads() {
  std::vector<uint32_t> ids;
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snap == INVALID_HANDLE_VALUE) return ids;
  THREADENTRY32 e{};
  e.dwSize = sizeof e;
  for (BOOL ok = Thread32First(snap, &e); ok; ok = Thread32Next(snap, &e))
    if (e.th32OwnerProcessID == GetCurrentProcessId()) ids.push_back(e.th32ThreadID);
  CloseHandle(snap);
  return ids;
}

bool CreationAddress(uint32_t id, uintptr_t& address) {
  std::lock_guard<std::mutex> lock(GCreatorsLock);
  const auto it = GCreators.find(id);
  if (it == GCreators.end()) return false;
  address = it->second;
  return true;
}

// "Map data" exist for the test program itself, not for system modules.
bool InTestProgram(uintptr_t address) {
  MEMORY_BASIC_INFORMATION mbi{};
  return VirtualQuery(reinterpret_cast<void*>(address), &mbi, sizeof mbi) != 0 &&
         mbi.AllocationBase == GetModuleHandleA(nullptr);
}

TMsgHandlerProc GWindowHandler = nullptr;
constexpr UINT kHandlerMessage = 0x400;
HWND GHandlerWindowHandle = nullptr;

LRESULT CALLBACK HandlerWindowProc(HWND w, UINT msg, WPARAM wParam, LPARAM lParam) {
  LRESULT result = DefWindowProcA(w, msg, wParam, lParam);
  if (msg == WM_GETTEXT) SetLastError(ERROR_INVALID_DATA);  // served while held: must not leak out
  if (msg == kHandlerMessage && GWindowHandler != nullptr) GWindowHandler(w, msg, wParam, lParam, result);
  return result;
}

HWND HandlerWindowForThread(uint32_t) { return GHandlerWindowHandle; }
uint32_t AddHandler(TMsgHandlerProc handler, uint32_t, uint32_t) {
  GWindowHandler = handler;
  return kHandlerMessage;
}
void RemoveHandler(TMsgHandlerProc, uint32_t, uint32_t) { GWindowHandler = nullptr; }

// What the message-retrieval hook does before the real call.
BOOL HookedPeekMessage(MSG* m) {
  PauseIfRequested();
  return PeekMessageA(m, nullptr, 0, 0, PM_REMOVE);
}

// A thread of the program: counts its message-loop rounds and checks that
// its last error survives every hooked call.
class TWorker {
public:
  explicit TWorker(uintptr_t creationAddress) {
    std::atomic<bool> registered{false};
    FThread = std::thread([this, creationAddress, &registered] {
      {
        std::lock_guard<std::mutex> lock(GCreatorsLock);
        GCreators[GetCurrentThreadId()] = creationAddress;
      }
      registered = true;
      while (!FStop) {
        SetLastError(0xBEEF);
        PauseIfRequested();
        if (GetLastError() != 0xBEEF) ++LostLastError;
        MSG m;
        PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE);
        ++Rounds;
        Sleep(1);
      }
    });
    while (!registered) Sleep(1);
  }
  ~TWorker() {
    FStop = true;
    FThread.join();
  }
  std::atomic<long> Rounds{0};
  std::atomic<int> LostLastError{0};

private:
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

uintptr_t ProgramAddress() { return reinterpret_cast<uintptr_t>(&HookedPeekMessage); }
uintptr_t SystemModuleAddress() {
  return reinterpret_cast<uintptr_t>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "CreateThread"));
}

long Sample(const std::atomic<long>& counter, DWORD ms) {
  const long before = counter;
  Sleep(ms);
  return counter - before;
}

TPauseLinks Links(bool pauseRunningThreads) {
  TPauseLinks links;
  links.EnumProcessThreads = ToolhelpThreads;
  links.ThreadCreationAddress = CreationAddress;
  links.HasMapData = InTestProgram;
  links.HookMessageFunctions = [] { ++GHookCalls; };
  links.HandlerWindowForThread = HandlerWindowForThread;
  links.AddMessageHandler = AddHandler;
  links.RemoveMessageHandler = RemoveHandler;
  links.MainThreadId = GetCurrentThreadId();
  links.PauseRunningThreads = pauseRunningThreads;
  return links;
}

class Pausing : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    WNDCLASSA wc{};
    wc.lpfnWndProc = HandlerWindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "ZivoPauseTestHandler";
    RegisterClassA(&wc);
    GHandlerWindowHandle = CreateWindowExA(WS_EX_TOOLWINDOW, wc.lpszClassName, "Principal", WS_POPUP, 0, 0, 0, 0,
                                           nullptr, nullptr, wc.hInstance, nullptr);
    SetPauseLinks(Links(true));
    ASSERT_TRUE(StartHandlerWindow());
  }
  static void TearDownTestSuite() {
    StopHandlerWindow();
    DestroyWindow(GHandlerWindowHandle);
  }

  // Runs `report` on a thread of its own while this (main) thread runs its
  // message loop through the hook, counting rounds.
  template <typename F>
  void WhileMainLoopRuns(F report) {
    std::atomic<bool> done{false};
    std::thread t([&] {
      report();
      done = true;
    });
    while (!done) {
      SetLastError(0xBEEF);
      PauseIfRequested();
      if (GetLastError() != 0xBEEF) ++MainLostLastError;
      MSG m;
      if (HookedPeekMessage(&m)) {
        TranslateMessage(&m);
        DispatchMessageA(&m);
      }
      ++MainRounds;
      Sleep(1);
    }
    t.join();
  }

  std::atomic<long> MainRounds{0};
  std::atomic<int> MainLostLastError{0};
};

}  // namespace

// The exception thread pauses; a handler runs 500 ms. The program's worker and
// the main thread stand still meanwhile; a thread created by a system module
// goes on; all resume when the pause ends.
TEST_F(Pausing, OwnThreadsStandStillWhileAHandlerRuns) {
  TWorker own(ProgramAddress()), foreign(SystemModuleAddress());
  static std::atomic<long>*own_, *foreign_, *main_;
  static long ownDuring, foreignDuring, mainDuring;
  own_ = &own.Rounds;
  foreign_ = &foreign.Rounds;
  main_ = &MainRounds;
  const TExceptHandlerProc handler = [](THandlerCall&) {
    Sleep(100);  // every thread reaches its next hooked call
    const long o = *own_, f = *foreign_, m = *main_;
    Sleep(400);
    ownDuring = *own_ - o;
    foreignDuring = *foreign_ - f;
    mainDuring = *main_ - m;
  };
  ASSERT_TRUE(AddExceptHandler(hkExceptEvent, handler, false, 0));
  long ownAfter = 0, mainBefore = 0;
  WhileMainLoopRuns([&] {
    Sleep(100);
    PauseOtherThreads(true);
    bool handled = false, canContinue = true;
    CallExceptHandlers(hkExceptEvent, 0, 0, &handled, &canContinue, nullptr, nullptr, 0, 0, nullptr, false);
    PauseOtherThreads(false);
    mainBefore = MainRounds;
    ownAfter = Sample(own.Rounds, 300);
  });
  RemoveExceptHandler(hkExceptEvent, handler);
  EXPECT_EQ(ownDuring, 0);
  EXPECT_EQ(mainDuring, 0);
  EXPECT_GT(foreignDuring, 20);
  EXPECT_GT(ownAfter, 20) << "the worker goes on after the pause";
  EXPECT_GT(MainRounds - mainBefore, 20) << "the main thread goes on after the pause";
  EXPECT_EQ(own.LostLastError, 0);
  EXPECT_EQ(GHookCalls, 1) << "hooks are installed at the first pause only";
}

// With pausing off the report does not pause: nobody is held, also not by a
// pause that ended before, and a main-thread handler still runs there.
TEST_F(Pausing, NothingHeldWithPausingOff) {
  SetPauseLinks(Links(false));
  TWorker own(ProgramAddress());
  static std::atomic<long>* own_;
  static long ownDuring;
  static uint32_t ranOn;
  own_ = &own.Rounds;
  ownDuring = 0;
  ranOn = 0;
  const TExceptHandlerProc handler = [](THandlerCall&) {
    ranOn = GetCurrentThreadId();
    ownDuring = Sample(*own_, 300);
  };
  ASSERT_TRUE(AddExceptHandler(hkExceptEvent, handler, true, 0));
  long mainDuring = 0;
  WhileMainLoopRuns([&] {
    PauseOtherThreads(true);
    PauseOtherThreads(false);
    bool handled = false, canContinue = true;
    CallExceptHandlers(hkExceptEvent, 0, 0, &handled, &canContinue, nullptr, nullptr, 0, 0, nullptr, false);
    mainDuring = Sample(MainRounds, 300);
  });
  RemoveExceptHandler(hkExceptEvent, handler);
  SetPauseLinks(Links(true));
  EXPECT_EQ(ranOn, GetCurrentThreadId());
  EXPECT_GT(ownDuring, 20);
  EXPECT_GT(mainDuring, 20);
}

// A held thread still serves messages sent to it: another thread reads its
// window's text and empties the clipboard it owns (the exception box copies
// the report to the clipboard while the main thread is held).
TEST_F(Pausing, HeldMainThreadServesSentMessages) {
  ASSERT_TRUE(OpenClipboard(GHandlerWindowHandle));
  EmptyClipboard();  // the main thread's window owns the clipboard now
  HGLOBAL text = GlobalAlloc(GMEM_MOVEABLE, 6);
  memcpy(GlobalLock(text), "owned", 6);
  GlobalUnlock(text);
  SetClipboardData(CF_TEXT, text);
  CloseClipboard();
  ASSERT_EQ(GetClipboardOwner(), GHandlerWindowHandle);

  std::string windowText;
  bool cleared = false, finishedWhileHeld = false;
  long mainDuring = -1;
  WhileMainLoopRuns([&] {
    PauseOtherThreads(true);
    Sleep(100);
    const long m = MainRounds;
    // Each call on a thread of its own, so that a regression fails instead of hanging.
    std::atomic<bool> finished{false};
    std::thread caller([&] {
      char buf[64] = {};
      GetWindowTextA(GHandlerWindowHandle, buf, sizeof buf);
      windowText = buf;
      if (OpenClipboard(nullptr)) {
        cleared = EmptyClipboard() != FALSE;
        CloseClipboard();
      }
      finished = true;
    });
    for (int i = 0; i < 500 && !finished; ++i) Sleep(10);
    finishedWhileHeld = finished;
    mainDuring = MainRounds - m;
    PauseOtherThreads(false);
    caller.join();
  });
  EXPECT_TRUE(finishedWhileHeld) << "the calls waited for the end of the pause";
  EXPECT_EQ(windowText, "Principal");
  EXPECT_TRUE(cleared);
  EXPECT_EQ(mainDuring, 0) << "the main thread was held meanwhile";
  EXPECT_EQ(MainLostLastError, 0) << "a message served while held changed the last error";
}

// Handlers that want the main thread run there (released from the pause for
// the call and held again), with the record's strings and bytes copied back.
TEST_F(Pausing, HandlersMoveToTheMainThread) {
  static uint32_t ranOn;
  static bool sawRunsHandlers;
  ranOn = 0;
  const TExceptHandlerProc handler = [](THandlerCall& c) {
    ranOn = GetCurrentThreadId();
    sawRunsHandlers = MainThreadRunsHandlers();
    c.Report += " +main";
    c.ScreenShot = "png";
    c.CanContinue = false;
    EXPECT_TRUE(c.MovedToMainThread);
    EXPECT_EQ(c.Action, 5u);
  };
  ASSERT_TRUE(AddExceptHandler(hkAction, handler, true, AnyPhase));
  std::string report = "report", shot;
  bool handled = false, canContinue = true;
  long mainAfter = -1;
  WhileMainLoopRuns([&] {
    PauseOtherThreads(true);
    Sleep(50);
    CallExceptHandlers(hkAction, 0, 5, &handled, &canContinue, &shot, &report, 0, 0, nullptr, false);
    Sleep(50);  // the main thread finishes the round it was let go for
    mainAfter = Sample(MainRounds, 300);
    PauseOtherThreads(false);
  });
  RemoveExceptHandler(hkAction, handler);
  EXPECT_EQ(ranOn, GetCurrentThreadId());
  EXPECT_TRUE(sawRunsHandlers);
  EXPECT_FALSE(MainThreadRunsHandlers());
  EXPECT_EQ(report, "report +main");
  EXPECT_EQ(shot, "png");
  EXPECT_FALSE(canContinue);
  EXPECT_EQ(mainAfter, 0) << "held again after the call";
}

// Calls that cannot reach the main thread run their main-thread handlers on
// the calling thread: a main thread that does not answer (after the 1.5 s
// probe) and a frozen one (at once).
TEST_F(Pausing, FailedMoveRunsHere) {
  static uint32_t ranOn;
  static bool moveFailed;
  const TExceptHandlerProc handler = [](THandlerCall& c) {
    ranOn = GetCurrentThreadId();
    moveFailed = c.MoveFailed;
  };
  ASSERT_TRUE(AddExceptHandler(hkExceptEvent, handler, true, 1));
  for (const bool frozen : {false, true}) {
    SCOPED_TRACE(frozen ? "frozen" : "busy main thread");
    ranOn = 0;
    moveFailed = false;
    uint32_t caller = 0;
    std::thread t([&] {
      caller = GetCurrentThreadId();
      bool handled = false, canContinue = true;
      CallExceptHandlers(hkExceptEvent, 1, 0, &handled, &canContinue, nullptr, nullptr, 0, 0, nullptr, frozen);
    });
    const auto start = std::chrono::steady_clock::now();
    t.join();  // no message loop here: the main thread does not answer
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(ranOn, caller);
    EXPECT_TRUE(moveFailed);
    if (frozen)
      EXPECT_LT(ms, 1000);
    else
      EXPECT_GE(ms, 1400);
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);  // the late probe
  }
  RemoveExceptHandler(hkExceptEvent, handler);
}

// Phases, handled byte, registration and empty lists, all on the calling thread.
TEST_F(Pausing, PhasesAndHandledByte) {
  static int calls;
  calls = 0;
  const TExceptHandlerProc marksHandled = [](THandlerCall& c) {
    ++calls;
    c.Handled = true;
    c.Report = "changed";
  };
  const TExceptHandlerProc forMain = [](THandlerCall&) { ADD_FAILURE() << "runs only when not handled"; };
  ASSERT_TRUE(AddExceptHandler(hkExceptEvent, marksHandled, false, 2));
  EXPECT_FALSE(AddExceptHandler(hkExceptEvent, marksHandled, false, 2)) << "duplicate";
  ASSERT_TRUE(AddExceptHandler(hkExceptEvent, forMain, true, 2));
  struct TObject {
    int Seen = 0;
  } object;
  const TExceptHandlerMethod method = [](void* o, THandlerCall& c) {
    static_cast<TObject*>(o)->Seen = c.Phase;
    throw std::runtime_error("a handler's failure is its own");
  };
  ASSERT_TRUE(AddExceptHandlerMethod(hkExceptEvent, method, &object, false, AnyPhase));

  std::string report = "report";
  bool handled = false, canContinue = true;
  CallExceptHandlers(hkExceptEvent, 0, 0, &handled, &canContinue, nullptr, &report, 0, 0, nullptr, false);
  EXPECT_EQ(calls, 0) << "another phase";
  EXPECT_EQ(report, "report");
  CallExceptHandlers(hkExceptEvent, 2, 0, &handled, &canContinue, nullptr, &report, 0, 0, nullptr, false);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(object.Seen, 2);
  EXPECT_EQ(report, "changed");
  EXPECT_FALSE(handled) << "cleared after phase 2";

  RemoveExceptHandler(hkExceptEvent, marksHandled);
  RemoveExceptHandler(hkExceptEvent, forMain);
  TObject other;
  RemoveExceptHandlerMethod(hkExceptEvent, method, &other);
  object.Seen = -1;
  CallExceptHandlers(hkExceptEvent, 1, 0, &handled, &canContinue, nullptr, &report, 0, 0, nullptr, false);
  EXPECT_EQ(object.Seen, 1) << "removal needs the same method and object";
  RemoveExceptHandlerMethod(hkExceptEvent, method, &object);
  object.Seen = -1;
  report = "untouched";
  handled = true;
  CallExceptHandlers(hkExceptEvent, 1, 0, &handled, &canContinue, nullptr, &report, 0, 0, nullptr, false);
  EXPECT_EQ(object.Seen, -1);
  EXPECT_EQ(report, "untouched");
  EXPECT_TRUE(handled) << "no handlers: nothing touched";
}

// The synchronous case: the main thread processes its own report and runs the
// box's message loop through the hook; it must not be held by its own pause.
TEST_F(Pausing, ReportingThreadIsNotHeldByItsOwnPause) {
  PauseOtherThreads(true);
  std::atomic<bool> passed{false}, rescued{false};
  std::thread guard([&] {
    for (int i = 0; i < 200 && !passed; ++i) Sleep(10);
    if (!passed) {
      rescued = true;
      PauseOtherThreads(false);
    }
  });
  MSG m;
  HookedPeekMessage(&m);
  passed = true;
  guard.join();
  PauseOtherThreads(false);
  EXPECT_FALSE(rescued);
}
