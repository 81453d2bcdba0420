// A fault in a worker thread of a program that carries the whole reporter:
// the run-time's factory makes it an object that can continue. Going on, only
// the worker ends and the program stays usable; closing ends the program with
// exit code 1. The child mode plays that program; the box's choice is made by
// the settings (no box: go on; automatic close after a second: close).
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

int PlayWorkerFault(const std::string& choice, const char* noteFile) {
  gNoteFile = noteFile;
  qel::ShowExceptBox = false;
  qel::AutoCloseSeconds = choice == "close" ? 1 : 0;
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
  qel::test::ChildRun run;
  std::string report;
};

TFaultRun RunFault(const char* choice) {
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  // The child's notes file, named as RunChildWithFile names it; its report beside it.
  const std::string tag = std::string("threadfault_") + choice;
  const std::string report = std::string(temp) + tag + "_" + std::to_string(GetCurrentProcessId()) + ".txt.report";
  DeleteFileA(report.c_str());
  TFaultRun r;
  r.run = qel::test::RunChildWithFile(qel::test::ProgramBeside("qelexcept_threadfault_win_test.exe"),
                                      std::string("--worker-fault ") + choice, tag);
  r.report = ReadFile(report);
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
  const TFaultRun r = RunFault("continue");
  EXPECT_EQ(r.run.output,
            "worker runs\nfaulting worker ended with 0\nsecond worker ended with 5\n");
  EXPECT_EQ(r.run.exitCode, 0u);
  ExpectAccessViolationReport(r.report);
}

TEST(WorkerFault, ClosingEndsTheProgramWithExitCodeOne) {
  const TFaultRun r = RunFault("close");
  EXPECT_EQ(r.run.output, "worker runs\n");
  EXPECT_EQ(r.run.exitCode, 1u);
  ExpectAccessViolationReport(r.report);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 3 && std::string(argv[1]) == "--worker-fault") PlayWorkerFault(argv[2], argv[3]);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
