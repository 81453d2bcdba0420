// Analysis of real i686 code from our cross compiler: a program built at test
// build time from fixtures/routines.cpp, its sections placed at their
// addresses, the code bounds taken from its own PE headers.
#include "../../disasm/tests/TestMemory.h"
#include "qelDisAsmListing.h"
#include "qelFuncInfo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace qel {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

class Image : public Symbolizer {
public:
  Image() {
    const std::string dir = QEL_COMPILED_DIR;
    std::ifstream manifest(dir + "/manifest");
    std::string kind;
    while (manifest >> kind) {
      if (kind == "imagebase") {
        std::string hex;
        manifest >> hex;
        base = static_cast<Address>(std::stoul(hex, nullptr, 16));
      } else if (kind == "section") {
        std::string name, va, size;
        manifest >> name >> va >> size;
        const Address at = static_cast<Address>(std::stoul(va, nullptr, 16));
        memory.Place(at, ReadFile(dir + "/section." + name));
        if (name == "text") {
          text = at;
          textSize = static_cast<std::uint32_t>(std::stoul(size, nullptr, 16));
        }
      } else if (kind == "symbol") {
        std::string va, name;
        manifest >> va >> name;
        if (!name.empty() && name[0] == '_') symbols[name] = static_cast<Address>(std::stoul(va, nullptr, 16));
        starts.push_back(static_cast<Address>(std::stoul(va, nullptr, 16)));
      }
    }
    memory.Place(base, ReadFile(dir + "/headers"));
    std::sort(starts.begin(), starts.end());
  }

  bool ModuleOfAddress(Address va, ModuleInfo& m) const override {
    if (va < base || va - base >= 0x100000) return false;
    m = {base, 0x100000, "C:\\zivo\\routines.exe", true};
    return true;
  }
  std::string ExportNameAt(const ModuleInfo&, Address) const override { return {}; }
  bool CodeBounds(Address entry, Address& first, Address& last) const override {
    if (entry < text || entry - text >= textSize) return false;
    return CodeBoundsOfRegion(memory, {text, textSize, base, true}, first, last);
  }

  Address Symbol(const std::string& name) const {
    const auto it = symbols.find(name);
    return it == symbols.end() ? 0 : it->second;
  }
  // The next symbol after va: where the compiler's routine ends at the latest.
  Address NextStart(Address va) const { return *std::upper_bound(starts.begin(), starts.end(), va); }

  test::BufferMemory memory;
  Address base = 0, text = 0;
  std::uint32_t textSize = 0;
  std::map<std::string, Address> symbols;
  std::vector<Address> starts;
};

const Image& TheImage() {
  static const Image image;
  return image;
}

// Alignment fill between blocks: nops and register moves onto themselves.
bool IsPadding(const InstructionRecord& rec, const DecodeDetails& d) {
  if (rec.opcode == 0x90 || rec.opcode == 0x0F1F || rec.opcode == 0xCC) return true;
  if (rec.opcode == 0x8D) return d.modIsMemory && d.reg == d.rm && d.disp == 0 && d.index < 0;
  if (rec.opcode == 0x89 || rec.opcode == 0x8B) return !d.modIsMemory && d.reg == d.rm;
  return false;
}

bool Covered(const FunctionInfo& info, Address start, Address next) {
  return std::any_of(info.codeAreas.begin(), info.codeAreas.end(), [&](const CodeArea& a) {
    return !a.caseTable && !a.exceptionTable && a.start <= start && next - 1 <= a.end;
  });
}

// Instructions of the routine (linear, up to the next symbol) that are real code but outside every area.
std::vector<Address> Uncovered(const Image& image, Address entry, const FunctionInfo& info) {
  std::vector<Address> missing;
  const Address end = image.NextStart(entry);
  for (Address va = entry; va < end;) {
    InstructionRecord rec;
    DecodeDetails d;
    DecodeInstruction(image.memory, va, nullptr, false, nullptr, rec, d);
    if (!rec.valid || rec.next <= va) {
      missing.push_back(va);
      break;
    }
    if (!IsPadding(rec, d) && !Covered(info, va, rec.next)) missing.push_back(va);
    va = rec.next;
  }
  return missing;
}

FunctionInfo Analyse(const Image& image, Address entry) {
  FunctionInfo info;
  AnalyseFunction({image.memory, image, nullptr}, entry, info);
  return info;
}

bool HasFarCall(const FunctionInfo& info, Address target) {
  return std::any_of(info.farCalls.begin(), info.farCalls.end(),
                     [target](const FarCall& f) { return f.isCall && f.target == target; });
}

TEST(CompiledCode, ImageIsThere) {
  const Image& image = TheImage();
  ASSERT_NE(image.Symbol("_qa_switch"), 0u);
  ASSERT_NE(image.Symbol("_qa_helper"), 0u);
  Address first = 0, last = 0;
  ASSERT_TRUE(image.CodeBounds(image.Symbol("_qa_switch"), first, last));
  EXPECT_EQ(first, image.text);
  EXPECT_GE(last, image.text + image.textSize - 1);  // widened over the data
}

TEST(CompiledCode, SwitchThroughATableInDataIsFoundWhole) {
  const Image& image = TheImage();
  const Address entry = image.Symbol("_qa_switch");
  const FunctionInfo info = Analyse(image, entry);
  ASSERT_TRUE(info.valid) << info.errorText << " at " << AddrHex(info.errorAddress, true);
  EXPECT_EQ(info.begin, entry);
  EXPECT_EQ(Uncovered(image, entry, info), std::vector<Address>{});
  // the table lies in .rdata: the indirect jmp stays unknown, its cases come from the gap search
  ASSERT_EQ(info.unknownTargets.size(), 1u);
  EXPECT_FALSE(info.unknownTargets[0].isCall);
  EXPECT_TRUE(HasFarCall(info, image.Symbol("_qa_helper")));
  EXPECT_TRUE(std::any_of(info.farCalls.begin(), info.farCalls.end(), [&](const FarCall& f) {
    return f.targetCellOperandLocation != 0 && !f.relative;  // GetTickCount through its import cell
  }));
  EXPECT_TRUE(info.patchable);

  std::string listing;
  FunctionInfo again;
  ParseFunction({image.memory, image, nullptr, nullptr}, entry, listing, 0, 0, true, again);
  ASSERT_TRUE(again.valid);
  EXPECT_EQ(listing.find("Internal error"), std::string::npos);
  EXPECT_EQ(listing.rfind("0042", 0), 0u);
  EXPECT_NE(listing.find("  ; function entry point"), std::string::npos);
}

TEST(CompiledCode, CallsInALoop) {
  const Image& image = TheImage();
  const Address entry = image.Symbol("_qa_calls");
  const FunctionInfo info = Analyse(image, entry);
  ASSERT_TRUE(info.valid) << info.errorText << " at " << AddrHex(info.errorAddress, true);
  EXPECT_EQ(Uncovered(image, entry, info), std::vector<Address>{});
  EXPECT_TRUE(info.unknownTargets.empty());
  EXPECT_TRUE(HasFarCall(info, image.Symbol("_qa_helper")));
  const auto cells = std::count_if(info.farCalls.begin(), info.farCalls.end(),
                                   [](const FarCall& f) { return f.targetCellOperandLocation != 0; });
  EXPECT_EQ(cells, 2);  // Sleep and GetTickCount
  EXPECT_EQ(info.copySize, static_cast<std::int32_t>(info.length + 4 + 4 * cells));
}

TEST(CompiledCode, CatchBlocksReachedOnlyByTheUnwinderLieOutside) {
  // DWARF-2 unwinding enters the landing pads from the run-time's tables, not
  // by a branch: the analysis covers the code that branches (and the fall
  // through after the throw call) reach, and misses a landing pad that
  // nothing else leads to.
  const Image& image = TheImage();
  const Address entry = image.Symbol("_qa_catch");
  const FunctionInfo info = Analyse(image, entry);
  ASSERT_TRUE(info.valid) << info.errorText;
  const auto missing = Uncovered(image, entry, info);
  EXPECT_FALSE(missing.empty());
  Address firstReturn = entry;
  for (InstructionRecord rec; rec.opcode != 0xC3; firstReturn = rec.next) {
    DecodeInstructionAt(image.memory, firstReturn, rec);
    ASSERT_TRUE(rec.valid);
  }
  for (const Address va : missing) EXPECT_GT(va, firstReturn) << AddrHex(va, true);
}

TEST(CompiledCode, EveryRoutineOfTheProgramAnalysesAndLists) {
  const Image& image = TheImage();
  int routines = 0, valid = 0, whole = 0;
  std::vector<std::string> invalid;
  for (const auto& [name, va] : image.symbols) {
    if (va < image.text || va - image.text >= image.textSize) continue;
    // the constructor and destructor lists are data that the linker puts in .text
    if (name.find("TOR_LIST__") != std::string::npos) continue;
    ++routines;
    const FunctionInfo info = Analyse(image, va);
    if (!info.valid) {
      invalid.push_back(name + " at " + AddrHex(info.errorAddress, true));
      continue;
    }
    ++valid;
    if (Uncovered(image, va, info).empty()) ++whole;
    std::string listing;
    FunctionInfo again;
    ParseFunction({image.memory, image, nullptr, nullptr}, va, listing, va, 20, true, again);
    EXPECT_EQ(listing.find("Internal error"), std::string::npos) << name;
  }
  std::ostringstream report;
  for (const auto& s : invalid) report << s << "\n";
  std::printf("%d routines, %d analysed, %d with all their code found\n", routines, valid, whole);
  EXPECT_GT(routines, 500);
  EXPECT_TRUE(invalid.empty()) << report.str();
}

}  // namespace
}  // namespace qel
