// The reporter's process and module routines.
#include "qelExceptProcess.h"

#include <cstring>
#include <vector>

#include "qelExceptMemory.h"
#include "qelTools.h"
#include "qelExceptThreadsCore.h"

namespace qel {

namespace {

struct TModuleImage {
  uintptr_t Base = 0;
  size_t Size = 0;
  uintptr_t CodeStart = 0;
  uintptr_t CodeEnd = 0;  // last address a routine can start at (SizeOfCode - 3)
};

// The headers of the module image at `base`, read without faulting.
bool ReadModuleImage(uintptr_t base, TModuleImage& image) {
  uint16_t mz = 0;
  uint32_t peOffset = 0;
  uint32_t signature = 0;
  if (!ReadOwnValue(reinterpret_cast<const void*>(base), mz) || mz != 0x5A4D ||
      !ReadOwnValue(reinterpret_cast<const void*>(base + 0x3C), peOffset) || peOffset > 0x10000000 ||
      !ReadOwnValue(reinterpret_cast<const void*>(base + peOffset), signature) || signature != 0x00004550)
    return false;
  const uintptr_t optional = base + peOffset + 24;
  uint32_t sizeOfCode = 0;
  uint32_t baseOfCode = 0;
  uint32_t sizeOfImage = 0;
  if (!ReadOwnValue(reinterpret_cast<const void*>(optional + 4), sizeOfCode) ||
      !ReadOwnValue(reinterpret_cast<const void*>(optional + 20), baseOfCode) ||
      !ReadOwnValue(reinterpret_cast<const void*>(optional + 56), sizeOfImage))
    return false;
  image.Base = base;
  image.Size = sizeOfImage;
  image.CodeStart = base + baseOfCode;
  image.CodeEnd = image.CodeStart + sizeOfCode - 3;
  return true;
}

// The module that holds an address: the allocation base of its region, when the
// system knows a file for it.
bool ModuleImageOf(const void* address, TModuleImage& image) {
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(address, &info, sizeof info) != sizeof info || info.State != MEM_COMMIT ||
      info.AllocationBase == nullptr)
    return false;
  char name[MAX_PATH];
  if (GetModuleFileNameA(static_cast<HMODULE>(info.AllocationBase), name, sizeof name) == 0) return false;
  return ReadModuleImage(reinterpret_cast<uintptr_t>(info.AllocationBase), image);
}

bool InImage(uintptr_t p, const TModuleImage& image) { return p >= image.Base && p - image.Base < image.Size; }

HMODULE ThisModule() {
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(reinterpret_cast<const void*>(&ThisModule), &info, sizeof info) != sizeof info) return nullptr;
  return static_cast<HMODULE>(info.AllocationBase);
}

}  // namespace

std::string ExeModuleFileName(HMODULE module) {
  char name[260];
  const DWORD n = GetModuleFileNameA(module, name, sizeof name);
  return std::string(name, n <= sizeof name ? n : 0);
}

std::string LocalComputerName() {
  char name[260];
  DWORD size = sizeof name;
  if (!GetComputerNameA(name, &size)) return {};
  return std::string(name, size);
}

std::string ReadRegString(HKEY root, const std::string& keyPath, const std::string& valueName) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, keyPath.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
  std::string text;
  DWORD size = 0;
  DWORD type = 0;
  if (RegQueryValueExA(key, valueName.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS && size != 0) {
    std::vector<char> buffer(static_cast<size_t>(size) * 2, 0);
    size = static_cast<DWORD>(buffer.size());
    if (RegQueryValueExA(key, valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size) ==
        ERROR_SUCCESS) {
      const size_t returned = size < buffer.size() ? size : buffer.size();
      text = type == REG_SZ ? std::string(buffer.data(), strnlen(buffer.data(), returned))
                            : std::string(buffer.data(), returned);
    }
  }
  RegCloseKey(key);
  return text;
}

void ReportBadImportTable(HMODULE module) {
  if (module != ThisModule()) return;
  MessageBoxA(nullptr, "The import table is invalid.\r\n\r\nThis way qelExcept can't install the thread hooks.",
              FileNameOnly(ExeModuleFileName(module)).c_str(), MB_OK);
}

void PatchImportEntry(HMODULE module, const void* oldFunction, const void* newFunction) {
  TModuleImage image;
  if (module == nullptr || !ReadModuleImage(reinterpret_cast<uintptr_t>(module), image) ||
      !IsReadableRange(module, image.Size))
    return;
  const TImportSlots slots = FindImportSlots(reinterpret_cast<const uint8_t*>(module), image.Size,
                                             reinterpret_cast<uintptr_t>(oldFunction));
  for (const size_t offset : slots.Offsets) {
    auto* slot = reinterpret_cast<const void**>(image.Base + offset);
    DWORD protection = 0;
    if (!VirtualProtect(slot, sizeof *slot, PAGE_EXECUTE_READWRITE, &protection)) continue;
    *slot = newFunction;
    VirtualProtect(slot, sizeof *slot, protection, &protection);
  }
  if (slots.BadTable) ReportBadImportTable(module);
}

void PatchImportAllModules(const TModuleList& modules, const void* oldFunction, const void* newFunction) {
  const bool win9x = IsWin9xVersion(GetVersion());
  for (const auto& m : modules) {
    if (win9x && m.Base >= 0x80000000u) continue;  // the shared system area
    PatchImportEntry(reinterpret_cast<HMODULE>(static_cast<uintptr_t>(m.Base)), oldFunction, newFunction);
  }
}

void* PebCriticalSection(size_t offset) {
  // The thread environment block holds the process environment block's address.
  const uint8_t* peb = nullptr;
#if defined(__x86_64__)
  asm("movq %%gs:0x60, %0" : "=r"(peb));
#else
  asm("movl %%fs:0x30, %0" : "=r"(peb));
#endif
  void* section = nullptr;
  if (peb == nullptr || !ReadOwnValue(peb + offset, section)) return nullptr;
  return section;
}

bool IsCriticalSectionHeld(const void* criticalSection) {
  CRITICAL_SECTION cs;
  if (criticalSection == nullptr || !ReadOwnValue(criticalSection, cs)) return false;
  return reinterpret_cast<uintptr_t>(cs.OwningThread) == GetCurrentThreadId();
}

bool HoldsLoaderLock() {
  if (IsWin9xVersion(GetVersion())) return LoaderLockHeld9x(GetCurrentProcessId() ^ ObfuscatorValue());
  return IsCriticalSectionHeld(PebCriticalSection(kPebLoaderLockOffset)) ||
         IsCriticalSectionHeld(PebCriticalSection(kPebFastLockOffset));
}

bool LoaderLockHeld9x(uintptr_t processDatabase) {
  uint32_t value = 0;
  return ReadOwnValue(reinterpret_cast<const void*>(processDatabase + 100), value) && value != 0;
}

bool IsValidExceptionObject(const void* object, std::string* className) {
  const uintptr_t* vtable = nullptr;
  TModuleImage image;
  if (object == nullptr || !ReadOwnValue(object, vtable) || !ModuleImageOf(vtable, image)) return false;
  // Itanium layout: offset to the complete object, type information, then the virtual routines.
  uintptr_t prefix[3] = {};
  if (!ReadOwnMemory(vtable - 2, prefix, sizeof prefix)) return false;
  const uintptr_t offsetToTop = prefix[0];
  const uintptr_t typeInfo = prefix[1];
  const uintptr_t firstVirtual = prefix[2];
  if (offsetToTop != 0 || !InImage(typeInfo, image) || firstVirtual < image.CodeStart || firstVirtual > image.CodeEnd)
    return false;
  uintptr_t typeRecord[2] = {};  // the type information's own table, its name
  if (!ReadOwnMemory(reinterpret_cast<const void*>(typeInfo), typeRecord, sizeof typeRecord) ||
      !InImage(typeRecord[0], image) || !InImage(typeRecord[1], image))
    return false;
  std::string mangled;
  if (!ReadOwnCString(reinterpret_cast<const char*>(typeRecord[1]), 1024, mangled)) return false;
  const std::string name = ClassNameOfTypeName(mangled.c_str(), mangled.size() + 1);
  if (name.empty()) return false;
  if (className != nullptr) *className = name;
  return true;
}

}  // namespace qel
