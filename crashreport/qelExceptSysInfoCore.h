// Texts of the bug report's system values and of its "hardware:" and
// "modules:" sections, and the hardware list's ordering. Portable: the
// collectors that ask the system live in qelExceptSysInfo.cpp.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qel {

// The report's line for a failed section part.
std::string SectionErrorLine(const std::string& step);

// --- duration and figures ----------------------------------------------------
// The two largest non-zero units of days, hours, minutes and seconds, each
// followed by a blank ("1 day 1 hour "); empty for 0 seconds.
std::string UpTimeText(uint64_t seconds);
// Whole seconds as UpTimeText; below one second the milliseconds ("400 milliseconds").
std::string ProgramUpTimeText(uint64_t milliseconds);
// Bytes to megabytes, rounded at half a megabyte, in 64 bits.
uint64_t MegabytesRounded(uint64_t bytes);
// "<free>/<total> MB (free/total)".
std::string PhysicalMemoryText(uint64_t availableBytes, uint64_t totalBytes);
// "07/45 (gdi/user)".
std::string SystemResourcesText(int gdiPercent, int userPercent);
// "1280x1024, 32 bit".
std::string DisplayModeText(int width, int height, int bitsPerPixel);
// The first i of 1..15 whose processor name is empty, else 16.
int CountProcessorsWith(const std::function<std::string(int index)>& processorName);

// --- hardware ----------------------------------------------------------------
struct HardwareDeviceEntry {
  std::string DeviceText;
  std::string DriverKey;  // under the local-machine root; empty: no driver key
};
struct HardwareClassEntry {
  std::string ClassText;
  std::vector<HardwareDeviceEntry> Devices;
};
using THardwareList = std::vector<HardwareClassEntry>;

// Both levels sorted ignoring case; classes merge only when exactly equal,
// devices never (a new one goes in front of equal ones).
void AddHardwareDevice(THardwareList& list, const std::string& classText, const std::string& deviceText,
                       const std::string& driverKey);

// A registry value at a local-machine key path ("" when missing).
using TRegValueReader = std::function<std::string(const std::string& keyPath, const std::string& valueName)>;

// " (driver <version>)" for a device whose driver comes from a provider other
// than the system's maker; empty otherwise.
std::string DriverVersionSuffix(const std::string& driverKey, const TRegValueReader& read);
// Appends the classes and devices to the "hardware:" heading.
void AppendHardwareLines(std::string& text, const THardwareList& list, const TRegValueReader& read);

// True when a device of the NT-family enumeration stays out of the list.
bool IsSkippedDeviceNt(const std::string& className, const std::string& hardwareId);
// True when a 9x class stays out of the list.
bool IsSkippedClass9x(const std::string& className);
// The "Characteristics" value of a driver key marks a hidden device.
bool IsHiddenDeviceCharacteristics(const std::string& rawValue);

// --- modules -----------------------------------------------------------------
struct ModuleListEntry {
  uint64_t Base = 0;
  std::string FileName;
  std::string Directory;  // ends in a backslash
  std::string VersionText;
};
using TModuleList = std::vector<ModuleListEntry>;

// Splits a full file name into directory (with its backslash) and name.
ModuleListEntry ModuleEntryFromPath(uint64_t base, const std::string& fullName);
// The "modules:" section: base in `addressDigits` lower-case hex digits, name
// and version padded to the longest one plus a blank, then the directory.
std::string ModuleReportText(const TModuleList& modules, int addressDigits);

}  // namespace qel
