#include "qelExceptReportCore.h"

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <typeinfo>

#include "../framework/SysUtils.h"
#include "qelExceptGuard.h"
#include "qelStrings.h"
#include "qelTypes.h"

namespace qel {

namespace {

const char* const kCrLf = "\r\n";

std::string Demangled(const std::type_info* type) {
  if (!type) return {};
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(type->name(), nullptr, nullptr, &status),
                                              std::free);
  return status == 0 && name ? std::string(name.get()) : std::string(type->name());
}

// The chain of our framework's classes above the most derived one is not
// introspectable; its roots are.
TExceptionObject Describe(const std::exception_ptr& e, const std::type_info* type) {
  TExceptionObject object;
  try {
    std::rethrow_exception(e);
  } catch (const zf::Exception& x) {
    object.classChain.push_back(x.ClassName());
    if (object.classChain.front() != "Exception") object.classChain.push_back("Exception");
    object.message = x.Message();
  } catch (const QelException& x) {
    object.classChain.push_back(x.ClassName());
    if (object.classChain.front() != "QelException") object.classChain.push_back("QelException");
    object.message = x.what();
  } catch (const std::exception& x) {
    object.classChain.push_back(Demangled(&typeid(x)));
    if (object.classChain.front() != "std::exception") object.classChain.push_back("std::exception");
    object.message = x.what();
  } catch (...) {
    const std::string name = Demangled(type);
    if (!name.empty()) object.classChain.push_back(name);
  }
  return object;
}

}  // namespace

TExceptionObject DescribeException(const std::exception_ptr& e) {
  if (!e) return {};
  return Describe(e, nullptr);
}

TExceptionObject DescribeCurrentException() {
  const std::type_info* type = abi::__cxa_current_exception_type();
  std::exception_ptr e = std::current_exception();
  if (!e) return {};
  return Describe(e, type);
}

bool IsClassNamed(const TExceptionObject* object, std::string_view name) {
  if (!object) return false;
  for (const std::string& c : object->classChain)
    if (c == name) return true;
  return false;
}

std::string ExceptionClassName(const TExceptionObject* object) {
  if (!object || object->classChain.empty() || object->classChain.front().empty()) return "Unknown";
  return object->classChain.front();
}

std::string ExceptionMessageText(const TExceptionObject* object) {
  std::string text;
  if (IsClassNamed(object, "QelException") || IsClassNamed(object, "Exception") ||
      IsClassNamed(object, "std::exception"))
    text = object->message;
  else if (object && !object->classChain.empty())
    text = object->classChain.front();
  std::string clean;
  clean.reserve(text.size());
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 32) clean += c;
  return clean.empty() ? "Unknown" : clean;
}

std::string HardwareExceptionMessage(std::uint32_t code, std::uintptr_t address, const std::string& moduleName,
                                     std::uint32_t accessKind, std::uintptr_t accessed) {
  // The run-time's own texts: its exception factory makes the same messages.
  return zf::ExternalExceptionMessage(code, address, moduleName, accessKind, accessed);
}

TExceptionObject HardwareExceptionObject(std::uint32_t code, std::string message) {
  TExceptionObject object;
  switch (code) {
    case 0xC0000005u: object.classChain = {"EAccessViolation"}; break;
    case 0xC0000094u: object.classChain = {"EDivByZero", "EIntError"}; break;
    case 0xC0000095u: object.classChain = {"EIntOverflow", "EIntError"}; break;
    case 0xC00000FDu: object.classChain = {"EStackOverflow"}; break;
    default: object.classChain = {"EExternalException"}; break;
  }
  object.classChain.push_back("EExternal");
  object.classChain.push_back("Exception");
  object.message = std::move(message);
  return object;
}

std::string ReportLabel(std::string_view label) {
  std::string text(label);
  if (text.size() < 18) text.append(18 - text.size(), ' ');
  return text + " : ";
}

std::string ReportMessageValue(std::string message) {
  while (!message.empty() && (message.back() == '.' || message.back() == '!' || message.back() == '\0'))
    message.pop_back();
  return message + ".";
}

std::string ReportDateTime(int year, int month, int day, int hour, int minute, int second, int ms) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d, %02d:%02d:%02d, %dms", year, month, day, hour, minute, second, ms);
  return buf;
}

std::string ComposeHeaderLines(const std::vector<THeaderLine>& lines) {
  std::string text;
  for (const THeaderLine& line : lines) {
    std::string value;
    // A line whose value fails is left out.
    if (!RunGuarded([&] { value = line.value ? line.value() : std::string(); })) continue;
    if (value.empty() && line.omitWhenEmpty) continue;
    if (!text.empty()) text += kCrLf;
    text += ReportLabel(line.label) + value;
  }
  return text;
}

void AppendExceptionHeaderLines(std::vector<THeaderLine>& lines, bool frozen, const TExceptionObject* object,
                                const std::string& frozenMessage) {
  if (frozen) {
    lines.push_back({"exception message", [frozenMessage] { return frozenMessage; }});
    return;
  }
  const std::string className = ExceptionClassName(object);
  const std::string message = ExceptionMessageText(object);
  lines.push_back({"exception class", [className] { return className; }});
  if (message != className)
    lines.push_back({"exception message", [message] { return ReportMessageValue(message); }});
}

std::string ThreadTitleLine(const std::string& title, const TThreadContextInfo& context) {
  std::string line = std::string(kCrLf) + kCrLf + title + ":";
  if (context.readable) {
    if (context.suspended) line += " <suspended>";
    if (context.priority != 0) line += " <priority:" + std::to_string(context.priority) + ">";
  }
  return line + kCrLf;
}

std::string InsertCreatorLine(const std::string& body, const std::string& creatorTitle) {
  const std::size_t last = body.rfind(kCrLf);
  if (last == std::string::npos) return body;
  return body.substr(0, last) + "\r\n>> created by " + creatorTitle + " at:" + body.substr(last);
}

std::string GetThreadStack(TReportSource& source, std::uint32_t threadId, const TReportException& e,
                           bool raisingThread, bool forceTitle, std::uintptr_t* outShownAddress,
                           std::uintptr_t* outFunctionStart) {
  std::string titleLine, section;
  bool untitled = false;
  const bool done = RunGuarded([&] {
    const TThreadTitleInfo title = source.Title(threadId, forceTitle);
    if (title.title.empty()) {
      untitled = true;
      return;
    }
    titleLine = ThreadTitleLine(title.title, {});
    std::string body = ">> stack not accessible";
    if (raisingThread) body += ", exception location: " + std::string(kCrLf) + source.AddressText(e.address);
    const TThreadContextInfo context = source.Context(threadId);
    if (!context.readable) {
      section = titleLine + body;
      return;
    }
    titleLine = ThreadTitleLine(title.title, context);
    TStackRequest request;
    request.threadId = threadId;
    request.raisingThread = raisingThread;
    request.stackPointer = context.stackPointer;
    request.framePointer = context.framePointer;
    request.stackTop = context.stackTop;
    request.creationAddress = title.creationAddress;
    request.outShownAddress = outShownAddress;
    request.outFunctionStart = outFunctionStart;
    request.progress = source.Progress();
    if (raisingThread) {
      request.address = e.address;
      request.hardwareException = IsClassNamed(e.object, "EExternal");
      request.throwMachinery = IsClassNamed(e.object, "BcbTermination");
      request.throwTimeStack = e.throwTimeStack;
      if (e.stackPointer) request.stackPointer = e.stackPointer;
      if (e.framePointer) request.framePointer = e.framePointer;
    } else {
      request.address = context.instructionPointer;
    }
    body = source.TraceStack(request);
    if (title.creationAddress) body = InsertCreatorLine(body, source.Title(title.creatorId, true).title);
    section = titleLine + body;
  });
  if (done) return untitled ? std::string() : section;
  // Without a title the section still starts on a line of its own.
  std::string failed = titleLine.empty() ? std::string(kCrLf) + kCrLf : titleLine;
  std::string line;
  if (RunGuarded([&] { line = source.InternalErrorText("GetThreadStack"); })) failed += line;
  return failed;
}

std::string GetThreadReport(TReportSource& source, const TReportOptions& options, const TReportException& e,
                            std::uintptr_t& exceptionAddress, std::uintptr_t& functionStart) {
  std::string result;
  struct ProgressEnd {
    TReportSource* source;
    ~ProgressEnd() {
      if (source) source->EndProgress();
    }
  } progressEnd{nullptr};
  const bool done = RunGuarded([&] {
    const std::uint32_t mainId = source.MainThreadId();
    const std::uint32_t firstId = e.frozen ? mainId : e.threadId;
    std::vector<std::uint32_t> order{firstId};
    if (!e.frozen && mainId != e.threadId) order.push_back(mainId);
    if (options.listAllThreads) {
      for (std::uint32_t id : source.Threads())
        if (id != mainId && (e.frozen || id != e.threadId)) order.push_back(id);
    }
    // One phase per thread whose context can be read.
    std::vector<bool> phase(order.size(), false);
    if (options.progress) {
      std::vector<std::uint64_t> weights;
      for (std::size_t i = 0; i < order.size(); ++i) {
        const TThreadContextInfo c = source.Context(order[i]);
        if (!c.readable) continue;
        phase[i] = true;
        weights.push_back(c.stackTop > c.stackPointer ? (c.stackTop - c.stackPointer) * 100ull : 0);
      }
      source.BeginProgress(weights);
      progressEnd.source = &source;
    }
    for (std::size_t i = 0; i < order.size(); ++i) {
      const std::uint32_t id = order[i];
      const bool raising = i == 0 && !e.frozen;
      if (i > 0 && source.IsReporterThread(id)) {
        if (phase[i]) source.EndPhase();
        continue;
      }
      std::uintptr_t shown = 0, start = 0;
      result += GetThreadStack(source, id, e, raising, raising, raising ? &shown : nullptr,
                               raising ? &start : nullptr);
      if (raising) {
        if (shown) exceptionAddress = shown;
        functionStart = start;
      }
      if (phase[i]) source.EndPhase();
    }
  });
  if (!done) {
    std::string line;
    if (RunGuarded([&] { line = source.InternalErrorText("GetThreadReport"); }))
      result += std::string(kCrLf) + kCrLf + line;
  }
  return result;
}

std::string ComposeBugReportText(TReportSource& source, const TReportOptions& options, const TReportException& e) {
  std::string result;
  const bool done = RunGuarded([&] {
    std::uintptr_t address = e.address, functionStart = 0;
    const std::string threads = GetThreadReport(source, options, e, address, functionStart);
    std::string header;
    // A failure here loses the header; the thread part stands.
    if (!RunGuarded([&] { header = ComposeHeaderLines(source.HeaderLines()); })) header.clear();
    result = header + threads;
    if (options.listModules) result += std::string(kCrLf) + kCrLf + source.ModuleReport();
    if (options.listHardware) result += std::string(kCrLf) + kCrLf + source.HardwareList();
    if (source.DisAsmLinked()) {
      std::string listing;
      if (!RunGuarded([&] { listing = source.DisAsm(functionStart ? functionStart : address, address); })) {
        listing.clear();
        RunGuarded([&] { listing = source.InternalErrorText("GetCleartextDisAsm"); });
      }
      if (!listing.empty()) {
        result += "\r\n\r\ndisassembling:\r\n";
        result += listing;
      }
    }
  });
  if (!done) {
    std::string line = std::string(kCrLf) + kCrLf + kReportComposeFailed;
    RunGuarded([&] {
      if (const std::uintptr_t a = source.HandledExceptionAddress()) {
        line += ' ';
        line += HexStrPadded(static_cast<std::uint32_t>(a), 1, '0');
      }
    });
    result += line;
  }
  return result;
}

}  // namespace qel
