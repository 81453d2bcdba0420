// The freeze watchdog with FreezeTimeout 1000 (probes every 100 ms): the
// test's main thread is the program's main thread and freezes by sleeping.
// Intervals are measured from the end of one report to the start of the
// next one's processing (a phase-0 handler sees that start), so that the
// time a report takes to compose does not count.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <thread>

#include "qelExceptFreeze.h"
#include "qelExceptPause.h"
#include "qelRequestsTestSupport.h"

using namespace qel;
using namespace qeltest;

namespace {

std::mutex gStartLock;
std::vector<DWORD> gStarts;  // tick at the start of each request's processing

void NoteStart(THandlerCall& call) {
  if (call.Phase != 0) return;
  std::lock_guard<std::mutex> lock(gStartLock);
  gStarts.push_back(GetTickCount());
}

std::vector<DWORD> Starts() {
  std::lock_guard<std::mutex> lock(gStartLock);
  return gStarts;
}

// Stays frozen (serves no message) until the condition holds: the reports' own
// time depends on the machine's load, so the test waits for them, not a fixed time.
bool FrozenUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
  for (const DWORD start = GetTickCount(); GetTickCount() - start < timeoutMs; Sleep(50))
    if (condition()) return true;
  return condition();
}

// The box does nothing, so its tick is the end of the report.
std::vector<TBoxCall> FrozenCalls() {
  std::vector<TBoxCall> frozen;
  for (const TBoxCall& c : BoxCalls())
    if (c.Frozen) frozen.push_back(c);
  return frozen;
}

class Freeze : public Requests {
protected:
  void SetUp() override {
    Requests::SetUp();
    {
      std::lock_guard<std::mutex> lock(gStartLock);
      gStarts.clear();
    }
    AddExceptHandler(hkExceptEvent, NoteStart, false, 0);
    FreezeTimeout = 1000;
    StartFreezeWatchdog();
    ASSERT_NE(FreezeWatchdogThreadId(), 0u);
    Pump(300);  // answered probes: the count starts from 0
  }
  void TearDown() override {
    StopFreezeWatchdog();
    FreezeTimeout = 0;
    RemoveExceptHandler(hkExceptEvent, NoteStart);
    Requests::TearDown();
  }
};

TEST_F(Freeze, AFrozenMainThreadIsReportedAgainAfterLongerSpellsUntilItAnswers) {
  const DWORD frozenAt = GetTickCount();
  // ten probes of 100 ms, then of 150, then of 225 ms: at least 4.75 s
  FrozenUntil([] { return FrozenCalls().size() >= 3 && Starts().size() >= 3; }, 60000);
  Pump(500);
  const auto frozen = FrozenCalls();
  auto starts = Starts();
  ASSERT_GE(frozen.size(), 3u);
  ASSERT_GE(starts.size(), 3u);
  const long gap0 = static_cast<long>(starts[0] - frozenAt);
  const long gap1 = static_cast<long>(starts[1] - frozen[0].Tick);
  const long gap2 = static_cast<long>(starts[2] - frozen[1].Tick);
  EXPECT_GE(gap0, 900);
  EXPECT_GE(gap1, 1350);
  EXPECT_GE(gap2, 2025);
  EXPECT_GT(gap1 - gap0, 250) << gap0 << " " << gap1;  // +500 ms expected
  EXPECT_GT(gap2 - gap1, 375) << gap1 << " " << gap2;  // +750 ms expected
  EXPECT_EQ(frozen[0].ThreadId, ExceptionThreadId());
  std::printf("frozen after %ld ms, again after %ld and %ld ms\n", gap0, gap1, gap2);

  // Answered again: back to probes of 100 ms (not 337 ms: 3.4 s to the next report).
  Pump(1000);
  const size_t before = Starts().size();
  const DWORD againAt = GetTickCount();
  FrozenUntil([&] { return Starts().size() >= before + 1; }, 30000);
  Pump(300);
  starts = Starts();
  ASSERT_GE(starts.size(), before + 1);
  const long gap = static_cast<long>(starts[before] - againAt);
  EXPECT_GE(gap, 900);
  EXPECT_LT(gap, 2500);
  std::printf("after answering, frozen again after %ld ms\n", gap);
}

TEST_F(Freeze, NoReportWhileHeldAndHoldsNest) {
  HoldFreezeWatchdog(true);
  HoldFreezeWatchdog(true);
  HoldFreezeWatchdog(false);
  Sleep(2500);
  Pump(300);
  EXPECT_TRUE(FrozenCalls().empty());
  HoldFreezeWatchdog(false);
  Sleep(2500);
  Pump(300);
  EXPECT_GE(FrozenCalls().size(), 1u);
}

TEST_F(Freeze, AMainThreadThatWaitsForAnotherThreadsReportIsNotFrozen) {
  gBoxAction = [] { Sleep(3000); };  // the box stays open
  std::thread worker([] { ReportException(false, &kConvertError, 0, true, 0, 0, nullptr); });
  worker.join();  // no messages meanwhile
  Pump(1500);     // a freeze reported meanwhile would be shown now
  const auto calls = BoxCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_FALSE(calls[0].Frozen);
}

TEST_F(Freeze, OneWatchdogPerProcess) {
  ASSERT_NE(InstalledThreadList(), nullptr);
  HANDLE mutex = InstalledThreadList()->WatchdogMutex;
  EXPECT_EQ(WaitForSingleObject(mutex, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // the running watchdog has it
  StopFreezeWatchdog();
  ASSERT_EQ(WaitForSingleObject(mutex, 0), static_cast<DWORD>(WAIT_OBJECT_0));  // given back at its end
  // While another watchdog holds the mutex, a new one does not probe.
  StartFreezeWatchdog();
  Sleep(2500);
  Pump(300);
  EXPECT_TRUE(FrozenCalls().empty());
  ReleaseMutex(mutex);
  Sleep(2500);
  Pump(300);
  EXPECT_GE(FrozenCalls().size(), 1u);
}

TEST_F(Freeze, AProbeForAWindowIsAnsweredToIt) {
  TCountingWindow window;
  TCountingWindow::Answers = 0;
  ASSERT_TRUE(PostFreezeProbe(window.Handle()));
  Pump(500);
  EXPECT_EQ(TCountingWindow::Answers, 1);
}

TEST_F(Freeze, TheWatchdogIsTheReportersOwnAtTheHighestPriority) {
  void* creation = nullptr;
  std::string title;
  uint32_t creator = 0;
  ThreadTitle(FreezeWatchdogThreadId(), false, creation, title, creator);
  EXPECT_EQ(title, "");
  HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, FreezeWatchdogThreadId());
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_HIGHEST);
  CloseHandle(thread);
}

size_t ThreadCount() {
  size_t count = 0;
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 e{};
  e.dwSize = sizeof e;
  for (BOOL ok = Thread32First(snap, &e); ok; ok = Thread32Next(snap, &e))
    count += e.th32OwnerProcessID == GetCurrentProcessId();
  CloseHandle(snap);
  return count;
}

TEST(FreezeOff, WithoutATimeOutThereIsNoWatchdog) {
  FreezeTimeout = 0;
  const size_t threads = ThreadCount();
  StartFreezeWatchdog();
  EXPECT_EQ(FreezeWatchdogThreadId(), 0u);
  EXPECT_FALSE(PostFreezeProbe(nullptr));
  HoldFreezeWatchdog(true);
  HoldFreezeWatchdog(false);
  StopFreezeWatchdog();
  EXPECT_EQ(ThreadCount(), threads);
}

}  // namespace
