// Reports composed in this process where something goes wrong underneath:
// a section whose code faults, and threads whose stacks are damaged. Each
// report must come out whole, in bounded time.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdint>
#include <string>

#include "qelExceptReport.h"
#include "qelExceptSettings.h"
#include "qelExceptThreads.h"

namespace {

const qel::TExceptionObject kObject{{"EReadError", "Exception"}, "Stream read error"};

struct Settings {
  Settings() {
    qel::MainThreadId = GetCurrentThreadId();
    qel::InstallThreadList();
    savedAll = qel::ListAllThreads;
    savedModules = qel::ListModules;
    savedHardware = qel::ListHardware;
    qel::ListAllThreads = true;
    qel::ListModules = true;
    qel::ListHardware = true;
  }
  ~Settings() {
    qel::ListAllThreads = savedAll;
    qel::ListModules = savedModules;
    qel::ListHardware = savedHardware;
  }
  bool savedAll, savedModules, savedHardware;
};

std::string Hex8(std::uintptr_t v) {
  char buf[12];
  std::snprintf(buf, sizeof buf, "%08x", static_cast<unsigned>(v));
  return buf;
}

// The section of a thread, from its title line to the next blank line.
std::string SectionOf(const std::string& report, DWORD id) {
  char key[32];
  std::snprintf(key, sizeof key, "$%x", static_cast<unsigned>(id));
  const std::size_t title = report.find(key);
  if (title == std::string::npos) return {};
  const std::size_t start = report.rfind("\r\n\r\n", title);
  const std::size_t end = report.find("\r\n\r\n", title);
  return report.substr(start + 4, end == std::string::npos ? std::string::npos : end - start - 4);
}

// Everything a whole report has: the header's first and last lines, the
// main thread, the modules and hardware sections.
void ExpectWholeReport(const std::string& r) {
  EXPECT_EQ(r.rfind("date/time", 0), 0u) << r.substr(0, 200);
  EXPECT_NE(r.find("exception class    : EReadError"), std::string::npos);
  EXPECT_NE(r.find("\r\n\r\nmain thread"), std::string::npos);
  EXPECT_NE(r.find("\r\n\r\nmodules:"), std::string::npos);
  EXPECT_NE(r.find("\r\n\r\nhardware:"), std::string::npos);
  EXPECT_EQ(r.find(qel::kReportComposeFailed), std::string::npos);
}

class Stopwatch {
public:
  Stopwatch() { QueryPerformanceCounter(&FStart); }
  double Seconds() const {
    LARGE_INTEGER now, f;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&f);
    return static_cast<double>(now.QuadPart - FStart.QuadPart) / static_cast<double>(f.QuadPart);
  }

private:
  LARGE_INTEGER FStart;
};

// ---- a fault inside one section ------------------------------------------------------------

std::atomic<DWORD> gVictim{0};
std::uintptr_t gFaultAt = 0;
qel::TReportTracer gRealTracer;

__attribute__((noinline, noipa)) void Fault() {
  asm volatile(
      ".globl _qelSectionFaultAt\n"
      "_qelSectionFaultAt:\n\t"
      "movl $0x10, %%eax\n\t"
      "movl (%%eax), %%eax"
      :
      :
      : "eax", "memory");
}
extern "C" char qelSectionFaultAt[];

std::string FaultingTrace(const qel::TStackRequest& r, bool a, bool b, bool c, bool d) {
  if (r.threadId == gVictim.load()) Fault();
  return gRealTracer.traceStack(r, a, b, c, d);
}

void FaultingListing(const qel::ListingEnvironment&, qel::Address, std::string& listing, qel::Address, std::int32_t,
                     bool, qel::FunctionInfo&) {
  listing = "never seen";
  Fault();
}

struct TParkEvents {
  HANDLE ready;
  HANDLE release;
};

DWORD WINAPI Parked(void* events) {
  auto* e = static_cast<TParkEvents*>(events);
  SetEvent(e->ready);
  WaitForSingleObject(e->release, 120000);
  return 0;
}

TEST(ReportGuard, FaultInOneSectionCostsThatSectionOnly) {
  ASSERT_NE(qel::ReportTracer().traceStack, nullptr);
  Settings settings;
  gFaultAt = reinterpret_cast<std::uintptr_t>(qelSectionFaultAt) + 5;  // the load after the move
  gRealTracer = qel::ReportTracer();
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  TParkEvents events[2] = {{CreateEventA(nullptr, TRUE, FALSE, nullptr), release},
                           {CreateEventA(nullptr, TRUE, FALSE, nullptr), release}};
  DWORD victimId = 0, otherId = 0;
  HANDLE victim = CreateThread(nullptr, 0, Parked, &events[0], 0, &victimId);
  HANDLE other = CreateThread(nullptr, 0, Parked, &events[1], 0, &otherId);
  // Both inside Parked from here on.
  ASSERT_EQ(WaitForSingleObject(events[0].ready, 60000), WAIT_OBJECT_0);
  ASSERT_EQ(WaitForSingleObject(events[1].ready, 60000), WAIT_OBJECT_0);
  qel::TReportTracer faulty = gRealTracer;
  faulty.traceStack = FaultingTrace;
  qel::SetReportTracer(faulty);
  gVictim = victimId;
  qel::DisAsmListingRoutine = FaultingListing;
  std::string report;
  qel::ComposeBugReport(false, &kObject, reinterpret_cast<std::uintptr_t>(&Parked), GetCurrentThreadId(), 0, 0,
                        false, nullptr, report);
  qel::DisAsmListingRoutine = nullptr;
  qel::SetReportTracer(gRealTracer);
  SetEvent(release);
  WaitForSingleObject(victim, 10000);
  WaitForSingleObject(other, 10000);
  CloseHandle(victim);
  CloseHandle(other);
  CloseHandle(events[0].ready);
  CloseHandle(events[1].ready);
  CloseHandle(release);

  ExpectWholeReport(report);
  // The faulting section: its title line, then the error line with the fault's address.
  const std::string failed = SectionOf(report, victimId);
  EXPECT_NE(failed.find(":\r\n>> internal error in GetThreadStack:\r\n" + Hex8(gFaultAt)), std::string::npos)
      << failed;
  // The thread traced after it is whole.
  const std::string traced = SectionOf(report, otherId);
  EXPECT_EQ(traced.find(">> internal error"), std::string::npos) << traced;
  EXPECT_NE(traced.find("Parked"), std::string::npos) << traced;
  // The listing's own line.
  EXPECT_NE(report.find("\r\n\r\ndisassembling:\r\n>> internal error in GetCleartextDisAsm:\r\n" + Hex8(gFaultAt)),
            std::string::npos)
      << report.substr(report.find("disassembling:") == std::string::npos ? 0 : report.find("disassembling:"));
  EXPECT_EQ(report.find("never seen"), std::string::npos);
}

// ---- damaged stacks -------------------------------------------------------------------------

// Each report of a damaged stack must be whole within this time, under
// emulation on a loaded machine (natively it is a small fraction of it).
constexpr double kReportBound = 90.0;

// A thread that sets up its stack, says so and waits to be released.
struct TStackThread {
  using Body = void (*)(TStackThread&);
  explicit TStackThread(Body run) : body(run) {
    ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    thread = CreateThread(nullptr, 0, &Run, this, 0, &id);
    EXPECT_EQ(WaitForSingleObject(ready, 120000), WAIT_OBJECT_0);
  }
  ~TStackThread() {
    SetEvent(release);
    if (WaitForSingleObject(thread, 30000) != WAIT_OBJECT_0) TerminateThread(thread, 1);
    CloseHandle(thread);
    CloseHandle(ready);
    CloseHandle(release);
  }
  // Called by the body at the point the report should see.
  void Park() {
    SetEvent(ready);
    WaitForSingleObject(release, 300000);
  }
  static DWORD WINAPI Run(void* self) {
    auto* t = static_cast<TStackThread*>(self);
    t->body(*t);
    return 0;
  }
  Body body;
  HANDLE ready, release, thread;
  DWORD id = 0;
  std::uintptr_t framePointer = 0;  // published by the body
  std::uintptr_t stackPointer = 0;
  std::uintptr_t address = 0;
};

struct TTimedReport {
  std::string text;
  double seconds = 0;
};

TTimedReport ReportOf(const char* name, DWORD id, std::uintptr_t address, std::uintptr_t sp, std::uintptr_t fp) {
  Settings settings;
  TTimedReport r;
  Stopwatch watch;
  qel::ComposeBugReport(false, &kObject, address, id, sp, fp, false, nullptr, r.text);
  r.seconds = watch.Seconds();
  std::printf("[ report ] %-28s %7.2f s, %u bytes\n", name, r.seconds, static_cast<unsigned>(r.text.size()));
  EXPECT_LT(r.seconds, kReportBound) << name;
  ExpectWholeReport(r.text);
  EXPECT_FALSE(SectionOf(r.text, id).empty()) << name;
  return r;
}

std::uintptr_t Here() { return reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)); }

__attribute__((noinline, noipa)) void GarbageFrames(TStackThread& t) {
  // Frame pointers into values that look like anything: code, stack, small numbers.
  volatile std::uintptr_t cells[256];
  std::uint32_t x = 12345;
  for (int i = 0; i < 256; ++i) {
    x = x * 1103515245u + 12345u;
    switch (i % 4) {
      case 0: cells[i] = x; break;
      case 1: cells[i] = reinterpret_cast<std::uintptr_t>(&cells[(x >> 8) % 256]); break;
      case 2: cells[i] = reinterpret_cast<std::uintptr_t>(&GarbageFrames) + (x >> 24); break;
      default: cells[i] = x >> 20; break;
    }
  }
  t.framePointer = reinterpret_cast<std::uintptr_t>(&cells[1]);
  t.address = Here();
  t.Park();
}

__attribute__((noinline, noipa)) void LoopedFrames(TStackThread& t) {
  // Two frames that name each other, and one that names itself.
  volatile std::uintptr_t cells[16] = {};
  cells[0] = reinterpret_cast<std::uintptr_t>(&cells[4]);
  cells[4] = reinterpret_cast<std::uintptr_t>(&cells[0]);
  cells[8] = reinterpret_cast<std::uintptr_t>(&cells[8]);
  t.framePointer = reinterpret_cast<std::uintptr_t>(&cells[0]);
  t.stackPointer = reinterpret_cast<std::uintptr_t>(&cells[8]);  // the self loop, as a second frame pointer
  t.address = Here();
  t.Park();
}

TEST(DamagedStack, FramePointerIntoGarbage) {
  TStackThread t(GarbageFrames);
  ReportOf("frame chain into garbage", t.id, t.address, 0, t.framePointer);
  // And into memory that is no stack at all.
  ReportOf("frame pointer unreadable", t.id, t.address, 0, 0x10);
}

TEST(DamagedStack, FramePointerLoops) {
  TStackThread t(LoopedFrames);
  ReportOf("frame chain loop of two", t.id, t.address, 0, t.framePointer);
  ReportOf("frame chain loop of one", t.id, t.address, 0, t.stackPointer);
}

TEST(DamagedStack, StackPointerOnUnreadablePage) {
  TStackThread t([](TStackThread& self) {
    volatile int here = 0;
    self.stackPointer = reinterpret_cast<std::uintptr_t>(&here);
    self.address = Here();
    self.Park();
  });
  // Below the committed part of the thread's own stack (its guard page or
  // reserved space), and a committed page that allows no access.
  MEMORY_BASIC_INFORMATION region{};
  ASSERT_NE(VirtualQuery(reinterpret_cast<void*>(t.stackPointer), &region, sizeof region), 0u);
  const std::uintptr_t below = reinterpret_cast<std::uintptr_t>(region.BaseAddress) - 0x10;
  void* noAccess = VirtualAlloc(nullptr, 0x1000, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS);
  ASSERT_NE(noAccess, nullptr);
  ReportOf("stack pointer below stack", t.id, t.address, below, 0);
  ReportOf("stack pointer no-access", t.id, t.address, reinterpret_cast<std::uintptr_t>(noAccess), 0);
  VirtualFree(noAccess, 0, MEM_RELEASE);
}

volatile int gDepthStop = 0;

__attribute__((noinline, noipa)) int Recurse(TStackThread& t, int depth) {
  volatile int local = depth;
  if (depth == 10000 || gDepthStop) {
    t.address = Here();
    t.Park();
    return local;
  }
  return Recurse(t, depth + 1) + local;
}

TEST(DamagedStack, TenThousandDeepRecursion) {
  TStackThread t([](TStackThread& self) { Recurse(self, 1); });
  const TTimedReport r = ReportOf("10,000-deep recursion", t.id, t.address, 0, 0);
  // The recursion is folded: the routine is named, the report stays small.
  const std::string section = SectionOf(r.text, t.id);
  EXPECT_NE(section.find("Recurse"), std::string::npos) << section.substr(0, 2000);
  EXPECT_LT(section.size(), 200000u);
}

std::atomic<DWORD> gOverflowThread{0};
CONTEXT gOverflow{};
HANDLE gOverflowReady = nullptr;
HANDLE gOverflowRelease = nullptr;

LONG WINAPI HoldOverflowedThread(EXCEPTION_POINTERS* info) {
  if (info->ExceptionRecord->ExceptionCode != EXCEPTION_STACK_OVERFLOW || GetCurrentThreadId() != gOverflowThread)
    return EXCEPTION_CONTINUE_SEARCH;
  gOverflow = *info->ContextRecord;
  SetEvent(gOverflowReady);
  WaitForSingleObject(gOverflowRelease, INFINITE);
  ExitThread(0);
}

__attribute__((noinline, noipa)) int Overflow(int depth) {
  volatile char pad[40];
  pad[depth % 40] = static_cast<char>(depth);
  if (gDepthStop) return pad[0];
  return Overflow(depth + 1) + pad[depth % 40];
}

DWORD WINAPI OverflowingThread(void*) {
  ULONG guarantee = 0x10000;
  SetThreadStackGuarantee(&guarantee);
  gOverflowThread = GetCurrentThreadId();
  return static_cast<DWORD>(Overflow(0));
}

TEST(DamagedStack, StackOverflow) {
  gOverflowReady = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  gOverflowRelease = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  void* handler = AddVectoredExceptionHandler(1, HoldOverflowedThread);
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, OverflowingThread, nullptr, 0, &id);
  ASSERT_EQ(WaitForSingleObject(gOverflowReady, 120000), WAIT_OBJECT_0);
  const TTimedReport r = ReportOf("stack overflow", id, gOverflow.Eip, gOverflow.Esp, gOverflow.Ebp);
  const std::string section = SectionOf(r.text, id);
  EXPECT_NE(section.find("Overflow"), std::string::npos) << section.substr(0, 2000);
  SetEvent(gOverflowRelease);
  EXPECT_EQ(WaitForSingleObject(thread, 30000), WAIT_OBJECT_0);
  RemoveVectoredExceptionHandler(handler);
  CloseHandle(thread);
  CloseHandle(gOverflowReady);
  CloseHandle(gOverflowRelease);
}

}  // namespace
