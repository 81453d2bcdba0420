// A program that carries its compressed map as a resource: with no map file
// beside it, the map comes from inside the module and resolves the program's
// own routines and lines as addr2line does (answers from the test's wrapper).
#include <windows.h>

#include <gtest/gtest.h>

#include "MapProbe.h"

using namespace qel;

extern "C" __attribute__((noinline, used)) int MapProbeRoutine(int x) {
  volatile int y = x * 5;
  return y - 1;
}

namespace {

// Moves the map file beside the program away for the test's time.
class TMapAside {
public:
  explicit TMapAside(const std::string& map) : FMap(map), FAway(map + ".away") {
    FMoved = MoveFileExA(FMap.c_str(), FAway.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
  }
  ~TMapAside() {
    if (FMoved) MoveFileExA(FAway.c_str(), FMap.c_str(), MOVEFILE_REPLACE_EXISTING);
  }
  TMapAside(const TMapAside&) = delete;
  TMapAside& operator=(const TMapAside&) = delete;
  bool Moved() const { return FMoved; }

private:
  std::string FMap, FAway;
  bool FMoved = false;
};

TEST(EmbeddedMap, ResolvesFromTheResourceAlone) {
  const std::string own = OwnFileName();
  const TMapAside aside(own.substr(0, own.rfind('.')) + ".map");
  ASSERT_TRUE(aside.Moved()) << "the build writes a map beside every program";
  ClearMapFileCache();
  const auto map = MapFileForAddress(ProbeAddress());
  ASSERT_TRUE(map->Loaded());
  EXPECT_TRUE(TextEquals(map->MapFileName(), own)) << "read from " << map->MapFileName();
  EXPECT_NE(map->EntryPoint(), 0u);
  ExpectProbeAsAddr2line();
}

}  // namespace
