// Linear sweep over real i686 code from our cross compiler (the code sections
// of mingw's libstdc++ and zlib and of this decoder built for Windows, gathered
// by the build): wherever a reference decoder decodes an instruction, ours must
// decode it with the same length, branch kind and relative target.
#include "Reference.h"
#include "qelDisAsm.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#ifndef QEL_CODE_CORPUS
#error "QEL_CODE_CORPUS names the extracted code sections"
#endif

namespace qel {
namespace {

constexpr Address kBase = 0x10000000;

// The code at kBase. The objects are not relocated, so memory cells of indirect
// branches ([disp32]) lie outside the code: they read as zero.
class CodeImage : public MemoryReader {
public:
  explicit CodeImage(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
  bool Read(Address va, void* buf, std::size_t n) const override {
    if (va >= kBase && va - kBase <= bytes_.size() && n <= bytes_.size() - (va - kBase)) {
      std::memcpy(buf, bytes_.data() + (va - kBase), n);
      return true;
    }
    if (va >= kBase && va - kBase < bytes_.size()) return false;  // runs off the end of the code
    std::memset(buf, 0, n);
    return true;
  }
  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

private:
  std::vector<std::uint8_t> bytes_;
};

std::vector<std::uint8_t> Load(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// Instructions of extensions the decoder does not cover (rdrand and rdseed stand in libstdc++'s random_device).
bool BeyondSse2(const std::uint8_t* p, std::size_t left) {
  static const test::ZydisReference zydis;
  const auto r = zydis.Decode(p, left, kBase);
  switch (r.isaExt) {
  case ZYDIS_ISA_EXT_BASE: case ZYDIS_ISA_EXT_X87: case ZYDIS_ISA_EXT_MMX: case ZYDIS_ISA_EXT_SSE:
  case ZYDIS_ISA_EXT_SSE2: case ZYDIS_ISA_EXT_AMD3DNOW: case ZYDIS_ISA_EXT_CLFSH: case ZYDIS_ISA_EXT_PAUSE:
    return false;
  default:
    return r.valid;
  }
}

struct Tally {
  long compared = 0;
  long allowedCellAtNil = 0;
  long allowedNewerExtension = 0;
  std::map<std::string, long> faults;
  std::vector<std::string> examples;

  void Fault(const std::string& kind, Address va, const std::uint8_t* p, std::size_t left) {
    if (++faults[kind] > 3 || examples.size() >= 60) return;
    std::string hex;
    for (std::size_t i = 0; i < left && i < 10; ++i) hex += AddrHex(p[i], true).substr(6) + " ";
    examples.push_back(kind + " at " + AddrHex(va, true) + ": " + hex);
  }
};

template <typename Ref>
Tally Compare(const CodeImage& image, const Ref& ref) {
  Tally t;
  const auto& bytes = image.Bytes();
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const Address va = kBase + static_cast<Address>(pos);
    const std::uint8_t* p = bytes.data() + pos;
    const std::size_t left = bytes.size() - pos;
    const auto r = ref.Decode(p, left, va);
    if (!r.valid) {
      ++pos;
      continue;
    }
    ++t.compared;
    InstructionRecord ours;
    DecodeDetails d;
    DecodeInstruction(image, va, nullptr, false, nullptr, ours, d);
    const int length = static_cast<int>(ours.next - ours.start);
    const bool callOfNext = r.relative && r.target == va + static_cast<Address>(r.length);
    if (!ours.valid) {
      // call/jmp [0]: the cell address waits for a relocation, and a nil cell is unreadable
      if (d.opcode == 0xFF && d.dispSize == 4 && d.disp == 0 && d.rm < 0 && length == r.length) ++t.allowedCellAtNil;
      else if (BeyondSse2(p, left)) ++t.allowedNewerExtension;
      else t.Fault("invalid", va, p, left);
    } else if (length != r.length) {
      t.Fault("length", va, p, left);
    } else if (!callOfNext && (ours.isCall != r.isCall || ours.isJump != r.isJump)) {
      t.Fault("branch kind", va, p, left);
    } else if (ours.relative && !callOfNext && ours.target != r.target) {
      t.Fault("target", va, p, left);
    }
    pos += static_cast<std::size_t>(r.length);
  }
  return t;
}

void Print(const char* name, const Tally& t) {
  std::printf("%s: %ld instructions compared; allowed: %ld indirect branches through a nil cell, %ld of "
              "extensions beyond SSE2\n",
              name, t.compared, t.allowedCellAtNil, t.allowedNewerExtension);
  for (const auto& [kind, n] : t.faults) std::printf("  %s: %ld\n", kind.c_str(), n);
  for (const auto& e : t.examples) std::printf("  %s\n", e.c_str());
}

class LinearSweep : public ::testing::TestWithParam<const char*> {};

TEST_P(LinearSweep, AgreesWithZydisAndCapstone) {
  const std::string path = std::string(QEL_CODE_CORPUS) + "/" + GetParam();
  CodeImage image(Load(path));
  ASSERT_GT(image.Bytes().size(), 4096u) << path;

  const Tally z = Compare(image, test::ZydisReference());
  Print("Zydis", z);
  EXPECT_GT(z.compared, static_cast<long>(image.Bytes().size() / 8));
  EXPECT_TRUE(z.faults.empty());

  const test::CapstoneReference capstone;
  ASSERT_TRUE(capstone.Ok());
  const Tally c = Compare(image, capstone);
  Print("capstone", c);
  EXPECT_TRUE(c.faults.empty());
}

INSTANTIATE_TEST_SUITE_P(Corpus, LinearSweep, ::testing::Values("libstdcxx.text", "libz.text", "qeldisasm.text"),
                         [](const ::testing::TestParamInfo<const char*>& p) {
                           std::string n = p.param;
                           return n.substr(0, n.find('.'));
                         });

}  // namespace
}  // namespace qel
