// Installation and shutdown of the reporter, the restart hand-over between
// two processes, the exported process trace and a second module with its own
// reporter. Child modes (argv[1] "--...") play the other processes.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "qelCrypt.h"
#include "qelExcept.h"
#include "qelExceptBox.h"
#include "qelExceptHistory.h"
#include "qelExceptHtml.h"
#include "qelExceptReport.h"
#include "qelExceptRequests.h"
#include "qelExceptRtlHooks.h"
#include "qelExceptSettings.h"
#include "qelExceptThreads.h"
#include "qelMailText.h"
#include "qelPatch.h"
#include "qelReportActions.h"
#include "qelStrings.h"
#include "qelWinHandles.h"
#include "qelWinTestSupport.h"

using namespace qel;

namespace {

constexpr char kReporterDll[] = "qelexcept_testdll.dll";
constexpr uint64_t kHandedHistory[10] = {
    13'400'000'010, 13'400'000'009, 13'400'000'008, 13'400'000'007, 13'400'000'006,
    13'400'000'005, 13'400'000'004, 13'400'000'003, 13'400'000'002, 13'400'000'001};

std::string Hex(uint32_t id) { return HexStrPadded(id, 1, '0'); }

std::string HistoryText(const uint64_t (&history)[10]) {
  std::string text = "history";
  for (const uint64_t t : history) {
    text += ' ';
    text += std::to_string(t);
  }
  return text;
}

std::string SelfPath() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  return path;
}

std::string TempFile(const char* stem) {
  char dir[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, dir);
  return std::string(dir) + stem + Hex(GetCurrentProcessId()) + ".txt";
}

std::string ReadWholeFile(const std::string& name) {
  std::string text;
  if (FILE* f = std::fopen(name.c_str(), "rb")) {
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
    std::fclose(f);
  }
  return text;
}

// Written whole under a temporary name first, so a reader never sees half of it.
void WriteWholeFile(const std::string& name, const std::string& text) {
  const std::string temp = name + ".part";
  if (FILE* f = std::fopen(temp.c_str(), "wb")) {
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    MoveFileA(temp.c_str(), name.c_str());
  }
}

PROCESS_INFORMATION StartSelf(const std::string& arguments, DWORD flags) {
  std::string commandLine = "\"" + SelfPath() + "\" " + arguments;
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr, &si, &pi))
    return {};
  return pi;
}

// --- child: the predecessor of a restart ---------------------------------------------------
// Starts the successor suspended, leaves it the hand-over block (its own
// layout, written byte by byte) with a handle duplicated into it, resumes it
// and ends at once, as the restart action does.
int PlayPredecessor(const std::string& outFile) {
  const PROCESS_INFORMATION pi = StartSelf("--successor \"" + outFile + "\"", CREATE_SUSPENDED);
  if (pi.hProcess == nullptr) return 10;
  HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 88,
                                      ("qelExceptRestart" + Hex(pi.dwProcessId)).c_str());
  if (mapping == nullptr) return 11;
  auto* block = static_cast<uint8_t*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 88));
  if (block == nullptr) return 12;
  HANDLE duplicate = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), mapping, pi.hProcess, &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS))
    return 13;
  const uint32_t self = GetCurrentProcessId();
  const auto handleValue = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(duplicate));
  std::memcpy(block + 0, &self, 4);
  std::memcpy(block + 4, &handleValue, 4);
  std::memcpy(block + 8, kHandedHistory, 80);
  UnmapViewOfFile(block);
  ResumeThread(pi.hThread);
  // A moment for the successor to start waiting for us.
  Sleep(300);
  TerminateProcess(GetCurrentProcess(), 2);
  return 2;
}

// --- child: the successor ------------------------------------------------------------------
// Takes the history over and writes what it saw: the history, whether the
// predecessor had ended by then and whether the handed handle was closed.
int PlaySuccessor(const std::string& outFile) {
  // The test's own look at the block, kept open across the takeover.
  const TOwnedHandle mapping(
      OpenFileMappingA(FILE_MAP_READ, FALSE, RestartMappingName(GetCurrentProcessId()).c_str()));
  if (!mapping) return 20;
  const TOwnedView view(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 88));
  if (!view) return 21;
  uint32_t predecessorId = 0, handed = 0;
  std::memcpy(&predecessorId, view.get(), 4);
  std::memcpy(&handed, static_cast<const uint8_t*>(view.get()) + 4, 4);
  const TOwnedHandle predecessor(OpenProcess(SYNCHRONIZE, FALSE, predecessorId));

  TakeOverFromPredecessor();

  std::string text = HistoryText(ExceptionTimeHistory());
  const bool ended = !predecessor || WaitForSingleObject(predecessor.get(), 0) == WAIT_OBJECT_0;
  text.append(ended ? " ended" : " running");
  DWORD flags = 0;
  const bool open = GetHandleInformation(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handed)), &flags) != 0;
  text.append(open ? " open" : " closed");
  WriteWholeFile(outFile, text);
  return 0;
}

// --- child: a shared block that cannot be had -------------------------------------------------
// Another kind of object holds the block's name: installation must refuse
// to start the program.
int PlayBlockedName() {
  HANDLE squatter = CreateMutexA(nullptr, FALSE, ThreadListMappingName(GetCurrentProcessId()).c_str());
  if (squatter == nullptr) return 30;
  InitExceptUnit(true);
  return 31;  // not reached: the box ends the process
}

int ChildMain(int argc, char** argv) {
  const std::string mode = argv[1];
  if (mode == "--predecessor" && argc > 2) return PlayPredecessor(argv[2]);
  if (mode == "--successor" && argc > 2) return PlaySuccessor(argv[2]);
  if (mode == "--blocked-name") return PlayBlockedName();
  return 99;
}

bool WaitUntil(DWORD ms, const auto& done) {
  const DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > ms) return false;
    Sleep(50);
  }
  return true;
}

// The names of both mappings end in "$" and the id in lower-case hex.
TEST(ReporterNames, MappingSuffixIsTheProcessIdInHex) {
  EXPECT_EQ(RestartMappingName(420), "qelExceptRestart$1a4");
  EXPECT_EQ(ThreadListMappingName(420), "qelExceptThreadNameBuf$1a4");
}

// Runs before anything installs in this process.
TEST(ReporterOff, WithoutCatchingAndWatchdogOnlyTheMainThreadIsSet) {
  CatchExceptions = false;
  FreezeTimeout = 0;
  MainThreadId = 0;
  InitExceptUnit(true);
  EXPECT_EQ(MainThreadId, GetCurrentThreadId());  // gtest runs on the first thread
  EXPECT_EQ(InstalledThreadList(), nullptr);
  EXPECT_EQ(ExceptionThreadId(), 0xFFFFFFFFu);
  EXPECT_TRUE(PatchRecords().empty());
  EXPECT_EQ(RuntimeReportHandler(), nullptr);
  EXPECT_EQ(ProgramStartTime, 0u);
  DoneExceptUnit();
  CatchExceptions = true;
  MainThreadId = 0;
}

// The password as the build stores it: padded to whole blocks and encrypted
// keyed by the account, then again keyed by the server.
std::string StoredSmtpPassword(std::string text) {
  const std::pair<const char*, const uint32_t*> passes[] = {{"reporter", SmtpPasswordAccountCounter},
                                                            {"smtp.mail.test", SmtpPasswordServerCounter}};
  for (const auto& [key, counter] : passes) {
    text.append(8 - text.size() % 8, static_cast<char>(8 - text.size() % 8));
    BlowfishBuffer(text.data(), static_cast<uint32_t>(text.size()), true, key, counter[0], counter[1], false);
  }
  return text;
}

// The unit's entries: the body runs for the first start and the last end only.
TEST(ReporterUnit, EntriesInstallOnceAndTakeDownAtTheLastEnd) {
  FILETIME before;
  GetSystemTimeAsFileTime(&before);
  SmtpAccount.Assign("reporter");
  SmtpServer.Assign("smtp.mail.test");
  SmtpPassword.Assign(StoredSmtpPassword("s3cr=t"));
  qelExceptInitialization();
  EXPECT_EQ(SmtpPassword.Str(), "s3cr=t");  // plain from installation on
  TThreadListAnchor* anchor = InstalledThreadList();
  ASSERT_NE(anchor, nullptr);
  qelExceptInitialization();
  EXPECT_EQ(InstalledThreadList(), anchor);
  EXPECT_EQ(anchor->ReferenceCount, 1);
  EXPECT_EQ(MainThreadId, GetCurrentThreadId());
  EXPECT_NE(ExceptionThreadId(), 0xFFFFFFFFu);
  EXPECT_EQ(RuntimeReportHandler(), &ReportRuntimeException);
  EXPECT_EQ(ExceptionBoxRoutine, &ShowExceptionBox);
  EXPECT_EQ(HtmlPageRoutine, static_cast<THtmlPageRoutine>(&ComposeHtmlPage));
  EXPECT_FALSE(PatchRecords().empty());
  const uint64_t start = static_cast<uint64_t>(before.dwHighDateTime) << 32 | before.dwLowDateTime;
  EXPECT_GE(ProgramStartTime, start);
  EXPECT_LT(ProgramStartTime, start + 600'000'000ull);  // within a minute

  qelExceptFinalization();
  EXPECT_EQ(InstalledThreadList(), anchor);
  qelExceptFinalization();
  EXPECT_EQ(InstalledThreadList(), nullptr);
  EXPECT_TRUE(PatchRecords().empty());
  EXPECT_EQ(ExceptionThreadId(), 0xFFFFFFFFu);
  EXPECT_EQ(RuntimeReportHandler(), nullptr);
  SmtpPassword.Assign("");
}

struct TBoxSearch {
  DWORD Pid;
  HWND Box = nullptr;
  std::string Text;
};

BOOL CALLBACK FindInternalErrorBox(HWND h, LPARAM p) {
  auto* search = reinterpret_cast<TBoxSearch*>(p);
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  char caption[64] = {};
  GetWindowTextA(h, caption, sizeof caption);
  if (pid == search->Pid && std::strcmp(caption, kInternalErrorCaption) == 0) search->Box = h;
  return search->Box == nullptr;
}

BOOL CALLBACK FindBoxText(HWND h, LPARAM p) {
  char text[128] = {};
  GetWindowTextA(h, text, sizeof text);
  if (std::strncmp(text, "internal error", 14) == 0) reinterpret_cast<TBoxSearch*>(p)->Text = text;
  return TRUE;
}

// A block that cannot be created stops the program: a box, then exit code 0.
TEST(ReporterUnit, BlockThatCannotBeHadStopsTheProgramWithABox) {
  const PROCESS_INFORMATION pi = StartSelf("--blocked-name", 0);
  ASSERT_NE(pi.hProcess, nullptr);
  TBoxSearch search{pi.dwProcessId};
  const bool shown = WaitUntil(30000, [&] {
    EnumWindows(FindInternalErrorBox, reinterpret_cast<LPARAM>(&search));
    return search.Box != nullptr;
  });
  if (shown) {
    EnumChildWindows(search.Box, FindBoxText, reinterpret_cast<LPARAM>(&search));
    PostMessageA(search.Box, WM_COMMAND, IDOK, 0);
  }
  EXPECT_TRUE(shown);
  EXPECT_EQ(search.Text, kInternalErrorText);
  if (WaitForSingleObject(pi.hProcess, 30000) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 99);
  DWORD code = 99;
  GetExitCodeProcess(pi.hProcess, &code);
  EXPECT_EQ(code, 0u);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
}

TEST(ReporterRestart, SuccessorTakesOverTheHistoryOnceThePredecessorEnded) {
  const std::string out = TempFile("qelexcept_successor");
  DeleteFileA(out.c_str());
  const PROCESS_INFORMATION pi = StartSelf("--predecessor \"" + out + "\"", 0);
  ASSERT_NE(pi.hProcess, nullptr);
  ASSERT_EQ(WaitForSingleObject(pi.hProcess, 60000), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  ASSERT_EQ(code, 2u);
  ASSERT_TRUE(WaitUntil(60000, [&] { return GetFileAttributesA(out.c_str()) != INVALID_FILE_ATTRIBUTES; }));
  EXPECT_EQ(ReadWholeFile(out), HistoryText(kHandedHistory) + " ended closed");
  DeleteFileA(out.c_str());
}

// --- with the reporter installed in this process -----------------------------------------------

struct TTraceMapping {
  TOwnedHandle Mapping;
  TOwnedView View;
  // "Global\" first, as the export looks there first.
  explicit TTraceMapping(DWORD size) {
    const std::string name = kTraceProcessMapName;
    for (const std::string& n : {"Global\\" + name, name}) {
      Mapping.reset(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, n.c_str()));
      if (Mapping) break;
    }
    if (Mapping) View.reset(MapViewOfFile(Mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
  }
  char* Text() const { return static_cast<char*>(View.get()); }
};

// Runs the export as an outside tool would: on a thread of its own, the size
// as the thread's parameter.
DWORD TraceOnNewThread(int32_t size, DWORD* threadId = nullptr) {
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0,
                               reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void*>(&qelTraceProcess)),
                               reinterpret_cast<void*>(static_cast<intptr_t>(size)), 0, &id);
  if (thread == nullptr) return 0xFFFFFFFF;
  WaitForSingleObject(thread, 300000);
  DWORD code = 0xFFFFFFFF;
  GetExitCodeThread(thread, &code);
  CloseHandle(thread);
  if (threadId != nullptr) *threadId = id;
  return code;
}

std::string ClipboardText() {
  std::string text;
  if (!OpenClipboard(nullptr)) return text;
  if (HANDLE data = GetClipboardData(CF_TEXT)) {
    if (const auto* p = static_cast<const char*>(GlobalLock(data))) {
      text = p;
      GlobalUnlock(data);
    }
  }
  CloseClipboard();
  return text;
}

struct InstalledReporter : ::testing::Test {
  static void SetUpTestSuite() {
    MainThreadId = 0;
    InitExceptUnit(true);
  }
  static void TearDownTestSuite() { DoneExceptUnit(); }
};

TEST_F(InstalledReporter, TraceWritesAtMostSizeMinusOneCharactersAndAZero) {
  TTraceMapping map(4096);
  ASSERT_NE(map.Text(), nullptr);
  std::memset(map.Text(), 'x', 4096);
  EXPECT_EQ(TraceOnNewThread(10), 0u);
  EXPECT_EQ(std::string(map.Text(), 9), "date/time");
  EXPECT_EQ(map.Text()[9], '\0');
  EXPECT_EQ(map.Text()[10], 'x');
}

// A size beyond the mapping cannot make the export write past its view: the
// report (made longer than a page by threads with long names) is cut to the
// view's page.
TEST_F(InstalledReporter, TraceStaysInsideASmallerMapping) {
  TTraceMapping map(100);
  ASSERT_NE(map.Text(), nullptr);
  MEMORY_BASIC_INFORMATION info{};
  ASSERT_EQ(VirtualQuery(map.Text(), &info, sizeof info), sizeof info);
  qeltest::TParkedThread named[4];
  for (auto& thread : named) SetThreadName(thread.Id(), std::string(1200, 'n'));
  DWORD traceThread = 0;
  EXPECT_EQ(TraceOnNewThread(1 << 24, &traceThread), 0u);
  const std::string report(map.Text(), strnlen(map.Text(), info.RegionSize));
  EXPECT_EQ(report.size(), info.RegionSize - 1);
  EXPECT_EQ(report.rfind("date/time", 0), 0u);
  // The report lists the main thread and keeps the tracing thread out.
  EXPECT_NE(report.find("main thread (" + Hex(MainThreadId) + ")"), std::string::npos) << report;
  EXPECT_EQ(report.find("thread " + Hex(traceThread) + ":"), std::string::npos);
  EXPECT_EQ(report.find("(" + Hex(traceThread) + ")"), std::string::npos);
}

TEST_F(InstalledReporter, TraceWithSizeBelowOneGoesToTheClipboard) {
  for (const int32_t size : {0, -1}) {
    SCOPED_TRACE(size);
    ASSERT_TRUE(OpenClipboard(nullptr));
    EmptyClipboard();
    CloseClipboard();
    EXPECT_EQ(TraceOnNewThread(size), 0u);
    const std::string text = ClipboardText();
    EXPECT_EQ(text.rfind("date/time", 0), 0u) << text.substr(0, 200);
    EXPECT_NE(text.find("main thread (" + Hex(MainThreadId) + ")"), std::string::npos);
  }
}

// A DLL that carries its own reporter joins the process's block: the count
// goes up, the main thread keeps its name, and the DLL's main thread is the
// program's, not the newest entry of the list.
TEST_F(InstalledReporter, SecondModuleJoinsTheBlockWithoutRenamingTheMainThread) {
  TThreadListAnchor* anchor = InstalledThreadList();
  ASSERT_NE(anchor, nullptr);
  const uint32_t mainId = GetCurrentThreadId();
  SetThreadName(mainId, "ui");
  qeltest::TParkedThread worker;
  SetThreadName(worker.Id(), "worker");

  HMODULE dll = LoadLibraryA(kReporterDll);
  ASSERT_NE(dll, nullptr);
  auto init = qeltest::DllRoutine<void (*)()>(dll, "ReporterDllInit");
  auto done = qeltest::DllRoutine<void (*)()>(dll, "ReporterDllDone");
  auto mainThread = qeltest::DllRoutine<DWORD (*)()>(dll, "ReporterDllMainThreadId");
  auto dllAnchor = qeltest::DllRoutine<void* (*)()>(dll, "ReporterDllAnchor");
  ASSERT_TRUE(init && done && mainThread && dllAnchor);
  init();
  EXPECT_EQ(anchor->ReferenceCount, 2);
  ASSERT_NE(dllAnchor(), nullptr);
  EXPECT_EQ(static_cast<TThreadListAnchor*>(dllAnchor())->ListMutex, anchor->ListMutex);
  EXPECT_EQ(mainThread(), mainId);
  void* creation = nullptr;
  std::string title;
  uint32_t creator = 0;
  ThreadTitle(mainId, true, creation, title, creator);
  EXPECT_EQ(title, "ui (" + Hex(mainId) + ")");
  done();
  EXPECT_EQ(anchor->ReferenceCount, 1);
  FreeLibrary(dll);
  SetThreadName(mainId, "main thread");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]).rfind("--", 0) == 0 && std::string(argv[1]).rfind("--gtest", 0) != 0)
    return ChildMain(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
