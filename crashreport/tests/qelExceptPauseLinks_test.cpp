// Pausing on the reporter's own thread list, the program's map (written beside
// the test program at build time) and the main thread's handler window.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "qelExceptPause.h"
#include "qelExceptSettings.h"
#include "qelExceptThreads.h"

using namespace qel;

namespace {

// A thread recorded in the thread list as created from `creation`, counting
// the rounds of its message loop.
class TListedThread {
public:
  explicit TListedThread(void* creation) {
    const uint32_t creator = GetCurrentThreadId();
    FThread = std::thread([this, creation, creator] {
      StoreThreadInfo(GetCurrentThreadId(), nullptr, "", creator, creation, "");
      Id = GetCurrentThreadId();
      while (!FStop) {
        PauseIfRequested();
        MSG m;
        PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE);
        ++Rounds;
        Sleep(1);
      }
    });
    while (Id == 0) Sleep(1);
  }
  ~TListedThread() {
    FStop = true;
    FThread.join();
    SetThreadName(Id, "");
  }
  std::atomic<uint32_t> Id{0};
  std::atomic<long> Rounds{0};

private:
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

void* ProgramCode() { return reinterpret_cast<void*>(&DefaultPauseLinks); }
void* SystemCode() { return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "Sleep")); }

class PauseLinks : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(InstallThreadList());
    MainThreadId = GetCurrentThreadId();
    SetPauseLinks(DefaultPauseLinks());
    ASSERT_TRUE(StartHandlerWindow());
  }
  static void TearDownTestSuite() { StopHandlerWindow(); }
};

}  // namespace

TEST_F(PauseLinks, ThreadsOfCodeWithAMapArePausable) {
  TListedThread own(ProgramCode()), foreign(SystemCode());
  ASSERT_NE(own.Id, 0u);
  EXPECT_TRUE(IsPausableThread(own.Id));
  EXPECT_FALSE(IsPausableThread(foreign.Id));
  EXPECT_FALSE(IsPausableThread(GetCurrentThreadId())) << "the main thread's entry has no creation address";
}

// A report on another thread pauses the listed worker and the main thread; a
// main-thread handler runs there through its handler window meanwhile.
TEST_F(PauseLinks, ReportPausesListedThreadsAndMovesHandlers) {
  TListedThread own(ProgramCode()), foreign(SystemCode());
  static uint32_t ranOn;
  ranOn = 0;
  const TExceptHandlerProc handler = [](THandlerCall& c) {
    ranOn = GetCurrentThreadId();
    c.Report += " seen";
  };
  ASSERT_TRUE(AddExceptHandler(hkExceptEvent, handler, true, 1));
  std::atomic<bool> done{false};
  long ownDuring = -1, foreignDuring = -1, mainDuring = -1;
  std::atomic<long> mainRounds{0};
  std::string report = "report";
  std::thread reporter([&] {
    PauseOtherThreads(true);
    Sleep(100);
    bool handled = false, canContinue = true;
    CallExceptHandlers(hkExceptEvent, 1, 0, &handled, &canContinue, nullptr, &report, 0, 0, nullptr, false);
    Sleep(50);  // the main thread, let go for the call, is held again
    const long o = own.Rounds, f = foreign.Rounds, m = mainRounds;
    Sleep(300);
    ownDuring = own.Rounds - o;
    foreignDuring = foreign.Rounds - f;
    mainDuring = mainRounds - m;
    PauseOtherThreads(false);
    done = true;
  });
  while (!done) {
    PauseIfRequested();
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
    ++mainRounds;
    Sleep(1);
  }
  reporter.join();
  RemoveExceptHandler(hkExceptEvent, handler);
  EXPECT_EQ(ranOn, GetCurrentThreadId());
  EXPECT_EQ(report, "report seen");
  EXPECT_EQ(ownDuring, 0);
  EXPECT_GT(foreignDuring, 20);
  EXPECT_EQ(mainDuring, 0);
}
