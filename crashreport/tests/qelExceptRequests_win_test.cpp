// Exception requests with the real exception thread, pipe, report and
// screenshot; the exception box is a recording stand-in. The test's main
// thread is the program's main thread. Outcomes that end the process (close,
// restart) are seen in child programs.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildRun.h"
#include "qelExceptFreeze.h"
#include "qelExceptHistory.h"
#include "qelExceptPause.h"
#include "qelExceptProcess.h"
#include "qelExceptRequests.h"
#include "qelExceptSettings.h"
#include "qelExceptThreads.h"
#include "qelRequestsTestSupport.h"
#include "../../framework/SysUtils.h"

using namespace qel;
using namespace qeltest;

namespace {

TEST_F(Requests, AWorkerIsHeldUntilItsReportIsDone) {
  std::atomic<bool> boxDone{false};
  gBoxAction = [&] {
    Sleep(300);
    boxDone = true;
  };
  bool doneAtReturn = false;
  DWORD worker = 0;
  ASSERT_TRUE(RunOnThread(
      [&] {
        ReportException(false, &kConvertError, 0x401000, true, 0, 0, nullptr);
        doneAtReturn = boxDone;
      },
      120000, &worker));
  EXPECT_TRUE(doneAtReturn);
  const auto calls = BoxCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].ThreadId, ExceptionThreadId());  // the box runs on the exception thread
  EXPECT_EQ(calls[0].ClassName, "EConvertError");
  EXPECT_TRUE(calls[0].CanContinue);
  EXPECT_NE(calls[0].Report.find("exception class    : EConvertError"), std::string::npos) << calls[0].Report;
  EXPECT_NE(ExceptionTimeHistory()[0], 0u);
  EXPECT_EQ(ExceptionTimeHistory()[1], 0u);
}

TEST_F(Requests, AWaitingWorkerStillAnswersMessagesSentToItsWindows) {
  HWND workerWindow = nullptr;
  LRESULT answer = 0;
  gBoxAction = [&] {
    DWORD_PTR result = 0;
    if (SendMessageTimeoutA(workerWindow, TCountingWindow::kSent, 0, 0, SMTO_NORMAL, 20000, &result))
      answer = static_cast<LRESULT>(result);
  };
  TCountingWindow::Sent = 0;
  ASSERT_TRUE(RunOnThread(
      [&] {
        TCountingWindow window;
        workerWindow = window.Handle();
        ReportException(false, &kConvertError, 0, true, 0, 0, nullptr);
      },
      120000));
  EXPECT_EQ(answer, 1);
}

// The exception being handled is worked out on the reporting thread: the
// exception thread cannot see it.
__attribute__((noinline)) void ThrowConvertError() { throw zf::EConvertError("'x' is not a valid integer value"); }

TEST_F(Requests, TheExceptionBeingHandledIsTakenOnTheReportingThread) {
  ASSERT_TRUE(RunOnThread(
      [] {
        try {
          ThrowConvertError();
        } catch (...) {
          ReportException(false, nullptr, 0, true, 0, 0, nullptr, ThrownObjectOf(std::current_exception()));
        }
      },
      120000));
  const auto calls = BoxCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].ClassName, "EConvertError");
  EXPECT_NE(calls[0].Report.find("exception message  : 'x' is not a valid integer value."), std::string::npos)
      << calls[0].Report;
}

TEST_F(Requests, TheFpuIsResetAfterAReportWhenAsked) {
  const uint16_t changed = 0x037F;
  uint16_t after = 0;
  ResetFpuOnException = true;
  asm volatile("fldcw %0" : : "m"(changed));
  ReportException(false, &kConvertError, 0, true, 0, 0, nullptr);
  asm volatile("fnstcw %0" : "=m"(after));
  ResetFpuOnException = false;
  EXPECT_EQ(after, DefaultFpuControlWord);
  EXPECT_EQ(BoxCalls().size(), 1u);
}

TEST_F(Requests, TheMainThreadKeepsDispatchingWhileItsReportIsMade) {
  TCountingWindow window;
  TCountingWindow::Sent = TCountingWindow::Posted = 0;
  LRESULT sentAnswer = 0;
  int postedSeen = 0;
  gBoxAction = [&] {
    DWORD_PTR answer = 0;
    if (SendMessageTimeoutA(window.Handle(), TCountingWindow::kSent, 0, 0, SMTO_NORMAL, 20000, &answer))
      sentAnswer = static_cast<LRESULT>(answer);
    PostMessageA(window.Handle(), TCountingWindow::kPosted, 0, 0);
    for (int i = 0; i < 400 && TCountingWindow::Posted == 0; ++i) Sleep(50);
    postedSeen = TCountingWindow::Posted;
  };
  TRuntimeException e;
  e.object = kConvertError;
  e.canContinue = true;
  ReportRuntimeException(e);
  ASSERT_EQ(BoxCalls().size(), 1u);
  EXPECT_EQ(sentAnswer, 1);
  EXPECT_EQ(postedSeen, 1);  // dispatched by the waiting main thread
}

TEST_F(Requests, AQuitWhileTheMainThreadWaitsIsKeptAndTheWaitGoesOn) {
  const DWORD main = GetCurrentThreadId();
  std::atomic<bool> boxDone{false};
  gBoxAction = [&] {
    PostThreadMessageA(main, WM_QUIT, 42, 0);
    Sleep(500);
    boxDone = true;
  };
  ReportException(false, &kConvertError, 0, true, 0, 0, nullptr);
  EXPECT_TRUE(boxDone);  // the request pointed into this thread's stack until the end
  MSG m;
  ASSERT_TRUE(PeekMessageA(&m, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(m.wParam, 42u);
}

TEST_F(Requests, AFailureOnTheExceptionThreadIsNotReported) {
  std::atomic<int> nested{0};
  gBoxAction = [&] {
    ++nested;
    ReportException(false, &kConvertError, 0, true, 0, 0, nullptr);  // would wait for itself
  };
  ReportFromWorker();
  EXPECT_EQ(nested, 1);
  EXPECT_EQ(BoxCalls().size(), 1u);
  EXPECT_EQ(ExceptionTimeHistory()[1], 0u);
}

TEST_F(Requests, AContinuableAbortIsNotReported) {
  const TExceptionObject abort{{"EAbort", "Exception"}, "Operation aborted"};
  const TExceptionObject derived{{"EMyAbort", "EAbort", "Exception"}, ""};
  ReportFromWorker(&abort);
  ReportFromWorker(&derived);
  ReportException(false, &abort, 0, true, 0, 0, nullptr);
  EXPECT_TRUE(BoxCalls().empty());
  EXPECT_EQ(ExceptionTimeHistory()[0], 0u);
}

TEST_F(Requests, IgnoredClassesGetTheBoxWithoutReportOrScreenshot) {
  IgnoredExceptionClasses = " eFoo ,  econverterror ,x";
  ScreenShotSetting = 100000;
  const TExceptionObject nearMiss{{"EConvert", "Exception"}, "near miss"};
  ReportFromWorker(&kConvertError);
  ReportFromWorker(&nearMiss);
  const auto calls = BoxCalls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].Report, "");
  EXPECT_EQ(calls[0].Screenshot, "");
  EXPECT_NE(calls[1].Report.find("exception class    : EConvert\r\n"), std::string::npos);
  EXPECT_EQ(calls[1].Screenshot.substr(0, 4), "\x89PNG");
}

// The bit depth in the PNG header: 8 for the colour palette, 4 for grey.
int PngBitDepth(const std::string& png) { return png.size() > 24 ? static_cast<uint8_t>(png[24]) : -1; }

TEST_F(Requests, TheScreenshotSettingPicksTheMode) {
  struct Case {
    uint32_t setting;
    int bitDepth;  // -1: no screenshot
  };
  const Case cases[] = {{100000, 8}, {4, 4}, {0, -1}};
  for (const Case& c : cases) {
    ScreenShotSetting = c.setting;
    ReportFromWorker();
  }
  const auto calls = BoxCalls();
  ASSERT_EQ(calls.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(PngBitDepth(calls[i].Screenshot), cases[i].bitDepth) << cases[i].setting;
    EXPECT_EQ(calls[i].Screenshot.empty(), cases[i].bitDepth < 0);
  }
}

TEST_F(Requests, AFreezeNeverPausesButEntersTheHistory) {
  static std::atomic<int> enumerations{0};
  TPauseLinks links;
  links.EnumProcessThreads = [] {
    ++enumerations;
    return std::vector<uint32_t>{};
  };
  SetPauseLinks(links);
  PauseRunningThreads = true;
  enumerations = 0;
  ASSERT_TRUE(RunOnThread([] { ReportException(true, nullptr, 0, true, 0, 0, nullptr); }, 120000));
  EXPECT_EQ(enumerations, 0);
  EXPECT_NE(ExceptionTimeHistory()[0], 0u);
  ReportFromWorker();
  EXPECT_EQ(enumerations, 1);  // an ordinary report pauses
  EXPECT_NE(ExceptionTimeHistory()[1], 0u);
  SetPauseLinks(TPauseLinks{});
  const auto calls = BoxCalls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_TRUE(calls[0].Frozen);
  EXPECT_NE(calls[0].Report.find("The application seems to be frozen."), std::string::npos) << calls[0].Report;
}

TEST_F(Requests, HtmlModeHandsTheReportOverInsteadOfTheBox) {
  HtmlMode = true;
  std::string page;
  ReportFromWorker(&kConvertError, true, &page);
  EXPECT_TRUE(BoxCalls().empty());
  EXPECT_NE(page.find("exception class    : EConvertError"), std::string::npos) << page;
}

TEST_F(Requests, AutoSaveWritesTheReport) {
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  const std::string file = std::string(temp) + "qelrequests_autosave_" + std::to_string(GetCurrentProcessId()) + ".txt";
  DeleteFileA(file.c_str());
  AutoSaveBugReport = true;
  BugReportFile.Assign(file);
  ReportFromWorker();
  AutoSaveBugReport = false;
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  in.close();
  DeleteFileA(file.c_str());
  ASSERT_EQ(BoxCalls().size(), 1u);
  EXPECT_NE(text.str().find(BoxCalls()[0].Report), std::string::npos);
  EXPECT_FALSE(BoxCalls()[0].Report.empty());
}

TEST_F(Requests, ARequestThatCannotBeWrittenIsDropped) {
  StopExceptionThread();
  EXPECT_EQ(ExceptionThreadId(), 0xFFFFFFFFu);
  ReportFromWorker();
  ReportException(false, &kConvertError, 0, true, 0, 0, nullptr);
  EXPECT_TRUE(BoxCalls().empty());
  EXPECT_EQ(ExceptionTimeHistory()[0], 0u);
}

TEST_F(Requests, WithTheLoaderLockTheReportIsMadeOnTheReportingThread) {
  auto* lock = static_cast<CRITICAL_SECTION*>(PebCriticalSection(kPebLoaderLockOffset));
  ASSERT_NE(lock, nullptr);
  DWORD boxThread = 0;
  DWORD reporter = 0;
  ASSERT_TRUE(RunOnThread(
      [&] {
        EnterCriticalSection(lock);
        if (HoldsLoaderLock()) ReportException(false, &kConvertError, 0, true, 0, 0, nullptr);
        LeaveCriticalSection(lock);
        const auto calls = BoxCalls();
        if (!calls.empty()) boxThread = calls[0].ThreadId;
      },
      120000, &reporter));
  EXPECT_EQ(boxThread, reporter);
}

TEST_F(Requests, TheExceptionThreadIsListedAsTheReportersOwn) {
  void* creation = nullptr;
  std::string title;
  uint32_t creator = 0;
  ThreadTitle(ExceptionThreadId(), false, creation, title, creator);
  EXPECT_EQ(title, "");  // kept out of reports
  HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, ExceptionThreadId());
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_HIGHEST);
  CloseHandle(thread);
}

TEST(RequestsFpu, ResetFpuLoadsTheDefaultControlWord) {
  const uint16_t changed = 0x037F;
  uint16_t after = 0;
  asm volatile("fldcw %0" : : "m"(changed));
  ResetFpu();
  asm volatile("fnstcw %0" : "=m"(after));
  EXPECT_EQ(after, DefaultFpuControlWord);
}

// --- outcomes that end the process, in child programs -------------------------

struct TChildRun {
  DWORD ExitCode = 0xFFFFFFFF;
  std::string Notes;
  std::string SavedReport;
};

std::string ReadFileText(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

using test::ProgramBeside;

// The child gets its mode, the note file and the mode's numbers. waitForNote:
// a note the run must leave (a successor's, after the child ended).
TChildRun RunChild(const std::string& mode, const std::string& numbers = "", const char* waitForNote = nullptr) {
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  static int serial = 0;
  const std::string notes =
      std::string(temp) + "qelrequests_child_" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++serial);
  DeleteFileA(notes.c_str());
  DeleteFileA((notes + ".report").c_str());
  test::ChildProcess child("\"" + ProgramBeside("qelexceptrequests_child.exe") + "\" " + mode + " \"" + notes +
                           "\" " + numbers);
  TChildRun run;
  if (!child.Started()) return run;
  if (!child.Wait(120000)) {
    ADD_FAILURE() << "child did not end: " << child.Command();
    child.Terminate(99);
    child.Wait(INFINITE);
  }
  run.ExitCode = child.ExitCode();
  for (int i = 0; waitForNote != nullptr && i < 1200; ++i) {
    if (ReadFileText(notes).find(waitForNote) != std::string::npos) break;
    Sleep(100);
  }
  run.Notes = ReadFileText(notes);
  run.SavedReport = ReadFileText(notes + ".report");
  DeleteFileA(notes.c_str());
  DeleteFileA((notes + ".report").c_str());
  return run;
}

TEST(RequestOutcomes, AnAbortThatCannotContinueClosesWithoutAReport) {
  const TChildRun run = RunChild("abort-fatal");
  EXPECT_EQ(run.ExitCode, 1u);
  EXPECT_EQ(run.Notes, "");
}

TEST(RequestOutcomes, AutoCloseEndsEvenAContinuableRequestAfterItsReport) {
  const TChildRun run = RunChild("autoclose");
  EXPECT_EQ(run.ExitCode, 1u);
  EXPECT_EQ(run.Notes, "");  // no box
  EXPECT_NE(run.SavedReport.find("exception class    : EConvertError"), std::string::npos) << run.SavedReport;
}

TEST(RequestOutcomes, AFatalRequestClosesAfterTheBox) {
  const TChildRun run = RunChild("fatal-box");
  EXPECT_EQ(run.ExitCode, 1u);
  EXPECT_EQ(run.Notes, "box\n");
}

TEST(RequestOutcomes, TheTenthExceptionWithinTheRestartSpanRestarts) {
  const TChildRun restarted = RunChild("restart", "10 25", "successor");
  EXPECT_EQ(restarted.ExitCode, 2u);
  EXPECT_EQ(restarted.Notes, "successor 10\n");  // the successor got the whole history
  struct Case {
    const char* args;
    const char* name;
  };
  const Case goOn[] = {{"9 25", "nine within 30 s"}, {"10 31", "ten over 31 s"}};
  for (const Case& c : goOn) {
    const TChildRun run = RunChild("restart", c.args);
    EXPECT_EQ(run.ExitCode, 0u) << c.name;
    EXPECT_EQ(run.Notes, "") << c.name;
  }
}

// --- real faults and throws, through the run-time hooks ------------------------

struct TBoxNote {
  unsigned Serial = 0;
  std::string ClassName;
  bool Here = false;  // the box ran on the reporting thread
  unsigned Ms = 0;
  bool ReportNamesClass = false;
};

std::vector<TBoxNote> BoxNotes(const std::string& notes) {
  std::vector<TBoxNote> boxes;
  std::istringstream in(notes);
  std::string word;
  while (in >> word)
    if (word == "box") {
      TBoxNote b;
      std::string where;
      int names = 0;
      in >> b.Serial >> b.ClassName >> where >> b.Ms >> names;
      b.Here = where == "here";
      b.ReportNamesClass = names == 1;
      boxes.push_back(b);
    }
  return boxes;
}

TEST(RequestOutcomes, EightThreadsFaultingAtOnceGetEightReportsInThePipesOrder) {
  const TChildRun run = RunChild("eight-at-once");
  EXPECT_EQ(run.ExitCode, 1u) << run.Notes;  // closed after the last report, not before
  const std::vector<TBoxNote> boxes = BoxNotes(run.Notes);
  ASSERT_EQ(boxes.size(), 8u) << run.Notes;
  std::map<std::string, int> classes;
  for (size_t i = 0; i < boxes.size(); ++i) {
    EXPECT_EQ(boxes[i].Serial, i + 1) << run.Notes;
    EXPECT_FALSE(boxes[i].Here);
    EXPECT_TRUE(boxes[i].ReportNamesClass) << boxes[i].ClassName;
    ++classes[boxes[i].ClassName];
  }
  const std::map<std::string, int> expected{{"EAccessViolation", 4}, {"EDivByZero", 2}, {"EConvertError", 2}};
  EXPECT_EQ(classes, expected) << run.Notes;
  std::printf("eight threads at once: the eighth report after %u ms\n", boxes.back().Ms);
  RecordProperty("EighthReportMs", static_cast<int>(boxes.back().Ms));
}

TEST(RequestOutcomes, AFaultWhileHoldingTheHeapLockIsReported) {
  const TChildRun run = RunChild("heap-locked");
  EXPECT_EQ(run.ExitCode, 1u) << run.Notes;
  const std::vector<TBoxNote> boxes = BoxNotes(run.Notes);
  ASSERT_EQ(boxes.size(), 1u) << run.Notes;
  EXPECT_EQ(boxes[0].ClassName, "EAccessViolation");
  EXPECT_TRUE(boxes[0].Here);  // no other thread could allocate meanwhile
  EXPECT_TRUE(boxes[0].ReportNamesClass);
  EXPECT_NE(run.SavedReport.find("FaultHoldingHeap"), std::string::npos) << run.SavedReport;
}

TEST(RequestOutcomes, AnUncaughtThrowAtACaughtOnesAddressShowsItsOwnThrowSite) {
  const TChildRun run = RunChild("same-address");
  EXPECT_EQ(run.ExitCode, 1u) << run.Notes;
  EXPECT_NE(run.Notes.find("same address"), std::string::npos) << run.Notes;
  ASSERT_EQ(BoxNotes(run.Notes).size(), 1u) << run.Notes;
  EXPECT_NE(run.SavedReport.find("ThrowSecond"), std::string::npos) << run.SavedReport;
  EXPECT_EQ(run.SavedReport.find("ThrowFirst"), std::string::npos) << run.SavedReport;
}

}  // namespace
