#include "qelExceptReportCore.h"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>

#include "../../framework/SysUtils.h"
#include "qelTypes.h"

namespace qel {
namespace {

struct ENotOurs {};

TEST(ExceptionObject, NormalisationTable) {
  struct Case {
    std::exception_ptr e;
    const char* className;
    const char* message;
    bool isException;
  };
  const Case cases[] = {
      {nullptr, "Unknown", "Unknown", false},
      {std::make_exception_ptr(zf::EConvertError("'x' is not\r\n a valid integer value")), "EConvertError",
       "'x' is not a valid integer value", true},
      {std::make_exception_ptr(zf::Exception("plain")), "Exception", "plain", true},
      {std::make_exception_ptr(QelException("lib\tfault")), "QelException", "libfault", false},
      {std::make_exception_ptr(std::runtime_error("disk full")), "std::runtime_error", "disk full", false},
      {std::make_exception_ptr(std::out_of_range("")), "std::out_of_range", "Unknown", false},
      {std::make_exception_ptr(ENotOurs{}), "Unknown", "Unknown", false},
  };
  for (const Case& c : cases) {
    const TExceptionObject o = DescribeException(c.e);
    const TExceptionObject* p = o.classChain.empty() ? nullptr : &o;
    SCOPED_TRACE(c.className);
    EXPECT_EQ(ExceptionClassName(p), c.className);
    EXPECT_EQ(ExceptionMessageText(p), c.message);
    EXPECT_EQ(IsClassNamed(p, "Exception"), c.isException);
  }
}

TEST(ExceptionObject, CurrentExceptionGivesDemangledTypeOfAnyClass) {
  try {
    throw ENotOurs{};
  } catch (...) {
    const TExceptionObject o = DescribeCurrentException();
    EXPECT_EQ(ExceptionClassName(&o), "qel::(anonymous namespace)::ENotOurs");
    // Not an Exception: the message is the class name.
    EXPECT_EQ(ExceptionMessageText(&o), ExceptionClassName(&o));
  }
  EXPECT_TRUE(DescribeCurrentException().classChain.empty());
}

TEST(ExceptionObject, HardwareMessagesAndClasses) {
  EXPECT_EQ(HardwareExceptionMessage(0xC0000005u, 0x401234, "Lunsel.exe", 0, 0),
            "Access violation at address $401234 in module 'Lunsel.exe'. Read of address $0");
  EXPECT_EQ(HardwareExceptionMessage(0xC0000005u, 0x7ab0, "", 1, 0xdead),
            "Access violation at address $7ab0. Write of address $dead");
  // A jump into a page without execute rights: the record says 8.
  EXPECT_EQ(HardwareExceptionMessage(0xC0000005u, 0x27c0000, "", 8, 0x27c0000),
            "Access violation at address $27c0000. Execution of address $27c0000");
  EXPECT_EQ(HardwareExceptionMessage(0xC0000094u, 0, "", 0, 0), "Division by zero");
  EXPECT_EQ(HardwareExceptionMessage(0xE0001234u, 0, "", 0, 0), "External exception e0001234");
  const TExceptionObject av = HardwareExceptionObject(0xC0000005u, "m");
  EXPECT_TRUE(IsClassNamed(&av, "EExternal"));
  EXPECT_EQ(ExceptionClassName(&av), "EAccessViolation");
  EXPECT_EQ(ExceptionMessageText(&av), "m");
}

TEST(ReportHeader, LabelsValuesAndGuards) {
  EXPECT_EQ(ReportLabel("date/time"), "date/time          : ");
  EXPECT_EQ(ReportLabel("qelExcept version"), "qelExcept version  : ");
  EXPECT_EQ(ReportMessageValue("x!"), "x.");
  EXPECT_EQ(ReportMessageValue(std::string("done..!\0", 8)), "done.");
  EXPECT_EQ(ReportDateTime(2026, 1, 2, 3, 4, 5, 7), "2026-01-02, 03:04:05, 7ms");
  std::vector<THeaderLine> lines{
      {"computer name", [] { return std::string("PC"); }},
      {"wts client name", [] { return std::string(); }, true},
      {"user name", []() -> std::string { throw std::runtime_error("x"); }},
      {"physical memory", [] { return std::string(); }},
  };
  EXPECT_EQ(ComposeHeaderLines(lines), "computer name      : PC\r\nphysical memory    : ");
}

TEST(ReportHeader, ExceptionLines) {
  struct Case {
    TExceptionObject object;
    bool frozen;
    const char* expect;
  };
  const Case cases[] = {
      {{{"EReadError", "Exception"}, "bad stream!"}, false,
       "exception class    : EReadError\r\nexception message  : bad stream."},
      // message equals class: the class line is the last one
      {{{"ENotOurs"}, ""}, false, "exception class    : ENotOurs"},
      {{{"EReadError", "Exception"}, "x"}, true, "exception message  : the program hangs"},
  };
  for (const Case& c : cases) {
    std::vector<THeaderLine> lines;
    AppendExceptionHeaderLines(lines, c.frozen, &c.object, "the program hangs");
    EXPECT_EQ(ComposeHeaderLines(lines), c.expect);
  }
}

// A process of threads 1 (main), 2, 3 (suspended, priority 2), 4 (context
// unreadable), 9 (the reporter's own).
class FakeSource : public TReportSource {
public:
  std::map<std::string, bool> fail;
  bool linked = true;
  std::vector<std::uint64_t> weights;
  int phases = 0, progressEnds = 0;
  TStackRequest lastRaising;

  void Check(const std::string& what) {
    if (fail[what]) throw std::runtime_error(what);
  }
  std::vector<THeaderLine> HeaderLines() override {
    Check("header");
    std::vector<THeaderLine> lines{{"date/time", [] { return std::string("2026-12-10, 16:00:00, 5ms"); }},
                                   {"process id", [] { return std::string("$1f4"); }}};
    static const TExceptionObject object{{"EReadError", "Exception"}, "bad"};
    AppendExceptionHeaderLines(lines, false, &object, "");
    return lines;
  }
  std::vector<std::uint32_t> Threads() override { return {2, 1, 3, 9, 4}; }
  std::uint32_t MainThreadId() override { return 1; }
  bool IsReporterThread(std::uint32_t id) override { return id == 9; }
  TThreadTitleInfo Title(std::uint32_t id, bool) override {
    Check("title" + std::to_string(id));
    if (id == 1) return {"main thread ($1)"};
    if (id == 3) return {"thread $3", 0x401000, 1};
    return {"thread $" + std::to_string(id)};
  }
  TThreadContextInfo Context(std::uint32_t id) override {
    if (id == 4) return {};
    TThreadContextInfo c{true, 0x1000 * id, 0x1100 * id, 0x400000 + id, 0x2000 * id};
    if (id == 3) c.suspended = true, c.priority = 2;
    return c;
  }
  std::string TraceStack(const TStackRequest& r) override {
    Check("stack" + std::to_string(r.threadId));
    if (r.raisingThread) {
      lastRaising = r;
      if (r.outShownAddress) *r.outShownAddress = r.address + 1;
      if (r.outFunctionStart) *r.outFunctionStart = 0x401100;
    }
    return "0040" + std::to_string(r.threadId) + " a\r\n0040" + std::to_string(r.threadId) + " b";
  }
  std::string AddressText(std::uintptr_t a) override { return "at " + std::to_string(a); }
  std::string InternalErrorText(const std::string& step) override { return ">> internal error in " + step; }
  std::string ModuleReport() override {
    Check("modules");
    return "modules:\r\n00400000 x.exe";
  }
  std::string HardwareList() override { return "hardware:\r\n- cpu"; }
  bool DisAsmLinked() override { return linked; }
  std::string DisAsm(std::uintptr_t start, std::uintptr_t marked) override {
    Check("disasm");
    return "start " + std::to_string(start) + " > " + std::to_string(marked);
  }
  std::uintptr_t HandledExceptionAddress() override { return 0xabc; }
  void BeginProgress(const std::vector<std::uint64_t>& w) override { weights = w; }
  void EndPhase() override { ++phases; }
  void EndProgress() override { ++progressEnds; }
  TTraceProgress tracker;
  TTraceProgress* Progress() override { return &tracker; }
};

const TExceptionObject kReadError{{"EReadError", "Exception"}, "bad"};

TReportException RaisedOn(std::uint32_t thread) {
  TReportException e;
  e.object = &kReadError;
  e.address = 0x401234;
  e.threadId = thread;
  return e;
}

TEST(BugReport, FullReportLayout) {
  FakeSource source;
  TReportOptions options{true, true, true, false};
  TReportException e = RaisedOn(2);
  e.stackPointer = 0x1800;
  const std::string report = ComposeBugReportText(source, options, e);
  EXPECT_EQ(report,
            "date/time          : 2026-12-10, 16:00:00, 5ms\r\n"
            "process id         : $1f4\r\n"
            "exception class    : EReadError\r\n"
            "exception message  : bad.\r\n"
            "\r\n"
            "thread $2:\r\n00402 a\r\n00402 b\r\n"
            "\r\n"
            "main thread ($1):\r\n00401 a\r\n00401 b\r\n"
            "\r\n"
            "thread $3: <suspended> <priority:2>\r\n00403 a\r\n>> created by main thread ($1) at:\r\n00403 b\r\n"
            "\r\n"
            "thread $4:\r\n>> stack not accessible\r\n"
            "\r\n"
            "modules:\r\n00400000 x.exe\r\n"
            "\r\n"
            "hardware:\r\n- cpu\r\n"
            "\r\n"
            "disassembling:\r\nstart 4198656 > 4198965");
  // The recorded stack pointer replaces the context's; the frame pointer is the context's.
  EXPECT_EQ(source.lastRaising.stackPointer, 0x1800u);
  EXPECT_EQ(source.lastRaising.framePointer, 0x2200u);
  EXPECT_FALSE(source.lastRaising.hardwareException);
}

TEST(BugReport, ThreadSelection) {
  struct Case {
    bool all;
    std::uint32_t raising;
    bool frozen;
    std::vector<std::string> titles;
  };
  const Case cases[] = {
      {false, 2, false, {"thread $2:", "main thread ($1):"}},
      {false, 1, false, {"main thread ($1):"}},
      {true, 1, false, {"main thread ($1):", "thread $2:", "thread $3:", "thread $4:"}},
      {true, 2, true, {"main thread ($1):", "thread $2:", "thread $3:", "thread $4:"}},
  };
  for (const Case& c : cases) {
    FakeSource source;
    source.linked = false;
    TReportException e = RaisedOn(c.raising);
    e.frozen = c.frozen;
    const std::string report = ComposeBugReportText(source, {c.all, false, false, false}, e);
    std::vector<std::string> titles;
    for (std::size_t p = 0; (p = report.find("\r\n\r\n", p)) != std::string::npos; p += 4)
      titles.push_back(report.substr(p + 4, report.find_first_of(" \r", report.find(':', p + 4)) - p - 4));
    EXPECT_EQ(titles, c.titles) << c.all << c.raising << c.frozen;
    EXPECT_EQ(report.find("disassembling:"), std::string::npos);
  }
}

TEST(BugReport, InjectedFailuresCostOnlyTheirPart) {
  struct Case {
    const char* fail;
    const char* expect;  // present in the report
  };
  const Case cases[] = {
      {"stack3", "thread $3: <suspended> <priority:2>\r\n>> internal error in GetThreadStack\r\n\r\nthread $4:"},
      {"title1", "\r\n\r\n>> internal error in GetThreadStack"},
      {"disasm", "\r\n\r\ndisassembling:\r\n>> internal error in GetCleartextDisAsm"},
      {"modules", "\r\n\r\nAn exception occurred during composing the bug report. $abc"},
  };
  for (const Case& c : cases) {
    FakeSource source;
    source.fail[c.fail] = true;
    const std::string report = ComposeBugReportText(source, {true, true, true, false}, RaisedOn(2));
    SCOPED_TRACE(c.fail);
    EXPECT_NE(report.find(c.expect), std::string::npos) << report;
    EXPECT_EQ(report.rfind("date/time", 0), 0u);
    // The raising thread's section stands unless its own part failed.
    EXPECT_NE(report.find("thread $2:\r\n00402 a"), std::string::npos);
  }
  FakeSource source;
  source.fail["header"] = true;
  const std::string report = ComposeBugReportText(source, {}, RaisedOn(1));
  EXPECT_EQ(report.rfind("\r\n\r\nmain thread ($1):", 0), 0u);
}

TEST(BugReport, ProgressPhasesEndOnEveryPath) {
  FakeSource source;
  ComposeBugReportText(source, {true, false, false, true}, RaisedOn(2));
  // Threads 2, 1, 3, 9 readable; 4 not: no phase.
  EXPECT_EQ(source.weights, (std::vector<std::uint64_t>{0x2000 * 100, 0x1000 * 100, 0x3000 * 100, 0x9000 * 100}));
  EXPECT_EQ(source.phases, 4);
  EXPECT_EQ(source.progressEnds, 1);
  EXPECT_EQ(source.lastRaising.progress, &source.tracker);
}

}  // namespace
}  // namespace qel
