// PE header and export-table reader on small images in both layouts and both
// header forms, and on malformed images (ASan sees every stray read).
#include <gtest/gtest.h>

#include "qelToolsPe.h"
#include "qelToolsPeImage.h"

namespace qel {
namespace {

using testimage::BuildImage;
using testimage::Put16;
using testimage::Put32;

struct Layout {
  bool pe32plus, fileLayout;
};

class PeExports : public testing::TestWithParam<Layout> {
protected:
  void SetUp() override {
    image = BuildImage(GetParam().pe32plus, GetParam().fileLayout);
    view = TPeView{image.data(), image.size(), GetParam().fileLayout};
    ASSERT_TRUE(PeReadHeaders(view, headers));
    ASSERT_TRUE(PeReadExports(view, headers, exports));
  }
  std::vector<uint8_t> image;
  TPeView view;
  TPeHeaders headers;
  TPeExports exports;
};

TEST_P(PeExports, HeadersAndDirectory) {
  EXPECT_EQ(headers.Pe32Plus, GetParam().pe32plus);
  EXPECT_EQ(headers.NumberOfSections, 2);
  EXPECT_EQ(headers.SizeOfImage, testimage::kSizeOfImage);
  EXPECT_EQ(headers.NumberOfDirectories, 16u);
  EXPECT_EQ(exports.Base, 5u);
  EXPECT_EQ(exports.NumberOfFunctions, 5u);
  EXPECT_EQ(exports.NumberOfNames, 3u);
  uint32_t rva = 0, size = 0;
  EXPECT_FALSE(PeDirectory(view, headers, 1, rva, size));   // imports: address 0
  EXPECT_FALSE(PeDirectory(view, headers, 16, rva, size));  // beyond the table
}

TEST_P(PeExports, ByNameAndByOrdinal) {
  const TPeExport alpha = PeExportByName(view, headers, exports, "Alpha");
  EXPECT_EQ(alpha.kind, TPeExport::Code);
  EXPECT_EQ(alpha.Rva, 0x1010u);
  EXPECT_EQ(PeExportByName(view, headers, exports, "alpha").kind, TPeExport::None);  // case counts
  EXPECT_EQ(PeExportByName(view, headers, exports, "Alph").kind, TPeExport::None);
  const TPeExport fwd = PeExportByName(view, headers, exports, "Fwd");
  EXPECT_EQ(fwd.kind, TPeExport::Forwarder);
  EXPECT_EQ(fwd.Forward, "OTHER.Beta");
  EXPECT_EQ(PeExportByName(view, headers, exports, "FwdOrd").Forward, "OTHER.#3");

  struct { uint32_t ordinal; TPeExport::Kind kind; uint32_t rva; } cases[] = {
      {4, TPeExport::None, 0},       {5, TPeExport::Code, 0x1010}, {6, TPeExport::None, 0},
      {7, TPeExport::Code, 0x1020},  {8, TPeExport::Forwarder, 0}, {10, TPeExport::None, 0},
      {0xFFFFFFFF, TPeExport::None, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ordinal);
    const TPeExport e = PeExportByOrdinal(view, headers, exports, c.ordinal);
    EXPECT_EQ(e.kind, c.kind);
    if (c.kind == TPeExport::Code) {
      EXPECT_EQ(e.Rva, c.rva);
    }
  }
}

TEST_P(PeExports, NamesOfAddresses) {
  EXPECT_EQ(PeExportNameOfRva(view, headers, exports, 0x1010), "Alpha");
  EXPECT_EQ(PeExportNameOfRva(view, headers, exports, 0x1020), "#7");
  EXPECT_EQ(PeExportNameOfRva(view, headers, exports, 0x1030), "");
  EXPECT_EQ(PeExportNameOfRva(view, headers, exports, 0), "");  // the empty entry is no export
}

INSTANTIATE_TEST_SUITE_P(Layouts, PeExports,
                         testing::Values(Layout{false, false}, Layout{false, true}, Layout{true, false},
                                         Layout{true, true}));

TEST(PeReader, RvaToFileOffset) {
  const std::vector<uint8_t> image = BuildImage(false, true);
  const TPeView view{image.data(), image.size(), true};
  TPeHeaders headers;
  ASSERT_TRUE(PeReadHeaders(view, headers));
  EXPECT_EQ(PeRvaToFileOffset(view, headers, 0x1005), 0x405u);
  EXPECT_EQ(PeRvaToFileOffset(view, headers, 0x1FFF), 0x13FFu);  // up to the next section's start
  EXPECT_EQ(PeRvaToFileOffset(view, headers, 0x2010), 0x610u);
  EXPECT_EQ(PeRvaToFileOffset(view, headers, 0x5000), 0x3600u);  // the last section reaches on
  EXPECT_EQ(PeRvaToFileOffset(view, headers, 0x10), 0x10u);      // headers: in no section
  EXPECT_EQ(PeAt(view, headers, 0x5000, 1), nullptr);           // but not inside the file
}

TEST(PeReader, ForwarderTexts) {
  struct { const char* text; bool ok; const char* module; const char* routine; bool byOrdinal; uint32_t ordinal; } cases[] = {
      {"OTHER.Beta", true, "OTHER", "Beta", false, 0},
      {"NTDLL.#17", true, "NTDLL", "#17", true, 17},
      {"A.B.C", true, "A", "B.C", false, 0},
      {".x.y", true, ".x", "y", false, 0},  // the dot is looked for from the second character on
      {".x", false, "", "", false, 0},
      {"NODOT", false, "", "", false, 0},
      {"X.", false, "", "", false, 0},
      {"X.#", false, "", "", false, 0},
      {"X.#1a", false, "", "", false, 0},
      {"X.#65536", false, "", "", false, 0},
      {"X.#65535", true, "X", "#65535", true, 65535},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    TPeForward f;
    EXPECT_EQ(PeSplitForwarder(c.text, f), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(f.Module, c.module);
    EXPECT_EQ(f.Routine, c.routine);
    EXPECT_EQ(f.ByOrdinal, c.byOrdinal);
    EXPECT_EQ(f.Ordinal, c.ordinal);
  }
}

// Every lookup on the image, for the malformed-image cases.
void LookEverywhere(const std::vector<uint8_t>& image, bool fileLayout) {
  const TPeView view{image.data(), image.size(), fileLayout};
  TPeHeaders headers;
  TPeExports exports;
  if (!PeReadHeaders(view, headers)) return;
  PeRvaToFileOffset(view, headers, 0x2010);
  if (!PeReadExports(view, headers, exports)) return;
  for (const char* name : {"Alpha", "Fwd", "FwdOrd", "Nope"}) PeExportByName(view, headers, exports, name);
  for (uint32_t ordinal = 0; ordinal < 12; ++ordinal) PeExportByOrdinal(view, headers, exports, ordinal);
  PeExportNameOfRva(view, headers, exports, 0x1020);
  PeExportNameOfRva(view, headers, exports, 0x1010);
}

TEST(PeReader, EveryTruncationIsSafe) {
  constexpr size_t kHeadersEnd = testimage::kNtOffset + 24 + 224;  // PE32 optional header
  for (bool fileLayout : {false, true}) {
    const std::vector<uint8_t> full = BuildImage(false, fileLayout);
    const size_t directoryEnd = (fileLayout ? 0x600 : testimage::kExportRva) + 40;
    for (size_t n = 0; n <= full.size(); n += (n < 0x200 ? 1 : 7)) {
      SCOPED_TRACE(n);
      std::vector<uint8_t> cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
      cut.shrink_to_fit();
      const TPeView view{cut.data(), cut.size(), fileLayout};
      TPeHeaders headers;
      TPeExports exports;
      ASSERT_EQ(PeReadHeaders(view, headers), n >= kHeadersEnd);
      if (n >= kHeadersEnd) {
        ASSERT_EQ(PeReadExports(view, headers, exports), n >= directoryEnd);
      }
      LookEverywhere(cut, fileLayout);
    }
  }
}

TEST(PeReader, MalformedHeadersAndTables) {
  using testimage::Offsets;
  struct Case {
    const char* what;
    void (*spoil)(std::vector<uint8_t>& b, const Offsets& o);
    bool headers;       // PeReadHeaders still succeeds
    int exportsFound;   // PeReadExports still succeeds (-1: either, depends on the layout)
    uint32_t functions, names;  // what the reader keeps of the tables (entries inside the buffer)
  };
  const Case cases[] = {
      {"no MZ", [](auto& b, auto&) { b[0] = 'X'; }, false, 0, 0, 0},
      {"e_lfanew far out", [](auto& b, auto&) { Put32(b, 60, 0xFFFFFFF0u); }, false, 0, 0, 0},
      {"e_lfanew at the end", [](auto& b, auto&) { Put32(b, 60, static_cast<uint32_t>(b.size() - 2)); }, false, 0, 0, 0},
      {"no PE signature", [](auto& b, auto&) { b[testimage::kNtOffset + 2] = 1; }, false, 0, 0, 0},
      {"unknown magic", [](auto& b, auto& o) { Put16(b, o.optional, 0x107); }, false, 0, 0, 0},
      {"optional header too short", [](auto& b, auto&) { Put16(b, testimage::kNtOffset + 20, 90); }, false, 0, 0, 0},
      {"optional header beyond", [](auto& b, auto&) { Put16(b, testimage::kNtOffset + 20, 0xFFFF); }, false, 0, 0, 0},
      {"no directories", [](auto& b, auto& o) { Put32(b, o.optional + 92, 0); }, true, 0, 0, 0},
      {"directory count huge", [](auto& b, auto& o) { Put32(b, o.optional + 92, 0xFFFFFFFF); }, true, 1, 5, 3},
      {"export directory far out", [](auto& b, auto& o) { Put32(b, o.optional + 96, 0x7FFFFFF0); }, true, 0, 0, 0},
      {"sections beyond the buffer", [](auto& b, auto&) { Put16(b, testimage::kNtOffset + 6, 0xFFFF); }, true, -1, 5, 3},
      {"function count huge", [](auto& b, auto& o) { Put32(b, o.directory + 20, 0xFFFFFFFF); }, true, 1, 112, 3},
      {"function count wrapping", [](auto& b, auto& o) { Put32(b, o.directory + 20, 0x40000001); }, true, 1, 112, 3},
      {"function table far out", [](auto& b, auto& o) { Put32(b, o.directory + 28, 0xFFFFFFF0u); }, true, 1, 0, 3},
      {"name count huge", [](auto& b, auto& o) { Put32(b, o.directory + 24, 0x40000000); }, true, 1, 5, 104},
      {"name beyond", [](auto& b, auto& o) { Put32(b, o.names, 0xFFFFFFFF); }, true, 1, 5, 3},
      {"name index beyond the functions", [](auto& b, auto& o) { Put16(b, o.ordinals, 0xFFFF); }, true, 1, 5, 3},
      {"name without its zero", [](auto& b, auto& o) {
         Put32(b, o.names, 0x21FC);  // last four bytes of .edata, filled
         for (size_t i = b.size() - 4; i < b.size(); ++i) b[i] = 'Z';
         (void)o;
       }, true, 1, 5, 3},
      {"forwarder without its zero", [](auto& b, auto& o) { Put32(b, o.functions + 12, 0x21FC); for (size_t i = b.size() - 4; i < b.size(); ++i) b[i] = 'Z'; }, true, 1, 5, 3},
  };
  for (bool fileLayout : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << c.what << (fileLayout ? " (file)" : " (memory)"));
      Offsets o{};
      std::vector<uint8_t> image = BuildImage(false, fileLayout, &o);
      // In memory layout the last bytes of .edata are not the buffer's end: make them so.
      if (!fileLayout) image.resize(0x2200);
      c.spoil(image, o);
      image.shrink_to_fit();
      const TPeView view{image.data(), image.size(), fileLayout};
      TPeHeaders headers;
      TPeExports exports;
      ASSERT_EQ(PeReadHeaders(view, headers), c.headers);
      if (!c.headers) continue;
      const bool found = PeReadExports(view, headers, exports);
      if (c.exportsFound >= 0) {
        ASSERT_EQ(found, c.exportsFound == 1);
      }
      LookEverywhere(image, fileLayout);
      if (c.exportsFound != 1) continue;
      EXPECT_EQ(exports.NumberOfFunctions, c.functions);
      EXPECT_EQ(exports.NumberOfNames, c.names);
    }
  }
}

TEST(PeReader, SpoiledEntriesGiveNothing) {
  testimage::Offsets o{};
  std::vector<uint8_t> image = BuildImage(false, false, &o);
  Put16(image, o.ordinals, 0xFFFF);          // "Alpha" points past the address table
  Put32(image, o.functions + 12, 0x21FC);    // "Fwd": forwarder text that runs off the image
  image.resize(0x2200);
  for (size_t i = 0x21FC; i < 0x2200; ++i) image[i] = 'Z';
  const TPeView view{image.data(), image.size(), false};
  TPeHeaders headers;
  TPeExports exports;
  ASSERT_TRUE(PeReadHeaders(view, headers));
  ASSERT_TRUE(PeReadExports(view, headers, exports));
  EXPECT_EQ(PeExportByName(view, headers, exports, "Alpha").kind, TPeExport::None);
  EXPECT_EQ(PeExportByName(view, headers, exports, "Fwd").kind, TPeExport::None);
  EXPECT_EQ(PeExportByName(view, headers, exports, "FwdOrd").kind, TPeExport::Forwarder);
  EXPECT_EQ(PeExportNameOfRva(view, headers, exports, 0x1010), "#5");  // no name refers to it any more
}

}  // namespace
}  // namespace qel
