// A fault in a worker thread of a program that carries the whole reporter:
// the run-time's factory makes it an object that can continue. With the
// exception box's "continue" only the worker ends and the program stays
// usable; with "close" the program ends with exit code 1. The child mode plays
// that program; the test presses the button of its box.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "ChildRun.h"
#include "System.h"
#include "Threads.h"
#include "Units.h"
#include "qelExcept.h"
#include "qelExceptSettings.h"

namespace {

const char* gNoteFile = nullptr;

void Note(const std::string& line) { std::ofstream(gNoteFile, std::ios::app | std::ios::binary) << line << "\n"; }

volatile std::uintptr_t gNowhere = 0;
uint32_t FaultingWorker(void*) {
  Note("worker runs");
  *reinterpret_cast<volatile int*>(gNowhere + 0x10) = 1;
  Note("worker went on past its fault");
  return 7;
}
uint32_t SecondWorker(void*) { return 5; }

const zf::TUnitEntry kUnits[] = {QEL_REPORTER_UNITS};

uint32_t RunWorker(zf::TThreadFunc routine) {
  HANDLE thread = zf::BeginThread(nullptr, 0, routine, nullptr, 0, nullptr);
  if (!thread) return 99;
  WaitForSingleObject(thread, 60000);
  DWORD code = 99;
  GetExitCodeThread(thread, &code);
  CloseHandle(thread);
  return code;
}

int PlayWorkerFault(const char* noteFile) {
  gNoteFile = noteFile;
  qel::ShowExceptBox = true;
  qel::AutoSaveBugReport = true;
  qel::BugReportFile.Assign(std::string(noteFile) + ".report");
  qel::ScreenShotSetting = 0;
  qel::ConsoleOutput = false;
  qel::ListAllThreads = false;
  zf::TUnitTable units(kUnits);
  zf::ProgramUnits = &units;
  units.Initialize();
  Note("faulting worker ended with " + std::to_string(RunWorker(FaultingWorker)));
  Note("second worker ended with " + std::to_string(RunWorker(SecondWorker)));
  zf::Halt0();
}

std::string ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct TFaultRun {
  DWORD exitCode = 0;
  std::string notes, report;
};

// The visible exception box of a process, or nullptr.
HWND BoxOf(DWORD processId) {
  for (HWND w = FindWindowExA(nullptr, nullptr, "qelExceptWndClass", nullptr); w != nullptr;
       w = FindWindowExA(nullptr, w, "qelExceptWndClass", nullptr)) {
    DWORD owner = 0;
    GetWindowThreadProcessId(w, &owner);
    if (owner == processId && IsWindowVisible(w)) return w;
  }
  return nullptr;
}

// Runs the child, presses the box's button with that caption, waits for the end.
TFaultRun RunFault(const std::string& caption) {
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  const std::string notes = std::string(temp) + "threadfault_" + std::to_string(GetCurrentProcessId()) + ".txt";
  const std::string report = notes + ".report";
  DeleteFileA(notes.c_str());
  DeleteFileA(report.c_str());
  TFaultRun r;
  {
    std::string command = "\"";
    command.append(qel::test::ProgramBeside("qelexcept_threadfault_win_test.exe"));
    command.append("\" --worker-fault \"").append(notes).append("\"");
    const qel::test::ChildProcess child(command);
    HWND box = nullptr;
    for (DWORD waited = 0; child.Started() && box == nullptr && waited < 120000; waited += 50) {
      box = BoxOf(child.Pid());
      if (box == nullptr) Sleep(50);
    }
    EXPECT_NE(box, nullptr) << "no exception box";
    if (box != nullptr) {
      HWND button = FindWindowExA(box, nullptr, "Button", caption.c_str());
      EXPECT_NE(button, nullptr) << caption;
      // The box takes the button's notification (a click sent from another
      // thread can lose its press).
      PostMessageA(box, WM_COMMAND, MAKEWPARAM(0, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    }
    if (!child.Wait(120000)) child.Terminate(99);
    r.exitCode = child.ExitCode();
  }
  r.notes = ReadFile(notes);
  r.report = ReadFile(report);
  DeleteFileA(notes.c_str());
  DeleteFileA(report.c_str());
  return r;
}

void ExpectAccessViolationReport(const std::string& report) {
  EXPECT_NE(report.find("EAccessViolation"), std::string::npos) << report.substr(0, 2000);
  EXPECT_NE(report.find("Access violation at address $"), std::string::npos) << report.substr(0, 2000);
  EXPECT_NE(report.find("in module 'qelexcept_threadfault_win_test.exe'. Write of address $10"), std::string::npos)
      << report.substr(0, 2000);
}

TEST(WorkerFault, GoingOnEndsOnlyTheWorkerAndTheProgramStaysUsable) {
  const TFaultRun r = RunFault(qel::ContinueButtonCaption.Str());
  EXPECT_EQ(r.notes, "worker runs\nfaulting worker ended with 0\nsecond worker ended with 5\n");
  EXPECT_EQ(r.exitCode, 0u);
  ExpectAccessViolationReport(r.report);
}

TEST(WorkerFault, ClosingEndsTheProgramWithExitCodeOne) {
  const TFaultRun r = RunFault(qel::CloseButtonCaption.Str());
  EXPECT_EQ(r.notes, "worker runs\n");
  EXPECT_EQ(r.exitCode, 1u);
  ExpectAccessViolationReport(r.report);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::string(argv[1]) == "--worker-fault") PlayWorkerFault(argv[2]);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
