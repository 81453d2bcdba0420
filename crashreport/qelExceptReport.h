// The bug report of the running process (Windows, i686): the header's system
// values, the thread sections through the stack tracer, the modules,
// hardware and disassembly sections; the exception being handled worked out
// to object, address and throw-time stack.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qelExceptReportCore.h"

namespace qel {

// What the report takes from the stack tracer. Set by the program wiring
// (qelExceptReportTracer.cpp where the tracer is built); without it a thread
// section holds its address line only.
struct TReportTracer {
  std::string (*traceStack)(const TStackRequest& request, bool hideItemsWithoutLineNumber, bool showRelativeAddresses,
                            bool showRelativeLines, bool listAllStackCandidates) = nullptr;
  std::string (*addressText)(std::uintptr_t address) = nullptr;
  std::string (*internalErrorText)(const std::string& step) = nullptr;
  // The throw-time stack block (dword count, 5-byte items) of a thrown C++
  // object (its address), and the throw site; empty when none was recorded.
  std::vector<std::uint8_t> (*throwTimeStack)(const void* exceptionObject, std::uintptr_t* throwSite) = nullptr;
};
void SetReportTracer(const TReportTracer& tracer);
const TReportTracer& ReportTracer();

// The exception as the report needs it. object: filled from the exception
// being handled when empty; address: the throw site when 0; stack: the
// throw-time block of thrownObject (the C++ object's address), if any.
void NormalizeException(TExceptionObject& object, std::uintptr_t& address, std::vector<std::uint8_t>& stack,
                        const void* thrownObject);

// The report. object may be null (frozen program, plain trace); extra: the
// thrown C++ object's address, for the throw-time stack (or null), looked up
// on the calling thread; throwStack: a throw-time block (dword count, 5-byte
// items) carried from the raising thread, used instead when given.
void ComposeBugReport(bool frozen, const TExceptionObject* object, std::uintptr_t address, std::uint32_t threadId,
                      std::uintptr_t stackPointer, std::uintptr_t framePointer, bool progress, const void* extra,
                      std::string& result, const std::uint8_t* throwStack = nullptr);

// When the reporter was installed (UTC, 100 ns units since 1601); the
// "program up time" line counts from it, from the process's creation while 0.
extern std::uint64_t ProgramStartTime;

// Header line texts.
std::string DiskFreeText(char driveLetter);
std::string TerminalClientName();
std::string OsVersionText();

inline constexpr const char* kQelExceptVersion = "2.7f";

}  // namespace qel
