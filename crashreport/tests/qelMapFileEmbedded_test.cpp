// A program that carries its compressed map as a resource: the map comes from
// inside the module (before any file beside it) and resolves the program's own
// routines and lines as addr2line does (answers from the test's wrapper).
#include <windows.h>

#include <gtest/gtest.h>

#include "MapProbe.h"

using namespace qel;

extern "C" __attribute__((noinline, used)) int MapProbeRoutine(int x) {
  volatile int y = x * 5;
  return y - 1;
}

namespace {

TEST(EmbeddedMap, ResolvesFromTheResource) {
  const auto map = MapFileForAddress(ProbeAddress());
  ASSERT_TRUE(map->Loaded());
  EXPECT_TRUE(TextEquals(map->MapFileName(), OwnFileName())) << "read from " << map->MapFileName();
  EXPECT_NE(map->EntryPoint(), 0u);
  ExpectProbeAsAddr2line();
}

}  // namespace
