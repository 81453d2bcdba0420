// System values, hardware and module sections as this system gives them.
#include "qelExceptSysInfo.h"

#include <memory>
#include <vector>

#include "qelExceptProcess.h"
#include "qelExceptThreadsCore.h"
#include "qelTools.h"
#include "qelStrings.h"

namespace qel {

namespace {

const char kClassKeyNt[] = "System\\CurrentControlSet\\Control\\Class\\";
const char kClassKey9x[] = "System\\CurrentControlSet\\Services\\Class\\";
const char kProcessorKey[] = "hardware\\description\\system\\centralProcessor\\";

struct TLibraryFree {
  void operator()(HMODULE m) const { FreeLibrary(m); }
};
using TLibrary = std::unique_ptr<std::remove_pointer_t<HMODULE>, TLibraryFree>;

struct TKeyClose {
  void operator()(HKEY k) const { RegCloseKey(k); }
};
using TKey = std::unique_ptr<std::remove_pointer_t<HKEY>, TKeyClose>;

TKey OpenKey(HKEY root, const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return TKey();
  return TKey(key);
}

template <class F>
F Routine(HMODULE module, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// setupapi's device-information record and the routines taken from it.
struct TDevInfoData {
  DWORD cbSize;
  GUID ClassGuid;
  DWORD DevInst;
  ULONG_PTR Reserved;
};
using TGetClassDevs = HANDLE(WINAPI*)(const GUID*, const char*, HWND, DWORD);
using TDestroyDeviceInfoList = BOOL(WINAPI*)(HANDLE);
using TEnumDeviceInfo = BOOL(WINAPI*)(HANDLE, DWORD, TDevInfoData*);
using TGetDeviceRegistryProperty = BOOL(WINAPI*)(HANDLE, TDevInfoData*, DWORD, DWORD*, BYTE*, DWORD, DWORD*);

constexpr DWORD kDigcfPresent = 0x2;
constexpr DWORD kDigcfAllClasses = 0x4;
constexpr DWORD kSpdrpDeviceDesc = 0x0;
constexpr DWORD kSpdrpHardwareId = 0x1;
constexpr DWORD kSpdrpClass = 0x7;
constexpr DWORD kSpdrpClassGuid = 0x8;
constexpr DWORD kSpdrpDriver = 0x9;
constexpr DWORD kSpdrpFriendlyName = 0xC;

std::string GetDeviceProperty(TGetDeviceRegistryProperty get, HANDLE set, TDevInfoData& device, DWORD property) {
  // Most properties fit a small buffer: one query instead of two, each a
  // registry read. The text is the same either way: up to the first zero.
  char small[512] = {};
  DWORD size = 0;
  if (get(set, &device, property, nullptr, reinterpret_cast<BYTE*>(small), sizeof small - 2, &size))
    return std::string(small, strnlen(small, sizeof small));
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) size = 0;
  if (size == 0) return {};
  std::vector<char> buffer(static_cast<size_t>(size) * 2, 0);
  if (!get(set, &device, property, nullptr, reinterpret_cast<BYTE*>(buffer.data()), static_cast<DWORD>(buffer.size()),
           nullptr))
    return {};
  return std::string(buffer.data(), strnlen(buffer.data(), buffer.size()));
}

}  // namespace

std::string TRegistryView::Read(const std::string& keyPath, const std::string& valueName) const {
  return ReadRegString(Root, Prefix + keyPath, valueName);
}

std::string GetSystemLanguageText() {
  char buffer[260];
  const int n = GetLocaleInfoA(LOCALE_SYSTEM_DEFAULT, LOCALE_SENGLANGUAGE, buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, strnlen(buffer, static_cast<size_t>(n))) : std::string();
}

std::string GetSystemUpTimeText() {
  LARGE_INTEGER counter{};
  LARGE_INTEGER frequency{};
  if (!QueryPerformanceCounter(&counter) || !QueryPerformanceFrequency(&frequency) || counter.QuadPart <= 0 ||
      frequency.QuadPart <= 0)
    return {};
  return UpTimeText(static_cast<uint64_t>(counter.QuadPart / frequency.QuadPart));
}

std::string GetProgramUpTimeText(uint64_t startTime) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const uint64_t current = static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
  return ProgramUpTimeText(current > startTime ? (current - startTime) / 10000 : 0);
}

std::string GetProcessorNameText() {
  return TrimBlanksCopy(ReadRegString(HKEY_LOCAL_MACHINE, std::string(kProcessorKey) + "0", "ProcessorNameString"));
}

int CountProcessors() {
  return CountProcessorsWith([](int i) {
    return ReadRegString(HKEY_LOCAL_MACHINE, kProcessorKey + DecStr(i), "ProcessorNameString");
  });
}

std::string GetPhysicalMemoryText() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (!GlobalMemoryStatusEx(&status)) return {};
  return PhysicalMemoryText(status.ullAvailPhys, status.ullTotalPhys);
}

std::string GetDisplayModeText() {
  HDC screen = GetDC(nullptr);
  if (screen == nullptr) return {};
  const int depth = GetDeviceCaps(screen, BITSPIXEL) * GetDeviceCaps(screen, PLANES);
  ReleaseDC(nullptr, screen);
  return DisplayModeText(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), depth);
}

void CollectDevicesNt(THardwareList& list, const TRegistryView& machine) {
  TLibrary setupapi(LoadLibraryA("setupapi.dll"));
  if (!setupapi) return;
  auto getClassDevs = Routine<TGetClassDevs>(setupapi.get(), "SetupDiGetClassDevsA");
  auto destroy = Routine<TDestroyDeviceInfoList>(setupapi.get(), "SetupDiDestroyDeviceInfoList");
  auto enumDevice = Routine<TEnumDeviceInfo>(setupapi.get(), "SetupDiEnumDeviceInfo");
  auto getProperty = Routine<TGetDeviceRegistryProperty>(setupapi.get(), "SetupDiGetDeviceRegistryPropertyA");
  if (!getClassDevs || !destroy || !enumDevice || !getProperty) return;
  HANDLE set = getClassDevs(nullptr, nullptr, nullptr, kDigcfPresent | kDigcfAllClasses);
  if (set == INVALID_HANDLE_VALUE || set == nullptr) return;
  struct TSetDestroy {
    TDestroyDeviceInfoList destroy;
    HANDLE set;
    ~TSetDestroy() { destroy(set); }
  } guard{destroy, set};
  TDevInfoData device{};
  device.cbSize = sizeof device;
  for (DWORD index = 0; enumDevice(set, index, &device); ++index) {
    const std::string className = GetDeviceProperty(getProperty, set, device, kSpdrpClass);
    if (IsSkippedDeviceNt(className, GetDeviceProperty(getProperty, set, device, kSpdrpHardwareId))) continue;
    std::string classText = GetDeviceProperty(getProperty, set, device, kSpdrpClassGuid);
    const std::string displayName = machine.Read(kClassKeyNt + classText, "");
    if (!displayName.empty()) classText = displayName;
    if (classText.empty()) continue;
    std::string deviceText = GetDeviceProperty(getProperty, set, device, kSpdrpFriendlyName);
    if (deviceText.empty()) deviceText = GetDeviceProperty(getProperty, set, device, kSpdrpDeviceDesc);
    std::string driverKey = GetDeviceProperty(getProperty, set, device, kSpdrpDriver);
    if (!driverKey.empty()) driverKey = kClassKeyNt + driverKey;
    if (IsHiddenDeviceCharacteristics(machine.Read(driverKey, "Characteristics"))) continue;
    AddHardwareDevice(list, classText, deviceText, driverKey);
  }
}

void CollectDevices9x(THardwareList& list, HKEY enumRoot, const std::string& enumPrefix,
                      const TRegistryView& machine) {
  const std::string enumPath = enumPrefix + "Config Manager\\Enum";
  TKey root = OpenKey(enumRoot, enumPath);
  if (!root) return;
  DWORD count = 0;
  DWORD longest = 0;
  if (RegQueryInfoKeyA(root.get(), nullptr, nullptr, nullptr, &count, &longest, nullptr, nullptr, nullptr, nullptr,
                       nullptr, nullptr) != ERROR_SUCCESS)
    return;
  std::vector<char> name(static_cast<size_t>(longest) + 2, 0);
  for (DWORD i = count; i-- > 0;) {
    DWORD length = static_cast<DWORD>(name.size());
    if (RegEnumKeyExA(root.get(), i, name.data(), &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    const std::string device = enumPath + "\\" + std::string(name.data(), length);
    const std::string hardwareKey = ReadRegString(enumRoot, device, "HardWareKey");
    const std::string problem = ReadRegString(enumRoot, device, "Problem");
    if ((problem.size() == 4 && problem == std::string("\x16\0\0\0", 4)) || FindText("\\SWENUM\\", hardwareKey, 1, -1u) != 0)
      continue;
    const std::string machineKey = "Enum\\" + hardwareKey;
    if (!OpenKey(machine.Root, machine.Prefix + machineKey)) continue;
    const std::string className = machine.Read(machineKey, "Class");
    if (IsSkippedClass9x(className)) continue;
    const std::string classText = machine.Read(kClassKey9x + className, "");
    std::string deviceText = machine.Read(machineKey, "DeviceDesc");
    const std::string letters = machine.Read(machineKey, "CurrentDriveLetterAssignment");
    if (!letters.empty()) deviceText = "[" + letters + ":] " + deviceText;
    std::string driverKey = machine.Read(machineKey, "Driver");
    if (!driverKey.empty()) driverKey = kClassKey9x + driverKey;
    AddHardwareDevice(list, classText, deviceText, driverKey);
  }
}

void GetHardwareList(std::string& text) {
  text = "hardware:";
  try {
    THardwareList list;
    if (IsWin9xVersion(GetVersion()))
      CollectDevices9x(list, HKEY_DYN_DATA, {});
    else
      CollectDevicesNt(list);
    const TRegistryView machine;
    AppendHardwareLines(text, list, [&](const std::string& key, const std::string& value) {
      return machine.Read(key, value);
    });
  } catch (...) {
    text += "\r\n" + SectionErrorLine("GetHardwareList");
  }
}

std::string FileVersionTextOf(const std::string& fileName) {
  const uint64_t version = FileVersion64(fileName);
  return version != 0 ? FileVersionText(version) : std::string();
}

std::string GetSystemResourcesText() { return SystemResourcesText(FreeResourcesPercent(1), FreeResourcesPercent(2)); }

TModuleList CollectModuleList(bool withVersions) {
  TModuleList modules;
  const char* address = nullptr;
  const void* previousBase = nullptr;
  MEMORY_BASIC_INFORMATION info;
  while (VirtualQuery(address, &info, sizeof info) == sizeof info) {
    if (info.State == MEM_COMMIT && info.AllocationBase == info.BaseAddress && info.AllocationBase != previousBase) {
      char name[MAX_PATH];
      const DWORD n = GetModuleFileNameA(static_cast<HMODULE>(info.AllocationBase), name, sizeof name);
      if (n != 0) {
        ModuleListEntry entry =
            ModuleEntryFromPath(reinterpret_cast<uintptr_t>(info.AllocationBase), std::string(name, n));
        if (withVersions) entry.VersionText = FileVersionTextOf(std::string(name, n));
        modules.push_back(std::move(entry));
      }
    }
    previousBase = info.AllocationBase;
    const char* next = static_cast<const char*>(info.BaseAddress) + info.RegionSize;
    if (next <= address) break;
    address = next;
  }
  return modules;
}

void GetModuleReport(std::string& text) {
  text = "modules:";
  try {
    text = ModuleReportText(CollectModuleList(true), static_cast<int>(2 * sizeof(void*)));
  } catch (...) {
    text += "\r\n" + SectionErrorLine("GetModuleReport");
  }
}

}  // namespace qel
