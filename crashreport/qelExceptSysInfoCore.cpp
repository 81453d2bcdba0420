// Portable texts of the system values and the hardware and module sections.
#include "qelExceptSysInfoCore.h"

#include <algorithm>

#include "qelStrings.h"

namespace qel {

namespace {

const char kLineEnd[] = "\r\n";

// "1 unit ", "n units ", nothing for 0.
void AppendUnit(std::string& text, uint64_t value, const char* unit) {
  if (value == 0) return;
  text += DecStr64(static_cast<int64_t>(value));
  text += ' ';
  text += unit;
  if (value != 1) text += 's';
  text += ' ';
}

}  // namespace

std::string SectionErrorLine(const std::string& step) { return ">> internal error in " + step; }

std::string UpTimeText(uint64_t seconds) {
  uint64_t first = seconds / 86400;
  uint64_t second = (seconds / 3600) % 24;
  const char* firstUnit = "day";
  const char* secondUnit = "hour";
  if (first == 0) {
    first = second;
    second = (seconds / 60) % 60;
    firstUnit = "hour";
    secondUnit = "minute";
    if (first == 0) {
      first = second;
      second = seconds % 60;
      firstUnit = "minute";
      secondUnit = "second";
    }
  }
  std::string text;
  AppendUnit(text, first, firstUnit);
  AppendUnit(text, second, secondUnit);
  return text;
}

std::string ProgramUpTimeText(uint64_t milliseconds) {
  std::string text = UpTimeText(milliseconds / 1000);
  if (text.empty()) text = DecStr64(static_cast<int64_t>(milliseconds)) + " milliseconds";
  return text;
}

uint64_t MegabytesRounded(uint64_t bytes) {
  // Halves above the 64-bit range cannot occur for memory sizes; saturate anyway.
  return bytes > UINT64_MAX - 524288 ? (UINT64_MAX >> 20) : (bytes + 524288) >> 20;
}

std::string PhysicalMemoryText(uint64_t availableBytes, uint64_t totalBytes) {
  return DecStr64(static_cast<int64_t>(MegabytesRounded(availableBytes))) + "/" +
         DecStr64(static_cast<int64_t>(MegabytesRounded(totalBytes))) + " MB (free/total)";
}

std::string SystemResourcesText(int gdiPercent, int userPercent) {
  return DecStrPadded(gdiPercent, 2, '0') + "/" + DecStrPadded(userPercent, 2, '0') + " (gdi/user)";
}

std::string DisplayModeText(int width, int height, int bitsPerPixel) {
  return DecStr(width) + "x" + DecStr(height) + ", " + DecStr(bitsPerPixel) + " bit";
}

int CountProcessorsWith(const std::function<std::string(int index)>& processorName) {
  for (int i = 1; i <= 15; ++i)
    if (processorName(i).empty()) return i;
  return 16;
}

void AddHardwareDevice(THardwareList& list, const std::string& classText, const std::string& deviceText,
                       const std::string& driverKey) {
  auto cls = std::find_if(list.begin(), list.end(),
                          [&](const HardwareClassEntry& c) { return CompareNoCase(c.ClassText, classText) >= 0; });
  if (cls == list.end() || cls->ClassText != classText) cls = list.insert(cls, HardwareClassEntry{classText, {}});
  auto& devices = cls->Devices;
  auto dev = std::find_if(devices.begin(), devices.end(), [&](const HardwareDeviceEntry& d) {
    return CompareNoCase(d.DeviceText, deviceText) >= 0;
  });
  devices.insert(dev, HardwareDeviceEntry{deviceText, driverKey});
}

std::string DriverVersionSuffix(const std::string& driverKey, const TRegValueReader& read) {
  if (driverKey.empty()) return {};
  const std::string provider = read(driverKey, "ProviderName");
  if (provider.empty() || provider[0] == '(' || TextEquals(provider, "Microsoft")) return {};
  std::string version = read(driverKey, "DriverVersion");
  if (version.empty()) version = read(driverKey, "DriverDate");
  if (version.empty()) return {};
  return " (driver " + TrimBlanksCopy(version) + ")";
}

void AppendHardwareLines(std::string& text, const THardwareList& list, const TRegValueReader& read) {
  for (const auto& cls : list) {
    text += kLineEnd;
    text += "+ " + cls.ClassText;
    for (const auto& dev : cls.Devices) {
      text += kLineEnd;
      text += "  - " + dev.DeviceText;
      text += DriverVersionSuffix(dev.DriverKey, read);
    }
  }
}

bool IsSkippedDeviceNt(const std::string& className, const std::string& hardwareId) {
  return className == "LegacyDriver" || className == "Unknown" || className == "Volume" ||
         StartsWithText("sw\\", hardwareId);
}

bool IsSkippedClass9x(const std::string& className) {
  return className.empty() || className == "NetClient" || className == "NetService" || className == "NetTrans";
}

bool IsHiddenDeviceCharacteristics(const std::string& rawValue) {
  return rawValue.size() == 4 && (static_cast<uint8_t>(rawValue[0]) & 8) != 0;
}

ModuleListEntry ModuleEntryFromPath(uint64_t base, const std::string& fullName) {
  ModuleListEntry e;
  e.Base = base;
  const size_t slash = fullName.rfind('\\');
  if (slash == std::string::npos) {
    e.FileName = fullName;
  } else {
    e.Directory = fullName.substr(0, slash + 1);
    e.FileName = fullName.substr(slash + 1);
  }
  return e;
}

std::string ModuleReportText(const TModuleList& modules, int addressDigits) {
  size_t nameWidth = 0;
  size_t versionWidth = 0;
  for (const auto& m : modules) {
    nameWidth = std::max(nameWidth, m.FileName.size());
    versionWidth = std::max(versionWidth, m.VersionText.size());
  }
  ++nameWidth;
  ++versionWidth;
  std::string text = "modules:";
  for (const auto& m : modules) {
    text += kLineEnd;
    text += PadStr(HexStr64(m.Base), addressDigits, '0');
    text += ' ';
    text += PadStr(m.FileName, -static_cast<int>(nameWidth), ' ');
    text += PadStr(m.VersionText, -static_cast<int>(versionWidth), ' ');
    text += m.Directory;
  }
  return text;
}

}  // namespace qel
