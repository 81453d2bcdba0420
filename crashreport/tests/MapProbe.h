// The routine MapProbeRoutine of a test program, and what the test's wrapper
// (scripts/map-probe.sh) learnt from addr2line about it: its unit, name and
// line in the environment.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "qelMapFile.h"
#include "qelStrings.h"

extern "C" int MapProbeRoutine(int x);

inline qel::MapAddress ProbeAddress() {
  int (*volatile probe)(int) = MapProbeRoutine;
  return reinterpret_cast<qel::MapAddress>(probe);
}

inline std::string OwnFileName() {
  char name[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, name, MAX_PATH);
  return std::string(name, n);
}

// The map answers for the probe routine's first byte as addr2line does.
inline void ExpectProbeAsAddr2line() {
  const char* unit = std::getenv("MAP_PROBE_UNIT");
  const char* name = std::getenv("MAP_PROBE_NAME");
  const char* line = std::getenv("MAP_PROBE_LINE");
  ASSERT_TRUE(unit && name && line) << "run through scripts/map-probe.sh, which asks addr2line";
  std::string module, gotUnit, gotName;
  qel::MapAddress at = 0;
  std::int32_t gotLine = 0;
  ASSERT_TRUE(qel::AddressMapInfo(ProbeAddress(), module, gotUnit, gotName, at, gotLine));
  EXPECT_TRUE(qel::TextEquals(module, OwnFileName()));
  EXPECT_EQ(gotUnit, unit);
  EXPECT_EQ(gotName, name);
  EXPECT_EQ(gotLine, std::atoi(line));
  EXPECT_EQ(at, ProbeAddress());
}
