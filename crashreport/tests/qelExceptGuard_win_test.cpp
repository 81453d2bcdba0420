// Guarded sections against real processor faults on i686: each ends its own
// body only, leaves the thread's handler chain as it found it, nests, lets
// handlers inside the body go first, and touches no other thread.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <thread>
#include <vector>

#include "qelExceptGuard.h"

namespace {

using qel::RunGuarded;
using qel::TGuardFault;

void* ChainHead() {
  void* head;
  asm volatile("movl %%fs:0, %0" : "=r"(head));
  return head;
}

volatile int* volatile gNull = reinterpret_cast<int*>(16);
volatile int gZero = 0;

__attribute__((noinline, noipa)) int ReadNull() { return *gNull; }
__attribute__((noinline, noipa)) void WriteNull() { *gNull = 1; }
__attribute__((noinline, noipa)) int DivideByZero() { return 7 / gZero; }
__attribute__((noinline, noipa)) void Illegal() { asm volatile("ud2"); }
__attribute__((noinline, noipa)) void Breakpoint() { asm volatile("int3"); }

std::uintptr_t Addr(const void* f) { return reinterpret_cast<std::uintptr_t>(f); }

TEST(Guard, EachFaultEndsItsBodyOnly) {
  struct Case {
    const char* name;
    void (*fault)();
    std::uintptr_t routine;
    std::uint32_t code;
  };
  const Case cases[] = {
      {"read", [] { ReadNull(); }, Addr(reinterpret_cast<void*>(&ReadNull)), EXCEPTION_ACCESS_VIOLATION},
      {"write", [] { WriteNull(); }, Addr(reinterpret_cast<void*>(&WriteNull)), EXCEPTION_ACCESS_VIOLATION},
      {"divide", [] { DivideByZero(); }, Addr(reinterpret_cast<void*>(&DivideByZero)), EXCEPTION_INT_DIVIDE_BY_ZERO},
      {"ud2", [] { Illegal(); }, Addr(reinterpret_cast<void*>(&Illegal)), EXCEPTION_ILLEGAL_INSTRUCTION},
      {"int3", [] { Breakpoint(); }, Addr(reinterpret_cast<void*>(&Breakpoint)), EXCEPTION_BREAKPOINT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    void* const head = ChainHead();
    bool after = false;
    TGuardFault fault;
    EXPECT_FALSE(RunGuarded([&] {
      c.fault();
      after = true;
    }, &fault));
    EXPECT_FALSE(after);
    EXPECT_EQ(fault.code, c.code);
    // The faulting instruction lies in the routine that faulted.
    EXPECT_GE(fault.address, c.routine);
    EXPECT_LT(fault.address, c.routine + 64);
    EXPECT_EQ(qel::LastGuardFaultAddress(), fault.address);
    EXPECT_EQ(ChainHead(), head);
    int ran = 0;
    EXPECT_TRUE(RunGuarded([&] { ran = 1; }));
    EXPECT_EQ(ran, 1);
    // A body that runs to its end keeps the failure's address for its line.
    EXPECT_EQ(qel::LastGuardFaultAddress(), fault.address);
  }
}

TEST(Guard, CppExceptionEndsTheBodyWithoutCode) {
  void* const head = ChainHead();
  TGuardFault fault{1, 1};
  EXPECT_FALSE(RunGuarded([] { throw std::runtime_error("x"); }, &fault));
  EXPECT_EQ(fault.code, 0u);
  EXPECT_EQ(fault.address, 0u);
  EXPECT_EQ(qel::LastGuardFaultAddress(), 0u);
  EXPECT_EQ(ChainHead(), head);
}

TEST(Guard, NestedGuardsTakeTheirOwnFaults) {
  void* const head = ChainHead();
  std::vector<int> steps;
  TGuardFault inner, outer;
  const bool done = RunGuarded([&] {
    steps.push_back(1);
    EXPECT_FALSE(RunGuarded([&] {
      steps.push_back(2);
      ReadNull();
      steps.push_back(99);
    }, &inner));
    steps.push_back(3);
    EXPECT_TRUE(RunGuarded([&] { steps.push_back(4); }));
    DivideByZero();
    steps.push_back(99);
  }, &outer);
  EXPECT_FALSE(done);
  EXPECT_EQ(steps, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(inner.code, static_cast<std::uint32_t>(EXCEPTION_ACCESS_VIOLATION));
  EXPECT_EQ(outer.code, static_cast<std::uint32_t>(EXCEPTION_INT_DIVIDE_BY_ZERO));
  EXPECT_EQ(ChainHead(), head);
}

TEST(Guard, HandlersInsideTheBodyGoFirst) {
  // The system's memory test catches its own fault: the body goes on.
  bool bad = false;
  EXPECT_TRUE(RunGuarded([&] { bad = IsBadReadPtr(reinterpret_cast<const void*>(16), 4) != 0; }));
  EXPECT_TRUE(bad);
}

TEST(Guard, FaultLeavesTheFloatingPointUnitUsable) {
  EXPECT_FALSE(RunGuarded([] {
    // A full x87 register stack at the fault.
    asm volatile("fld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1" ::: "memory");
    ReadNull();
  }));
  volatile long double x = 1.5L;
  volatile long double y = x * x + x;
  EXPECT_EQ(static_cast<double>(y), 3.75);
}

DWORD WINAPI FaultInGuards(void* count) {
  auto* caught = static_cast<std::atomic<int>*>(count);
  for (int i = 0; i < 200; ++i) {
    TGuardFault fault;
    if (!RunGuarded([i] { i % 2 ? static_cast<void>(ReadNull()) : Illegal(); }, &fault) && fault.code != 0) ++*caught;
  }
  return 0;
}

TEST(Guard, ThreadsFaultingTogetherEachKeepTheirOwn) {
  constexpr int kThreads = 4;
  std::atomic<int> caught[kThreads] = {};
  HANDLE threads[kThreads];
  for (int t = 0; t < kThreads; ++t) threads[t] = CreateThread(nullptr, 0, FaultInGuards, &caught[t], 0, nullptr);
  ASSERT_EQ(WaitForMultipleObjects(kThreads, threads, TRUE, 120000), WAIT_OBJECT_0);
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(caught[t].load(), 200) << "thread " << t;
    CloseHandle(threads[t]);
  }
}

std::atomic<DWORD> gUnguardedThread{0};
std::atomic<int> gFilterSaw{0};

LONG WINAPI SkipUnguardedUd2(EXCEPTION_POINTERS* info) {
  if (info->ExceptionRecord->ExceptionCode == EXCEPTION_ILLEGAL_INSTRUCTION &&
      GetCurrentThreadId() == gUnguardedThread.load()) {
    ++gFilterSaw;
    info->ContextRecord->Eip += 2;
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

DWORD WINAPI UnguardedFault(void*) {
  gUnguardedThread = GetCurrentThreadId();
  Illegal();
  return 0;
}

TEST(Guard, FaultOutsideEveryGuardGoesOnToTheProcessHandler) {
  LPTOP_LEVEL_EXCEPTION_FILTER previous = SetUnhandledExceptionFilter(SkipUnguardedUd2);
  HANDLE inside = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  bool done = false;
  std::thread guarded([&] {
    done = RunGuarded([&] {
      SetEvent(inside);
      WaitForSingleObject(release, 60000);
    });
  });
  ASSERT_EQ(WaitForSingleObject(inside, 60000), WAIT_OBJECT_0);
  // Another thread faults while this one sits inside its guard.
  HANDLE t = CreateThread(nullptr, 0, UnguardedFault, nullptr, 0, nullptr);
  EXPECT_EQ(WaitForSingleObject(t, 60000), WAIT_OBJECT_0);
  CloseHandle(t);
  EXPECT_EQ(gFilterSaw.load(), 1);
  SetEvent(release);
  guarded.join();
  EXPECT_TRUE(done);
  // And on this thread after its guard has ended.
  gUnguardedThread = GetCurrentThreadId();
  EXPECT_TRUE(RunGuarded([] {}));
  Illegal();
  EXPECT_EQ(gFilterSaw.load(), 2);
  gUnguardedThread = 0;
  SetUnhandledExceptionFilter(previous);
  CloseHandle(inside);
  CloseHandle(release);
}

}  // namespace
