// Stack tracer of the running process: turns one thread's raw stack into the
// list of calls that led to the current point or to an exception, resolved to
// module, unit, routine and line through the modules' maps; the raw stack
// record made at throw time; the one-line address and internal-error texts.
// Windows (i686). Nothing here raises to its caller.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "qelProgress.h"
#include "qelTools.h"
#include "qelStackTraceCore.h"

namespace qel {

// One entry of the throw-time stack record: 5 bytes, packed.
#pragma pack(push, 1)
struct TBcbStackItem {
  std::uint8_t frame;    // 1: read from a slot of the frame-pointer chain
  std::uint32_t address; // the candidate return address
};
#pragma pack(pop)
static_assert(sizeof(TBcbStackItem) == 5);
using TDABcbStackItem = std::vector<TBcbStackItem>;

struct TTraceStackParams {
  bool hideItemsWithoutLineNumber = false;
  bool showRelativeAddresses = false;
  bool showRelativeLines = false;
  // Exception address for the raising thread, else the instruction pointer;
  // 0 for a non-exception trace: the return address of the call to TraceStack.
  std::uintptr_t address = 0;
  bool exception = false;          // address is an exception address
  bool hardwareException = false;  // address is the faulting instruction
  std::uintptr_t stackStart = 0;   // 0: the current stack pointer
  std::uintptr_t stackTop = 0;     // 0: the current thread's stack top
  std::uintptr_t creationAddress = 0;  // where the thread was created, 0 unknown
  std::uintptr_t* outShownAddress = nullptr;
  std::uintptr_t* outFunctionStart = nullptr;
  TTraceProgress* progress = nullptr;
  std::uintptr_t framePointer = 0;
  bool listAllStackCandidates = false;
  bool throwMachinery = false;
  // A dword count followed by that many 5-byte entries; replaces the scan.
  const void* throwTimeStack = nullptr;
};

// The call stack text (CR LF between lines, none after the last); empty when
// the stack range is not readable; the phase's internal-error text when a
// phase fails.
std::string TraceStack(const TTraceStackParams& params);
// The same with the parameters in their classic order.
void TraceStack(bool hideItemsWithoutLineNumber, bool showRelativeAddresses, bool showRelativeLines,
                std::uintptr_t address, bool exception, bool hardwareException, std::uintptr_t stackStart,
                std::uintptr_t stackTop, std::uintptr_t creationAddress, std::uintptr_t* outShownAddress,
                std::uintptr_t* outFunctionStart, TTraceProgress* progress, std::uintptr_t framePointer,
                bool listAllStackCandidates, bool throwMachinery, const void* throwTimeStack, std::string& result);

// The caller's stack pointer, and the stack top of the current thread.
std::uintptr_t CurrentStackPointer();
std::uintptr_t ThreadStackTop();

// Reads of the own process for one trace or scan: every page is read once,
// whole, through SafeReadMemory and the range table (a safe read is a system
// call), and served from the copy afterwards.
class TPageCache : public MemoryReader {
public:
  explicit TPageCache(const TRangeTable* table) : FTable(table) {}
  bool Read(Address va, void* buf, std::size_t n) const override;
  bool ReadAt(std::uintptr_t address, void* buf, std::size_t n) const {
    return address <= 0xFFFFFFFFu && Read(static_cast<Address>(address), buf, n);
  }

private:
  struct TPage {
    bool readable = false;
    std::vector<std::uint8_t> bytes;
  };
  const TPage& PageAt(std::uintptr_t page) const;
  const TRangeTable* FTable;
  mutable std::unordered_map<std::uintptr_t, TPage> FPages;
};

// True when the 8 bytes before value can be read and end in a call instruction.
bool FollowsCallInstruction(std::uintptr_t value, const TRangeTable* table);
bool FollowsCallInstruction(std::uintptr_t value, const TPageCache& memory);

// "xxxxxxxx module unit line routine", or "xxxxxxxx ???".
std::string AddressToText(std::uintptr_t address);
// ">> internal error in " + step, and while an exception is handled ":" CR LF
// and the text of its address.
std::string InternalErrorText(const std::string& step);
// The address of the exception being handled on this thread, 0 when none
// (set by the reporter's handlers and the throw hook).
void SetHandledExceptionAddress(std::uintptr_t address);

// The raw return-address candidates of the calling thread's stack from
// stackStart (0: the current stack pointer) up to the stack top.
void ScanBcbStack(std::uintptr_t framePointer, std::uintptr_t stackStart, TDABcbStackItem& list);
void BcbStackDump(std::uintptr_t framePointer, TDABcbStackItem& list);
// The block TraceStack takes: a dword count, then the entries.
std::vector<std::uint8_t> BcbStackBlock(const TDABcbStackItem& list);
// The throw-time block of a C++ exception object thrown on this thread
// (&the caught object), or empty when none was recorded; throwSite gets the
// call into the throw machinery (the exception address for TraceStack).
std::vector<std::uint8_t> ThrowTimeStackOf(const void* exceptionObject, std::uintptr_t* throwSite = nullptr);

// Unit end: releases the module and function caches.
void qelStackTraceFini();

}  // namespace qel
