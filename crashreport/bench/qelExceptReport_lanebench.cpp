// Time to compose a bug report of a process with 8 threads (all listed,
// modules and hardware on, no screenshot): the median of 10 runs, printed.
// An i686 program for the lane: scripts/wine32.sh build/win32/bin/qelexceptreport_lanebench.exe
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "qelExceptReport.h"
#include "qelExceptSettings.h"
#include "qelExceptThreads.h"

namespace {

DWORD WINAPI Waiting(void* event) {
  WaitForSingleObject(event, INFINITE);
  return 0;
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
  SetEvent(event);
  for (HANDLE h : threads) {
    WaitForSingleObject(h, 5000);
    CloseHandle(h);
  }
  CloseHandle(event);
  return 0;
}
