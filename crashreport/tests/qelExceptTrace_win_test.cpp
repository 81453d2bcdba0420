// The reporter installed in a real program. How an outside tool asks a
// running program for a report: Tarvik runs, this program starts a thread in
// it at the export qelTraceProcess and reads the report from the mapping it
// made. And a fault in a thread of Tarvik reaches the exception box.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "RunningProgram.h"
#include "qelStrings.h"
#include "qelWinHandles.h"

namespace {

using qel::TOwnedHandle;
using qel::TOwnedView;
using qel::test::Child;
using qel::test::RemoteImageBase;
using qel::test::TRunningProgram;
using qel::test::WaitForTopWindow;

constexpr DWORD kMapSize = 1 << 20;

TEST(TraceProcessExport, OutsideToolReadsAReportOfTheRunningProgram) {
  // The export by name and by ordinal 1, relative to the image.
  HMODULE image = LoadLibraryExA(TARVIK_EXE, nullptr, DONT_RESOLVE_DLL_REFERENCES);
  ASSERT_NE(image, nullptr);
  auto* byName = reinterpret_cast<uint8_t*>(GetProcAddress(image, "qelTraceProcess"));
  auto* byOrdinal = reinterpret_cast<uint8_t*>(GetProcAddress(image, MAKEINTRESOURCEA(1)));
  ASSERT_NE(byName, nullptr);
  EXPECT_EQ(byOrdinal, byName);
  const uintptr_t rva = byName - reinterpret_cast<uint8_t*>(image);
  FreeLibrary(image);

  TOwnedHandle mapping;
  for (const char* name : {"Global\\qelTraceProcessMap", "qelTraceProcessMap"}) {
    mapping.reset(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kMapSize, name));
    if (mapping) break;
  }
  ASSERT_TRUE(mapping);
  const TOwnedView view(MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_TRUE(view);

  const TRunningProgram tarvik(TARVIK_EXE);
  ASSERT_NE(tarvik.Window, nullptr);
  const PROCESS_INFORMATION& pi = tarvik.Info;
  const uintptr_t base = RemoteImageBase(pi.dwProcessId);
  ASSERT_NE(base, 0u);
  const TOwnedHandle thread(CreateRemoteThread(pi.hProcess, nullptr, 0,
                                               reinterpret_cast<LPTHREAD_START_ROUTINE>(base + rva),
                                               reinterpret_cast<void*>(kMapSize), 0, nullptr));
  ASSERT_TRUE(thread);
  ASSERT_EQ(WaitForSingleObject(thread.get(), 300000), WAIT_OBJECT_0);
  DWORD result = 1;
  GetExitCodeThread(thread.get(), &result);
  EXPECT_EQ(result, 0u);

  const std::string report(static_cast<const char*>(view.get()), strnlen(static_cast<const char*>(view.get()), kMapSize));
  // Kept for a look at what an outside tool gets.
  if (FILE* f = std::fopen(ZIVO_ARTIFACTS "/tarvik_trace.txt", "wb")) {
    std::fwrite(report.data(), 1, report.size(), f);
    std::fclose(f);
  }
  EXPECT_EQ(report.rfind("date/time", 0), 0u) << report.substr(0, 300);
  EXPECT_NE(report.find("main thread (" + qel::HexStrPadded(pi.dwThreadId, 1, '0') + ")"), std::string::npos)
      << report;
  EXPECT_NE(report.find("Tarvik.exe"), std::string::npos);

  // The program still closes normally, the reporter taken down on the way.
  PostMessageA(tarvik.Window, WM_CLOSE, 0, 0);
  EXPECT_EQ(tarvik.ExitCodeWithin(60000), 0u);
}

// A thread of Tarvik that faults (here one an outside tool starts at an
// address without code) is reported in the exception box; its "close
// application" ends the program with exit code 1.
TEST(InstalledProgram, FaultInAThreadShowsTheExceptionBox) {
  const TRunningProgram tarvik(TARVIK_EXE);
  ASSERT_NE(tarvik.Window, nullptr);
  const TOwnedHandle thread(CreateRemoteThread(tarvik.Info.hProcess, nullptr, 0,
                                               reinterpret_cast<LPTHREAD_START_ROUTINE>(uintptr_t{0x10}), nullptr, 0,
                                               nullptr));
  ASSERT_TRUE(thread);
  const HWND box = WaitForTopWindow(tarvik.Info.dwProcessId, "qelExceptWndClass", "", 1200);
  ASSERT_NE(box, nullptr);
  const HWND close = Child(box, "Button", "close application");
  ASSERT_NE(close, nullptr);
  PostMessageA(close, BM_CLICK, 0, 0);
  EXPECT_EQ(tarvik.ExitCodeWithin(60000), 1u);
}

}  // namespace
