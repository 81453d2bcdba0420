// Version classifier, version texts, tick arithmetic, demangler and thunk bytes.
#include <gtest/gtest.h>

#include "qelToolsOs.h"

namespace qel {
namespace {

struct OsCase {
  uint32_t platform, major, minor, build;
  const char* csd;
  uint8_t kind;
  uint32_t servicePack;
  const char* name;
};

TEST(OsClassifier, KindsAtEveryBoundary) {
  const OsCase cases[] = {
      {1, 3, 95, 0, "", osNone, 0, "None"},
      {1, 4, 0, 950, "", osWin95, 0, "Windows 95"},
      {1, 4, 0, 1000, "", osWin95, 0, "Windows 95"},
      {1, 4, 0, 1001, "", osWin95OSR2, 0, "Windows 95 OSR-2"},
      {1, 4, 9, 1111, " B", osWin95OSR2, 0, "Windows 95 OSR-2"},  // 9x: no service pack in the name
      {1, 4, 10, 1998, "", osWin98, 0, "Windows 98"},
      {1, 4, 10, 2000, "", osWin98, 0, "Windows 98"},
      {1, 4, 10, 2001, "", osWin98SE, 0, "Windows 98 SE"},
      {1, 4, 10, 2222, " A ", osWin98SE, 0, "Windows 98 SE"},
      {1, 4, 10, 2700, "", osWin98SE, 0, "Windows 98 SE"},
      {1, 4, 10, 2701, "", osWinME, 0, "Windows ME"},
      {1, 4, 10, 3000, "", osWinME, 0, "Windows ME"},
      {1, 4, 11, 0, "", osWinME, 0, "Windows ME"},
      {1, 4, 90, 3000, "", osWinME, 0, "Windows ME"},
      {1, 4, 91, 0, "", osWin9xNew, 0, "Windows 9x New"},
      {1, 5, 0, 0, "", osWin9xNew, 0, "Windows 9x New"},
      {1, 4, 10, 0x040A08AE, "", osWin98SE, 0, "Windows 98 SE"},  // 2222 in the low word
      {2, 3, 51, 1057, "", osWinNT3, 0, "Windows NT 3"},
      {2, 4, 0, 1381, "Service Pack 6", osWinNT4, 6, "Windows NT 4 Service Pack 6"},
      {2, 5, 0, 2195, "Service Pack 4", osWin2000, 4, "Windows 2000 Service Pack 4"},
      {2, 5, 1, 2600, "Service Pack 2", osWinXP, 2, "Windows XP Service Pack 2"},
      {2, 5, 2, 3790, "", osWin2003, 0, "Windows 2003"},
      {2, 5, 3, 0, "", osWinNTNew, 0, "Windows NT New"},
      {2, 6, 1, 7601, "Service Pack 1", osWinNTNew, 1, "Windows NT New Service Pack 1"},
      {2, 10, 0, 19045, "", osWinNTNew, 0, "Windows NT New"},
      {2, 5, 1, 2600, "Service Pack", osWinXP, 0, "Windows XP Service Pack"},  // 12 characters: no number
      {0, 5, 1, 2600, "", osNone, 0, "None"},
      {3, 5, 1, 2600, "Service Pack 2", osNone, 0, "None"},
  };
  for (const OsCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.platform << " " << c.major << "." << c.minor << "." << c.build);
    const TOS os = ClassifyOs(c.platform, c.major, c.minor, c.build, c.csd);
    EXPECT_EQ(os.Kind, c.kind);
    EXPECT_EQ(os.ServicePack, c.servicePack);
    EXPECT_EQ(os.Name, c.name);
    EXPECT_EQ(os.Is9x, c.platform == 1);
    EXPECT_EQ(os.IsNT, c.platform == 2);
    EXPECT_EQ(os.Kind9x, c.platform == 1 ? c.kind : 0);
    EXPECT_EQ(os.KindNT, c.platform == 2 ? c.kind : 0);
    EXPECT_EQ(os.BuildNumber, c.platform == 1 ? (c.build & 0xFFFF) : c.build);
  }
}

TEST(OsClassifier, NamesOfEveryKind) {
  const char* names[] = {"None",          "Windows 95",     "Windows 95 OSR-2", "Windows 98",   "Windows 98 SE",
                         "Windows ME",    "Windows 9x New", "Windows NT 3",     "Windows NT 4", "Windows 2000",
                         "Windows XP",    "Windows 2003",   "Windows NT New"};
  for (uint8_t k = 0; k < 13; ++k) EXPECT_STREQ(OsKindName(k), names[k]);
  EXPECT_STREQ(OsKindName(13), "None");
}

TEST(OsFacts, VersionTextAndTicks) {
  EXPECT_EQ(FileVersionText(0x0005000108000000ull), "5.1.2048.0");
  EXPECT_EQ(FileVersionText(0xFFFF000000010002ull), "65535.0.1.2");
  EXPECT_EQ(FileVersionText(0), "0.0.0.0");
  EXPECT_EQ(TicksBetween(0xFFFFFFFFu, 1), 2u);
  EXPECT_EQ(TicksBetween(100, 350), 250u);
}

struct DemangleCase {
  const char* in;
  bool result;
  const char* unit;
  const char* name;
};

TEST(Demangler, OtherCompilerOwnCompilerAndPlainNames) {
  const DemangleCase cases[] = {
      {"@System@Move$qqrpxvpvi", true, "System", "Move"},
      {"@Classes@TList@$bctr$qqrv", true, "Classes", "TList.Create"},
      {"@Classes@TList@$bdtr$qqrv", true, "Classes", "TList.Destroy"},
      {"@Classes@TList@Add$qqrpv", true, "Classes", "TList.Add"},
      {"@Forms@Application", true, "Forms", "Application"},                 // data: no "$"
      {"@Move$qqrv", true, "", "Move"},                                    // no unit
      {"@$xp$13Classes", true, "", "$xp"},                                 // the scan starts at the 3rd character
      {"@Unit@@Hidden$qqrv", true, "Unit", "@Hidden"},                     // a leading "." becomes the at sign
      {"@Sys@$", true, "", "Sys.Create"},                                  // unit not longer than itself + 2
      {"@%Set$t13Font$iuc$0$iuc$7%@$bctr$qqrv", true, "", "Set.Create"},   // template part
      {"@%Pair$ii%@First$qqrv", true, "", "Pair.First"},
      {"@%Pair$ii%@$bdtr$qqrv", true, "", "Pair.Destroy"},
      {"@%Odd%", true, "", "@%Odd%"},                                      // "%" without the at sign: no tail
      {"@_$DCAA$@Classes@TList@Add$qqrpv", true, "Classes", "TList.Add"},   // prefixed name
      {"@Unit@Routine$", true, "Unit", "Routine"},                         // "$" at the very end
      {"@Unit@Routine$q", true, "Unit", "Routine"},
      {"@Unit@$q", true, "", "Unit.Create"},
      {"@  ", true, "", "@"},
      {"@Unit@Name@ ", true, "Unit", "Name.?"},
      {"Std::Thing", false, "", "Std.Thing"},
      {"GetTickCount", false, "", "GetTickCount"},
      {"", false, "", ""},
      // our own compiler's exports
      {"_ZN5qtest6SampleEi", true, "", "qtest.Sample(int)"},
      {"__ZN5qtest6SampleEi", true, "", "qtest.Sample(int)"},
      {"_ZNK2zf7TObject9ClassNameEv", true, "", "zf.TObject.ClassName() const"},
      {"_Zbogus", false, "", "_Zbogus"},
      {"Callback@12", true, "", "Callback"},
      {"@Fast@8", true, "", "Fast"},
      {"Name@", false, "", "Name@"},
      {"Mail@Host", false, "", "Mail@Host"},
  };
  for (const DemangleCase& c : cases) {
    SCOPED_TRACE(c.in);
    std::string name = c.in, unit = "stale";
    EXPECT_EQ(DemangleExportName(name, unit), c.result);
    EXPECT_EQ(unit, c.unit);
    EXPECT_EQ(name, c.name);
  }
}

TEST(MethodThunk, BytesCallCodeWithTheObjectFirst) {
  const TMethodThunkBytes b = MethodThunkBytes(0x11223344, 0xA0B0C0D0, 0x00400000);
  const TMethodThunkBytes expected = {0x58, 0x68, 0x44, 0x33, 0x22, 0x11, 0x50, 0xFF, 0x25,
                                      0x0D, 0x00, 0x40, 0x00, 0xD0, 0xC0, 0xB0, 0xA0};
  EXPECT_EQ(b, expected);
}

}  // namespace
}  // namespace qel
