// Linking this unit gives the bug report its stack traces: it hands the
// stack tracer's routines to the report.
#include "qelExceptReport.h"
#include "qelStackTrace.h"

namespace qel {
namespace {

std::string TraceForReport(const TStackRequest& r, bool hideItemsWithoutLineNumber, bool showRelativeAddresses,
                           bool showRelativeLines, bool listAllStackCandidates) {
  TTraceStackParams p;
  p.hideItemsWithoutLineNumber = hideItemsWithoutLineNumber;
  p.showRelativeAddresses = showRelativeAddresses;
  p.showRelativeLines = showRelativeLines;
  p.address = r.address;
  p.exception = r.raisingThread;
  p.hardwareException = r.hardwareException;
  p.stackStart = r.stackPointer;
  p.stackTop = r.stackTop;
  p.creationAddress = r.creationAddress;
  p.outShownAddress = r.outShownAddress;
  p.outFunctionStart = r.outFunctionStart;
  p.framePointer = r.framePointer;
  p.listAllStackCandidates = listAllStackCandidates;
  p.throwMachinery = r.throwMachinery;
  p.throwTimeStack = r.throwTimeStack;
  p.progress = r.progress;
  return TraceStack(p);
}

std::vector<std::uint8_t> ThrowTimeStack(const void* object, std::uintptr_t* throwSite) {
  return ThrowTimeStackOf(object, throwSite);
}

const bool kWired = (SetReportTracer({TraceForReport, AddressToText, InternalErrorText, ThrowTimeStack}), true);

}  // namespace
}  // namespace qel
