// The stack tracer on real crashes: each crash program (three optimisation
// levels) runs one scenario in a process of its own and prints the lines its
// trace must show, then its trace.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <exception>
#include <map>
#include <stdexcept>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qelStackTrace.h"

namespace {

struct TRun {
  DWORD exitCode = 0;
  std::string output;
  std::multimap<std::string, int> expected;  // routine -> line, from the LINE records
  std::vector<std::pair<std::string, int>> trace;  // routine, line (0 none), newest first
  std::string traceText;
  unsigned long traceMs = 0;
};

std::string TestDir() {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, sizeof path);
  std::string s = path;
  return s.substr(0, s.find_last_of('\\') + 1);
}

TRun RunScenario(const std::string& variant, const std::string& scenario) {
  TRun run;
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &sa, 0)) return run;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = writeEnd;
  si.hStdError = writeEnd;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION pi{};
  // Built piecewise: GCC 12 warns falsely (-Wrestrict) on chained concatenation.
  std::string cmd(1, '"');
  cmd.append(TestDir()).append("stacktrace_crash_").append(variant).append(".exe\" ").append(scenario);
  const BOOL started = CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
  CloseHandle(writeEnd);
  if (!started) {
    CloseHandle(readEnd);
    return run;
  }
  char buf[4096];
  DWORD got = 0;
  while (ReadFile(readEnd, buf, sizeof buf, &got, nullptr) && got > 0) run.output.append(buf, got);
  CloseHandle(readEnd);
  if (WaitForSingleObject(pi.hProcess, 240000) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 99);
  GetExitCodeProcess(pi.hProcess, &run.exitCode);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  std::istringstream in(run.output);
  std::string line;
  bool inTrace = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (inTrace) {
      if (line == "END") {
        inTrace = false;
        continue;
      }
      run.traceText.append(line).append(1, '\n');
      std::istringstream words(line);
      std::vector<std::string> w;
      for (std::string x; words >> x;) w.push_back(x);
      if (w.empty()) continue;
      int n = 0;
      if (w.size() >= 3) {
        const std::string& lineWord = w[w.size() - 2];
        if (lineWord.find_first_not_of("0123456789") == std::string::npos) n = std::stoi(lineWord);
      }
      run.trace.push_back({w.back(), n});
    } else if (line.rfind("LINE ", 0) == 0) {
      std::istringstream words(line.substr(5));
      std::string name;
      int n = 0;
      words >> name >> n;
      run.expected.insert({name, n});
    } else if (line.rfind("TRACE ", 0) == 0) {
      inTrace = true;
      run.traceMs = std::stoul(line.substr(6));
    }
  }
  return run;
}

// The routines appear in this order (newest first), each at its expected line.
void ExpectChain(const TRun& run, const std::vector<std::string>& routines, const std::string& context) {
  std::size_t at = 0;
  for (const auto& r : routines) {
    bool found = false;
    for (; at < run.trace.size() && !found; ++at) {
      if (run.trace[at].first != r) continue;
      found = true;
      const auto range = run.expected.equal_range(r);
      bool lineOk = false;
      for (auto it = range.first; it != range.second; ++it) lineOk = lineOk || it->second == run.trace[at].second;
      EXPECT_TRUE(lineOk) << context << ": " << r << " at line " << run.trace[at].second << "\n" << run.output;
    }
    EXPECT_TRUE(found) << context << ": " << r << " missing or out of order\n" << run.output;
  }
}

int CountNamed(const TRun& run, const std::string& name) {
  int n = 0;
  for (const auto& t : run.trace) n += t.first == name;
  return n;
}

const char* const kVariants[] = {"O0", "O2", "O2fp"};

TEST(StackTraceCrash, NullWriteListsTheChainWithItsLines) {
  for (const char* v : kVariants) {
    const TRun run = RunScenario(v, "chain");
    EXPECT_EQ(run.exitCode, 3u) << v << "\n" << run.output;
    ExpectChain(run, {"CrashC", "CrashB", "CrashA", "main"}, v);
  }
}

TEST(StackTraceCrash, WindowProcedureKeepsTheMessageLoopFrames) {
  for (const char* v : kVariants) {
    const TRun run = RunScenario(v, "wndproc");
    EXPECT_EQ(run.exitCode, 3u) << v << "\n" << run.output;
    ExpectChain(run, {"CrashInWndProc", "TestWndProc", "MessageLoop", "main"}, v);
  }
}

TEST(StackTraceCrash, SecondThreadShowsItsCreator) {
  for (const char* v : kVariants) {
    const TRun run = RunScenario(v, "thread");
    EXPECT_EQ(run.exitCode, 3u) << v << "\n" << run.output;
    ExpectChain(run, {"WorkerCrash", "WorkerProc", "StartWorker"}, v);
    ASSERT_FALSE(run.trace.empty()) << v;
    EXPECT_EQ(run.trace.back().first, "StartWorker") << v << "\n" << run.output;  // the creation site comes last
    EXPECT_EQ(CountNamed(run, "main"), 0) << v << ": the creator's own stack is not the thread's\n" << run.output;
  }
}

TEST(StackTraceCrash, RecursionCollapsesAndDeepRecursionFinishes) {
  for (const char* v : kVariants) {
    for (const char* scenario : {"recurse50", "recurse3000"}) {
      const TRun run = RunScenario(v, scenario);
      std::string context(v);
      context.append(1, ' ').append(scenario);
      EXPECT_EQ(run.exitCode, 3u) << context << "\n" << run.output;
      ExpectChain(run, {"Recurse", "main"}, context);
      // The fault's call site and one line for all the recursive calls.
      EXPECT_LE(CountNamed(run, "Recurse"), 2) << context << "\n" << run.output;
      EXPECT_GE(CountNamed(run, "Recurse"), 1) << context << "\n" << run.output;
      EXPECT_LT(run.traceMs, 30000u) << context;
    }
  }
}

TEST(StackTraceCrash, StaleReturnAddressesStayOut) {
  for (const char* v : kVariants) {
    const TRun run = RunScenario(v, "stale");
    EXPECT_EQ(run.exitCode, 3u) << v << "\n" << run.output;
    ExpectChain(run, {"StaleCrash", "main"}, v);
    for (const char* gone : {"Leftover1", "Leftover2", "Leftover3"})
      EXPECT_EQ(CountNamed(run, gone), 0) << v << " " << gone << "\n" << run.output;
  }
}

TEST(StackTraceCrash, ThrowCaughtAtTheTopKeepsItsThrowSite) {
  for (const char* v : kVariants) {
    const TRun run = RunScenario(v, "throw");
    EXPECT_EQ(run.exitCode, 0u) << v << "\n" << run.output;
    EXPECT_NE(run.output.find("THROWSTACK "), std::string::npos) << v;
    EXPECT_EQ(run.output.find("THROWSTACK 0 "), std::string::npos) << v << "\n" << run.output;
    ExpectChain(run, {"ThrowB", "ThrowA", "main"}, v);
  }
}

// --- in this process

__attribute__((noinline, noipa)) std::string TraceHere() { return qel::TraceStack(qel::TTraceStackParams{}); }

TEST(StackTraceLive, OwnThreadAndTexts) {
  const std::string trace = TraceHere();
  EXPECT_NE(trace.find("TraceHere"), std::string::npos) << trace;
  EXPECT_NE(trace.find("OwnThreadAndTexts"), std::string::npos) << trace;
  EXPECT_EQ(trace.find("\r\n", trace.size() - 2), std::string::npos);
  // A stack range that cannot be read gives nothing.
  qel::TTraceStackParams p;
  p.stackStart = 0x1000;
  p.stackTop = 0x3000;
  EXPECT_EQ(qel::TraceStack(p), "");
  EXPECT_EQ(qel::AddressToText(0x10), "00000010 ???");
  const std::string own = qel::AddressToText(reinterpret_cast<std::uintptr_t>(&TraceHere));
  EXPECT_NE(own.find("TraceHere"), std::string::npos) << own;
  EXPECT_NE(own.find("qelStackTrace_win_test.cpp"), std::string::npos) << own;
  EXPECT_EQ(qel::InternalErrorText("FillFinalOutput"), ">> internal error in FillFinalOutput");
}

// Two code addresses with known bytes before them: one right behind a call,
// one behind eight nops.
extern "C" char qelPlantAfterCall[], qelPlantAfterNops[];
asm(".text\n"
    "  .p2align 4\n"
    "qelPlantCallee:\n"
    "  ret\n"
    "  call qelPlantCallee\n"
    "_qelPlantAfterCall:\n"
    "  nop; nop; nop; nop; nop; nop; nop; nop\n"
    "_qelPlantAfterNops:\n"
    "  ret\n");

// The scan from a block of planted slots up to the stack top; values gets
// the planted values once the scan is done, so that the caller's frame does
// not hold them meanwhile.
__attribute__((noinline)) qel::TDABcbStackItem ScanPlanted(std::uintptr_t (&values)[4]) {
  volatile std::uint8_t zeros[16] = {};
  volatile std::uintptr_t planted[4] = {reinterpret_cast<std::uintptr_t>(qelPlantAfterCall),
                                        reinterpret_cast<std::uintptr_t>(qelPlantAfterNops), 7,
                                        reinterpret_cast<std::uintptr_t>(&zeros[12])};
  qel::TDABcbStackItem list;
  qel::ScanBcbStack(0, reinterpret_cast<std::uintptr_t>(&planted[0]), list);
  for (int i = 0; i < 4; ++i) values[i] = planted[i];
  return list;
}

TEST(StackTraceLive, ThrowTimeScanRecordsOnlyCallFollowers) {
  struct Planted {
    const char* what;
    bool recorded;
  };
  const Planted planted[4] = {{"an address right behind a call", true},
                              {"a code address behind nops", false},
                              {"7", false},
                              {"a stack address", false}};
  std::uintptr_t values[4] = {};
  const qel::TDABcbStackItem list = ScanPlanted(values);
  for (int i = 0; i < 4; ++i) {
    int found = 0;
    for (const auto& e : list) found += e.address == values[i];
    // A planted value may also stand in a spill slot of the planting frame.
    EXPECT_EQ(found > 0, planted[i].recorded) << planted[i].what << " " << std::hex << values[i];
  }
  for (const auto& e : list) {
    EXPECT_GT(e.address, 7u);
    EXPECT_EQ(e.frame, 0) << std::hex << e.address;  // no frame chain was given
  }
  EXPECT_EQ(qel::BcbStackBlock(list).size(), 4 + 5 * list.size());
}

__attribute__((noinline)) void ThrowObject() { throw std::runtime_error("recorded"); }
__attribute__((noinline)) void ThrowValue() { throw 42; }  // no destructor of its own

// A throw's record is found from any thread while its object lives (also in
// a stored exception), and ends with the object.
TEST(StackTraceLive, ThrowRecordsEndWithTheirObjects) {
  struct Case {
    const char* what;
    void (*thrower)();
  };
  const Case cases[] = {{"an object with a destructor", ThrowObject}, {"a plain value", ThrowValue}};
  for (const Case& c : cases) {
    std::exception_ptr kept;
    const void* object = nullptr;
    std::uintptr_t site = 0;
    std::size_t fromOtherThread = 0;
    try {
      c.thrower();
    } catch (...) {
      kept = std::current_exception();
      std::memcpy(&object, &kept, sizeof object);  // the thrown object's address
      std::thread([&] { fromOtherThread = qel::ThrowTimeStackOf(object, &site).size(); }).join();
    }
    EXPECT_GT(fromOtherThread, 4u) << c.what;
    EXPECT_NE(site, 0u) << c.what;
    EXPECT_FALSE(qel::ThrowTimeStackOf(object).empty()) << c.what << ": the stored exception keeps it";
    kept = nullptr;
    EXPECT_TRUE(qel::ThrowTimeStackOf(object, &site).empty()) << c.what;
    EXPECT_EQ(site, 0u) << c.what;
  }
}

TEST(StackTraceLive, ThrowTimeScanMarksFrameChainSlots) {
  qel::TDABcbStackItem list;
  qel::BcbStackDump(reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)), list);
  bool anyFrame = false;
  for (const auto& e : list) anyFrame = anyFrame || e.frame == 1;
  EXPECT_TRUE(anyFrame);
}

}  // namespace
