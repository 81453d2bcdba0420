// Fuzz target: the analyser, the listing and the image-header bounds over
// arbitrary bytes. The first bytes choose where the run-time routines stand
// and the entry; the reader hands out only the remaining bytes (held in a buffer of exactly their size,
// so ASan sees any read past them). Analysis and listing must terminate,
// never crash, and give records that stay inside the code bounds.
#include "qelDisAsmListing.h"
#include "qelFuncInfo.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

using namespace qel;

constexpr Address kBase = 0x00401000;

class BoundedReader : public MemoryReader {
public:
  BoundedReader(const std::uint8_t* data, std::size_t size)
      : bytes_(std::make_unique<std::uint8_t[]>(size)), size_(size) {
    if (size) std::memcpy(bytes_.get(), data, size);
  }
  bool Read(Address va, void* buf, std::size_t n) const override {
    if (va < kBase || va - kBase > size_ || n > size_ - (va - kBase)) return false;
    std::memcpy(buf, bytes_.get() + (va - kBase), n);
    return true;
  }

private:
  std::unique_ptr<std::uint8_t[]> bytes_;
  std::size_t size_;
};

class OneModule : public Symbolizer {
public:
  explicit OneModule(std::size_t size) : size_(static_cast<std::uint32_t>(size)) {}
  bool ModuleOfAddress(Address va, ModuleInfo& m) const override {
    if (va < kBase || va - kBase >= size_) return false;
    m = {kBase, size_, "C:\\fuzz\\module.exe", true};
    return true;
  }
  std::string ExportNameAt(const ModuleInfo&, Address va) const override {
    return (va - kBase) % 32 == 0 ? "Export" + AddrHex(va, false) : std::string();
  }
  bool CodeBounds(Address entry, Address& first, Address& last) const override {
    if (size_ == 0 || entry < kBase || entry - kBase >= size_) return false;
    first = kBase;
    last = kBase + size_ - 1;
    return true;
  }

private:
  std::uint32_t size_;
};

void FourBytesALine(Address va, std::int32_t& line, Address& rangeStart, Address& rangeEnd) {
  line = static_cast<std::int32_t>((va - kBase) / 4);
  rangeStart = va;
  rangeEnd = va + 4;
}

bool AnyClassName(const MemoryReader& m, Address classRef, std::string& name) {
  std::uint8_t b[4];
  if (!m.Read(classRef, b, 4)) return false;
  name = "E" + AddrHex(classRef, false);
  return true;
}

void Check(bool ok) {
  if (!ok) std::abort();
}

// Handler addresses point into the code (to reach those paths) or nowhere.
Address Choice(std::uint8_t b, std::size_t size) {
  if (b < 0x80 || size == 0) return 0;
  return kBase + static_cast<Address>((b & 0x7F) * 8 % size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8 || size > 4096) return 0;
  const std::uint8_t* config = data;
  data += 8;
  size -= 8;
  const BoundedReader memory(data, size);
  const OneModule symbols(size);

  const RuntimeRoutineAddresses saved = RuntimeRoutines;
  RuntimeRoutines = {Choice(config[0], size), Choice(config[1], size), Choice(config[2], size),
                     Choice(config[3], size), Choice(config[4], size)};
  ExceptionFrameRoutine = Choice(config[5], size);
  const Address entry = kBase + (size ? static_cast<Address>(config[6] % size) : 0);

  FunctionInfo info;
  AnalyseFunctionEx({memory, symbols, nullptr}, entry, &memory, info);
  if (info.valid) {
    Check(!info.codeAreas.empty());
    Check(info.begin >= kBase && info.length >= 1 && info.begin - kBase + info.length <= size);
    for (const CodeArea& a : info.codeAreas) Check(a.start >= kBase && a.end >= a.start && a.end - kBase < size);
    for (const UnknownTarget& u : info.unknownTargets) Check(u.next > u.start);
  } else {
    Check(info.errorNumber == kErrorInvalidCode || info.errorNumber == kErrorNotCommitted);
  }

  // the bytes as the headers of a module image
  Address first = 0, last = 0;
  if (CodeBoundsOfRegion(memory, {kBase, static_cast<std::uint32_t>(size), kBase, size != 0}, first, last))
    Check(first <= last);

  LineProviderHook = (config[7] & 1) ? FourBytesALine : nullptr;
  std::string listing;
  const std::int32_t maxLines = (config[7] >> 1) % 8 == 0 ? 0 : (config[7] >> 1) % 40;
  const Address mark = kBase + static_cast<Address>(config[7] * 3);
  ParseFunction({memory, symbols, nullptr, AnyClassName}, entry, listing, mark, maxLines, (config[7] & 2) != 0, info);
  Check(info.valid || listing.empty());
  LineProviderHook = nullptr;
  RuntimeRoutines = saved;
  ExceptionFrameRoutine = 0;
  return 0;
}
