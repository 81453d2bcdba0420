// Assembler listing of one routine for the bug report: the analysed code
// areas in address order with labels, case tables and exception-handler
// tables, the exception address marked, optionally cut to a window of lines
// around it.
#pragma once

#include "qelDisAsm.h"
#include "qelFuncInfo.h"

#include <cstdint>
#include <string>

namespace qel {

// Source line of an address (0 or less when unknown). The hook may keep the
// range [rangeStart, rangeEnd) of its last answer in the caller's variables and
// answer from it while the address stays inside. Set by the map-file reader.
using LineProviderProc = void (*)(Address va, std::int32_t& line, Address& rangeStart, Address& rangeEnd);
extern LineProviderProc LineProviderHook;

struct ListingEnvironment {
  const MemoryReader& memory;
  const Symbolizer& symbols;
  std::string (*errorText)(std::uint32_t code) = nullptr;
  // Run-time class name of the class that an exception-table entry refers to;
  // false when it cannot be read (the listing then says "EUnknown").
  bool (*className)(const MemoryReader& memory, Address classRef, std::string& name) = nullptr;
};

// maxLines 0 or less lists the whole routine; above 0, a window of lines
// around mark. When info is not valid the listing is empty and info tells why.
void ParseFunction(const ListingEnvironment& env, Address code, std::string& listing, Address mark,
                   std::int32_t maxLines, bool withLabels, FunctionInfo& info);

}  // namespace qel
