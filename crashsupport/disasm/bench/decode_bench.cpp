// Decoding speed on real code (mingw's libstdc++ code section), side by side in
// one run: our length-only decoding against Zydis without operands, and our
// assembler text against capstone (decode and text) and Zydis with its formatter.
// Items per second are instructions per second.
#include "../tests/Reference.h"
#include "qelDisAsm.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifndef QEL_BENCH_CODE
#error "QEL_BENCH_CODE names the extracted code section"
#endif

namespace {

using namespace qel;

constexpr Address kBase = 0x10000000;

class CodeBuffer : public MemoryReader {
public:
  CodeBuffer() {
    std::ifstream f(QEL_BENCH_CODE, std::ios::binary);
    bytes_.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  bool Read(Address va, void* buf, std::size_t n) const override {
    if (va < kBase || va - kBase > bytes_.size() || n > bytes_.size() - (va - kBase)) return false;
    std::memcpy(buf, bytes_.data() + (va - kBase), n);
    return true;
  }
  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

private:
  std::vector<std::uint8_t> bytes_;
};

const CodeBuffer& Code() {
  static const CodeBuffer code;
  return code;
}

void QelLengthOnly(benchmark::State& state) {
  const auto& code = Code();
  const Address end = kBase + static_cast<Address>(code.Bytes().size());
  std::int64_t instructions = 0;
  for (auto _ : state) {
    InstructionRecord rec;
    for (Address va = kBase; va < end;) {
      DecodeInstructionAt(code, va, rec);
      va = rec.valid ? rec.next : va + 1;
      ++instructions;
    }
    benchmark::DoNotOptimize(rec);
  }
  state.SetItemsProcessed(instructions);
}

void ZydisDecodeOnly(benchmark::State& state) {
  const auto& bytes = Code().Bytes();
  const test::ZydisReference zydis;
  std::int64_t instructions = 0;
  for (auto _ : state) {
    std::size_t length = 0;
    for (std::size_t pos = 0; pos < bytes.size();) {
      const int n = zydis.Length(bytes.data() + pos, bytes.size() - pos);
      pos += n > 0 ? static_cast<std::size_t>(n) : 1;
      length += static_cast<std::size_t>(n);
      ++instructions;
    }
    benchmark::DoNotOptimize(length);
  }
  state.SetItemsProcessed(instructions);
}

void QelText(benchmark::State& state) {
  const auto& code = Code();
  const Address end = kBase + static_cast<Address>(code.Bytes().size());
  std::int64_t instructions = 0;
  std::string text;
  for (auto _ : state) {
    InstructionRecord rec;
    for (Address va = kBase; va < end;) {
      DisassembleInstruction({code, nullptr}, va, text, nullptr, rec, false);
      va = rec.valid ? rec.next : va + 1;
      ++instructions;
    }
    benchmark::DoNotOptimize(text);
  }
  state.SetItemsProcessed(instructions);
}

void CapstoneText(benchmark::State& state) {
  const auto& bytes = Code().Bytes();
  const test::CapstoneReference capstone(false);
  std::int64_t instructions = 0;
  std::string line;
  for (auto _ : state) {
    const std::uint8_t* p = bytes.data();
    std::size_t left = bytes.size();
    std::uint64_t address = kBase;
    while (left > 0) {
      if (capstone.Text(p, left, address, line) == 0) {  // undecodable byte: step over it
        ++p;
        --left;
        ++address;
      }
      ++instructions;
    }
    benchmark::DoNotOptimize(line);
  }
  state.SetItemsProcessed(instructions);
}

void ZydisText(benchmark::State& state) {
  const auto& bytes = Code().Bytes();
  ZydisDecoder decoder;
  ZydisDecoderInit(&decoder, ZYDIS_MACHINE_MODE_LEGACY_32, ZYDIS_STACK_WIDTH_32);
  ZydisFormatter formatter;
  ZydisFormatterInit(&formatter, ZYDIS_FORMATTER_STYLE_INTEL);
  std::int64_t instructions = 0;
  char line[256];
  for (auto _ : state) {
    for (std::size_t pos = 0; pos < bytes.size();) {
      ZydisDecodedInstruction ins;
      ZydisDecodedOperand ops[ZYDIS_MAX_OPERAND_COUNT];
      if (ZYAN_SUCCESS(ZydisDecoderDecodeFull(&decoder, bytes.data() + pos, bytes.size() - pos, &ins, ops))) {
        ZydisFormatterFormatInstruction(&formatter, &ins, ops, ins.operand_count_visible, line, sizeof line,
                                        kBase + pos, nullptr);
        pos += ins.length;
      } else {
        ++pos;
      }
      ++instructions;
    }
    benchmark::DoNotOptimize(line);
  }
  state.SetItemsProcessed(instructions);
}

BENCHMARK(QelLengthOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(ZydisDecodeOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(QelText)->Unit(benchmark::kMillisecond);
BENCHMARK(CapstoneText)->Unit(benchmark::kMillisecond);
BENCHMARK(ZydisText)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
