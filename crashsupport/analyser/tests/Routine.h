// A routine placed in a buffer at a chosen address, with code bounds around
// it, as the analyser and the listing see the running process.
#pragma once

#include "../../disasm/tests/TestMemory.h"
#include "qelDisAsmListing.h"
#include "qelFuncInfo.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qel::test {

using Bytes = std::vector<std::uint8_t>;

constexpr Address kCode = 0x00401000;

inline void PutDword(Bytes& b, std::size_t at, std::uint32_t v) {
  if (b.size() < at + 4) b.resize(at + 4);
  for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

class BoundedSymbols : public FakeSymbols {
public:
  Address first = 0, last = 0;
  bool committed = true;
  bool CodeBounds(Address entry, Address& f, Address& l) const override {
    if (!committed || entry < first || entry > last) return false;
    f = first;
    l = last;
    return true;
  }
};

inline std::string FakeErrorText(std::uint32_t code) { return "system text " + std::to_string(code); }

struct Routine {
  BufferMemory memory;
  BoundedSymbols symbols;

  // The code at kCode; the bounds cover boundsSize bytes from kCode.
  explicit Routine(const Bytes& code, std::uint32_t boundsSize = 0x1000) {
    Bytes image = code;
    image.resize(std::max<std::size_t>(image.size(), boundsSize), 0xCC);
    memory.Place(kCode, image);
    symbols.first = kCode;
    symbols.last = kCode + boundsSize - 1;
  }
  AnalyserEnvironment Env() const { return {memory, symbols, FakeErrorText}; }
  FunctionInfo Analyse(Address entry = kCode, const MemoryReader* checked = nullptr) const {
    FunctionInfo info;
    AnalyseFunctionEx(Env(), entry, checked, info);
    return info;
  }
};

// Sets the run-time routine addresses for one test.
class RuntimeRoutinesScope {
public:
  explicit RuntimeRoutinesScope(const RuntimeRoutineAddresses& a) : saved_(RuntimeRoutines) { RuntimeRoutines = a; }
  ~RuntimeRoutinesScope() { RuntimeRoutines = saved_; }
  RuntimeRoutinesScope(const RuntimeRoutinesScope&) = delete;
  RuntimeRoutinesScope& operator=(const RuntimeRoutinesScope&) = delete;

private:
  RuntimeRoutineAddresses saved_;
};

}  // namespace qel::test
