// What the exception reporter relies on in the environment its Windows tests run in (under
// 32-bit Wine, emulated where the machine runs no 32-bit code): reading and writing the own
// process's memory through the process API hits the addressed page, a fault in any thread
// reaches the unhandled-exception filter with the faulting instruction's address, and a
// five-byte jump written over live code takes effect.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

TEST(Lane, ProcessMemoryApiHitsTheAddressedPage) {
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  const size_t page = si.dwPageSize;
  auto* base = static_cast<unsigned char*>(VirtualAlloc(nullptr, 3 * page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  ASSERT_NE(base, nullptr);
  std::memset(base, 'A', page);
  std::memset(base + page, 'B', page);
  std::memset(base + 2 * page, 'C', page);

  std::vector<unsigned char> got(page, 0);
  SIZE_T n = 0;
  ASSERT_TRUE(ReadProcessMemory(GetCurrentProcess(), base + page, got.data(), page, &n));
  EXPECT_EQ(n, page);
  EXPECT_EQ(got, std::vector<unsigned char>(page, 'B'));

  const std::vector<unsigned char> d(page, 'D');
  ASSERT_TRUE(WriteProcessMemory(GetCurrentProcess(), base + page, d.data(), page, &n));
  EXPECT_EQ(n, page);
  EXPECT_EQ(std::vector<unsigned char>(base, base + page), std::vector<unsigned char>(page, 'A'));
  EXPECT_EQ(std::vector<unsigned char>(base + page, base + 2 * page), d);
  EXPECT_EQ(std::vector<unsigned char>(base + 2 * page, base + 3 * page), std::vector<unsigned char>(page, 'C'));
  VirtualFree(base, 0, MEM_RELEASE);
}

// --- a fault in a second thread
volatile int* volatile g_bad = reinterpret_cast<int*>(0x10);
struct TFaultSeen {
  HANDLE done;
  DWORD code;
  uintptr_t eip;
  uintptr_t info0, info1;
  DWORD thread;
} g_fault{};

__attribute__((noinline, noipa, used)) void WriteThroughBadPointer() { *g_bad = 42; }
__attribute__((noinline, noipa, used)) void AfterWriteThroughBadPointer() {}

LONG WINAPI Filter(EXCEPTION_POINTERS* ep) {
  g_fault.code = ep->ExceptionRecord->ExceptionCode;
#ifdef _WIN64
  g_fault.eip = static_cast<uintptr_t>(ep->ContextRecord->Rip);
#else
  g_fault.eip = ep->ContextRecord->Eip;
#endif
  g_fault.info0 = ep->ExceptionRecord->ExceptionInformation[0];
  g_fault.info1 = ep->ExceptionRecord->ExceptionInformation[1];
  g_fault.thread = GetCurrentThreadId();
  SetEvent(g_fault.done);
  ExitThread(0);  // the faulting thread ends here; the process goes on
}

DWORD WINAPI FaultingThread(void*) {
  WriteThroughBadPointer();
  return 1;
}

TEST(Lane, FaultInSecondThreadReachesTheFilterWithTheFaultingAddress) {
  g_fault.done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  LPTOP_LEVEL_EXCEPTION_FILTER old = SetUnhandledExceptionFilter(Filter);
  DWORD tid = 0;
  HANDLE t = CreateThread(nullptr, 0, FaultingThread, nullptr, 0, &tid);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(WaitForSingleObject(g_fault.done, 20000), WAIT_OBJECT_0);
  WaitForSingleObject(t, 5000);
  SetUnhandledExceptionFilter(old);
  EXPECT_EQ(g_fault.code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
  EXPECT_EQ(g_fault.thread, tid);
  EXPECT_EQ(g_fault.info0, 1u) << "a write";
  EXPECT_EQ(g_fault.info1, 0x10u);
  // The faulting store lies inside the routine, and the byte there is a store opcode (mov).
  const auto lo = reinterpret_cast<uintptr_t>(&WriteThroughBadPointer);
  EXPECT_GE(g_fault.eip, lo);
  EXPECT_LT(g_fault.eip, lo + 32);
  EXPECT_EQ(*reinterpret_cast<const unsigned char*>(g_fault.eip), 0xC7) << "mov dword ptr [reg], imm32";
  CloseHandle(t);
  CloseHandle(g_fault.done);
}

// --- a five-byte jump over live code
__attribute__((noinline, noipa, used, aligned(16))) int Original(int x) {
  volatile int k = 3;
  return x * k + 1;
}
__attribute__((noinline, noipa, used)) int Replacement(int x) { return x - 100; }

TEST(Lane, FiveBytePatchOfLiveCodeTakesEffectAndUndoes) {
  int (*volatile call)(int) = Original;  // a volatile pointer: the compiler cannot fold the call
  ASSERT_EQ(call(5), 16);
  auto* at = reinterpret_cast<unsigned char*>(&Original);
  unsigned char saved[5];
  std::memcpy(saved, at, 5);
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(at, 5, PAGE_EXECUTE_READWRITE, &old));
  const int32_t rel = static_cast<int32_t>(reinterpret_cast<intptr_t>(&Replacement) - reinterpret_cast<intptr_t>(at + 5));
  unsigned char jmp[5] = {0xE9};
  std::memcpy(jmp + 1, &rel, 4);
  std::memcpy(at, jmp, 5);
  FlushInstructionCache(GetCurrentProcess(), at, 5);
  EXPECT_EQ(call(5), -95);
  std::memcpy(at, saved, 5);
  FlushInstructionCache(GetCurrentProcess(), at, 5);
  EXPECT_EQ(call(5), 16);
  DWORD ignored = 0;
  VirtualProtect(at, 5, old, &ignored);
}

}  // namespace
