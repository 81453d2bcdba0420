// Function analyser: follows every path from a routine's entry with the
// instruction decoder and collects the routine's code areas, its case jump
// tables and typed-exception handler tables, the calls and jumps that leave
// it, and the indirect branches it could not resolve.
//
// Like the decoder it reads memory only through a MemoryReader, so it runs on
// the program's own code and on plain buffers alike.
#pragma once

#include "qelDisAsm.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qel {

struct CodeArea {
  Address start = 0;
  Address end = 0;             // last byte; 0 while the area has not been walked
  bool caseTable = false;      // 4-byte entries
  bool exceptionTable = false; // 32-bit count, then count pairs (class reference, handler)
  Address reachedFrom = 0;     // a branch that leads here, 0 for none
  RegisterState registers{};   // known constants at the area's start
};

struct FarCall {
  bool isCall = false;
  Address start = 0;
  Address next = 0;
  Address target = 0;
  bool relative = false;
  Address targetOperandLocation = 0;
  Address targetCellOperandLocation = 0;
};

struct UnknownTarget {
  bool isCall = false;
  Address start = 0;
  Address next = 0;
};

inline constexpr std::uint32_t kErrorNotCommitted = 87;
inline constexpr std::uint32_t kErrorInvalidCode = 0x770001;

struct FunctionInfo {
  bool valid = false;
  Address entry = 0;
  Address begin = 0;
  std::uint32_t length = 0;
  Address errorAddress = 0;
  std::uint32_t errorNumber = 0;
  std::string errorText;
  std::vector<CodeArea> codeAreas;
  std::vector<FarCall> farCalls;
  std::vector<UnknownTarget> unknownTargets;
  bool patchable = false;
  bool complete = false;
  std::int32_t copySize = 0;
};

// Entry points of the run-time library that branch targets are compared
// with. Zero means the run-time has no such routine (none of our programs'
// run-times register exception frames this way); tests and platform set-up
// fill them.
struct RuntimeRoutineAddresses {
  Address anyExceptHandler = 0;   // catch-all frame handler
  Address onExceptHandler = 0;    // typed (on ... do) frame handler
  Address autoExceptHandler = 0;  // automatic/safecall frame handler
  Address finallyHandler = 0;     // finally frame handler
  Address haltRoutine = 0;        // does not return
};
extern RuntimeRoutineAddresses RuntimeRoutines;
// The foreign run-time's exception-frame registration routine, 0 while unknown.
extern Address ExceptionFrameRoutine;

Address AnyExceptHandlerAddr();
Address OnExceptHandlerAddr();
Address AutoExceptHandlerAddr();
Address FinallyHandlerAddr();
Address HaltRoutineAddr();

// What the analysis needs of the running process besides its memory.
struct AnalyserEnvironment {
  const MemoryReader& memory;
  const Symbolizer& symbols;  // CodeBounds fails for an entry outside committed memory
  // The system's text for an error number; UnknownErrorText when not set.
  std::string (*errorText)(std::uint32_t code) = nullptr;
};

// Never throws; the result is in info. rangeChecked, when given, replaces
// env.memory for every read (a reader that honours a readable-range snapshot).
void AnalyseFunctionEx(const AnalyserEnvironment& env, Address entry, const MemoryReader* rangeChecked,
                       FunctionInfo& info);
void AnalyseFunction(const AnalyserEnvironment& env, Address entry, FunctionInfo& info);

// One region as the system's memory query describes it.
struct MemoryRegionInfo {
  Address base = 0;            // the queried region
  std::uint32_t size = 0;
  Address allocationBase = 0;  // start of the allocation that holds it
  bool committed = false;
};

// Inclusive code bounds for an entry in region: the code section of the
// module image at the allocation base, widened over its data, or the region
// itself when the allocation is no image. False for memory not committed.
bool CodeBoundsOfRegion(const MemoryReader& memory, const MemoryRegionInfo& region, Address& first, Address& last);

}  // namespace qel
