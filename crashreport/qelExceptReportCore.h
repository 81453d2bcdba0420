// Bug report composition without the platform: the exception object's class
// and message, the header lines and the thread sections, each under its own
// guard. The Windows side (qelExceptReport) supplies the facts through
// TReportSource; tests supply fakes.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "qelProgress.h"

namespace qel {

// What the reporter knows of an exception object: its class chain (most
// derived first) and, for classes that carry one, the message.
struct TExceptionObject {
  std::vector<std::string> classChain;
  std::string message;
};

// The class chain and message of a C++ exception in flight or stored. Our
// framework's classes give their ClassName(); other classes their demangled
// type name. A pointer-free nil (empty chain) when nothing can be read.
TExceptionObject DescribeException(const std::exception_ptr& e);
// The same for the exception being handled on this thread (from within a
// catch block or a terminate handler); empty chain when there is none.
TExceptionObject DescribeCurrentException();

// True when the class or one of its ancestors has that name; false for nil.
bool IsClassNamed(const TExceptionObject* object, std::string_view name);
// The class name; "Unknown" for nil.
std::string ExceptionClassName(const TExceptionObject* object);
// The message of Exception/QelException objects, else the class name; control
// characters removed; "Unknown" when empty.
std::string ExceptionMessageText(const TExceptionObject* object);

// The message of a hardware exception by its code; for an access violation
// the module name (may be empty), the access kind of the system's record (0
// "Read", 8 "Execution", else "Write") and the accessed address.
std::string HardwareExceptionMessage(std::uint32_t code, std::uintptr_t address, const std::string& moduleName,
                                     std::uint32_t accessKind, std::uintptr_t accessed);
// The hardware exception's object: class chain EAccessViolation/EExternal...
TExceptionObject HardwareExceptionObject(std::uint32_t code, std::string message);

// "label" padded to 18 characters, " : ", value.
std::string ReportLabel(std::string_view label);
// Trailing '.', '!' and NUL removed, "." appended.
std::string ReportMessageValue(std::string message);
// "YYYY-MM-DD, hh:mm:ss, Nms".
std::string ReportDateTime(int year, int month, int day, int hour, int minute, int second, int ms);

// One header line: its value comes from value(); an empty value with
// omitWhenEmpty, or a value() that throws, leaves the line out.
struct THeaderLine {
  std::string label;
  std::function<std::string()> value;
  bool omitWhenEmpty = false;
};
// The lines joined by CR LF (no CR LF after the last).
std::string ComposeHeaderLines(const std::vector<THeaderLine>& lines);

// The last header lines: class and message, or the frozen message.
void AppendExceptionHeaderLines(std::vector<THeaderLine>& lines, bool frozen, const TExceptionObject* object,
                                const std::string& frozenMessage);

struct TThreadContextInfo {
  bool readable = false;
  std::uintptr_t stackPointer = 0;
  std::uintptr_t framePointer = 0;
  std::uintptr_t instructionPointer = 0;
  std::uintptr_t stackTop = 0;
  int priority = 0;
  bool suspended = false;
};

struct TThreadTitleInfo {
  std::string title;  // empty: the thread gets no section
  std::uintptr_t creationAddress = 0;
  std::uint32_t creatorId = 0;
};

struct TStackRequest {
  std::uint32_t threadId = 0;
  std::uintptr_t address = 0;
  bool raisingThread = false;
  bool hardwareException = false;
  bool throwMachinery = false;
  std::uintptr_t stackPointer = 0;
  std::uintptr_t framePointer = 0;
  std::uintptr_t stackTop = 0;
  std::uintptr_t creationAddress = 0;
  const void* throwTimeStack = nullptr;
  std::uintptr_t* outShownAddress = nullptr;
  std::uintptr_t* outFunctionStart = nullptr;
  TTraceProgress* progress = nullptr;
};

// The facts a report is made of. Every member may throw; the composer guards.
class TReportSource {
public:
  virtual ~TReportSource() = default;
  virtual std::vector<THeaderLine> HeaderLines() = 0;
  virtual std::vector<std::uint32_t> Threads() = 0;  // enumeration order
  virtual std::uint32_t MainThreadId() = 0;
  // The watchdog and exception threads: never listed.
  virtual bool IsReporterThread(std::uint32_t id) = 0;
  virtual TThreadTitleInfo Title(std::uint32_t id, bool force) = 0;
  virtual TThreadContextInfo Context(std::uint32_t id) = 0;
  virtual std::string TraceStack(const TStackRequest& request) = 0;
  virtual std::string AddressText(std::uintptr_t address) = 0;
  virtual std::string InternalErrorText(const std::string& step) = 0;
  virtual std::string ModuleReport() = 0;
  virtual std::string HardwareList() = 0;
  virtual bool DisAsmLinked() = 0;
  virtual std::string DisAsm(std::uintptr_t functionStart, std::uintptr_t marked) = 0;
  // The address of the exception being handled while composing, 0 when none.
  virtual std::uintptr_t HandledExceptionAddress() = 0;
  // Progress phases (weight = stack bytes x 100); nothing by default.
  virtual void BeginProgress(const std::vector<std::uint64_t>& /*weights*/) {}
  virtual void EndPhase() {}
  virtual void EndProgress() {}
  virtual TTraceProgress* Progress() { return nullptr; }
};

struct TReportOptions {
  bool listAllThreads = false;
  bool listModules = false;
  bool listHardware = false;
  bool progress = false;
};

struct TReportException {
  bool frozen = false;
  const TExceptionObject* object = nullptr;
  std::uintptr_t address = 0;
  std::uint32_t threadId = 0;
  std::uintptr_t stackPointer = 0;
  std::uintptr_t framePointer = 0;
  const void* throwTimeStack = nullptr;
};

// Inserts " <suspended>" / " <priority:N>" before the title line's final CR LF.
std::string ThreadTitleLine(const std::string& title, const TThreadContextInfo& context);
// Inserts CR LF ">> created by <creator> at:" before the body's last CR LF.
std::string InsertCreatorLine(const std::string& body, const std::string& creatorTitle);

std::string GetThreadStack(TReportSource& source, std::uint32_t threadId, const TReportException& e,
                           bool raisingThread, bool forceTitle, std::uintptr_t* outShownAddress,
                           std::uintptr_t* outFunctionStart);
// The thread sections; outFunctionStart/outAddress from the raising thread.
std::string GetThreadReport(TReportSource& source, const TReportOptions& options, const TReportException& e,
                            std::uintptr_t& exceptionAddress, std::uintptr_t& functionStart);
std::string ComposeBugReportText(TReportSource& source, const TReportOptions& options, const TReportException& e);

inline constexpr const char* kReportComposeFailed = "An exception occurred during composing the bug report.";

}  // namespace qel
