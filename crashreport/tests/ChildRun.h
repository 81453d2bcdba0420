// Child programs of the tests: started beside the test program, their
// handles closed with them.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <utility>

namespace qel::test {

// A program in the test program's own folder.
inline std::string ProgramBeside(const char* name) {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  const std::string dir = path;
  return dir.substr(0, dir.find_last_of('\\') + 1) + name;
}

// A started child process; a failed start is a test failure.
class ChildProcess {
 public:
  explicit ChildProcess(std::string command) : FCommand(std::move(command)) {
    STARTUPINFOA si{};
    si.cb = sizeof si;
    if (!CreateProcessA(nullptr, FCommand.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &FInfo)) {
      ADD_FAILURE() << "cannot start " << FCommand;
      FInfo = {};
    }
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() {
    if (FInfo.hThread) CloseHandle(FInfo.hThread);
    if (FInfo.hProcess) CloseHandle(FInfo.hProcess);
  }
  bool Started() const { return FInfo.hProcess != nullptr; }
  DWORD Pid() const { return FInfo.dwProcessId; }
  const std::string& Command() const { return FCommand; }
  // False when the child is still running after ms.
  bool Wait(DWORD ms) const { return Started() && WaitForSingleObject(FInfo.hProcess, ms) == WAIT_OBJECT_0; }
  void Terminate(UINT code) const {
    if (Started()) TerminateProcess(FInfo.hProcess, code);
  }
  DWORD ExitCode() const {
    DWORD code = STILL_ACTIVE;
    if (Started()) GetExitCodeProcess(FInfo.hProcess, &code);
    return code;
  }

 private:
  std::string FCommand;
  PROCESS_INFORMATION FInfo{};
};

struct ChildRun {
  DWORD exitCode = 0;
  std::string output;
};

// Runs a child program with its arguments and last a file it writes (in the
// temporary folder, named after tag and this process); waits up to two
// minutes and gives its exit code and the file's content.
inline ChildRun RunChildWithFile(const std::string& program, const std::string& arguments, const std::string& tag) {
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  const std::string file = std::string(temp) + tag + "_" + std::to_string(GetCurrentProcessId()) + ".txt";
  DeleteFileA(file.c_str());
  ChildProcess child("\"" + program + "\" " + arguments + " \"" + file + "\"");
  ChildRun run;
  if (!child.Started()) return run;
  child.Wait(120000);
  run.exitCode = child.ExitCode();
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  run.output = text.str();
  DeleteFileA(file.c_str());
  return run;
}

}  // namespace qel::test
