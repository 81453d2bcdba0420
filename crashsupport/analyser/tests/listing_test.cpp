// Disassembly listing of hand-assembled routines.
#include "Routine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qel {
namespace {

using test::Bytes;
using test::kCode;
using test::PutDword;
using test::Routine;

std::string Join(const std::vector<std::string>& lines) {
  std::string s;
  for (const std::string& l : lines) {
    if (!s.empty()) s += "\r\n";
    s += l;
  }
  return s;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t from = 0;
  for (;;) {
    const std::size_t at = text.find("\r\n", from);
    lines.push_back(text.substr(from, at == std::string::npos ? std::string::npos : at - from));
    if (at == std::string::npos) return lines;
    from = at + 2;
  }
}

std::string List(const Routine& r, Address mark, std::int32_t maxLines, bool withLabels, FunctionInfo* out = nullptr) {
  std::string listing = "stale";
  FunctionInfo info;
  ParseFunction({r.memory, r.symbols, test::FakeErrorText, nullptr}, kCode, listing, mark, maxLines, withLabels, info);
  if (out) *out = info;
  return listing;
}

// push ebp; test eax, eax; jz a; inc eax; jmp b; a: dec eax; b: call 00500000; pop ebp; ret
Bytes Branches() {
  Bytes code = {0x55, 0x85, 0xC0, 0x74, 0x03, 0x40, 0xEB, 0x01, 0x48, 0xE8, 0, 0, 0, 0, 0x5D, 0xC3};
  PutDword(code, 10, 0x00500000 - (kCode + 14));
  return code;
}

Bytes CaseTable() {
  Bytes code = {0x83, 0xF9, 0x01, 0x77, 0x0F, 0xFF, 0x24, 0x8D, 0, 0, 0, 0};  // cmp ecx, 1; ja 14; jmp [0C+ecx*4]
  PutDword(code, 8, kCode + 0x0C);
  PutDword(code, 0x0C, kCode + 0x15);
  PutDword(code, 0x10, kCode + 0x14);
  code.insert(code.end(), {0xC3, 0x40, 0xC3});  // 14 ret; 15 inc eax; ret
  return code;
}

bool ClassNameOf(const MemoryReader&, Address classRef, std::string& name) {
  if (classRef != 0x00480000) return false;
  name = "EConvertError";
  return true;
}

std::string EntryLine(const std::string& label) {
  std::string body = label + ":";
  body.resize(31, ' ');
  return "00401000 " + body + "  ; function entry point";
}

const std::string kSep = " ; ---------------------------------------------------------";

TEST(Listing, LabelsBlanksAndSeparators) {
  const Routine r(Branches());
  EXPECT_EQ(List(r, 0, 0, true), Join({
                                      EntryLine("sub_401000"),
                                      "00401000   push    ebp",
                                      "00401001   test    eax, eax",
                                      "00401003   jz      loc_401008",
                                      "00401003",
                                      "00401005   inc     eax",
                                      "00401006   jmp     loc_401009",
                                      "00401006",
                                      "00401006" + kSep,
                                      "00401006",
                                      "00401008 loc_401008:",
                                      "00401008   dec     eax",
                                      "00401008",
                                      "00401009 loc_401009:",
                                      "00401009   call    +$feff2 ($500000)",
                                      "00401009",
                                      "0040100e   pop     ebp",
                                      "0040100f   ret",
                                  }));
}

TEST(Listing, WithoutLabelsOnlyTheEntryIsLabelledButBranchesStillNameAreas) {
  const Routine r(Branches());
  EXPECT_EQ(List(r, 0, 0, false), Join({
                                       EntryLine("sub_401000"),
                                       "00401000   push    ebp",
                                       "00401001   test    eax, eax",
                                       "00401003   jz      loc_401008",
                                       "00401005   inc     eax",
                                       "00401006   jmp     loc_401009",
                                       "00401008   dec     eax",
                                       "00401009   call    +$feff2 ($500000)",
                                       "0040100e   pop     ebp",
                                       "0040100f   ret",
                                   }));
}

TEST(Listing, NamedEntryAndBranchesBackToIt) {
  Routine r({0x48, 0x75, 0xFD, 0xC3});  // dec eax; jnz entry; ret
  r.symbols.AddModule({kCode, 0x1000, "C:\\app\\main.exe", true});
  r.symbols.AddExport(kCode, "Countdown");
  EXPECT_EQ(List(r, 0, 0, false), Join({
                                      EntryLine("public Countdown"),
                                      "00401000   dec     eax",
                                      "00401001   jnz     public Countdown",
                                      "00401003   ret",
                                  }));
}

TEST(Listing, CaseTable) {
  const Routine r(CaseTable());
  EXPECT_EQ(List(r, 0, 0, true), Join({
                                      EntryLine("sub_401000"),
                                      "00401000   cmp     ecx, 1",
                                      "00401003   ja      loc_401014",
                                      "00401003",
                                      "00401005   jmp     dword ptr [ecx*4+$40100c]",
                                      "00401005",
                                      "00401005" + kSep,
                                      "00401005",
                                      "0040100c   dd loc_401015" + std::string(16, ' ') + "  ; case jump table",
                                      "00401010   dd loc_401014",
                                      "00401014",
                                      "00401014" + kSep,
                                      "00401014",
                                      "00401014 loc_401014:",
                                      "00401014   ret",
                                      "00401014",
                                      "00401014" + kSep,
                                      "00401014",
                                      "00401015 loc_401015:",
                                      "00401015   inc     eax",
                                      "00401016   ret",
                                  }));
}

TEST(Listing, ExceptionTableNamesClassesAndHandlers) {
  constexpr Address kOnExcept = 0x00500000;
  const test::RuntimeRoutinesScope scope({0, kOnExcept, 0, 0, 0});
  Bytes code = {0xE9, 0, 0, 0, 0};
  PutDword(code, 1, kOnExcept - (kCode + 5));
  PutDword(code, 5, 2);
  PutDword(code, 9, 0x00480000);
  PutDword(code, 13, kCode + 0x20);
  PutDword(code, 17, 0);
  PutDword(code, 21, kCode + 0x22);
  code.resize(0x20, 0xCC);
  code.insert(code.end(), {0x40, 0xC3, 0x48, 0xC3});
  const Routine r(code);
  std::string listing;
  FunctionInfo info;
  ParseFunction({r.memory, r.symbols, nullptr, ClassNameOf}, kCode, listing, 0, 0, false, info);
  const auto lines = Lines(listing);
  ASSERT_GE(lines.size(), 4u) << listing;
  EXPECT_EQ(lines[1], "00401000   jmp     +$feffb ($500000)");
  EXPECT_EQ(lines[2], "00401009   on EConvertError do loc_401020");
    // "else" stands where "on", the widest name and "do" stand
  EXPECT_EQ(lines[3], "00401011   else" + std::string(13 + 2 + 1, ' ') + "loc_401022");

  // with labels, the jump into the handler gets a blank line but no separator of its own
  ParseFunction({r.memory, r.symbols, nullptr, ClassNameOf}, kCode, listing, 0, 0, true, info);
  const auto labelled = Lines(listing);
  ASSERT_GE(labelled.size(), 8u) << listing;
  EXPECT_EQ(labelled[2], "00401000");
  EXPECT_EQ(labelled[3], "00401005" + kSep);
  EXPECT_EQ(labelled[4], "00401005");
  EXPECT_EQ(labelled[5], lines[2]);
  EXPECT_EQ(labelled[7], "00401019");  // after the 20-byte table
  EXPECT_EQ(labelled[8], "00401019" + kSep);

  // a class reference that cannot be read
  ParseFunction({r.memory, r.symbols, nullptr, nullptr}, kCode, listing, 0, 0, false, info);
  EXPECT_NE(listing.find("00401009   on EUnknown do loc_401020\r\n00401011   else" + std::string(8 + 2 + 1, ' ') +
                         "loc_401022"),
            std::string::npos)
      << listing;
}

TEST(Listing, OverlappingAreasGiveTheInternalErrorText) {
  // a case entry that points into its own table makes code inside the table
  Bytes code = CaseTable();
  PutDword(code, 0x0C, kCode + 0x10);
  PutDword(code, 0x10, kCode + 0xC3);  // its first byte, C3, is a ret
  code.resize(0xC3, 0xCC);
  code.push_back(0xC3);
  const Routine r(code);
  FunctionInfo info;
  EXPECT_EQ(List(r, 0, 0, true, &info),
            "Internal error in ParseFunction while composing the disassembling string...  :-(");
  EXPECT_TRUE(info.valid);
}

TEST(Listing, MarkedLineKeepsItsAddress) {
  const Routine r(Branches());
  const auto lines = Lines(List(r, kCode + 5, 0, false));
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[4], "00401005 > inc     eax");
  // a mark between instructions marks nothing, and nothing is cut without a window
  const auto between = Lines(List(r, kCode + 4, 0, false));
  for (const auto& l : between) EXPECT_EQ(l.find('>'), std::string::npos) << l;
}

TEST(Listing, EntryOutsideCommittedMemoryGivesAnEmptyListing) {
  Routine r({0xC3});
  r.symbols.committed = false;
  FunctionInfo info;
  EXPECT_EQ(List(r, 0, 0, true, &info), "");
  EXPECT_FALSE(info.valid);
  EXPECT_EQ(info.errorNumber, 87u);
}

// 299 nops and a ret: line n + 2 is the instruction at kCode + n.
Routine LongRoutine() {
  Bytes code(299, 0x90);
  code.push_back(0xC3);
  return Routine(code);
}

TEST(Listing, WindowAroundTheMark) {
  const Routine r = LongRoutine();
  const auto lines = Lines(List(r, kCode + 100, 20, false));
  ASSERT_EQ(lines.size(), 1u + 21 + 20 + 1);
  EXPECT_EQ(lines.front(), "[...]");
  EXPECT_EQ(lines[1].substr(0, 8), AddrHex(kCode + 80, true));
  EXPECT_EQ(lines[21], AddrHex(kCode + 100, true) + " > nop");
  EXPECT_EQ(lines[41].substr(0, 8), AddrHex(kCode + 120, true));
  EXPECT_EQ(lines.back(), "[...]");
}

TEST(Listing, MarkNearTheStartCutsNothingBeforeIt) {
  const Routine r = LongRoutine();
  // the mark on line 24 (20 x 12 / 10): nothing before it goes
  auto lines = Lines(List(r, kCode + 22, 20, false));
  ASSERT_EQ(lines.size(), 24u + 20 + 1);
  EXPECT_EQ(lines[0], EntryLine("sub_401000"));
  EXPECT_EQ(lines[23], AddrHex(kCode + 22, true) + " > nop");
  EXPECT_EQ(lines.back(), "[...]");
  // one line later the window starts
  lines = Lines(List(r, kCode + 23, 20, false));
  EXPECT_EQ(lines.front(), "[...]");
  EXPECT_EQ(lines[21], AddrHex(kCode + 23, true) + " > nop");
}

TEST(Listing, WholeRoutineWithoutAWindowOrWhenTheMarkIsNeverReached) {
  const Routine r = LongRoutine();
  for (const std::int32_t maxLines : {0, -5}) {
    const auto lines = Lines(List(r, kCode + 100, maxLines, false));
    EXPECT_EQ(lines.size(), 301u);
    EXPECT_EQ(lines.back(), AddrHex(kCode + 299, true) + "   ret");
  }
  const auto lines = Lines(List(r, 0x00900000, 20, false));
  EXPECT_EQ(lines.size(), 301u);
  EXPECT_EQ(lines.front(), EntryLine("sub_401000"));
  // the end of the routine inside the window: no trailing mark
  const auto tail = Lines(List(r, kCode + 290, 20, false));
  EXPECT_EQ(tail.front(), "[...]");
  EXPECT_EQ(tail.back(), AddrHex(kCode + 299, true) + "   ret");
}

// Source lines of four bytes each, from line 100 at kCode; the range of the
// answer is kept so that a lookup happens once per line.
int gLineLookups = 0;
void FourBytesALine(Address va, std::int32_t& line, Address& rangeStart, Address& rangeEnd) {
  if (line != 0 && rangeStart <= va && va < rangeEnd) return;
  ++gLineLookups;
  const Address n = (va - kCode) / 4;
  line = static_cast<std::int32_t>(100 + n);
  rangeStart = va;
  rangeEnd = kCode + 4 * (n + 1);
}

class LineHookScope {
public:
  explicit LineHookScope(LineProviderProc p) : saved_(LineProviderHook) { LineProviderHook = p; }
  ~LineHookScope() { LineProviderHook = saved_; }
  LineHookScope(const LineHookScope&) = delete;
  LineHookScope& operator=(const LineHookScope&) = delete;

private:
  LineProviderProc saved_;
};

TEST(Listing, SourceLineNumbers) {
  const LineHookScope hook(FourBytesALine);
  const Routine r(Branches());
  gLineLookups = 0;
  EXPECT_EQ(List(r, kCode + 8, 0, true), Join({
                                             EntryLine("sub_401000"),
                                             "00401000 100   push    ebp",
                                             "00401001       test    eax, eax",
                                             "00401003       jz      loc_401008",
                                             "00401003",
                                             "00401005 101   inc     eax",
                                             "00401006       jmp     loc_401009",
                                             "00401006",
                                             "00401006     ; ---------------------------------------------------------",
                                             "00401006",
                                             "00401008 loc_401008:",
                                             "00401008 102 > dec     eax",
                                             "00401008",
                                             "00401009 loc_401009:",
                                             "00401009       call    +$feff2 ($500000)",
                                             "00401009",
                                             "0040100e 103   pop     ebp",
                                             "0040100f       ret",
                                         }));
  EXPECT_EQ(gLineLookups, 1 + 4);  // the width, then once per source line
}

// The listing reads code in blocks; instructions across block edges and a
// last instruction that ends at the last readable byte must list as they are.
TEST(Listing, CodeAcrossReadBlocksUpToTheEndOfReadableMemory) {
  Bytes code;
  std::vector<std::string> expected = {EntryLine("sub_401000")};
  for (std::uint32_t i = 0; i < 250; ++i) {  // mov eax, imm32; inc ecx: 6 bytes, no block edge in step
    const Address at = kCode + static_cast<Address>(code.size());
    const std::uint32_t imm = 0x10000000u + i * 0x00010203u;
    code.push_back(0xB8);
    PutDword(code, code.size(), imm);
    code.push_back(0x41);
    expected.push_back(AddrHex(at, true) + "   mov     eax, $" + AddrHex(imm, false));
    expected.push_back(AddrHex(at + 5, true) + "   inc     ecx");
  }
  expected.push_back(AddrHex(kCode + static_cast<Address>(code.size()), true) + "   ret");
  code.push_back(0xC3);
  const Routine r(code, static_cast<std::uint32_t>(code.size()));  // nothing readable after the ret
  EXPECT_EQ(List(r, 0, 0, false), Join(expected));
  const auto window = Lines(List(r, kCode + static_cast<Address>(code.size()) - 1, 4, false));
  ASSERT_EQ(window.size(), 6u);
  EXPECT_EQ(window[1], expected[expected.size() - 5]);
  EXPECT_EQ(window[5], AddrHex(kCode + static_cast<Address>(code.size()) - 1, true) + " > ret");
}

// Names of call targets in neighbouring modules, each asked for more than
// once: every line names the module its own target lies in.
TEST(Listing, CallsIntoNeighbouringModulesNameEachTargetsModule) {
  Bytes code;
  const Address targets[] = {0x00600000, 0x00610010, 0x00600000, 0x00700000, 0x00610010};
  for (const Address target : targets) {
    code.push_back(0xE8);
    PutDword(code, code.size(), target - (kCode + static_cast<Address>(code.size()) + 4));
  }
  code.push_back(0xC3);
  Routine r(code);
  r.symbols.AddModule({kCode, 0x1000, "C:\\app\\main.exe", true});
  r.symbols.AddModule({0x00600000, 0x10000, "C:\\sys\\first.dll", false});
  r.symbols.AddModule({0x00610000, 0x10000, "C:\\sys\\second.dll", false});
  r.symbols.AddExport(0x00600000, "Open");
  r.symbols.AddExport(0x00610010, "Close");
  const auto lines = Lines(List(r, 0, 0, false));
  ASSERT_EQ(lines.size(), 7u);
  auto comment = [](const std::string& line) { return line.size() > 40 ? line.substr(40) : std::string(); };
  EXPECT_EQ(comment(lines[1]), "  ; Open (first.dll)");
  EXPECT_EQ(comment(lines[2]), "  ; Close (second.dll)");
  EXPECT_EQ(comment(lines[3]), "  ; Open (first.dll)");
  EXPECT_EQ(comment(lines[4]), "");
  EXPECT_EQ(comment(lines[5]), "  ; Close (second.dll)");
}

}  // namespace
}  // namespace qel
