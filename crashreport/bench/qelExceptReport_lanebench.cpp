// Time to compose a bug report of a process with 8 threads (all listed,
// modules and hardware on, no screenshot): the median of 10 runs, printed,
// then the same for the parts that make it up, so that the time can be laid
// at the right door.
// An i686 program for the lane: scripts/wine32.sh build/win32/bin/qelexceptreport_lanebench.exe
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "qelDisAsmListing.h"
#include "qelExceptReport.h"
#include "qelExceptSettings.h"
#include "qelExceptSysInfo.h"
#include "qelExceptThreads.h"
#include "qelFuncInfo.h"
#include "qelMapFile.h"
#include "qelStackTrace.h"
#include "qelTools.h"

namespace {

DWORD WINAPI Waiting(void* event) {
  WaitForSingleObject(event, INFINITE);
  return 0;
}

double Milliseconds(const LARGE_INTEGER& t0, const LARGE_INTEGER& t1) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(t1.QuadPart - t0.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Median of 10 runs of work, in milliseconds.
double MedianMs(const std::function<void()>& work) {
  std::vector<double> ms;
  for (int run = 0; run < 10; ++run) {
    LARGE_INTEGER t0, t1;
    QueryPerformanceCounter(&t0);
    work();
    QueryPerformanceCounter(&t1);
    ms.push_back(Milliseconds(t0, t1));
  }
  std::sort(ms.begin(), ms.end());
  return (ms[4] + ms[5]) / 2;
}

// Not inlined: the report analyses and lists main, which stays as it was.
__attribute__((noinline)) void PrintParts(std::uintptr_t mainAddress) {
  const qel::TExceptionObject object{{"EReadError", "Exception"}, "Stream read error"};
  std::string text;
  const struct {
    const char* name;
    std::function<void()> work;
  } parts[] = {
      {"normalize exception", [&] {
         qel::TExceptionObject o = object;
         std::uintptr_t a = mainAddress;
         std::vector<std::uint8_t> stack;
         qel::NormalizeException(o, a, stack, nullptr);
       }},
      {"  its map lookup", [&] {
         std::string moduleFile, unit, routine;
         qel::MapAddress start = 0;
         std::int32_t line = 0;
         qel::AddressMapInfo(static_cast<qel::MapAddress>(mainAddress), moduleFile, unit, routine, start, line);
       }},
      {"  its analysis of main", [&] {
         const qel::TPageCache memory(nullptr);
         qel::TOwnProcessSymbolizer symbols;
         const qel::AnalyserEnvironment env{memory, symbols};
         qel::FunctionInfo info;
         qel::AnalyseFunction(env, static_cast<qel::Address>(mainAddress), info);
       }},
      {"threads only (no modules, hardware)", [&] {
         qel::ListModules = qel::ListHardware = false;
         qel::ComposeBugReport(false, &object, mainAddress, GetCurrentThreadId(), 0, 0, false, nullptr, text);
         qel::ListModules = qel::ListHardware = true;
       }},
      {"  the same, one thread listed", [&] {
         qel::ListModules = qel::ListHardware = qel::ListAllThreads = false;
         qel::ComposeBugReport(false, &object, mainAddress, GetCurrentThreadId(), 0, 0, false, nullptr, text);
         qel::ListModules = qel::ListHardware = qel::ListAllThreads = true;
       }},
      {"  readable-range snapshot", [&] { qel::FreeReadableRanges(qel::SnapshotReadableRanges()); }},
      {"modules", [&] { qel::GetModuleReport(text); }},
      {"hardware", [&] { qel::GetHardwareList(text); }},
      {"listing of main", [&] {
         if (!qel::DisAsmListingRoutine) return;
         const qel::TPageCache memory(nullptr);
         qel::TOwnProcessSymbolizer symbols;
         const qel::ListingEnvironment env{memory, symbols};
         qel::FunctionInfo info;
         qel::DisAsmListingRoutine(env, static_cast<qel::Address>(mainAddress), text,
                                   static_cast<qel::Address>(mainAddress), static_cast<std::int32_t>(qel::DisAsmLineLimit),
                                   qel::DisAsmListingOption, info);
       }},
      {"  setupapi loaded and freed", [&] { FreeLibrary(LoadLibraryA("setupapi.dll")); }},
      {"processor lines", [&] {
         text = qel::GetProcessorNameText();
         text += std::to_string(qel::CountProcessors());
       }},
      {"display mode", [&] { text = qel::GetDisplayModeText(); }},
      {"free disk space", [&] { text = qel::DiskFreeText('C'); }},
  };
  for (const auto& part : parts) std::printf("  %-40s median %.1f ms\n", part.name, MedianMs(part.work));
}

// The report reads code through a page cache: the listing of main must be
// the one that direct reads give.
__attribute__((noinline)) bool SameListingBothWays(std::uintptr_t mainAddress) {
  std::string listings[2];
  for (int way = 0; way < 2; ++way) {
    const qel::TPageCache cached(nullptr);
    const qel::TOwnProcessReader direct;
    const qel::MemoryReader& memory = way == 0 ? static_cast<const qel::MemoryReader&>(cached) : direct;
    qel::TOwnProcessSymbolizer symbols;
    const qel::ListingEnvironment env{memory, symbols};
    qel::FunctionInfo info;
    qel::DisAsmListingRoutine(env, static_cast<qel::Address>(mainAddress), listings[way],
                              static_cast<qel::Address>(mainAddress), static_cast<std::int32_t>(qel::DisAsmLineLimit),
                              qel::DisAsmListingOption, info);
  }
  const bool same = listings[0] == listings[1] && !listings[0].empty();
  std::printf("listing of main through the page cache %s the direct one (%u bytes)\n",
              same ? "equals" : "DIFFERS FROM", static_cast<unsigned>(listings[1].size()));
  return same;
}

}  // namespace

int main() {
  qel::MainThreadId = GetCurrentThreadId();
  qel::InstallThreadList();
  qel::ListAllThreads = true;
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::vector<HANDLE> threads;
  for (int i = 0; i < 7; ++i) threads.push_back(CreateThread(nullptr, 0, Waiting, event, 0, nullptr));
  const qel::TExceptionObject object{{"EReadError", "Exception"}, "Stream read error"};
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  std::vector<double> ms;
  std::size_t size = 0;
  for (int run = 0; run < 10; ++run) {
    LARGE_INTEGER t0, t1;
    QueryPerformanceCounter(&t0);
    std::string report;
    qel::ComposeBugReport(false, &object, reinterpret_cast<std::uintptr_t>(&main), GetCurrentThreadId(), 0, 0, false,
                          nullptr, report);
    QueryPerformanceCounter(&t1);
    size = report.size();
    ms.push_back(1000.0 * static_cast<double>(t1.QuadPart - t0.QuadPart) / static_cast<double>(frequency.QuadPart));
  }
  std::sort(ms.begin(), ms.end());
  std::printf("compose report, 8 threads: median %.1f ms (min %.1f, max %.1f) over 10 runs, %u bytes, tracer %s\n",
              (ms[4] + ms[5]) / 2, ms.front(), ms.back(), static_cast<unsigned>(size),
              qel::ReportTracer().traceStack ? "linked" : "not linked");
  PrintParts(reinterpret_cast<std::uintptr_t>(&main));
  const bool same = !qel::DisAsmListingRoutine || SameListingBothWays(reinterpret_cast<std::uintptr_t>(&main));
  SetEvent(event);
  for (HANDLE h : threads) {
    WaitForSingleObject(h, 5000);
    CloseHandle(h);
  }
  CloseHandle(event);
  return same ? 0 : 1;
}
