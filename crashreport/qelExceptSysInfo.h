// The bug report's system values and its "hardware:" and "modules:" sections,
// as this system gives them. Windows only; every failing query yields an empty value.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

#include "qelExceptSysInfoCore.h"

namespace qel {

std::string GetSystemLanguageText();
std::string GetSystemUpTimeText();
// `startTime`: the program's start as a FILETIME value (100 ns units since 1601).
std::string GetProgramUpTimeText(uint64_t startTime);
std::string GetProcessorNameText();
int CountProcessors();
std::string GetPhysicalMemoryText();
std::string GetDisplayModeText();
// Free GDI and USER resources (Windows 9x; 0/0 elsewhere).
std::string GetSystemResourcesText();

// Registry keys of one root under a key-path prefix: the machine's keys, or a
// test's copy of them under another root.
struct TRegistryView {
  HKEY Root = HKEY_LOCAL_MACHINE;
  std::string Prefix;
  std::string Read(const std::string& keyPath, const std::string& valueName) const;
};

// Devices through setupapi, loaded at run time (NT family).
void CollectDevicesNt(THardwareList& list, const TRegistryView& machine = {});
// Devices of the 95/98/ME family: `enumRoot` is the dynamic-data key that holds
// "Config Manager\Enum" (HKEY_DYN_DATA there).
void CollectDevices9x(THardwareList& list, HKEY enumRoot, const std::string& enumPrefix,
                      const TRegistryView& machine = {});
void GetHardwareList(std::string& text);

// The file's version as "5.1.2600.0"; empty without one.
std::string FileVersionTextOf(const std::string& fileName);
TModuleList CollectModuleList(bool withVersions);
void GetModuleReport(std::string& text);

}  // namespace qel
