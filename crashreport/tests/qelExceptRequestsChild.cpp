// A program that reports one exception the way its first argument names and
// ends as the reporter decides: closed (exit code 1), restarted (2, and its
// successor notes its arrival), or going on to the end (0). Its second
// argument names a file for what it has to tell: "box" for every exception
// box, "successor N" from a restarted successor (N: the history entries it
// was handed). Started by qelExceptRequests_win_test.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "qelExceptHistory.h"
#include "qelExceptRequests.h"
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
