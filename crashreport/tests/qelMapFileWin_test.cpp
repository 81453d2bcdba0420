// The maps of the running test program: the map the build wrote beside it,
// found through addresses, cached once, rebuilt after its file's date
// changed, and answering as addr2line does (the expected answers come from
// the test's wrapper, which asks addr2line about MapProbeRoutine).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "qelDisAsm.h"
#include "qelDisAsmListing.h"
#include "MapProbe.h"
#include "Td32Builder.h"
#include "qelMapFile.h"
#include "qelStrings.h"
#include "qelToolsOs.h"

using namespace qel;

// A routine of our own whose unit, name and line the wrapper looked up.
extern "C" __attribute__((noinline, used)) int MapProbeRoutine(int x) {
  volatile int y = x * 7;
  return y + 1;
}

namespace {

std::string OwnMapName() {
  std::string name = OwnFileName();
  return name.substr(0, name.rfind('.')) + ".map";
}

std::string TempFolder() {
  char dir[MAX_PATH];
  GetTempPathA(MAX_PATH, dir);
  const std::string folder = std::string(dir) + "qelmap.test." + std::to_string(GetCurrentProcessId()) + "\\";
  CreateDirectoryA(folder.c_str(), nullptr);
  return folder;
}

void WriteFile(const std::string& name, const std::string& text) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out << text;
}

bool Fits32(MapAddress a) { return a <= 0xFFFFFFFFu; }

TEST(MapFileWin, AddressZeroGivesOurOwnMap) {
  const auto map = MapFileForAddress(0);
  ASSERT_TRUE(map->Loaded()) << "no map beside " << OwnFileName();
  EXPECT_TRUE(TextEquals(map->ModuleFile(), OwnFileName()));
  EXPECT_TRUE(TextEquals(map->MapFileName(), OwnMapName()));
  EXPECT_EQ(map, MapFileForAddress(ProbeAddress()));
  EXPECT_NE(map->Bounds().codeStart, 0u);
  EXPECT_GE(ProbeAddress(), map->Bounds().codeStart);
  EXPECT_LT(ProbeAddress(), map->Bounds().codeEnd);
  EXPECT_GT(map->Publics().size(), 10u);
  EXPECT_GT(map->Lines().size(), 100u);

  std::string module, unit, name;
  MapAddress at = 12345;
  std::int32_t line = 7;
  EXPECT_FALSE(AddressMapInfo(0, module, unit, name, at, line));
  EXPECT_EQ(at, 12345u);  // outputs untouched
  EXPECT_EQ(line, 7);
}

TEST(MapFileWin, FreeAndReservedMemoryIsNotLoaded) {
  void* reserved = VirtualAlloc(nullptr, 65536, MEM_RESERVE, PAGE_NOACCESS);
  ASSERT_NE(reserved, nullptr);
  void* freed = VirtualAlloc(nullptr, 65536, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  ASSERT_NE(freed, nullptr);
  ASSERT_TRUE(VirtualFree(freed, 0, MEM_RELEASE));
  void* heap = std::malloc(64);  // committed, but no module's image
  for (void* p : {reserved, freed, heap}) {
    const auto map = MapFileForAddress(reinterpret_cast<MapAddress>(p));
    EXPECT_FALSE(map->Loaded()) << p;
    EXPECT_FALSE(map->PublicOfAddress(reinterpret_cast<MapAddress>(p)).valid);
    std::string module, unit, name;
    MapAddress at = 0;
    std::int32_t line = 0;
    EXPECT_FALSE(AddressMapInfo(reinterpret_cast<MapAddress>(p), module, unit, name, at, line));
  }
  std::free(heap);
  VirtualFree(reserved, 0, MEM_RELEASE);
}

TEST(MapFileWin, HundredLookupsLeaveOneCacheEntry) {
  ClearMapFileCache();
  const MapAddress base = ProbeAddress();
  for (int i = 0; i < 100; ++i) {
    std::string module, unit, name;
    MapAddress at = 0;
    std::int32_t line = 0;
    ASSERT_TRUE(AddressMapInfo(base + static_cast<MapAddress>(i % 4), module, unit, name, at, line));
  }
  EXPECT_EQ(MapFileCache().Count(), 1u);
}

TEST(MapFileWin, ChangedDateRebuildsTheMapWhileHoldersKeepTheOld) {
  ClearMapFileCache();
  const auto old = MapFileForAddress(0);
  ASSERT_TRUE(old->Loaded());
  const std::size_t publics = old->Publics().size();

  HANDLE file = CreateFileA(OwnMapName().c_str(), FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  FILETIME written;
  ASSERT_TRUE(GetFileTime(file, nullptr, nullptr, &written));
  ULARGE_INTEGER later;
  later.LowPart = written.dwLowDateTime;
  later.HighPart = written.dwHighDateTime;
  later.QuadPart += 4ull * 10000000ull;  // 4 s: two steps of the DOS clock
  FILETIME moved{later.LowPart, later.HighPart};
  ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &moved));

  const auto rebuilt = MapFileForAddress(0);
  const auto again = MapFileForAddress(0);
  SetFileTime(file, nullptr, nullptr, &written);
  CloseHandle(file);

  EXPECT_NE(rebuilt, old);
  EXPECT_EQ(again, rebuilt);
  EXPECT_TRUE(rebuilt->Loaded());
  EXPECT_EQ(MapFileCache().Count(), 1u);
  // The holder's map is whole and still answers.
  EXPECT_EQ(old->Publics().size(), publics);
  EXPECT_EQ(old->PublicOfAddress(ProbeAddress()).name, rebuilt->PublicOfAddress(ProbeAddress()).name);
}

TEST(MapFileWin, RoutineResolvesAsAddr2lineSays) {
  ExpectProbeAsAddr2line();
  const char* name = std::getenv("MAP_PROBE_NAME");
  const char* line = std::getenv("MAP_PROBE_LINE");
  ASSERT_TRUE(name && line);
  std::string module, gotUnit, gotName;
  MapAddress at = 0;
  std::int32_t gotLine = 0;
  // Inside the routine: the same routine, a line at or after its first.
  ASSERT_TRUE(AddressMapInfo(ProbeAddress() + 3, module, gotUnit, gotName, at, gotLine));
  EXPECT_EQ(gotName, name);
  EXPECT_GE(gotLine, std::atoi(line));
}

TEST(MapFileWin, ListingHooks) {
  const MapAddress probe = ProbeAddress();
  ASSERT_TRUE(Fits32(probe)) << "the listing's addresses are 32-bit; the program lies above 4 GB";
  qelMapFileInit();
  EXPECT_EQ(NameProviderHook, &MapProcNameHook);
  EXPECT_EQ(LineProviderHook, &MapLineHook);
  EXPECT_EQ(MapDemangleHook, &DemangleExportName);
  const auto va = static_cast<std::uint32_t>(probe);
  std::string name = "stale";
  MapProcNameHook(va, name);
  EXPECT_EQ(name, "MapProbeRoutine");
  MapProcNameHook(va + 1, name);
  EXPECT_EQ(name, "");

  std::int32_t line = 0;
  std::uint32_t from = 0, to = 0;
  MapLineHook(va, line, from, to);
  EXPECT_GT(line, 0);
  EXPECT_EQ(from, va);
  EXPECT_GT(to, va);
  // Inside the last answer's range the hook does not look again.
  line = -5;
  MapLineHook(va, line, from, to);
  EXPECT_EQ(line, -5);
  // Address 0 is left alone.
  line = 0;
  MapLineHook(0, line, from, to);
  EXPECT_EQ(line, 0);
  qelMapFileFini();
  EXPECT_EQ(MapFileCache().Count(), 0u);
  NameProviderHook = nullptr;
  LineProviderHook = nullptr;
  MapDemangleHook = nullptr;
}

TEST(MapFileWin, MapBesideAModuleFile) {
  const std::string folder = TempFolder();
  const std::string text =
      "Detailed map of segments\r\n\r\n"
      " 0001:00000000 00000100 C=CODE     S=.text    G=(none)   M=Unit1               ACBP=A9\r\n\r\n"
      "  Address         Publics by Value\r\n\r\n 0001:00000010       Unit1.Routine\r\n";
  std::ifstream in(std::string(QEL_MAP_FIXTURES) + "\\sample.qel", std::ios::binary);
  const std::string packed{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  ASSERT_FALSE(packed.empty());
  td32test::Td32Builder builder;
  const std::uint32_t unit = builder.Name("TdsUnit"), routine = builder.Name("TdsRoutine");
  builder.Module(unit, {{1, 0, 0x100}});
  builder.Symbols(true, {td32test::Td32Builder::Proc(0x10, routine)});
  const std::string td32 = builder.Build();
  struct Case {
    std::string module;
    std::vector<std::pair<std::string, std::string>> files;  // written beside the module
    std::string from;                                        // the file read, empty: not loaded
    const char* routine;                                     // at offset 0x10
  } cases[] = {
      {"prog.exe", {{"prog.map", text}, {"prog.qel", packed}}, "prog.map", "Unit1.Routine"},
      {"noext", {{"noext.map", text}}, "noext.map", "Unit1.Routine"},  // the folder's dot is no extension
      {"empty.exe", {{"empty.map", ""}}, "", nullptr},
      {"junk.exe", {{"junk.map", "nothing of a map\r\n"}}, "", nullptr},
      {"packed.exe", {{"packed.qel", packed}}, "packed.qel", "Move"},
      {"both.exe", {{"both.map", "nothing\r\n"}, {"both.qel", packed}}, "both.qel", "Move"},
      {"bad.exe", {{"bad.qel", "QELMAP but not quite"}}, "", nullptr},
      {"tdsprog.exe", {{"tdsprog.tds", td32}}, "tdsprog.exe", "TdsRoutine"},  // TD32 keeps the module's name
      {"direct.tds", {{"direct.tds", td32}}, "direct.tds", "TdsRoutine"},
      {"badsig.exe", {{"badsig.tds", "FB0X" + td32.substr(4)}}, "", nullptr},
      {"missing.exe", {}, "", nullptr},
  };
  for (const Case& c : cases) {
    for (const auto& [name, content] : c.files) WriteFile(folder + name, content);
    const TMapFile map(true, false, 0, folder + c.module);
    EXPECT_EQ(map.Loaded(), !c.from.empty()) << c.module;
    EXPECT_EQ(map.MapFileName(), folder + (c.from.empty() ? c.module : c.from));
    if (c.routine) {
      EXPECT_EQ(map.PublicOfAddress(0x10).name, c.routine) << c.module;
    }
    EXPECT_EQ(map.ModuleFile(), "");  // no PE header at module 0
    for (const auto& file : c.files) DeleteFileA((folder + file.first).c_str());
  }
  RemoveDirectoryA(folder.c_str());
}

TEST(MapFileWin, ProgramFileWithoutTd32FallsThroughToItsMap) {
  const TMapFile map(true, false, 0, OwnFileName());
  EXPECT_TRUE(map.Loaded());
  EXPECT_TRUE(TextEquals(map.MapFileName(), OwnMapName()));
}

TEST(MapFileWin, LoadFileText) {
  const std::string folder = TempFolder();
  std::string text = "kept";
  EXPECT_FALSE(LoadFileText(folder + "absent.txt", text));
  WriteFile(folder + "empty.txt", "");
  EXPECT_FALSE(LoadFileText(folder + "empty.txt", text));
  EXPECT_EQ(text, "kept");
  const std::string content(100000, 'x');
  WriteFile(folder + "full.txt", content);
  EXPECT_TRUE(LoadFileText(folder + "full.txt", text));
  EXPECT_EQ(text, content);
  EXPECT_FALSE(LoadFileText(folder, text));  // a folder
  DeleteFileA((folder + "empty.txt").c_str());
  DeleteFileA((folder + "full.txt").c_str());
  RemoveDirectoryA(folder.c_str());
}

}  // namespace
