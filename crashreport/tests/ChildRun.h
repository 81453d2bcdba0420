// Runs a test's child program: its path, its arguments and last a file it
// writes (in the temporary folder, named after tag and this process); waits
// up to two minutes and gives its exit code and the file's content.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace qel::test {

struct ChildRun {
  DWORD exitCode = 0;
  std::string output;
};

inline ChildRun RunChildWithFile(const std::string& program, const std::string& arguments, const std::string& tag) {
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  const std::string file = std::string(temp) + tag + "_" + std::to_string(GetCurrentProcessId()) + ".txt";
  DeleteFileA(file.c_str());
  std::string command = "\"" + program + "\" " + arguments + " \"" + file + "\"";
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  ChildRun run;
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    ADD_FAILURE() << "cannot start " << command;
    return run;
  }
  WaitForSingleObject(pi.hProcess, 120000);
  GetExitCodeProcess(pi.hProcess, &run.exitCode);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  run.output = text.str();
  DeleteFileA(file.c_str());
  return run;
}

}  // namespace qel::test
