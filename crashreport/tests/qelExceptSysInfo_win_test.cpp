// System values and the hardware and module sections on a live system.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "qelExceptProcess.h"
#include "qelExceptSysInfo.h"
#include "qelStrings.h"

using namespace qel;

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find("\r\n", start);
    lines.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return lines;
    start = end + 2;
  }
}

void DeleteTree(HKEY root, const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
  char name[256];
  for (;;) {
    DWORD length = sizeof name;
    if (RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    DeleteTree(root, path + "\\" + name);
  }
  RegCloseKey(key);
  RegDeleteKeyA(root, path.c_str());
}

void SetValue(const std::string& path, const char* name, const std::string& text) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), static_cast<DWORD>(text.size() + 1));
  RegCloseKey(key);
}

void SetDword(const std::string& path, const char* name, DWORD value) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
  RegCloseKey(key);
}

}  // namespace

TEST(SysInfo, ModulesSectionListsTheProgramAndTheSystemModules) {
  std::string text;
  GetModuleReport(text);
  const auto lines = Lines(text);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "modules:");
  const int digits = 2 * sizeof(void*);
  const auto base = [&](const void* p) { return PadStr(HexStr64(reinterpret_cast<uintptr_t>(p)), digits, '0'); };
  std::map<std::string, std::string> byName;  // lower-case file name -> line
  size_t directoryColumn = 0;
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    ASSERT_GT(line.size(), static_cast<size_t>(digits + 1)) << line;
    EXPECT_EQ(line[digits], ' ') << line;
    const size_t dir = line.rfind(' ', line.find(":\\")) + 1;  // the directory column
    if (directoryColumn == 0) directoryColumn = dir;
    EXPECT_EQ(dir, directoryColumn) << "columns align: " << line;
    std::string name = line.substr(digits + 1);
    name = name.substr(0, name.find(' '));
    std::string lower;
    for (char c : name) lower += LowerChar(c);
    byName[lower] = line;
  }
  const std::string exe = FileNameOnly(ExeModuleFileName(nullptr));
  ASSERT_TRUE(byName.count("crashreport_sysinfo_win_test.exe")) << text;
  const std::string& exeLine = byName["crashreport_sysinfo_win_test.exe"];
  EXPECT_EQ(exeLine.substr(0, digits), base(GetModuleHandleA(nullptr)));
  EXPECT_EQ(exeLine.substr(directoryColumn), FilePathOnly(ExeModuleFileName(nullptr)));
  for (const char* system : {"ntdll.dll", "kernel32.dll"}) {
    ASSERT_TRUE(byName.count(system)) << system << "\n" << text;
    const std::string& line = byName[system];
    HMODULE module = GetModuleHandleA(system);
    EXPECT_EQ(line.substr(0, digits), base(module));
    const std::string version = FileVersionTextOf(ExeModuleFileName(module));
    EXPECT_FALSE(version.empty()) << system;
    std::string padded = " ";
    padded.append(version).append(" ");
    EXPECT_NE(line.find(padded), std::string::npos) << line;
  }
  // Ascending base addresses, as the address space is walked.
  for (size_t i = 2; i < lines.size(); ++i) EXPECT_LT(lines[i - 1].substr(0, digits), lines[i].substr(0, digits));
}

TEST(SysInfo, HardwareClassesMatchTheRegistry) {
  // The class keys as `wine reg query` showed them before the test (see the wrapper).
  const char* dump = std::getenv("ZIVO_CLASS_DUMP");
  ASSERT_NE(dump, nullptr) << "run through reg-classes.sh";
  std::ifstream in(std::string("Z:") + dump);
  ASSERT_TRUE(in.good()) << dump;
  std::map<std::string, std::string> displayNames;  // class GUID (upper case) -> default value
  std::string line;
  std::string current;
  const std::string prefix = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Class\\";
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (StartsWithText(prefix, line)) {
      current = line.substr(prefix.size());
      if (current.find('\\') != std::string::npos) current.clear();  // a driver key below a class
      current = UpperStr(current);
      continue;
    }
    const size_t def = line.find("(Default)");
    const size_t sz = line.find("REG_SZ");
    if (!current.empty() && def != std::string::npos && sz != std::string::npos)
      displayNames[current] = TrimBlanksCopy(line.substr(sz + 6));
  }
  ASSERT_FALSE(displayNames.empty()) << "no class keys in the dump";
  std::set<std::string> names;
  for (const auto& [guid, name] : displayNames) names.insert(name);

  std::string text;
  GetHardwareList(text);
  const auto lines = Lines(text);
  EXPECT_EQ(lines[0], "hardware:");
  std::string previousClass;
  std::string previousDevice;
  int classes = 0;
  for (size_t i = 1; i < lines.size(); ++i) {
    if (StartsWithText("+ ", lines[i])) {
      const std::string cls = lines[i].substr(2);
      ++classes;
      // A GUID stands for a class without a display name. The device services of a
      // fresh session may be rewriting a class key: a name counts only when the dump
      // has it and the key still has it now.
      if (cls.size() == 38 && cls[0] == '{')
        EXPECT_TRUE(displayNames.count(UpperStr(cls)) == 0 ||
                    ReadRegString(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Class\\" + cls, "").empty())
            << cls << " has a display name";
      else
        EXPECT_TRUE(names.count(cls)) << cls << " is no class display name of the registry";
      EXPECT_LE(CompareNoCase(previousClass, cls), 0) << "classes sorted";
      previousClass = cls;
      previousDevice.clear();
    } else {
      ASSERT_TRUE(StartsWithText("  - ", lines[i])) << lines[i];
      const std::string dev = lines[i].substr(4);
      EXPECT_LE(CompareNoCase(previousDevice, dev), 0) << "devices sorted";
      previousDevice = dev;
    }
  }
  EXPECT_GT(classes, 0) << text;
}

TEST(SysInfo, DeviceWalkOfTheOlderSystemsOnAFixtureTree) {
  const std::string root = "Software\\ZivoTest\\Devices9x";
  DeleteTree(HKEY_CURRENT_USER, root);
  const std::string dyn = root + "\\Dyn\\";
  const std::string enumKey = dyn + "Config Manager\\Enum\\";
  const std::string machine = root + "\\Machine\\";
  SetValue(enumKey + "C1", "HardWareKey", "ROOT\\PORTS\\0000");
  SetDword(enumKey + "C1", "Problem", 0);
  SetValue(enumKey + "C2", "HardWareKey", "ROOT\\swenum\\X");
  SetValue(enumKey + "C3", "HardWareKey", "ESDI\\DISK\\0");
  SetDword(enumKey + "C3", "Problem", 22);
  SetValue(enumKey + "C4", "HardWareKey", "PCI\\NET\\1");
  SetValue(enumKey + "C5", "HardWareKey", "SCSI\\CD\\2");
  SetValue(enumKey + "C6", "HardWareKey", "MISSING\\KEY");
  SetValue(machine + "Enum\\ROOT\\PORTS\\0000", "Class", "Ports");
  SetValue(machine + "Enum\\ROOT\\PORTS\\0000", "DeviceDesc", "Communications Port (COM1)");
  SetValue(machine + "Enum\\ROOT\\PORTS\\0000", "Driver", "Ports\\0000");
  SetValue(machine + "Enum\\ROOT\\swenum\\X", "Class", "System");
  SetValue(machine + "Enum\\ESDI\\DISK\\0", "Class", "DiskDrive");
  SetValue(machine + "Enum\\PCI\\NET\\1", "Class", "NetTrans");
  SetValue(machine + "Enum\\SCSI\\CD\\2", "Class", "CDROM");
  SetValue(machine + "Enum\\SCSI\\CD\\2", "DeviceDesc", "CD drive");
  SetValue(machine + "Enum\\SCSI\\CD\\2", "CurrentDriveLetterAssignment", "D");
  SetValue(machine + "System\\CurrentControlSet\\Services\\Class\\Ports", "", "Ports (COM & LPT)");
  SetValue(machine + "System\\CurrentControlSet\\Services\\Class\\CDROM", "", "CD-ROM drives");
  SetValue(machine + "System\\CurrentControlSet\\Services\\Class\\Ports\\0000", "ProviderName", "Acme");
  SetValue(machine + "System\\CurrentControlSet\\Services\\Class\\Ports\\0000", "DriverDate", "1-1-2001");

  THardwareList list;
  const TRegistryView view{HKEY_CURRENT_USER, machine};
  CollectDevices9x(list, HKEY_CURRENT_USER, dyn, view);
  std::string text = "hardware:";
  AppendHardwareLines(text, list, [&](const std::string& k, const std::string& v) { return view.Read(k, v); });
  DeleteTree(HKEY_CURRENT_USER, root);
  EXPECT_EQ(text,
            "hardware:\r\n"
            "+ CD-ROM drives\r\n"
            "  - [D:] CD drive\r\n"
            "+ Ports (COM & LPT)\r\n"
            "  - Communications Port (COM1) (driver 1-1-2001)");
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[1].Devices[0].DriverKey, "System\\CurrentControlSet\\Services\\Class\\Ports\\0000");
  THardwareList none;
  CollectDevices9x(none, HKEY_CURRENT_USER, "Software\\ZivoTest\\NoSuchTree\\", view);
  EXPECT_TRUE(none.empty());
}

TEST(SysInfo, HeaderValues) {
  char language[260] = {};
  GetLocaleInfoA(LOCALE_SYSTEM_DEFAULT, LOCALE_SENGLANGUAGE, language, sizeof language);
  EXPECT_EQ(GetSystemLanguageText(), language);
  HDC screen = GetDC(nullptr);
  const int depth = GetDeviceCaps(screen, BITSPIXEL) * GetDeviceCaps(screen, PLANES);
  ReleaseDC(nullptr, screen);
  EXPECT_EQ(GetDisplayModeText(), DecStr(GetSystemMetrics(SM_CXSCREEN)) + "x" + DecStr(GetSystemMetrics(SM_CYSCREEN)) +
                                      ", " + DecStr(depth) + " bit");
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  ASSERT_TRUE(GlobalMemoryStatusEx(&status));
  const std::string memory = GetPhysicalMemoryText();
  std::string total = "/";
  total.append(DecStr64(static_cast<int64_t>((status.ullTotalPhys + 524288) >> 20))).append(" MB (free/total)");
  EXPECT_NE(memory.find(total), std::string::npos) << memory;
  EXPECT_EQ(GetProcessorNameText(),
            TrimBlanksCopy(ReadRegString(HKEY_LOCAL_MACHINE, "hardware\\description\\system\\centralProcessor\\0",
                                         "ProcessorNameString")));
  EXPECT_GE(CountProcessors(), 1);
  EXPECT_LE(CountProcessors(), 16);
  EXPECT_EQ(GetSystemUpTimeText().back(), ' ');
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const uint64_t current = static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
  EXPECT_EQ(GetProgramUpTimeText(current - 90ull * 60 * 10000000), "1 hour 30 minutes ");
  const std::string shortRun = GetProgramUpTimeText(current - 4000000);  // 0.4 s
  EXPECT_NE(shortRun.find(" milliseconds"), std::string::npos) << shortRun;
  EXPECT_GE(std::atoi(shortRun.c_str()), 400);
}
