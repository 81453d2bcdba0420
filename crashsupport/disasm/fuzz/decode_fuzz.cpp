// Fuzz target: arbitrary bytes decoded at every offset, with and without a
// register state, and written as text with names and string comments. The
// reader hands out only the given bytes (held in a buffer of exactly their
// size, so ASan sees any read past them); the decoder must never crash, never
// loop, and keep its records consistent.
#include "qelDisAsm.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace qel;

constexpr Address kBase = 0x00401000;

class BoundedReader : public MemoryReader {
public:
  BoundedReader(const std::uint8_t* data, std::size_t size) : bytes_(data, data + size) {}
  bool Read(Address va, void* buf, std::size_t n) const override {
    if (va < kBase || va - kBase > bytes_.size() || n > bytes_.size() - (va - kBase)) return false;
    std::memcpy(buf, bytes_.data() + (va - kBase), n);
    return true;
  }
  std::size_t Size() const { return bytes_.size(); }

private:
  std::vector<std::uint8_t> bytes_;
};

// One module spanning the bytes, with an export at every 64th byte.
class OneModule : public Symbolizer {
public:
  explicit OneModule(std::size_t size) : size_(static_cast<std::uint32_t>(size)) {}
  bool ModuleOfAddress(Address va, ModuleInfo& m) const override {
    if (va < kBase || va - kBase >= size_) return false;
    m = {kBase, size_, "C:\\fuzz\\module.dll", false};
    return true;
  }
  std::string ExportNameAt(const ModuleInfo&, Address va) const override {
    return (va - kBase) % 64 == 0 ? "Export" + AddrHex(va, false) : std::string();
  }
  bool CodeBounds(Address, Address&, Address&) const override { return false; }

private:
  std::uint32_t size_;
};

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 4096) return 0;
  const BoundedReader code(data, size);
  const OneModule module(size);
  NameProviderHook = [](Address va, std::string& name) {
    if (va % 7 == 0) name = "Hooked";
  };
  const Address end = kBase + static_cast<Address>(size);

  RegisterState regs{};
  for (Address va = kBase; va < end; ++va) {
    InstructionRecord rec;
    DecodeDetails d;
    DecodeInstruction(code, va, &regs, true, nullptr, rec, d);
    Check(rec.start == va);
    if (rec.valid) {
      Check(rec.next > rec.start && rec.next <= end);
      Check(rec.targetSize == 0 || rec.targetSize == 1 || rec.targetSize == 2 || rec.targetSize == 4);
      Check(!(rec.isCall && rec.isJump));
      Check(rec.target != rec.next || !(rec.isCall || rec.isJump));
    } else {
      Check(rec.next == 0 || (rec.next >= rec.start && rec.next <= end));
    }

    InstructionRecord plain;
    DecodeInstructionAt(code, va, plain);
    Check(plain.next == rec.next || !plain.valid || !rec.valid);

    std::string text;
    InstructionRecord shown;
    RegisterState textRegs = regs;
    DisassembleInstruction({code, &module}, va, text, &textRegs, shown, true);
    Check(text.size() >= 8 && text.compare(0, 8, AddrHex(va, true)) == 0);
  }
  NameProviderHook = nullptr;
  return 0;
}
