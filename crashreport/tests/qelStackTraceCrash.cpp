// Crash programs with known call chains for the stack tracer's tests. Each
// scenario prints the source lines its trace must show ("LINE routine n"),
// then faults (or throws); the unhandled-exception filter traces the faulting
// thread and prints the trace between "TRACE" and "END", and the process
// ends with exit code 3. Routines are noinline and called through volatile
// pointers so that the compiler keeps every frame.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "qelStackTrace.h"

#define ROUTINE extern "C" __attribute__((noinline, noipa, used))

namespace {

std::uintptr_t gCreation = 0;
DWORD gMainThread = 0;

void Line(const char* routine, int line) { std::printf("LINE %s %d\n", routine, line); }

void PrintTrace(const std::string& trace, DWORD ms) {
  std::printf("TRACE %lu ms\n%s\nEND\n", static_cast<unsigned long>(ms), trace.c_str());
  std::fflush(stdout);
}

LONG WINAPI Filter(EXCEPTION_POINTERS* ep) {
  const DWORD started = GetTickCount();
  qel::TTraceStackParams p;
  p.hideItemsWithoutLineNumber = false;
  p.address = reinterpret_cast<std::uintptr_t>(ep->ExceptionRecord->ExceptionAddress);
  p.exception = true;
  p.hardwareException = true;
  p.stackStart = ep->ContextRecord->Esp;
  p.framePointer = ep->ContextRecord->Ebp;
  p.creationAddress = GetCurrentThreadId() == gMainThread ? 0 : gCreation;
  const std::string trace = qel::TraceStack(p);
  PrintTrace(trace, GetTickCount() - started);
  ExitProcess(3);
}

void NullWrite() { *static_cast<volatile int*>(nullptr) = 1; }
void (*volatile gNullWrite)() = NullWrite;

}  // namespace

// --- main -> CrashA -> CrashB -> CrashC, a null write in CrashC
ROUTINE void CrashC() {
  Line("CrashC", __LINE__ + 1);
  *static_cast<volatile int*>(nullptr) = 0x1234;
}
void (*volatile gC)() = CrashC;
ROUTINE void CrashB() {
  Line("CrashB", __LINE__ + 1);
  gC();
  std::printf("after C\n");
}
void (*volatile gB)() = CrashB;
ROUTINE void CrashA() {
  Line("CrashA", __LINE__ + 1);
  gB();
  std::printf("after B\n");
}
void (*volatile gA)() = CrashA;

// --- a window procedure reached through DispatchMessageA
ROUTINE void CrashInWndProc() {
  Line("CrashInWndProc", __LINE__ + 1);
  *static_cast<volatile int*>(nullptr) = 2;
}
void (*volatile gCrashInWndProc)() = CrashInWndProc;
ROUTINE LRESULT CALLBACK TestWndProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_USER + 7) {
    Line("TestWndProc", __LINE__ + 1);
    gCrashInWndProc();
    return 1;
  }
  return DefWindowProcA(wnd, msg, wp, lp);
}
ROUTINE void MessageLoop() {
  WNDCLASSA wc{};
  wc.lpfnWndProc = TestWndProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "QelTraceTestWindow";
  RegisterClassA(&wc);
  HWND wnd = CreateWindowA("QelTraceTestWindow", "", 0, 0, 0, 10, 10, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
  PostMessageA(wnd, WM_USER + 7, 0, 0);
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    Line("MessageLoop", __LINE__ + 1);
    DispatchMessageA(&msg);
  }
}
void (*volatile gMessageLoop)() = MessageLoop;

// --- a second thread and its creator
ROUTINE void WorkerCrash() {
  Line("WorkerCrash", __LINE__ + 1);
  *static_cast<volatile int*>(nullptr) = 3;
}
void (*volatile gWorkerCrash)() = WorkerCrash;
ROUTINE DWORD WINAPI WorkerProc(void*) {
  Line("WorkerProc", __LINE__ + 1);
  gWorkerCrash();
  return 0;
}
ROUTINE HANDLE MakeThread() {
  // What the thread list keeps: where the thread was created.
  gCreation = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  return CreateThread(nullptr, 0, WorkerProc, nullptr, 0, nullptr);
}
HANDLE (*volatile gMakeThread)() = MakeThread;
ROUTINE void StartWorker() {
  Line("StartWorker", __LINE__ + 1);
  HANDLE thread = gMakeThread();
  WaitForSingleObject(thread, 120000);
  std::printf("worker ended without a fault\n");
}
void (*volatile gStartWorker)() = StartWorker;

// --- recursion
ROUTINE int Recurse(int depth) {
  if (depth == 0) {
    Line("Recurse", __LINE__ + 1);
    gNullWrite();
    return 0;
  }
  Line("Recurse", __LINE__ + 1);
  return Recurse(depth - 1) + 1;
}
int (*volatile gRecurse)(int) = Recurse;

// --- stale return addresses below the live frames
ROUTINE int Leftover3(int x) {
  volatile int v = x;
  return v + 1;
}
int (*volatile gLeftover3)(int) = Leftover3;
ROUTINE int Leftover2(int x) { return gLeftover3(x) + 2; }
int (*volatile gLeftover2)(int) = Leftover2;
ROUTINE int Leftover1(int x) { return gLeftover2(x) + 3; }
int (*volatile gLeftover1)(int) = Leftover1;
ROUTINE void StaleCrash() {
  // Left uninitialised: the slots of the finished calls above stay inside it.
  volatile char pad[256];
  (void)pad;
  Line("StaleCrash", __LINE__ + 1);
  gNullWrite();
}
void (*volatile gStaleCrash)() = StaleCrash;

// --- a C++ throw caught at the top
ROUTINE void ThrowB() {
  Line("ThrowB", __LINE__ + 1);
  throw std::runtime_error("thrown in ThrowB");
}
void (*volatile gThrowB)() = ThrowB;
ROUTINE void ThrowA() {
  Line("ThrowA", __LINE__ + 1);
  gThrowB();
  std::printf("after ThrowB\n");
}
void (*volatile gThrowA)() = ThrowA;

int main(int argc, char** argv) {
  gMainThread = GetCurrentThreadId();
  SetUnhandledExceptionFilter(Filter);
  const std::string what = argc > 1 ? argv[1] : "chain";
  if (what == "chain") {
    Line("main", __LINE__ + 1);
    gA();
  } else if (what == "wndproc") {
    Line("main", __LINE__ + 1);
    gMessageLoop();
  } else if (what == "thread") {
    Line("main", __LINE__ + 1);
    gStartWorker();
  } else if (what == "recurse50" || what == "recurse3000") {
    Line("main", __LINE__ + 1);
    gRecurse(what == "recurse50" ? 50 : 3000);
  } else if (what == "stale") {
    std::printf("leftover %d\n", gLeftover1(argc));
    Line("main", __LINE__ + 1);
    gStaleCrash();
  } else if (what == "throw") {
    try {
      Line("main", __LINE__ + 1);
      gThrowA();
    } catch (const std::exception& e) {
      std::uintptr_t site = 0;
      const std::vector<std::uint8_t> block = qel::ThrowTimeStackOf(&e, &site);
      std::printf("THROWSTACK %u entries\n", block.size() >= 4 ? static_cast<unsigned>(block[0] | block[1] << 8) : 0u);
      const DWORD started = GetTickCount();
      qel::TTraceStackParams p;
      p.address = site;
      p.exception = true;
      p.throwTimeStack = block.empty() ? nullptr : block.data();
      PrintTrace(qel::TraceStack(p), GetTickCount() - started);
      return 0;
    }
  }
  std::printf("no fault\n");
  return 1;
}
