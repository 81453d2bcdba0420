// The code patches on this program's own framework: what the patched paths
// hand to the report handler, and the bytes put back by UndoPatches. Routines
// of the test's own stand in where our run-time has none.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Forms.h"
#include "SysUtils.h"
#include "System.h"
#include "Threads.h"
#include "Units.h"
#include "UtilityWindow.h"
#include "qelExceptPatches.h"
#include "qelExceptRtlHooks.h"
#include "qelExceptSettings.h"
#include "qelExceptThreads.h"
#include "qelPatch.h"

namespace qel {
namespace {

std::mutex gLock;
std::vector<TRuntimeException> gCaught;

void Collect(const TRuntimeException& caught) {
  TRuntimeException e = caught;
  DescribeFault(e);
  std::lock_guard<std::mutex> lock(gLock);
  gCaught.push_back(e);
  if (e.reportOut) *e.reportOut = "report: " + ExceptionClassName(&e.object);
}

std::vector<TRuntimeException> Caught() {
  std::lock_guard<std::mutex> lock(gLock);
  return gCaught;
}

template <class F>
std::uintptr_t AddressOf(F member) {
  std::uintptr_t words[2];
  static_assert(sizeof member == sizeof words);
  std::memcpy(words, &member, sizeof words);
  return words[0];
}

template <class F>
std::uintptr_t RoutineOf(F* routine) {
  return reinterpret_cast<std::uintptr_t>(reinterpret_cast<void*>(routine));
}

std::array<std::uint8_t, 5> Head(std::uintptr_t routine) {
  std::array<std::uint8_t, 5> bytes;
  std::memcpy(bytes.data(), reinterpret_cast<const void*>(routine), bytes.size());
  return bytes;
}

std::string ExeFileName() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  const std::string p = path;
  return p.substr(p.find_last_of("\\/") + 1);
}

// --- units -------------------------------------------------------------------------------------
int gFiniA = 0;
void InitA() {}
void FiniA() { ++gFiniA; }
void InitFails() { throw zf::EConvertError("unit B failed"); }
void FiniB() { ADD_FAILURE() << "B never finished its initialization"; }
const zf::TUnitEntry kUnits[] = {{"A", InitA, FiniA}, {"B", InitFails, FiniB}, {"C", nullptr, nullptr}};

class Patches : public ::testing::Test {
protected:
  void SetUp() override {
    InstallRuntimeHooks(&Collect);
    MainThreadId = GetCurrentThreadId();
    std::lock_guard<std::mutex> lock(gLock);
    gCaught.clear();
  }
  void TearDown() override {
    UndoPatches();
    EXPECT_TRUE(PatchRecords().empty());
    UninstallRuntimeHooks();
  }
  void InstallOwn() {
    bool isExecutable = false;
    InstallCodePatches(GetModuleHandleA(nullptr), isExecutable);
    EXPECT_TRUE(isExecutable);
  }
};

TEST_F(Patches, ApplicationRoutinesReportAndUndo) {
  const TCodePatchTargets t = RelocatedPatchTargets(reinterpret_cast<std::uintptr_t>(GetModuleHandleA(nullptr)));
  const auto handleBefore = Head(t.appHandleException), showBefore = Head(t.appShowException);
  zf::Application.Initialize();  // the application's handler takes the boundary
  InstallOwn();
  EXPECT_EQ(Head(t.appHandleException)[0], 0xE9);
  EXPECT_EQ(Head(t.appShowException)[0], 0xE9);

  // An exception in a window procedure: boundary, application, reporter.
  bool cancelled = false;
  zf::TUtilityWindow* self = nullptr;
  zf::TUtilityWindow window([&](zf::TMessage& m) {
    if (m.Msg == WM_USER) throw zf::EConvertError("'x' is not a valid integer value");
    if (m.Msg == WM_CANCELMODE) cancelled = true;
    m.Result = self->DefaultHandler(m);
  });
  self = &window;
  const HWND hwnd = static_cast<HWND>(window.Handle());
  SetCapture(hwnd);
  ASSERT_EQ(GetCapture(), hwnd);
  SendMessageA(hwnd, WM_USER, 0, 0);
  EXPECT_TRUE(cancelled);
  EXPECT_EQ(GetCapture(), nullptr);

  const zf::EReadError shown("Property X does not exist");
  zf::Application.ShowException(shown);

  const auto caught = Caught();
  ASSERT_EQ(caught.size(), 2u);
  EXPECT_EQ(ExceptionClassName(&caught[0].object), "EConvertError");
  EXPECT_EQ(caught[0].object.message, "'x' is not a valid integer value");
  EXPECT_NE(caught[0].thrownObject, nullptr);
  EXPECT_EQ(ExceptionClassName(&caught[1].object), "EReadError");
  EXPECT_EQ(caught[1].object.message, "Property X does not exist");
  EXPECT_EQ(caught[1].thrownObject, &shown);
  for (const TRuntimeException& e : caught) {
    EXPECT_EQ(e.address, 0u);
    EXPECT_TRUE(e.canContinue);
    EXPECT_EQ(e.threadId, GetCurrentThreadId());
    EXPECT_NE(e.stackPointer, 0u);
  }

  UndoPatches();
  EXPECT_EQ(Head(t.appHandleException), handleBefore);
  EXPECT_EQ(Head(t.appShowException), showBefore);
}

TEST_F(Patches, FailedStartUpKeepsUnitsOnTheMainThreadOnly) {
  gFiniA = 0;
  InstallOwn();
  zf::TUnitTable units(kUnits);
  EXPECT_THROW(units.Initialize(), zf::EConvertError);
  EXPECT_EQ(units.InitializedCount(), 1u);
  EXPECT_EQ(gFiniA, 0);
  // Off the main thread the failure finalizes as before.
  std::thread([] {
    zf::TUnitTable other(kUnits);
    EXPECT_THROW(other.Initialize(), zf::EConvertError);
    EXPECT_EQ(other.InitializedCount(), 0u);
  }).join();
  EXPECT_EQ(gFiniA, 1);
  // With nothing in flight the redirected finalization runs.
  ReplFinalizeUnits(&units);
  EXPECT_EQ(gFiniA, 2);
  EXPECT_EQ(units.InitializedCount(), 0u);
}

// The child of the next test: the program's start with a failing unit, uncaught.
zf::TUnitTable* gChildUnits = nullptr;
void PrintReport(const TRuntimeException& caught) {
  TRuntimeException e = caught;
  DescribeFault(e);
  std::printf("%s|%s|%u|%d|%d\n", ExceptionClassName(&e.object).c_str(), e.object.message.c_str(),
              static_cast<unsigned>(gChildUnits->InitializedCount()), gFiniA, e.canContinue ? 1 : 0);
  std::fflush(stdout);
}
int FailingStartUp() {
  InstallRuntimeHooks(&PrintReport);
  MainThreadId = GetCurrentThreadId();
  bool isExecutable = false;
  InstallCodePatches(GetModuleHandleA(nullptr), isExecutable);
  zf::TUnitTable units(kUnits);
  gChildUnits = &units;
  units.Initialize();
  return 0;
}

// Runs this program with one argument; its standard output and exit code.
std::string RunChild(const char* argument, DWORD& code) {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string command = std::string("\"") + path + "\" " + argument;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return "no pipe";
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = writeEnd;
  si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION pi{};
  const bool started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
  CloseHandle(writeEnd);
  std::string output;
  char buffer[256];
  DWORD got = 0;
  while (started && ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got) output.append(buffer, got);
  CloseHandle(readEnd);
  if (!started) return "not started";
  WaitForSingleObject(pi.hProcess, 30000);
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return output;
}

TEST(PatchesProgram, FailedStartUpIsReportedWithUnitsInitialised) {
  DWORD code = 0;
  // unit A initialised, not finalized; reported by the terminate handler, cannot continue
  EXPECT_EQ(RunChild("--failing-start-up", code), "EConvertError|unit B failed|1|0|0\r\n");
  EXPECT_EQ(code, 3u);
}

// Unpatched, the thread routine's own top-level handler ends the program
// through the terminate handler, which still sees the exception.
uint32_t ThrowingThread(void*);
int UncaughtInThread() {
  InstallRuntimeHooks(&PrintReport);
  zf::TUnitTable units(std::span<const zf::TUnitEntry>(kUnits, 1));
  gChildUnits = &units;
  HANDLE thread = zf::BeginThread(nullptr, 0, ThrowingThread, nullptr, 0, nullptr);
  WaitForSingleObject(thread, 30000);
  return 0;
}

TEST(PatchesProgram, UnpatchedThreadExceptionTerminates) {
  DWORD code = 0;
  EXPECT_EQ(RunChild("--uncaught-in-thread", code), "EConvertError|worker failed|0|0|0\r\n");
  EXPECT_EQ(code, 3u);
}

// --- threads of the framework's thread routine ------------------------------------------------------
volatile std::uintptr_t gNowhere = 0;
uint32_t ThrowingThread(void*) { throw zf::EConvertError("worker failed"); }
uint32_t FaultingThread(void*) {
  *reinterpret_cast<volatile int*>(gNowhere) = 1;
  return 7;
}

TEST_F(Patches, WorkerThreadExceptionEndsOnlyThatThread) {
  InstallOwn();
  const std::string exe = ExeFileName();
  struct Case {
    zf::TThreadFunc routine;
    const char* className;
    bool canContinue;
  } cases[] = {{ThrowingThread, "EConvertError", true}, {FaultingThread, "EAccessViolation", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.className);
    {
      std::lock_guard<std::mutex> lock(gLock);
      gCaught.clear();
    }
    uint32_t id = 0;
    HANDLE thread = zf::BeginThread(nullptr, 0, c.routine, nullptr, 0, &id);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 30000), WAIT_OBJECT_0);
    DWORD code = 99;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    EXPECT_EQ(code, 0u);
    const auto caught = Caught();
    ASSERT_EQ(caught.size(), 1u);
    EXPECT_EQ(ExceptionClassName(&caught[0].object), c.className);
    EXPECT_EQ(caught[0].canContinue, c.canContinue);
    EXPECT_EQ(caught[0].threadId, id);
    if (c.routine == FaultingThread) {
      EXPECT_LT(caught[0].address - RoutineOf(FaultingThread), 64u);
      const std::string message = caught[0].object.message;
      EXPECT_NE(message.find("Access violation at address $"), std::string::npos) << message;
      EXPECT_NE(message.find(" in module '" + exe + "'. Write of address $0"), std::string::npos) << message;
    } else {
      EXPECT_EQ(caught[0].object.message, "worker failed");
    }
  }
}

TEST(OsExceptionText, CodesWithoutAnObject) {
  EXCEPTION_RECORD r{};
  r.ExceptionCode = 0xC0000005;
  r.ExceptionAddress = reinterpret_cast<void*>(0x10);  // no module there
  r.NumberParameters = 2;
  r.ExceptionInformation[1] = 0x1A4;
  EXPECT_EQ(OsExceptionText(r), "Access violation at address $10. Read of address $1a4");
  r.ExceptionCode = 0xC0000094;
  EXPECT_EQ(OsExceptionText(r), "Division by zero");
  r.ExceptionCode = 0xE0434352;
  EXPECT_EQ(OsExceptionText(r), "External exception e0434352");
  // An unwinding pass goes by without a report.
  InstallRuntimeHooks(&Collect);
  gCaught.clear();
  r.ExceptionFlags = EXCEPTION_UNWINDING;
  EXPECT_EQ(ReplTopLevelHandler(&r, nullptr, nullptr, nullptr), ExceptionContinueSearch);
  EXPECT_TRUE(Caught().empty());
  UninstallRuntimeHooks();
}

// --- routines of our own where our run-time has none -----------------------------------------------
bool gRanA = false, gRanB = false, gLoaded = false, gRuntimeErrorShown = false;
int gSteps = 0;
char gRuntimeError[] = "Runtime error 216 at 0040ABCD";
__attribute__((noipa)) void OwnFurtherA() { gRanA = true; }
__attribute__((noipa)) void OwnFurtherB() { gRanB = !gRanA; }
__attribute__((noipa)) void OwnInitializePackage(HMODULE) { throw zf::EReadError("package init"); }
__attribute__((noipa)) void OwnLoadPackage(HMODULE module) {
  OwnInitializePackage(module);
  gLoaded = true;
}
__attribute__((noipa)) void OwnFirstStep() { ++gSteps; }
__attribute__((noipa)) void OwnRuntimeErrorOutput() { gRuntimeErrorShown = true; }
__attribute__((noipa)) void OwnHalt0(zf::TUnitTable* units) {
  OwnFirstStep();
  OwnRuntimeErrorOutput();
  units->Finalize();
}

// Called through pointers the compiler cannot see through.
void (*volatile gCallA)() = OwnFurtherA;
void (*volatile gCallB)() = OwnFurtherB;
void (*volatile gCallLoad)(HMODULE) = OwnLoadPackage;
void (*volatile gCallHalt0)(zf::TUnitTable*) = OwnHalt0;

TEST_F(Patches, OwnRoutinesRedirected) {
  TCodePatchTargets t;
  t.furtherRoutineA = RoutineOf(OwnFurtherA);
  t.furtherRoutineB = RoutineOf(OwnFurtherB);
  t.loadPackage = RoutineOf(OwnLoadPackage);
  t.initializePackage = RoutineOf(OwnInitializePackage);
  t.halt0 = RoutineOf(OwnHalt0);
  t.runtimeErrorText = reinterpret_cast<std::uintptr_t>(gRuntimeError);
  t.finalizeUnits = AddressOf(&zf::TUnitTable::Finalize);
  ApplyCodePatches(t);
  EXPECT_EQ(PatchRecords().size(), 5u);  // two jumps, three calls

  try {
    throw zf::EConvertError("in flight");
  } catch (...) {
    gCallA();
    gCallB();
  }
  EXPECT_FALSE(gRanA || gRanB);
  EXPECT_EQ(ThreadReportOut(), "report: EConvertError");

  gCallLoad(nullptr);  // the wrapper reports and swallows: loading goes on
  EXPECT_TRUE(gLoaded);

  gFiniA = 0;
  zf::TUnitTable units(std::span<const zf::TUnitEntry>(kUnits, 1));
  units.Initialize();
  gCallHalt0(&units);
  EXPECT_EQ(gSteps, 1);
  EXPECT_FALSE(gRuntimeErrorShown);
  EXPECT_EQ(gFiniA, 1);  // nothing in flight: finalized

  const auto caught = Caught();
  ASSERT_EQ(caught.size(), 4u);
  const char* classes[] = {"EConvertError", "EConvertError", "EReadError", "QelException"};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(ExceptionClassName(&caught[i].object), classes[i]);
    EXPECT_EQ(caught[i].canContinue, i != 3);
  }
  EXPECT_EQ(caught[1].reportOut, &ThreadReportOut());
  EXPECT_EQ(caught[3].object.message, "Runtime error 216 at 0040ABCD");
}

// --- thread naming through the debugger convention, seen at exception end ---------------------------
EXCEPTION_RECORD gRaised;
LONG WINAPI CatchThreadName(EXCEPTION_POINTERS* pointers) {
  if (pointers->ExceptionRecord->ExceptionCode != kThreadNameException) return EXCEPTION_CONTINUE_SEARCH;
  gRaised = *pointers->ExceptionRecord;
  return EXCEPTION_CONTINUE_EXECUTION;
}

DWORD WINAPI WaitForRelease(void* release) { return WaitForSingleObject(static_cast<HANDLE>(release), 30000); }

// The program raises the naming exception, turns it into an object with the
// run-time's factory and handles that: the end of the catch names the thread.
void NameAndHandle(const char* name, DWORD thread, DWORD flags, bool external) {
  const ULONG_PTR info[4] = {0x1000, reinterpret_cast<ULONG_PTR>(name), thread, flags};
  RaiseException(kThreadNameException, 0, 4, info);
  const std::exception_ptr object =
      external ? zf::ExceptObjProc(&gRaised) : std::make_exception_ptr(zf::EConvertError(name));
  try {
    std::rethrow_exception(object);
  } catch (const std::exception&) {
  }
}

std::string TitleOf(DWORD thread) {
  void* creation = nullptr;
  std::string title;
  uint32_t creator = 0;
  ThreadTitle(thread, true, creation, title, creator);
  return title;
}

TEST_F(Patches, ThreadNamedAtExceptionEnd) {
  ASSERT_TRUE(InstallThreadList());
  PVOID catcher = AddVectoredExceptionHandler(1, CatchThreadName);
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD parkedId = 0;
  HANDLE parked = CreateThread(nullptr, 0, WaitForRelease, release, 0, &parkedId);
  // Unpatched, the end of the catch tells nobody.
  NameAndHandle("unpatched", 0xFFFFFFFF, 0, true);
  EXPECT_NE(TitleOf(GetCurrentThreadId()).find("unpatched"), 0u);

  InstallOwn();
  struct Case {
    const char* name;
    DWORD thread;
    DWORD flags;
    bool external;
    DWORD named;  // whose title shows the name
    bool expectName;
  } cases[] = {
      {"patch worker", 0xFFFFFFFF, 0, true, GetCurrentThreadId(), true},
      {"parked", parkedId, 0, true, parkedId, true},
      {"flagged", parkedId, 1, true, parkedId, false},
      {"not external", GetCurrentThreadId(), 0, false, GetCurrentThreadId(), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NameAndHandle(c.name, c.thread, c.flags, c.external);
    const std::string title = TitleOf(c.named);
    EXPECT_EQ(title.find(c.name) == 0, c.expectName) << title;
  }
  RemoveVectoredExceptionHandler(catcher);
  SetEvent(release);
  WaitForSingleObject(parked, 30000);
  CloseHandle(parked);
  CloseHandle(release);
  SetThreadName(GetCurrentThreadId(), "");
  UninstallThreadList();
}

// --- the run-time's routines of the patch table ---------------------------------------------------
void (*volatile gShowException)(const std::exception*, const void*) = zf::ShowException;
bool (*volatile gCheckSynchronize)() = zf::CheckSynchronize;

std::vector<std::uint8_t> Bytes(std::uintptr_t routine) {
  // Far enough to hold the routines' calls and landing pads.
  std::vector<std::uint8_t> bytes(512);
  std::memcpy(bytes.data(), reinterpret_cast<const void*>(routine), bytes.size());
  return bytes;
}

TEST_F(Patches, RuntimeEntriesPatchedAndUndone) {
  const TCodePatchTargets t = RelocatedPatchTargets(reinterpret_cast<std::uintptr_t>(GetModuleHandleA(nullptr)));
  EXPECT_EQ(t.runtimeErrorText, reinterpret_cast<std::uintptr_t>(zf::RuntimeErrorText));
  EXPECT_EQ(t.exceptionFree, RoutineOf(zf::FreeExceptObject));
  EXPECT_EQ(t.acquireException, RoutineOf(zf::AcquireExceptionObject));
  struct Entry {
    const char* name;
    std::uintptr_t routine, expected;
    bool jump;
  } entries[] = {
      {"ShowException", t.rtlShowException, RoutineOf(zf::ShowException), true},
      {"CheckSynchronize", t.checkSynchronize, RoutineOf(zf::CheckSynchronize), false},
      {"Halt0", t.halt0, RoutineOf(zf::Halt0), false},
      {"DoneExcept", t.doneExcept, RoutineOf(zf::DoneExcept), false},
  };
  std::vector<std::vector<std::uint8_t>> before;
  for (const Entry& e : entries) {
    EXPECT_EQ(e.routine, e.expected) << e.name;
    before.push_back(Bytes(e.routine));
  }
  InstallOwn();
  for (std::size_t i = 0; i < std::size(entries); ++i) {
    SCOPED_TRACE(entries[i].name);
    EXPECT_NE(Bytes(entries[i].routine), before[i]);
    EXPECT_EQ(Head(entries[i].routine)[0] == 0xE9, entries[i].jump);
  }
  UndoPatches();
  for (std::size_t i = 0; i < std::size(entries); ++i) EXPECT_EQ(Bytes(entries[i].routine), before[i]) << entries[i].name;
}

TEST_F(Patches, RuntimeShowExceptionReportsTheGivenObjectAndAddress) {
  InstallOwn();
  const zf::EReadError shown("Stream read error");
  static const int marker = 0;
  gShowException(&shown, &marker);  // no message box: the replacement runs
  const auto caught = Caught();
  ASSERT_EQ(caught.size(), 1u);
  EXPECT_EQ(ExceptionClassName(&caught[0].object), "EReadError");
  EXPECT_EQ(caught[0].object.message, "Stream read error");
  EXPECT_EQ(caught[0].thrownObject, &shown);
  EXPECT_EQ(caught[0].address, reinterpret_cast<std::uintptr_t>(&marker));
  EXPECT_TRUE(caught[0].canContinue);
}

// A worker asks the main thread for a call that raises; what it sees.
std::string AskMainThread() {
  std::atomic<bool> done{false};
  std::string seen;
  std::thread asker([&] {
    try {
      zf::TThread::Synchronize([] { throw zf::EConvertError("in sync"); });
      seen = "no exception";
    } catch (const zf::EConvertError& e) {
      seen = e.Message();
    }
    done = true;
  });
  while (!done) {
    gCheckSynchronize();
    Sleep(1);
  }
  asker.join();
  return seen;
}

TEST_F(Patches, SynchronizedCallThatRaisesIsReportedOnTheMainThread) {
  // Unpatched, the exception goes back to the thread that asked.
  EXPECT_EQ(AskMainThread(), "in sync");
  EXPECT_TRUE(Caught().empty());
  InstallOwn();
  EXPECT_EQ(AskMainThread(), "no exception");
  const auto caught = Caught();
  ASSERT_EQ(caught.size(), 1u);
  EXPECT_EQ(ExceptionClassName(&caught[0].object), "EConvertError");
  EXPECT_EQ(caught[0].object.message, "in sync");
  EXPECT_EQ(caught[0].threadId, GetCurrentThreadId());
  EXPECT_TRUE(caught[0].canContinue);
}

// The child of the next test: a runtime error at the program's end.
void PrintRuntimeError(const TRuntimeException& e) {
  std::printf("%s|%s|%08X|%u|%d\n", ExceptionClassName(&e.object).c_str(), e.object.message.c_str(),
              static_cast<unsigned>(e.address), static_cast<unsigned>(gChildUnits->InitializedCount()),
              e.canContinue ? 1 : 0);
  std::fflush(stdout);
}
void FiniPrint() {
  std::printf("finalized\n");
  std::fflush(stdout);
}
const zf::TUnitEntry kEndUnits[] = {{"A", InitA, FiniPrint}};
int RuntimeErrorAtEnd() {
  InstallRuntimeHooks(&PrintRuntimeError);
  MainThreadId = GetCurrentThreadId();
  bool isExecutable = false;
  InstallCodePatches(GetModuleHandleA(nullptr), isExecutable);
  static zf::TUnitTable units(kEndUnits);
  gChildUnits = &units;
  zf::ProgramUnits = &units;
  units.Initialize();
  zf::RunError(216, reinterpret_cast<const void*>(0x0040ABCD));
}

TEST(PatchesProgram, RuntimeErrorAtTheEndIsReportedThenTheUnitsFinalize) {
  DWORD code = 0;
  // reported with the units still initialised, cannot continue; then Halt0 goes on
  EXPECT_EQ(RunChild("--runtime-error", code),
            "QelException|Runtime error 216 at 0040ABCD|0040ABCD|1|0\r\nfinalized\r\n");
  EXPECT_EQ(code, 216u);
}

// --- the run-time package lookups, on stand-in package modules --------------------------------------
std::uintptr_t Export(HMODULE module, const char* name) {
  return reinterpret_cast<std::uintptr_t>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}
template <class T>
T& DataOf(HMODULE module, const char* name) {
  return *reinterpret_cast<T*>(Export(module, name));
}

TEST_F(Patches, PackageLookupsTakeAndPatchThePackagesRoutines) {
  HMODULE runtime = LoadLibraryA(kRuntimePackage);
  HMODULE components = LoadLibraryA(kComponentPackage);
  HMODULE cross = LoadLibraryA(kCrossPlatformPackage);
  ASSERT_TRUE(runtime && components && cross);
  TCodePatchTargets t;
  bool isExecutable = true;
  TakeFromRuntimePackages(t, isExecutable);
  EXPECT_TRUE(isExecutable);
  struct Taken {
    const char* name;
    std::uintptr_t taken, expected;
  } taken[] = {
      {"ShowException", t.rtlShowException, Export(runtime, "ShowException")},
      {"LoadPackage", t.loadPackage, Export(runtime, "LoadPackage")},
      {"InitializePackage", t.initializePackage, Export(runtime, "InitializePackage")},
      {"CheckSynchronize", t.checkSynchronize, Export(runtime, "CheckSynchronize")},
      {"AcquireExceptionObject", t.acquireException, Export(runtime, "AcquireExceptionObject")},
      {"Halt0", t.halt0, Export(runtime, "Halt0")},
      {"RuntimeErrorText", t.runtimeErrorText, Export(runtime, "RuntimeErrorText")},
      {"DoneExcept", t.doneExcept, Export(runtime, "DoneExcept")},
      {"FreeExceptObject", t.exceptionFree, Export(runtime, "FreeExceptObject")},
      // decoded from the program start
      {"top-level handler", t.topLevelHandler, Export(runtime, "FixtureTopLevelHandler")},
      {"start-up", t.startUp, Export(runtime, "FixtureStartUp")},
      {"unit finalization", t.finalizeUnits, Export(runtime, "FixtureFinalizeUnits")},
      {"application handling", t.appHandleException, Export(components, "ApplicationHandleException")},
      {"application display", t.appShowException, Export(components, "ApplicationShowException")},
      {"cross-platform handling", t.clxHandleException, Export(cross, "ApplicationHandleException")},
      {"cross-platform display", t.clxShowException, Export(cross, "ApplicationShowException")},
  };
  for (const Taken& e : taken) {
    EXPECT_NE(e.expected, 0u) << e.name;
    EXPECT_EQ(e.taken, e.expected) << e.name;
  }

  const auto showBefore = Head(t.rtlShowException), handlerBefore = Head(t.topLevelHandler);
  ApplyCodePatches(t);
  // Jumps: top-level handler, four application routines, ShowException; calls:
  // package initialization, the hand-over, runtime error, three finalization
  // calls (none inside the finalization itself), the free call.
  EXPECT_EQ(PatchRecords().size(), 12u);
  EXPECT_EQ(Head(t.topLevelHandler)[0], 0xE9);

  // The package's ShowException reports what it is given.
  const zf::EConvertError shown("package display");
  auto* show = reinterpret_cast<void (*)(const std::exception*, const void*)>(t.rtlShowException);
  show(&shown, reinterpret_cast<const void*>(0x1234));
  EXPECT_EQ(DataOf<int>(runtime, "FixtureShown"), 0);
  // Loading still initializes, now under the guard; the free call still frees.
  reinterpret_cast<void (*)(HMODULE)>(t.loadPackage)(nullptr);
  EXPECT_EQ(DataOf<int>(runtime, "FixtureInitialized"), 1);
  const zf::TEndingException ending;
  reinterpret_cast<void (*)(const zf::TEndingException*)>(t.doneExcept)(&ending);
  EXPECT_EQ(DataOf<int>(runtime, "FixtureFreed"), 1);
  const auto caught = Caught();
  ASSERT_EQ(caught.size(), 1u);
  EXPECT_EQ(ExceptionClassName(&caught[0].object), "EConvertError");
  EXPECT_EQ(caught[0].address, 0x1234u);

  // A package whose ShowException is patched already is left to whoever did it.
  TCodePatchTargets again;
  TakeFromRuntimePackages(again, isExecutable);
  EXPECT_FALSE(isExecutable);
  EXPECT_EQ(again.rtlShowException, 0u);
  EXPECT_EQ(again.topLevelHandler, 0u);

  UndoPatches();
  EXPECT_EQ(Head(t.rtlShowException), showBefore);
  EXPECT_EQ(Head(t.topLevelHandler), handlerBefore);
  FreeLibrary(cross);
  FreeLibrary(components);
  FreeLibrary(runtime);
}

// --- the web-server extension wrapper with a fake server ---------------------------------------------
struct TFakeServer {
  std::vector<DWORD> requests;
  std::vector<std::string> headers;
  std::string written;
} gServer;

BOOL WINAPI FakeSupport(HCONN, DWORD request, LPVOID, LPDWORD, LPDWORD dataType) {
  gServer.requests.push_back(request);
  if (request == HSE_REQ_SEND_RESPONSE_HEADER) gServer.headers.push_back(reinterpret_cast<const char*>(dataType));
  return request != HSE_REQ_SEND_RESPONSE_HEADER_EX;  // this server refuses the extended form
}
BOOL WINAPI FakeWriteClient(HCONN, LPVOID buffer, LPDWORD size, DWORD) {
  gServer.written.append(static_cast<const char*>(buffer), *size);
  return TRUE;
}
DWORD WINAPI ThrowingEntry(EXTENSION_CONTROL_BLOCK* ecb) {
  if (ecb->ServerSupportFunction != &WebServerSupport) return HSE_STATUS_SUCCESS;
  throw zf::EConvertError("bad query");
}
DWORD WINAPI HeaderThenThrowEntry(EXTENSION_CONTROL_BLOCK* ecb) {
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, nullptr, nullptr,
                             reinterpret_cast<LPDWORD>(const_cast<char*>("Content-Type: text/plain\r\n\r\n")));
  throw zf::EConvertError("late failure");
}
DWORD WINAPI RefusedHeaderThenThrowEntry(EXTENSION_CONTROL_BLOCK* ecb) {
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER_EX, nullptr, nullptr, nullptr);
  throw zf::EConvertError("after a refused header");
}
DWORD WINAPI PendingEntry(EXTENSION_CONTROL_BLOCK*) { return HSE_STATUS_PENDING; }
DWORD WINAPI SuccessEntry(EXTENSION_CONTROL_BLOCK*) { return HSE_STATUS_SUCCESS; }

class WebWrapper : public Patches {
protected:
  void SetUp() override {
    Patches::SetUp();
    gServer = {};
    HtmlPageRoutine = [](const std::string& report) { return "<page>" + report + "</page>"; };
  }
  void TearDown() override {
    HtmlPageRoutine = nullptr;
    HtmlMode = false;
    Patches::TearDown();
  }
  static DWORD Run(DWORD(WINAPI* entry)(EXTENSION_CONTROL_BLOCK*), std::uintptr_t connection) {
    TCodePatchTargets t;
    t.webExtension = reinterpret_cast<std::uintptr_t>(entry);
    ApplyCodePatches(t);
    EXTENSION_CONTROL_BLOCK ecb{};
    ecb.cbSize = sizeof ecb;
    ecb.ConnID = reinterpret_cast<HCONN>(connection);
    ecb.ServerSupportFunction = FakeSupport;
    ecb.WriteClient = FakeWriteClient;
    return WebExtensionWrapper(&ecb);
  }
};
static_assert(sizeof(EXTENSION_CONTROL_BLOCK) == 144);

TEST_F(WebWrapper, ExceptionGivesTheErrorPage) {
  EXPECT_EQ(Run(ThrowingEntry, 1), static_cast<DWORD>(HSE_STATUS_ERROR));
  EXPECT_TRUE(HtmlMode);
  EXPECT_EQ(gServer.headers, std::vector<std::string>{kWebErrorHeader});
  EXPECT_EQ(gServer.written, "<page>report: EConvertError</page>");
  ASSERT_EQ(Caught().size(), 1u);
  EXPECT_TRUE(Caught()[0].canContinue);
  EXPECT_EQ(OpenWebRequestCount(), 0u);

  // A header the extension sent already is not sent again.
  gServer = {};
  EXPECT_EQ(Run(HeaderThenThrowEntry, 2), static_cast<DWORD>(HSE_STATUS_ERROR));
  EXPECT_EQ(gServer.headers, std::vector<std::string>{"Content-Type: text/plain\r\n\r\n"});
  EXPECT_EQ(gServer.written, "<page>report: EConvertError</page>");

  // A header the server refused was not sent: the page gets its own.
  gServer = {};
  EXPECT_EQ(Run(RefusedHeaderThenThrowEntry, 3), static_cast<DWORD>(HSE_STATUS_ERROR));
  EXPECT_EQ(gServer.requests, (std::vector<DWORD>{HSE_REQ_SEND_RESPONSE_HEADER_EX, HSE_REQ_SEND_RESPONSE_HEADER}));
  EXPECT_EQ(gServer.headers, std::vector<std::string>{kWebErrorHeader});

  gServer = {};
  EXPECT_EQ(Run(SuccessEntry, 4), static_cast<DWORD>(HSE_STATUS_SUCCESS));
  EXPECT_TRUE(gServer.requests.empty());
  EXPECT_TRUE(gServer.written.empty());
  EXPECT_EQ(OpenWebRequestCount(), 0u);
}

TEST_F(WebWrapper, PendingRequestsStayOpenUntilDone) {
  const std::size_t count = 150;  // past the first capacity and its first doubling
  for (std::size_t i = 1; i <= count; ++i) EXPECT_EQ(Run(PendingEntry, i), static_cast<DWORD>(HSE_STATUS_PENDING));
  EXPECT_EQ(OpenWebRequestCount(), count);
  DWORD size = 0;
  for (std::size_t i = count; i >= 1; --i)
    EXPECT_TRUE(WebServerSupport(reinterpret_cast<HCONN>(i), HSE_REQ_DONE_WITH_SESSION, nullptr, &size, nullptr));
  EXPECT_EQ(OpenWebRequestCount(), 0u);
  EXPECT_EQ(gServer.requests, std::vector<DWORD>(count, HSE_REQ_DONE_WITH_SESSION));
  EXPECT_FALSE(WebServerSupport(reinterpret_cast<HCONN>(1), HSE_REQ_DONE_WITH_SESSION, nullptr, &size, nullptr));
  EXPECT_FALSE(RemoveWebRequest(reinterpret_cast<HCONN>(1)));
}

}  // namespace
}  // namespace qel

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--failing-start-up") == 0) return qel::FailingStartUp();
  if (argc > 1 && std::strcmp(argv[1], "--uncaught-in-thread") == 0) return qel::UncaughtInThread();
  if (argc > 1 && std::strcmp(argv[1], "--runtime-error") == 0) qel::RuntimeErrorAtEnd();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
