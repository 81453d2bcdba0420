// Symbolic trace of a parked thread 30 frames deep: our TraceStack (names and
// lines from the generated map) beside the platform's own symbolic walk
// (dbghelp: StackWalk64, SymFromAddr, SymGetLineFromAddr64 for every frame),
// in one run over the same thread. Prints the median of 20 runs of each.
#include <windows.h>
#include <dbghelp.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "../tests/DbghelpWalk.h"
#include "qelStackTrace.h"

namespace {

HANDLE gReady = nullptr;
HANDLE gRelease = nullptr;
std::uintptr_t gStackTop = 0;

template <int N>
__attribute__((noinline, noipa)) int Level(int x) {
  if constexpr (N == 0) {
    gStackTop = qel::ThreadStackTop();
    SetEvent(gReady);
    WaitForSingleObject(gRelease, INFINITE);
    return x;
  } else {
    return Level<N - 1>(x + 1) + 1;
  }
}

DWORD WINAPI Parked(void*) { return static_cast<DWORD>(Level<29>(0)); }

double Ms(LARGE_INTEGER a, LARGE_INTEGER b, LARGE_INTEGER f) {
  return 1000.0 * static_cast<double>(b.QuadPart - a.QuadPart) / static_cast<double>(f.QuadPart);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

int CountLines(const std::string& s) {
  return s.empty() ? 0 : 1 + static_cast<int>(std::count(s.begin(), s.end(), '\n'));
}

}  // namespace

int main() {
  setvbuf(stdout, nullptr, _IONBF, 0);
  gReady = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  gRelease = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = CreateThread(nullptr, 0, Parked, nullptr, 0, nullptr);
  WaitForSingleObject(gReady, INFINITE);
  Sleep(50);
  SuspendThread(thread);
  CONTEXT ctx{};
  ctx.ContextFlags = CONTEXT_FULL;
  GetThreadContext(thread, &ctx);

  HANDLE process = GetCurrentProcess();
  SymSetOptions(SYMOPT_LOAD_LINES | SYMOPT_DEFERRED_LOADS);
  SymInitialize(process, nullptr, TRUE);

  LARGE_INTEGER freq;
  QueryPerformanceFrequency(&freq);
  std::vector<double> ours, theirs;
  std::string trace;
  int theirFrames = 0, theirLines = 0;
  for (int round = 0; round <= 20; ++round) {  // round 0: cold caches, reported apart
    LARGE_INTEGER a, b, c;
    QueryPerformanceCounter(&a);
    qel::TTraceStackParams p;
    p.address = ctx.Eip;
    p.stackStart = ctx.Esp;
    p.stackTop = gStackTop;
    p.framePointer = ctx.Ebp;
    trace = qel::TraceStack(p);
    QueryPerformanceCounter(&b);

    CONTEXT copy = ctx;
    STACKFRAME64 frame = qeltest::FirstStackFrame(ctx);
    int frames = 0, lines = 0;
    alignas(SYMBOL_INFO) char symbolBuffer[sizeof(SYMBOL_INFO) + 256];
    while (frames < 256 && StackWalk64(IMAGE_FILE_MACHINE_I386, process, thread, &frame, &copy, nullptr,
                                       SymFunctionTableAccess64, SymGetModuleBase64, nullptr)) {
      auto* symbol = reinterpret_cast<SYMBOL_INFO*>(symbolBuffer);
      symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
      symbol->MaxNameLen = 255;
      DWORD64 displacement = 0;
      SymFromAddr(process, frame.AddrPC.Offset, &displacement, symbol);
      IMAGEHLP_LINE64 line{};
      line.SizeOfStruct = sizeof line;
      DWORD lineDisplacement = 0;
      if (SymGetLineFromAddr64(process, frame.AddrPC.Offset, &lineDisplacement, &line)) ++lines;
      ++frames;
    }
    QueryPerformanceCounter(&c);
    theirFrames = frames;
    theirLines = lines;
    if (round == 0) {
      std::printf("cold: TraceStack %.2f ms, dbghelp %.2f ms\n", Ms(a, b, freq), Ms(b, c, freq));
      continue;
    }
    ours.push_back(Ms(a, b, freq));
    theirs.push_back(Ms(b, c, freq));
  }
  const double mo = Median(ours), mt = Median(theirs);
  std::printf("TraceStack: %d lines, median %.2f ms\n", CountLines(trace), mo);
  std::printf("dbghelp:    %d frames (%d with lines), median %.2f ms\n", theirFrames, theirLines, mt);
  std::printf("ratio TraceStack/dbghelp: %.3f\n", mt > 0 ? mo / mt : 0.0);
  std::printf("%s\n", trace.c_str());
  SymCleanup(process);
  ResumeThread(thread);
  SetEvent(gRelease);
  WaitForSingleObject(thread, 10000);
  return 0;
}
