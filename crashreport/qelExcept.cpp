// Installation and shutdown of the exception reporter, the restart's
// receiving side and the exported process trace.
#include "qelExcept.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "qelExceptBox.h"
#include "qelExceptFreeze.h"
#include "qelExceptHtml.h"
#include "qelExceptHistory.h"
#include "qelExceptImportHooks.h"
#include "qelExceptPatches.h"
#include "qelExceptPause.h"
#include "qelExceptReport.h"
#include "qelExceptRequests.h"
#include "qelExceptRtlHooks.h"
#include "qelExceptSettings.h"
#include "qelExceptThreads.h"
#include "qelMailText.h"
#include "qelPatch.h"
#include "qelReportActions.h"
#include "qelWinHandles.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace qel {

namespace {

// Lowered by every initialization, raised by every finalization: the bodies
// run for the first initialization (0) and the last finalization (-1).
int gUnitCounter = 0;
// Whether InitExceptUnit installed more than MainThreadId.
bool gInstalled = false;

HMODULE OwnInstance() { return reinterpret_cast<HMODULE>(&__ImageBase); }

bool CatchingWanted() { return (CatchExceptions && PatchRtlGui) || FreezeTimeout > 0; }

// The run-time's own notion of the main thread: the thread that runs the
// unit initializations.
uint32_t RuntimeMainThreadId() { return GetCurrentThreadId(); }

[[noreturn]] void InternalError(const char* text) {
  MessageBoxA(nullptr, text, kInternalErrorCaption, MB_OK);
  ExitProcess(0);
}

void JoinThreadList() {
  uint32_t named = 0;
  switch (CreateOrJoinThreadList(named)) {
    case TThreadListInstall::Created:
      MainThreadId = named != 0 ? named : RuntimeMainThreadId();
      break;
    case TThreadListInstall::Joined:
      break;
    case TThreadListInstall::NoMapping:
      InternalError(kInternalErrorText);
    case TThreadListInstall::NoView:
      InternalError(kInternalErrorNotifyText);
  }
  // A joining module takes the thread the creator named, as the creator found
  // it; the list's first entry is its newest, not the main thread.
  if (MainThreadId == 0) {
    const std::vector<uint32_t> threads = EnumProcessThreads();
    MainThreadId = threads.empty() ? FirstListedThreadId() : threads.front();
  }
}

// The mapping a tracing tool made, opened (never created) with full access.
TOwnedHandle OpenTraceMapping() {
  const std::string name = kTraceProcessMapName;
  if (!OsInfo().Is9x) {
    if (HANDLE h = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, ("Global\\" + name).c_str())) return TOwnedHandle(h);
  }
  return TOwnedHandle(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str()));
}

// The report, cut to size - 1 characters, and a zero byte at the start of the
// view; never past the view, whatever size the caller claims.
void WriteTraceMapping(const std::string& report, size_t size) {
  const TOwnedHandle mapping = OpenTraceMapping();
  if (!mapping) return;
  const TOwnedView view(MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
  if (!view) return;
  MEMORY_BASIC_INFORMATION info{};
  if (VirtualQuery(view.get(), &info, sizeof info) != sizeof info || info.RegionSize == 0) return;
  const size_t room = std::min(size, static_cast<size_t>(info.RegionSize));
  const size_t length = std::min(report.size(), room - 1);
  auto* target = static_cast<char*>(view.get());
  std::memcpy(target, report.data(), length);
  target[length] = '\0';
}

}  // namespace

void TakeOverFromPredecessor() {
  const TOwnedHandle mapping(OpenFileMappingA(FILE_MAP_READ, FALSE, RestartMappingName(GetCurrentProcessId()).c_str()));
  if (!mapping) return;
  const TOwnedView view(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, sizeof(TRestartHandOver)));
  if (!view) return;
  const auto* block = static_cast<const TRestartHandOver*>(view.get());
  // The predecessor duplicated its handle into this process: ours to close.
  CloseHandle(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(block->MappingHandle)));
  // It ends itself right after resuming us; its history is final then.
  if (const TOwnedHandle predecessor{OpenProcess(SYNCHRONIZE, FALSE, block->PredecessorId)})
    WaitForSingleObject(predecessor.get(), INFINITE);
  std::memcpy(ExceptionTimeHistory(), block->History, sizeof block->History);
}

void InitExceptUnit(bool isExecutable) {
  if (!CatchingWanted()) {
    const std::vector<uint32_t> threads = EnumProcessThreads();
    MainThreadId = threads.empty() ? RuntimeMainThreadId() : threads.front();
    return;
  }
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ProgramStartTime = static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
  if (SmtpPassword.Length != 0)
    SmtpPassword.Assign(UnscrambleSmtpPassword(SmtpPassword.Str(), SmtpAccount.Str(), SmtpServer.Str()));
  JoinThreadList();
  gInstalled = true;

  SetPauseLinks(DefaultPauseLinks());  // with MainThreadId as found now

  if (CatchExceptions && PatchRtlGui) {
    InstallCodePatches(OwnInstance(), isExecutable);
    InstallRuntimeHooks(&ReportRuntimeException);
  }
  InstallRtlHooks(isExecutable);
  StartExceptionThread();
  StartHandlerWindow();
  if (CatchExceptions) HookThreadCreation();
  if (FreezeTimeout > 0) StartFreezeWatchdog();
}

void DoneExceptUnit() {
  if (!gInstalled) return;
  gInstalled = false;
  try {
    UndoPatches();
  } catch (...) {
  }
  UninstallRuntimeHooks();
  StopFreezeWatchdog();
  UnhookMessageFunctions();
  UnhookThreadCreation();
  StopHandlerWindow();
  StopExceptionThread();
  UninstallThreadList();
  ShutdownPause();
}

void qelExceptInitialization() {
  if (gUnitCounter-- != 0) return;
  ExceptionBoxRoutine = &ShowExceptionBox;
  HtmlPageRoutine = static_cast<THtmlPageRoutine>(&ComposeHtmlPage);
  InstallExceptionObjectHook();
  TakeOverFromPredecessor();
  InitExceptUnit(false);
}

void qelExceptFinalization() {
  if (gUnitCounter++ != -1) return;
  try {
    DoneExceptUnit();
  } catch (...) {
  }
}

}  // namespace qel

extern "C" std::int32_t __stdcall qelTraceProcess(std::int32_t size) {
  using namespace qel;
  const uint32_t self = GetCurrentThreadId();
  // A thread of an outside tool: whatever fails stays here.
  try {
    SetThreadName(self, "-");
    std::string report;
    ComposeBugReport(true, nullptr, 0, self, 0, 0, false, nullptr, report);
    if (!report.empty()) {
      if (size < 1)
        CopyReportToClipboard(report);
      else
        WriteTraceMapping(report, static_cast<size_t>(size));
    }
  } catch (...) {
  }
  try {
    SetThreadName(self, "");
  } catch (...) {
  }
  return 0;
}
