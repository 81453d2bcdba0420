// Time to list a routine of the own process as the bug report does (20 lines
// around the faulting instruction, no labels) and whole with labels: the
// median of 10 runs each, with the number of reads and symbol lookups that
// reached the process. The routines are this program's main and the listing
// routine itself, listed with the reader and symbolizer of the own process.
// An i686 program for the lane: scripts/wine32.sh build/win32/tests/qelanalyser_listing_lanebench.exe
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "qelDisAsmListing.h"
#include "qelTools.h"

namespace {

using namespace qel;

class CountingReader : public MemoryReader {
public:
  explicit CountingReader(const MemoryReader& inner) : inner_(inner) {}
  bool Read(Address va, void* buf, std::size_t n) const override {
    ++reads;
    return inner_.Read(va, buf, n);
  }
  mutable unsigned reads = 0;

private:
  const MemoryReader& inner_;
};

class CountingSymbolizer : public Symbolizer {
public:
  explicit CountingSymbolizer(const Symbolizer& inner) : inner_(inner) {}
  bool ModuleOfAddress(Address va, ModuleInfo& module) const override {
    ++lookups;
    return inner_.ModuleOfAddress(va, module);
  }
  std::string ExportNameAt(const ModuleInfo& module, Address va) const override {
    ++lookups;
    return inner_.ExportNameAt(module, va);
  }
  bool CodeBounds(Address entry, Address& first, Address& last) const override {
    ++lookups;
    return inner_.CodeBounds(entry, first, last);
  }
  mutable unsigned lookups = 0;

private:
  const Symbolizer& inner_;
};

__attribute__((noinline)) Address ReturnAddress() {
  return static_cast<Address>(reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)));
}

struct Figures {
  double medianMs = 0, minMs = 0, maxMs = 0;
  std::size_t size = 0;
  unsigned reads = 0;
  unsigned lookups = 0;
};

Figures Measure(Address entry, Address mark, std::int32_t maxLines, bool withLabels) {
  const TOwnProcessReader process;
  const TOwnProcessSymbolizer symbols;
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  std::vector<double> ms;
  Figures f;
  for (int run = 0; run < 10; ++run) {
    std::string listing;
    FunctionInfo info;
    LARGE_INTEGER t0, t1;
    QueryPerformanceCounter(&t0);
    ParseFunction({process, symbols}, entry, listing, mark, maxLines, withLabels, info);
    QueryPerformanceCounter(&t1);
    f.size = listing.size();
    ms.push_back(1000.0 * static_cast<double>(t1.QuadPart - t0.QuadPart) / static_cast<double>(frequency.QuadPart));
  }
  std::sort(ms.begin(), ms.end());
  f.medianMs = (ms[4] + ms[5]) / 2;
  f.minMs = ms.front();
  f.maxMs = ms.back();
  const CountingReader counting(process);
  const CountingSymbolizer countingSymbols(symbols);
  std::string listing;
  FunctionInfo info;
  ParseFunction({counting, countingSymbols}, entry, listing, mark, maxLines, withLabels, info);
  f.reads = counting.reads;
  f.lookups = countingSymbols.lookups;
  return f;
}

void Print(const char* what, const Figures& f) {
  std::printf("%s: median %.2f ms (min %.2f, max %.2f) over 10 runs, %u bytes, %u reads, %u symbol lookups\n", what,
              f.medianMs, f.minMs, f.maxMs, static_cast<unsigned>(f.size), f.reads, f.lookups);
}

// The start of the instruction count instructions after entry.
Address InstructionAfter(Address entry, int count) {
  const TOwnProcessReader process;
  Address va = entry;
  for (int i = 0; i < count; ++i) {
    InstructionRecord rec;
    DecodeInstructionAt(process, va, rec);
    if (!rec.valid) break;
    va = rec.next;
  }
  return va;
}

}  // namespace

int main() {
  const Address entry = static_cast<Address>(reinterpret_cast<std::uintptr_t>(&main));
  const Address mark = ReturnAddress();
  Print("listing of main, 20 lines around the mark", Measure(entry, mark, 20, false));
  Print("listing of main, whole, with labels", Measure(entry, 0, 0, true));
  const Address big = static_cast<Address>(reinterpret_cast<std::uintptr_t>(&ParseFunction));
  Print("listing of ParseFunction, 20 lines around its 150th instruction",
        Measure(big, InstructionAfter(big, 150), 20, false));
  Print("listing of ParseFunction, whole, with labels", Measure(big, 0, 0, true));
  return 0;
}
