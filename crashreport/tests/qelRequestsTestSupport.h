// Helpers of the exception-request tests: a recording stand-in for the
// exception box, threads that report, a window that counts what reaches it,
// and the fixture with the reporter's settings for quick reports.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qelExceptHistory.h"
#include "qelExceptRequests.h"
#include "qelExceptSettings.h"
#include "qelExceptThreads.h"

namespace qeltest {

using namespace qel;

// --- the recording box ---------------------------------------------------------

struct TBoxCall {
  DWORD ThreadId = 0;
  DWORD Tick = 0;
  bool Frozen = false;
  bool CanContinue = false;
  std::string ClassName;
  std::string Screenshot;
  std::string Report;
};

inline std::mutex gBoxLock;
inline std::vector<TBoxCall> gBoxCalls;
inline std::function<void()> gBoxAction;  // run inside the box, on the box's thread

inline void RecordingBox(bool frozen, const TExceptionObject* object, uintptr_t, bool canContinue,
                  const std::string& screenshot, const std::string& report) {
  TBoxCall call{GetCurrentThreadId(), GetTickCount(), frozen, canContinue,
                object != nullptr && !object->classChain.empty() ? object->classChain.front() : "",
                screenshot, report};
  {
    std::lock_guard<std::mutex> lock(gBoxLock);
    gBoxCalls.push_back(call);
  }
  if (gBoxAction) gBoxAction();
}

inline std::vector<TBoxCall> BoxCalls() {
  std::lock_guard<std::mutex> lock(gBoxLock);
  return gBoxCalls;
}

inline const TExceptionObject kConvertError{{"EConvertError", "Exception"}, "'abc' is not a valid integer value"};

inline DWORD WINAPI RunFunction(void* p) {
  const std::unique_ptr<std::function<void()>> f(static_cast<std::function<void()>*>(p));
  (*f)();
  return 0;
}

// Runs f on a thread of its own; false when it has not ended in time.
inline bool RunOnThread(const std::function<void()>& f, DWORD timeoutMs, DWORD* threadId = nullptr) {
  auto owned = std::make_unique<std::function<void()>>(f);
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, &RunFunction, owned.get(), 0, &id);
  if (thread == nullptr) return false;
  owned.release();  // the thread's now, which may outlive a failed test
  if (threadId != nullptr) *threadId = id;
  // The main thread keeps serving its messages meanwhile.
  const DWORD start = GetTickCount();
  bool ended = false;
  while (!ended && GetTickCount() - start < timeoutMs) {
    if (MsgWaitForMultipleObjects(1, &thread, FALSE, 50, QS_ALLINPUT) == WAIT_OBJECT_0) ended = true;
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
  }
  CloseHandle(thread);
  return ended;
}

// A message-only window of the calling thread that counts what reaches it.
class TCountingWindow {
public:
  static constexpr UINT kSent = WM_USER + 1, kPosted = WM_USER + 2;
  TCountingWindow() {
    WNDCLASSA wc{};
    wc.lpfnWndProc = &Proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "qelRequestsCounting";
    RegisterClassA(&wc);
    FWindow = CreateWindowA(wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
  }
  ~TCountingWindow() { DestroyWindow(FWindow); }
  TCountingWindow(const TCountingWindow&) = delete;
  TCountingWindow& operator=(const TCountingWindow&) = delete;
  HWND Handle() const { return FWindow; }
  static inline std::atomic<int> Sent{0}, Posted{0}, Answers{0};

private:
  static LRESULT CALLBACK Proc(HWND w, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == kSent) return ++Sent;
    if (msg == kPosted) ++Posted;
    if (msg == WM_NULL && wParam == 777 && lParam == 777) ++Answers;
    return DefWindowProcA(w, msg, wParam, lParam);
  }
  HWND FWindow = nullptr;
};

class Requests : public ::testing::Test {
protected:
  static void SetUpTestSuite() { InstallThreadList(); }

  void SetUp() override {
    MainThreadId = GetCurrentThreadId();
    ShowExceptBox = true;
    ConsoleOutput = false;  // the box decides, as in a windowed program
    PauseRunningThreads = false;
    ListAllThreads = ListModules = ListHardware = false;
    ScreenShotSetting = 0;
    IgnoredExceptionClasses.clear();
    HtmlMode = AutoSaveBugReport = AutoMailBugReport = false;
    AutoCloseSeconds = AutoRestartSeconds = 0;
    for (uint64_t& stamp : ExceptionTimeHistory()) stamp = 0;
    {
      std::lock_guard<std::mutex> lock(gBoxLock);
      gBoxCalls.clear();
    }
    gBoxAction = nullptr;
    ExceptionBoxRoutine = RecordingBox;
    StartExceptionThread();
    ASSERT_NE(ExceptionThreadId(), 0xFFFFFFFFu);
  }
  void TearDown() override {
    StopExceptionThread();
    gBoxAction = nullptr;
  }

  // Reports kConvertError (or object) from a worker thread and waits for it.
  static void ReportFromWorker(const TExceptionObject* object = &kConvertError, bool canContinue = true,
                               std::string* reportOut = nullptr) {
    ASSERT_TRUE(RunOnThread([&] { ReportException(false, object, 0, canContinue, 0, 0, reportOut); }, 120000));
  }
};

// Dispatches the calling thread's messages for ms milliseconds.
inline void Pump(DWORD ms) {
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < ms) {
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
    Sleep(10);
  }
}

}  // namespace qeltest
