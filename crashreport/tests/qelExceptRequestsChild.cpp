// A program that reports one exception the way its first argument names and
// ends as the reporter decides: closed (exit code 1), restarted (2, and its
// successor notes its arrival), or going on to the end (0). Its second
// argument names a file for what it has to tell: "box" for every exception
// box, "successor N" from a restarted successor (N: the history entries it
// was handed). The modes with real faults and throws go through the
// run-time hooks and note more of each box. Started by
// qelExceptRequests_win_test.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "../../framework/SysUtils.h"

#include "qelExceptHistory.h"
#include "qelExceptReportCore.h"
#include "qelExceptRequests.h"
#include "qelExceptRtlHooks.h"
#include "qelExceptSettings.h"
#include "qelExceptThreads.h"
#include "qelReportActions.h"

namespace {

const char* gNoteFile = nullptr;

void Note(const std::string& line) {
  if (FILE* f = std::fopen(gNoteFile, "ab")) {
    std::fputs((line + "\n").c_str(), f);
    std::fclose(f);
  }
}

void NotingBox(bool, const qel::TExceptionObject*, uintptr_t, bool, const std::string&, const std::string& report) {
  Note(report.empty() ? "box without report" : "box");
}

// --- faults and throws through the run-time hooks ----------------------------

DWORD gStartTick = 0;
int gExpected = 1;  // requests the first box waits for in the pipe
const char* gReportFile = nullptr;

// "box SERIAL CLASS THREAD MS HAS-REPORT": the request's place in the pipe,
// the class, "here" when the box runs on the thread that reported, the time
// since the threads were let go, whether the report names the class. The
// first box waits until every expected request is in the pipe, so that
// their order is the pipe's and none can be late.
void HookedBox(bool, const qel::TExceptionObject* object, uintptr_t, bool, const std::string&,
               const std::string& report) {
  const uint32_t serial = qel::ProcessedRequestSerial();
  if (serial == 1)
    for (int i = 0; i < 1200 && qel::PendingExceptionRequests() < gExpected; ++i) Sleep(100);
  const std::string className = qel::ExceptionClassName(object);
  const bool here = GetCurrentThreadId() != qel::ExceptionThreadId();
  Note("box " + std::to_string(serial) + " " + className + " " + (here ? "here" : "there") + " " +
       std::to_string(GetTickCount() - gStartTick) + " " +
       (report.find("exception class    : " + className) != std::string::npos ? "1" : "0"));
  if (gReportFile != nullptr)
    if (FILE* f = std::fopen(gReportFile, "wb")) {
      std::fwrite(report.data(), 1, report.size(), f);
      std::fclose(f);
    }
}

volatile uintptr_t gBadAddress = 0x10;
volatile int gZero = 0;

__attribute__((noinline)) void ThrowFirst() { throw zf::EConvertError("first throw"); }
__attribute__((noinline)) void ThrowSecond() { throw zf::EConvertError("second throw"); }

// Kind k % 4: read fault, division by zero, uncaught C++ throw, write fault.
HANDLE gGo = nullptr;  // lets the raising threads go together
DWORD WINAPI RaiseKind(void* p) {
  const auto kind = reinterpret_cast<uintptr_t>(p);
  WaitForSingleObject(gGo, INFINITE);
  switch (kind % 4) {
    case 0: return static_cast<DWORD>(*reinterpret_cast<volatile int*>(gBadAddress));
    case 1: return static_cast<DWORD>(100 / gZero);
    case 2: ThrowSecond(); return 0;
    default: *reinterpret_cast<volatile int*>(gBadAddress) = 1; return 0;
  }
}

void HookedSetup(const char* reportFile) {
  qel::InstallRuntimeHooks(&qel::ReportRuntimeException);
  qel::ExceptionBoxRoutine = HookedBox;
  gReportFile = reportFile;
}

// Eight threads let go together, two of each kind; the process must stay
// until the eighth report (each ends it), so main only waits.
int EightAtOnce() {
  gExpected = 8;
  HookedSetup(nullptr);
  qel::ListAllThreads = true;
  gGo = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  for (uintptr_t k = 0; k < 8; ++k)
    CloseHandle(CreateThread(nullptr, 0, RaiseKind, reinterpret_cast<void*>(k), 0, nullptr));
  Sleep(500);
  gStartTick = GetTickCount();
  SetEvent(gGo);
  Sleep(600000);
  return 8;
}

// A worker faults while it holds the process heap's lock.
DWORD WINAPI FaultHoldingHeap(void*) {
  HeapLock(GetProcessHeap());
  return static_cast<DWORD>(*reinterpret_cast<volatile int*>(gBadAddress));
}

int FaultWithHeapLocked(const std::string& reportFile) {
  HookedSetup(reportFile.c_str());
  gStartTick = GetTickCount();
  HANDLE thread = CreateThread(nullptr, 0, FaultHoldingHeap, nullptr, 0, nullptr);
  WaitForSingleObject(thread, 600000);
  return 8;
}

// A throw caught, then an uncaught one of an object at the same address.
int SecondThrowAtSameAddress(const std::string& reportFile) {
  HookedSetup(reportFile.c_str());
  gStartTick = GetTickCount();
  const void* first = nullptr;
  try {
    ThrowFirst();
  } catch (const zf::EConvertError& e) {
    first = &e;
  }
  try {
    ThrowSecond();
  } catch (const zf::EConvertError& e) {
    Note(&e == first ? "same address" : "other address");
    throw;  // uncaught: the run-time ends the program through its terminate handler
  }
  return 8;
}

// A successor started by the restart finds the hand-over mapping of its own id.
bool NoteIfSuccessor() {
  HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, qel::RestartMappingName(GetCurrentProcessId()).c_str());
  if (mapping == nullptr) return false;
  int entries = -1;
  if (void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, sizeof(qel::TRestartHandOver))) {
    const auto* block = static_cast<const qel::TRestartHandOver*>(view);
    entries = 0;
    for (uint64_t stamp : block->History) entries += stamp != 0;
    UnmapViewOfFile(view);
  }
  CloseHandle(mapping);
  Note("successor " + std::to_string(entries));
  return true;
}

// count - 1 earlier exceptions, the oldest `spread` seconds ago, the others
// evenly between it and now.
void FillHistory(int count, uint64_t spread) {
  qel::TExceptionHistory& h = qel::ExceptionTimeHistory();
  const uint64_t now = qel::NowSeconds();
  const int earlier = count - 1;
  for (int k = earlier; k >= 1; --k) qel::PushExceptionTime(h, now - spread * static_cast<uint64_t>(k) / earlier);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 9;
  const std::string mode = argv[1];
  gNoteFile = argv[2];
  if (NoteIfSuccessor()) return 0;

  qel::MainThreadId = GetCurrentThreadId();
  qel::InstallThreadList();
  qel::ListAllThreads = qel::ListModules = qel::ListHardware = false;
  qel::ScreenShotSetting = 0;
  qel::ConsoleOutput = false;
  qel::ExceptionBoxRoutine = NotingBox;
  qel::StartExceptionThread();

  const qel::TExceptionObject convertError{{"EConvertError", "Exception"}, "'abc' is not a valid integer value"};
  const qel::TExceptionObject abort{{"EAbort", "Exception"}, "Operation aborted"};
  if (mode == "abort-fatal") {
    qel::ReportException(false, &abort, 0, false, 0, 0, nullptr);
  } else if (mode == "autoclose") {
    // Continuable, but closed after the report, which is saved first.
    qel::ShowExceptBox = false;
    qel::AutoCloseSeconds = 1;
    qel::AutoSaveBugReport = true;
    qel::BugReportFile.Assign(std::string(gNoteFile) + ".report");
    qel::ReportException(false, &convertError, 0, true, 0, 0, nullptr);
  } else if (mode == "fatal-box") {
    qel::ReportException(false, &convertError, 0, false, 0, 0, nullptr);
  } else if (mode == "eight-at-once") {
    return EightAtOnce();
  } else if (mode == "heap-locked") {
    return FaultWithHeapLocked(std::string(gNoteFile) + ".report");
  } else if (mode == "same-address") {
    return SecondThrowAtSameAddress(std::string(gNoteFile) + ".report");
  } else if (mode == "restart" && argc >= 5) {
    qel::ShowExceptBox = false;
    qel::AutoRestartSeconds = 30;
    FillHistory(std::atoi(argv[3]), static_cast<uint64_t>(std::atoi(argv[4])));
    qel::ReportException(false, &convertError, 0, true, 0, 0, nullptr);
  } else {
    return 9;
  }
  qel::StopExceptionThread();
  return 0;
}
