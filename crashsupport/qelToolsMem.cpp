// Readable-range snapshots, safe reads of the own process, and the memory
// reader and symbolizer that the decoder and the function analyser use on it.
#include <windows.h>

#include <atomic>
#include <memory>

#include "qelFuncInfo.h"
#include "qelStrings.h"
#include "qelTools.h"

namespace qel {

namespace {

using TReadProcessMemory = BOOL(WINAPI*)(HANDLE, LPCVOID, LPVOID, SIZE_T, SIZE_T*);

std::atomic<HMODULE> gKernelModule{nullptr};
std::atomic<TReadProcessMemory> gReadRoutine{nullptr};
std::atomic<bool> gObfuscatorKnown{false};
uint32_t gObfuscator = 0;
bool gWin9xObfuscator = false;

uintptr_t TopOfAddressSpace() {
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  return reinterpret_cast<uintptr_t>(info.lpMaximumApplicationAddress);
}

// Every page of the span committed and readable right now.
bool SpanReadableNow(uintptr_t address, size_t length) {
  const uintptr_t end = address + length;
  if (end < address) return false;
  MEMORY_BASIC_INFORMATION info{};
  for (uintptr_t at = address; at < end;) {
    if (VirtualQuery(reinterpret_cast<const void*>(at), &info, sizeof info) != sizeof info ||
        !IsReadableProtection(info.State, info.Protect))
      return false;
    const uintptr_t regionEnd = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
    if (regionEnd <= at) return false;
    at = regionEnd;
  }
  return true;
}

}  // namespace

TRangeTable* SnapshotReadableRanges() {
  auto table = std::make_unique<TRangeTable>();
  table->reserve(64);
  const uintptr_t top = TopOfAddressSpace();
  MEMORY_BASIC_INFORMATION info{};
  for (uintptr_t at = 0; at < top;) {
    if (VirtualQuery(reinterpret_cast<const void*>(at), &info, sizeof info) != sizeof info) break;
    const auto base = reinterpret_cast<uintptr_t>(info.BaseAddress);
    if (base + info.RegionSize <= at) break;
    AppendRegion(*table, base, info.RegionSize, IsReadableProtection(info.State, info.Protect));
    at = base + info.RegionSize;
  }
  table->shrink_to_fit();
  return table.release();
}

void FreeReadableRanges(TRangeTable* table) {
  std::unique_ptr<TRangeTable> owned(table);
}

HMODULE KernelModuleHandle() {
  HMODULE module = gKernelModule.load(std::memory_order_acquire);
  if (module != nullptr) return module;
  static constexpr TScrambledText kKernel("kernel32.dll");
  if ((GetVersion() & 0x80000000u) != 0) {
    module = GetModuleHandleA(kKernel.Plain().c_str());
  } else {
    const std::string wide = AnsiToWideBytes(kKernel.Plain(), true);
    module = GetModuleHandleW(reinterpret_cast<const wchar_t*>(wide.data()));
  }
  gKernelModule.store(module, std::memory_order_release);
  return module;
}

void* ScrambledExport(const std::string& scrambledName) {
  HMODULE module = KernelModuleHandle();
  return module != nullptr ? ExportByName(module, UnscrambleStr(scrambledName)) : nullptr;
}

bool SafeReadMemory(const void* address, void* buffer, size_t length, const TRangeTable* table) {
  const auto at = reinterpret_cast<uintptr_t>(address);
  if (table != nullptr && !IsSpanReadable(table, at, length)) return false;
  if (address == nullptr) return false;
  if (length == 0) return true;
  // The copy routine does not refuse no-access, guard or freed pages of the
  // own process on every system: ask for the pages first.
  if (table == nullptr && !SpanReadableNow(at, length)) return false;
  TReadProcessMemory read = gReadRoutine.load(std::memory_order_acquire);
  if (read == nullptr) {
    static constexpr TScrambledText kRead("ReadProcessMemory");
    read = reinterpret_cast<TReadProcessMemory>(ScrambledExport(kRead.Scrambled()));
    if (read == nullptr) return false;
    gReadRoutine.store(read, std::memory_order_release);
  }
  SIZE_T done = 0;
  return read(GetCurrentProcess(), address, buffer, length, &done) && done == length;
}

uint32_t ReadFsDword(uint32_t offset) {
#if defined(__i386__)
  uint32_t value = 0;
  __asm__ volatile("movl %%fs:(%1), %0" : "=r"(value) : "r"(offset));
  return value;
#else
  // The 64-bit thread block's own address lies at gs:[0x30]; read the offset of it.
  const uint8_t* block = nullptr;
  __asm__ volatile("movq %%gs:0x30, %0" : "=r"(block));
  uint32_t value = 0;
  SafeReadMemory(block + offset, &value, sizeof value);
  return value;
#endif
}

uint32_t ObfuscatorValue() {
  if (gObfuscatorKnown.load(std::memory_order_acquire)) return gObfuscator;
  const uint32_t tid = GetCurrentThreadId();
  const uint32_t pid = GetCurrentProcessId();
  auto matches = [&](uint32_t v, uint32_t offset) {
    uint32_t seen = 0;
    const uintptr_t at = uintptr_t{static_cast<uint32_t>((tid ^ v) + offset)};
    return SafeReadMemory(reinterpret_cast<const void*>(at), &seen, sizeof seen) && seen == (pid ^ v);
  };
  uint32_t value = 0;
  bool win9x = false;
  uint32_t v = (ReadFsDword(0x18) - 0x10) ^ tid;
  if (matches(v, 8)) {
    value = v;
    win9x = true;
  } else {
    v = ReadFsDword(0x30) ^ pid;
    if (matches(v, 0x38)) value = v;
  }
  gObfuscator = value;
  gWin9xObfuscator = win9x;
  gObfuscatorKnown.store(true, std::memory_order_release);
  return value;
}

bool IsWin9xObfuscator() {
  ObfuscatorValue();
  return gWin9xObfuscator;
}

// --- decoder and analyser environment -------------------------------------------------------

bool TOwnProcessReader::Read(Address va, void* buf, std::size_t n) const {
  return SafeReadMemory(reinterpret_cast<const void*>(uintptr_t{va}), buf, n, FTable);
}

bool TOwnProcessSymbolizer::ModuleOfAddress(Address va, ModuleInfo& module) const {
  HMODULE handle = nullptr;
  std::string fileName;
  if (!qel::ModuleOfAddress(reinterpret_cast<const void*>(uintptr_t{va}), handle, fileName)) return false;
  const auto base = reinterpret_cast<uintptr_t>(handle);
  if (base > 0xFFFFFFFFu) return false;
  const IMAGE_NT_HEADERS* headers = PeNtHeaders(handle);
  module.base = static_cast<Address>(base);
  module.imageSize = headers != nullptr ? headers->OptionalHeader.SizeOfImage : 0;
  module.fileName = std::move(fileName);
  module.isMainProgram = handle == GetModuleHandleA(nullptr);
  return true;
}

std::string TOwnProcessSymbolizer::ExportNameAt(const ModuleInfo& module, Address va) const {
  std::string name;
  ExportNameOfAddress(reinterpret_cast<HMODULE>(uintptr_t{module.base}), reinterpret_cast<const void*>(uintptr_t{va}),
                      true, name);
  return name;
}

bool TOwnProcessSymbolizer::CodeBounds(Address entry, Address& first, Address& last) const {
  MEMORY_BASIC_INFORMATION info{};
  if (VirtualQuery(reinterpret_cast<const void*>(uintptr_t{entry}), &info, sizeof info) != sizeof info) return false;
  const auto base = reinterpret_cast<uintptr_t>(info.BaseAddress);
  const auto allocation = reinterpret_cast<uintptr_t>(info.AllocationBase);
  if (base + info.RegionSize - 1 > 0xFFFFFFFFu) return false;
  MemoryRegionInfo region;
  region.base = static_cast<Address>(base);
  region.size = static_cast<uint32_t>(info.RegionSize);
  region.allocationBase = static_cast<Address>(allocation);
  region.committed = info.State == MEM_COMMIT;
  return CodeBoundsOfRegion(TOwnProcessReader(), region, first, last);
}

}  // namespace qel
