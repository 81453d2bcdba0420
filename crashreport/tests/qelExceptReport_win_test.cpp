// The bug reports of crash programs, each started in a process of its own.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ChildRun.h"
#include "qelExceptReport.h"

namespace {

struct CrashRun {
  DWORD exitCode = 0;
  std::string report;
};

using qel::test::ProgramBeside;

CrashRun RunCrash(const char* program, const std::string& mode) {
  const qel::test::ChildRun run = qel::test::RunChildWithFile(ProgramBeside(program), mode, "qelreport_" + mode);
  return {run.exitCode, run.output};
}

std::string HeaderValue(const std::string& report, const std::string& label) {
  std::string key = "\r\n";
  key += label;
  std::size_t at = report.find(key);
  if (at == std::string::npos) return "<missing>";
  at += key.size();
  at = report.find(" : ", at) + 3;
  return report.substr(at, report.find("\r\n", at) - at);
}

bool TracerLinked() { return qel::ReportTracer().traceStack != nullptr; }

TEST(CrashReport, ExceptionClassAndMessageOnEveryPath) {
  struct Case {
    const char* mode;
    const char* className;
    const char* message;
    const char* thrower;  // routine named in the raising thread's section (with the tracer)
  };
  const Case cases[] = {
      {"main", "EReadError", "Stream read error.", "ThrowReadError"},
      {"thread", "std::runtime_error", "worker failed.", "ThrowingWorker"},
      {"wndproc", "EConvertError", "'abc' is not a valid integer value.", "ThrowingWindowProc"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    const CrashRun run = RunCrash("qelexceptreport_crash.exe", c.mode);
    EXPECT_EQ(run.exitCode, 3u);
    ASSERT_FALSE(run.report.empty());
    EXPECT_EQ(HeaderValue(run.report, "exception class"), c.className);
    EXPECT_EQ(HeaderValue(run.report, "exception message"), c.message);
    if (TracerLinked()) {
      const std::size_t section = run.report.find(":\r\n", run.report.find("\r\n\r\n"));
      const std::string raising = run.report.substr(section, run.report.find("\r\n\r\n", section) - section);
      EXPECT_NE(raising.find(c.thrower), std::string::npos) << raising;
    }
  }
}

TEST(CrashReport, AccessViolationNamesModuleAndAddresses) {
  const CrashRun run = RunCrash("qelexceptreport_crash.exe", "av");
  EXPECT_EQ(run.exitCode, 3u);
  EXPECT_EQ(HeaderValue(run.report, "exception class"), "EAccessViolation");
  const std::string message = HeaderValue(run.report, "exception message");
  EXPECT_EQ(message.rfind("Access violation at address $", 0), 0u) << message;
  const std::string tail = " in module 'qelexceptreport_crash.exe'. Read of address $10.";
  EXPECT_EQ(message.size() > tail.size() ? message.substr(message.size() - tail.size()) : message, tail);
}

TEST(CrashReport, FullReport) {
  const CrashRun run = RunCrash("qelexceptreport_crash.exe", "full-av");
  const std::string& r = run.report;
  // Header labels in order.
  const char* labels[] = {"date/time          : ", "computer name      : ", "user name          : ",
                          "operating system   : ", "physical memory    : ", "free disk space    : ",
                          "display mode       : ", "process id         : ", "executable         : ",
                          "qelExcept version  : 2.7f", "exception class    : EAccessViolation",
                          "exception message  : Access violation"};
  std::size_t at = 0;
  for (const char* label : labels) {
    const std::size_t next = r.find(label, at);
    EXPECT_NE(next, std::string::npos) << label << "\n" << r;
    if (next != std::string::npos) at = next;
  }
  EXPECT_EQ(r.rfind("date/time", 0), 0u);
  EXPECT_EQ(HeaderValue(r, "executable"), "qelexceptreport_crash.exe");
  // "$" and lower-case hexadecimal of the crash program's id.
  const std::string pid = HeaderValue(r, "process id");
  EXPECT_EQ(pid.front(), '$');
  EXPECT_EQ(pid.find_first_not_of("0123456789abcdef", 1), std::string::npos) << pid;
  EXPECT_NE(r.find("main thread"), std::string::npos);
  EXPECT_NE(r.find(": <suspended>\r\n"), std::string::npos) << r;
  EXPECT_NE(r.find(" <priority:2>\r\n"), std::string::npos) << r;
  // The listing shows the faulting routine with the fault marked.
  const std::size_t disasm = r.find("\r\n\r\ndisassembling:\r\n");
  ASSERT_NE(disasm, std::string::npos) << r;
  const std::string listing = r.substr(disasm);
  EXPECT_NE(listing.find('>'), std::string::npos) << listing;
  EXPECT_EQ(r.find("\n", 0) - 1, r.find("\r\n"));  // CR LF line ends
  // Kept for reading.
  std::ofstream(ZIVO_ARTIFACTS "\\crashreport_full_report.txt", std::ios::binary) << r;
}

TEST(CrashReport, ListingOnlyWhenLinkedAndThreadsOnlyWhenAsked) {
  const CrashRun plain = RunCrash("qelexceptreport_crash_plain.exe", "main");
  ASSERT_FALSE(plain.report.empty());
  EXPECT_EQ(plain.report.find("disassembling:"), std::string::npos);
  // ListAllThreads off, raised on the main thread: one thread section.
  const std::string threads = plain.report.substr(0, plain.report.find("\r\n\r\nmodules:"));
  std::size_t sections = 0;
  for (std::size_t p = 0; (p = threads.find("\r\n\r\n", p)) != std::string::npos; p += 4) ++sections;
  EXPECT_EQ(sections, 1u) << plain.report;
  EXPECT_EQ(plain.report.find("<suspended>"), std::string::npos);
}

}  // namespace
