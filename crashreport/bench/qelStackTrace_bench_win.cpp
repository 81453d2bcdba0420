// Symbolic trace of a parked thread 30 frames deep: our TraceStack (names and
// lines from the generated map) beside the platform's own symbolic walk
// (dbghelp: StackWalk64, SymFromAddr, SymGetLineFromAddr64 for every frame),
// in one run over the same thread. Prints the median of 20 runs of each, and
// how many of the program's own frames each side named and gave a line for:
// the benchmark fails when the two did different work. This file is built
// with DWARF 4, the newest debug format dbghelp reads.
#include <windows.h>
#include <dbghelp.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
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

// The program's own frames that a side resolved.
struct Resolved {
  int frames = 0;  // in the program's image
  int named = 0;
  int lined = 0;
};

bool InProgram(std::uintptr_t address) {
  const auto base = reinterpret_cast<std::uintptr_t>(GetModuleHandleA(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + static_cast<std::uintptr_t>(dos->e_lfanew));
  return address >= base && address - base < nt->OptionalHeader.SizeOfImage;
}

// Trace lines: address, module, unit, line (when known), routine.
Resolved CountOurs(const std::string& trace) {
  Resolved r;
  std::istringstream lines(trace);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::vector<std::string> f;
    for (std::string word; fields >> word;) f.push_back(word);
    if (f.empty() || !InProgram(std::stoul(f[0], nullptr, 16))) continue;
    ++r.frames;
    if (f.size() >= 4) ++r.named;
    if (f.size() >= 5 && f[3].find_first_not_of("0123456789") == std::string::npos) ++r.lined;
  }
  return r;
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
  Resolved theirs0;
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
    Resolved own;
    alignas(SYMBOL_INFO) char symbolBuffer[sizeof(SYMBOL_INFO) + 256];
    while (frames < 256 && StackWalk64(IMAGE_FILE_MACHINE_I386, process, thread, &frame, &copy, nullptr,
                                       SymFunctionTableAccess64, SymGetModuleBase64, nullptr)) {
      auto* symbol = reinterpret_cast<SYMBOL_INFO*>(symbolBuffer);
      symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
      symbol->MaxNameLen = 255;
      DWORD64 displacement = 0;
      const bool named = SymFromAddr(process, frame.AddrPC.Offset, &displacement, symbol);
      IMAGEHLP_LINE64 line{};
      line.SizeOfStruct = sizeof line;
      DWORD lineDisplacement = 0;
      const bool lined = SymGetLineFromAddr64(process, frame.AddrPC.Offset, &lineDisplacement, &line);
      if (lined) ++lines;
      if (InProgram(static_cast<std::uintptr_t>(frame.AddrPC.Offset))) {
        ++own.frames;
        own.named += named;
        own.lined += lined;
      }
      ++frames;
    }
    QueryPerformanceCounter(&c);
    theirFrames = frames;
    theirLines = lines;
    theirs0 = own;
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
  const Resolved ours0 = CountOurs(trace);
  std::printf("program frames resolved: TraceStack %d (%d named, %d with lines), dbghelp %d (%d named, %d with lines)\n",
              ours0.frames, ours0.named, ours0.lined, theirs0.frames, theirs0.named, theirs0.lined);
  const bool sameWork = ours0.frames == theirs0.frames && ours0.named == theirs0.named && ours0.lined == theirs0.lined;
  if (!sameWork) std::printf("FAILED: the two sides resolved different frames; the times do not compare\n");
  std::printf("%s\n", trace.c_str());
  SymCleanup(process);
  ResumeThread(thread);
  SetEvent(gRelease);
  WaitForSingleObject(thread, 10000);
  return sameWork ? 0 : 1;
}
