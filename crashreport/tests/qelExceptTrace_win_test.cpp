// How an outside tool asks a running program for a report: Tarvik runs, this
// program starts a thread in it at the export qelTraceProcess and reads the
// report from the mapping it made.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "qelStrings.h"
#include "qelWinHandles.h"

namespace {

using qel::TOwnedHandle;
using qel::TOwnedView;

constexpr DWORD kMapSize = 1 << 20;

struct TFound {
  DWORD Pid;
  HWND Window = nullptr;
};

BOOL CALLBACK FindMainWindow(HWND h, LPARAM p) {
  auto* found = reinterpret_cast<TFound*>(p);
  DWORD owner = 0;
  GetWindowThreadProcessId(h, &owner);
  if (owner == found->Pid && IsWindowVisible(h) && GetWindow(h, GW_OWNER) == nullptr) found->Window = h;
  return found->Window == nullptr;
}

HWND MainWindowOf(DWORD pid) {
  TFound found{pid};
  EnumWindows(FindMainWindow, reinterpret_cast<LPARAM>(&found));
  return found.Window;
}

uintptr_t RemoteImageBase(DWORD pid) {
  const TOwnedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid));
  MODULEENTRY32 entry{};
  entry.dwSize = sizeof entry;
  if (!snapshot || !Module32First(snapshot.get(), &entry)) return 0;
  return reinterpret_cast<uintptr_t>(entry.modBaseAddr);
}

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

  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::string commandLine = "\"" TARVIK_EXE "\"";
  ASSERT_TRUE(CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  const TOwnedHandle process(pi.hProcess);
  CloseHandle(pi.hThread);
  // Once the form shows, the units (the reporter's among them) are initialized.
  HWND window = nullptr;
  for (int i = 0; i < 600 && window == nullptr; ++i) {
    Sleep(100);
    window = MainWindowOf(pi.dwProcessId);
  }
  ASSERT_NE(window, nullptr);

  const uintptr_t base = RemoteImageBase(pi.dwProcessId);
  ASSERT_NE(base, 0u);
  const TOwnedHandle thread(CreateRemoteThread(process.get(), nullptr, 0,
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
  PostMessageA(window, WM_CLOSE, 0, 0);
  if (WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0) TerminateProcess(process.get(), 99);
  DWORD exitCode = 99;
  GetExitCodeProcess(process.get(), &exitCode);
  EXPECT_EQ(exitCode, 0u);
}

}  // namespace
