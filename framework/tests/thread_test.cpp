#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <stdexcept>

#include "Threads.h"

using namespace zf;

namespace {

class TCounter : public TThread {
public:
  std::atomic<int> Runs{0};
  std::atomic<bool> Stop{false};
  DWORD RanOn = 0;

protected:
  void Execute() override {
    RanOn = GetCurrentThreadId();
    ++Runs;
    SetReturnValue(42);
  }
};

class TLooper : public TThread {
protected:
  void Execute() override {
    while (!Terminated()) Sleep(1);
    SetReturnValue(7);
  }
};

class TThrower : public TThread {
protected:
  void Execute() override { throw EConvertError("bad value"); }
};

class TSelfFreeing : public TThread {
public:
  explicit TSelfFreeing(std::atomic<bool>& gone) : FGone(gone) { SetFreeOnTerminate(true); }
  ~TSelfFreeing() override { FGone = true; }

protected:
  void Execute() override {}

private:
  std::atomic<bool>& FGone;
};

}  // namespace

TEST(Thread, RunsTheDerivedExecuteOnItsOwnThreadAndGivesTheReturnValue) {
  TCounter t;
  t.Start();
  EXPECT_EQ(42u, t.WaitFor());
  EXPECT_EQ(1, t.Runs.load());
  EXPECT_EQ(t.ThreadID(), t.RanOn);
  EXPECT_NE(GetCurrentThreadId(), t.RanOn);
  EXPECT_TRUE(t.Finished());
  EXPECT_FALSE(t.FatalException());
  EXPECT_THROW(t.Start(), EThread);
}

TEST(Thread, SuspendedStartWaitsForResume) {
  TCounter t;
  t.Start(true);
  EXPECT_TRUE(t.Suspended());
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(t.Handle(), 100));
  EXPECT_EQ(0, t.Runs.load());
  t.Resume();
  EXPECT_FALSE(t.Suspended());
  EXPECT_EQ(42u, t.WaitFor());
  EXPECT_EQ(1, t.Runs.load());
}

TEST(Thread, TerminateEndsALoopingExecute) {
  TLooper t;
  t.Start();
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(t.Handle(), 50));
  t.Terminate();
  EXPECT_EQ(7u, t.WaitFor());
}

TEST(Thread, DestructorStopsARunningOrSuspendedThread) {
  { TLooper t; t.Start(); }
  { TLooper t; t.Start(true); }
  SUCCEED();  // neither destructor hangs nor leaves a thread on a freed object
}

TEST(Thread, ExceptionLeavingExecuteIsKeptAsFatalException) {
  TThrower t;
  t.Start();
  t.WaitFor();
  ASSERT_TRUE(t.FatalException());
  try {
    std::rethrow_exception(t.FatalException());
  } catch (const EConvertError& e) {
    EXPECT_EQ("bad value", e.Message());
  }
}

TEST(Thread, FreeOnTerminateDeletesTheObject) {
  std::atomic<bool> gone{false};
  (new TSelfFreeing(gone))->Start();
  for (int i = 0; i < 500 && !gone; ++i) Sleep(10);
  EXPECT_TRUE(gone.load());
}

TEST(Thread, BeginThreadRunsTheRoutineWithItsParameter) {
  static std::atomic<void*> seen{nullptr};
  int marker = 0;
  DWORD id = 0;
  HANDLE h = BeginThread(nullptr, 0, [](void* p) -> uint32_t { seen = p; return 5; }, &marker, 0,
                         reinterpret_cast<uint32_t*>(&id));
  ASSERT_NE(nullptr, h);
  EXPECT_NE(0u, id);
  WaitForSingleObject(h, INFINITE);
  DWORD code = 0;
  GetExitCodeThread(h, &code);
  CloseHandle(h);
  EXPECT_EQ(5u, code);
  EXPECT_EQ(&marker, seen.load());
}

TEST(Thread, ExecuteVtableIndexNamesTheExecuteSlot) {
  TCounter t;
  auto vtable = *reinterpret_cast<void* const* const*>(static_cast<TThread*>(&t));
  using TExecute = void(__attribute__((thiscall)) *)(TThread*);
  reinterpret_cast<TExecute>(vtable[TThread::ExecuteVtableIndex()])(&t);
  EXPECT_EQ(1, t.Runs.load());
  EXPECT_EQ(GetCurrentThreadId(), t.RanOn);
  EXPECT_EQ("TThread", t.ClassName());
}
