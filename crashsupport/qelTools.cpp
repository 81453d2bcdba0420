// Operating-system facts, module inspection and PE export lookup of the own process.
#include "qelTools.h"

#include <cstring>
#include <memory>
#include <mutex>

#include "qelStrings.h"
#include "qelTypes.h"

namespace qel {

namespace {

bool IsWin9xFamily() { return (GetVersion() & 0x80000000u) != 0; }

std::string Narrow(const wchar_t* text, int length) {
  if (length <= 0) return {};
  const int bytes = WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string result(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, length, result.data(), bytes, nullptr, nullptr);
  return result;
}

std::mutex gOsLock;
bool gOsFilled = false;
TOS gOs;

TOS QueryOs() {
  if (IsWin9xFamily()) {
    OSVERSIONINFOA v{};
    v.dwOSVersionInfoSize = sizeof v;
    if (!GetVersionExA(&v)) return ClassifyOs(0, 0, 0, 0, {});
    return ClassifyOs(v.dwPlatformId, v.dwMajorVersion, v.dwMinorVersion, v.dwBuildNumber, v.szCSDVersion);
  }
  OSVERSIONINFOW v{};
  v.dwOSVersionInfoSize = sizeof v;
  if (!GetVersionExW(&v)) return ClassifyOs(0, 0, 0, 0, {});
  return ClassifyOs(v.dwPlatformId, v.dwMajorVersion, v.dwMinorVersion, v.dwBuildNumber,
                    Narrow(v.szCSDVersion, static_cast<int>(wcsnlen(v.szCSDVersion, 128))));
}

// --- loaded modules as image views ------------------------------------------------------

// The bytes of a loaded module: its headers must be readable and the whole
// image must belong to the module's own allocation.
bool LoadedModuleView(HMODULE module, TPeView& view, TPeHeaders& headers) {
  if (module == nullptr) return false;
  MEMORY_BASIC_INFORMATION info{};
  if (VirtualQuery(module, &info, sizeof info) != sizeof info || info.AllocationBase != module ||
      !IsReadableProtection(info.State, info.Protect))
    return false;
  view = TPeView{reinterpret_cast<const uint8_t*>(module), static_cast<size_t>(info.RegionSize), false};
  if (!PeReadHeaders(view, headers) || headers.SizeOfImage == 0) return false;
  const uint8_t* last = view.Data + headers.SizeOfImage - 1;
  if (VirtualQuery(last, &info, sizeof info) != sizeof info || info.AllocationBase != module) return false;
  view.Size = headers.SizeOfImage;
  return true;
}

// A module's file mapped read-only; closes everything on the way out.
class TMappedFile {
public:
  explicit TMappedFile(const std::string& fileName) {
    FFile = CreateFileA(fileName.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (FFile == INVALID_HANDLE_VALUE) return;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(FFile, &size) || size.QuadPart <= 0 || size.QuadPart > 0x7FFFFFFF) return;
    FMapping = CreateFileMappingA(FFile, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (FMapping == nullptr) return;
    FData = static_cast<const uint8_t*>(MapViewOfFile(FMapping, FILE_MAP_READ, 0, 0, 0));
    if (FData != nullptr) FSize = static_cast<size_t>(size.QuadPart);
  }
  ~TMappedFile() {
    if (FData != nullptr) UnmapViewOfFile(FData);
    if (FMapping != nullptr) CloseHandle(FMapping);
    if (FFile != INVALID_HANDLE_VALUE) CloseHandle(FFile);
  }
  TMappedFile(const TMappedFile&) = delete;
  TMappedFile& operator=(const TMappedFile&) = delete;
  TPeView View() const { return TPeView{FData, FSize, true}; }

private:
  HANDLE FFile = INVALID_HANDLE_VALUE;
  HANDLE FMapping = nullptr;
  const uint8_t* FData = nullptr;
  size_t FSize = 0;
};

std::string ModuleFileName(HMODULE module) {
  if (IsWin9xFamily()) {
    char buf[MAX_PATH + 1] = {};
    const DWORD n = GetModuleFileNameA(module, buf, MAX_PATH);
    return std::string(buf, n > MAX_PATH ? MAX_PATH : n);
  }
  wchar_t buf[MAX_PATH + 1] = {};
  const DWORD n = GetModuleFileNameW(module, buf, MAX_PATH);
  return Narrow(buf, static_cast<int>(n > MAX_PATH ? MAX_PATH : n));
}

// The address-table value at index as the module's file has it (the loaded
// table was altered); 0 when the file cannot tell.
uint32_t ExportValueFromFile(HMODULE module, uint32_t index) {
  const TMappedFile file(ModuleFileName(module));
  const TPeView view = file.View();
  TPeHeaders headers;
  TPeExports exports;
  if (view.Data == nullptr || !PeReadHeaders(view, headers) || !PeReadExports(view, headers, exports)) return 0;
  return PeExportByIndex(view, headers, exports, index).Rva;
}

// A lookup that hit the forwarder depth limit: no system fallback either, its
// loader would chase the same loop.
struct TLookup {
  void* Address = nullptr;
  bool Loop = false;
};

TLookup ExportByNameAt(HMODULE module, const std::string& name, int depth);
TLookup ExportByOrdinalAt(HMODULE module, uint32_t ordinal, int depth);

TLookup ResolveForwarderAt(HMODULE module, uint32_t rva, int depth) {
  TPeView view;
  TPeHeaders headers;
  TPeExports exports;
  if (!LoadedModuleView(module, view, headers) || !PeReadExports(view, headers, exports))
    return {reinterpret_cast<uint8_t*>(module) + rva, false};
  const TPeExport entry = PeExportOfValue(view, headers, exports, rva);
  if (entry.kind == TPeExport::Code) return {reinterpret_cast<uint8_t*>(module) + rva, false};
  if (depth >= kMaxForwarderDepth) return {nullptr, true};
  TPeForward forward;
  if (entry.kind != TPeExport::Forwarder || !PeSplitForwarder(entry.Forward, forward)) return {};
  HMODULE target = GetModuleHandleA(forward.Module.c_str());  // only modules already loaded
  if (target == nullptr) return {};
  return forward.ByOrdinal ? ExportByOrdinalAt(target, forward.Ordinal, depth + 1)
                           : ExportByNameAt(target, forward.Routine, depth + 1);
}

TLookup ExportByNameAt(HMODULE module, const std::string& name, int depth) {
  if (module == nullptr) return {};
  auto system = [&]() -> TLookup { return {reinterpret_cast<void*>(GetProcAddress(module, name.c_str())), false}; };
  TPeView view;
  TPeHeaders headers;
  TPeExports exports;
  if (!LoadedModuleView(module, view, headers) || !PeReadExports(view, headers, exports)) return system();
  uint32_t index = 0;
  if (!PeExportIndexOfName(view, headers, exports, name, index)) return system();
  uint32_t rva = PeExportByIndex(view, headers, exports, index).Rva;
  if (rva > headers.SizeOfImage) rva = ExportValueFromFile(module, index);
  if (rva == 0) return system();
  const TLookup found = ResolveForwarderAt(module, rva, depth);
  return found.Address != nullptr || found.Loop ? found : system();
}

TLookup ExportByOrdinalAt(HMODULE module, uint32_t ordinal, int depth) {
  if (module == nullptr) return {};
  auto system = [&]() -> TLookup {
    return {reinterpret_cast<void*>(GetProcAddress(module, reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(ordinal)))),
            false};
  };
  TPeView view;
  TPeHeaders headers;
  TPeExports exports;
  if (!LoadedModuleView(module, view, headers) || !PeReadExports(view, headers, exports)) return system();
  const TPeExport entry = PeExportByOrdinal(view, headers, exports, ordinal);
  if (entry.kind == TPeExport::None) return system();
  const TLookup found = ResolveForwarderAt(module, entry.Rva, depth);
  return found.Address != nullptr || found.Loop ? found : system();
}

}  // namespace

// --- operating-system facts ------------------------------------------------------------

TOS OsInfo() {
  std::lock_guard<std::mutex> lock(gOsLock);
  if (!gOsFilled) {
    gOs = QueryOs();
    gOsFilled = true;
  }
  return gOs;
}

void ReleaseOsInfoStrings() {
  std::lock_guard<std::mutex> lock(gOsLock);
  gOs.ServicePackText.clear();
  gOs.ServicePackText.shrink_to_fit();
  gOs.Name.clear();
  gOs.Name.shrink_to_fit();
  gOsFilled = false;
}

int FreeResourcesPercent(uint16_t /*kind*/) {
  // Only the Windows 9x family has the 16-bit resource heaps; its 16-bit
  // thunking interface is not supported here, so every system answers 0.
  return 0;
}

uint64_t FileVersion64(const std::string& fileName) {
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeA(fileName.c_str(), &handle);
  if (size == 0) return 0;
  std::unique_ptr<uint8_t[]> data(new uint8_t[size]);
  if (!GetFileVersionInfoA(fileName.c_str(), 0, size, data.get())) return 0;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  char root[] = "\\";
  if (!VerQueryValueA(data.get(), root, reinterpret_cast<void**>(&fixed), &length) || fixed == nullptr ||
      length < sizeof(VS_FIXEDFILEINFO))
    return 0;
  return uint64_t{fixed->dwFileVersionMS} << 32 | fixed->dwFileVersionLS;
}

uint32_t TicksSince(uint32_t startTicks) { return TicksBetween(startTicks, GetTickCount()); }

void* MakeMethodThunk(void* object, void* code) {
#if defined(__i386__)
  void* stub = VirtualAlloc(nullptr, 17, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE);
  if (stub == nullptr) return nullptr;
  const TMethodThunkBytes bytes =
      MethodThunkBytes(reinterpret_cast<uint32_t>(object), reinterpret_cast<uint32_t>(code),
                       reinterpret_cast<uint32_t>(stub));
  std::memcpy(stub, bytes.data(), bytes.size());
  FlushInstructionCache(GetCurrentProcess(), stub, bytes.size());
  return stub;
#else
  (void)object;
  (void)code;
  return nullptr;  // the stub is i686 code
#endif
}

// --- modules and exports ------------------------------------------------------------------

bool ModuleOfAddress(const void* address, HMODULE& module, std::string& fileName) {
  MEMORY_BASIC_INFORMATION info{};
  if (VirtualQuery(address, &info, sizeof info) != sizeof info || info.State != MEM_COMMIT ||
      info.AllocationBase == nullptr)
    return false;
  std::string name = ModuleFileName(static_cast<HMODULE>(info.AllocationBase));
  if (name.empty()) return false;
  module = static_cast<HMODULE>(info.AllocationBase);
  fileName = std::move(name);
  return true;
}

const IMAGE_NT_HEADERS* PeNtHeaders(HMODULE module) {
  TPeView view;
  TPeHeaders headers;
  if (!LoadedModuleView(module, view, headers)) return nullptr;
  return reinterpret_cast<const IMAGE_NT_HEADERS*>(view.Data + headers.NtOffset);
}

void* PeDirectoryData(HMODULE module, uint32_t index) {
  TPeView view;
  TPeHeaders headers;
  uint32_t rva = 0, size = 0;
  if (!LoadedModuleView(module, view, headers) || !PeDirectory(view, headers, index, rva, size) ||
      rva >= view.Size)
    return nullptr;
  return reinterpret_cast<uint8_t*>(module) + rva;
}

const IMAGE_EXPORT_DIRECTORY* PeExportDirectory(HMODULE module) {
  return static_cast<const IMAGE_EXPORT_DIRECTORY*>(PeDirectoryData(module, kPeExportDirectory));
}

uint32_t RvaToFileOffset(const IMAGE_NT_HEADERS* headers, uint32_t rva) {
  if (headers == nullptr) return rva;
  // The headers of a loaded module: the view starts at its image base.
  const auto* nt = reinterpret_cast<const uint8_t*>(headers);
  MEMORY_BASIC_INFORMATION info{};
  if (VirtualQuery(nt, &info, sizeof info) != sizeof info || info.AllocationBase == nullptr) return rva;
  TPeView view;
  TPeHeaders parsed;
  if (!LoadedModuleView(static_cast<HMODULE>(info.AllocationBase), view, parsed) || view.Data + parsed.NtOffset != nt)
    return rva;
  return PeRvaToFileOffset(view, parsed, rva);
}

void* ResolveForwarder(HMODULE module, uint32_t rva) { return ResolveForwarderAt(module, rva, 0).Address; }

void* ExportByName(HMODULE module, const std::string& name) { return ExportByNameAt(module, name, 0).Address; }

void* ExportByOrdinal(HMODULE module, uint32_t ordinal) { return ExportByOrdinalAt(module, ordinal, 0).Address; }

bool ExportNameOfAddress(HMODULE module, const void* address, bool demangle, std::string& name) {
  name.clear();
  TPeView view;
  TPeHeaders headers;
  TPeExports exports;
  const auto base = reinterpret_cast<uintptr_t>(module);
  const auto at = reinterpret_cast<uintptr_t>(address);
  if (at < base || at - base >= 0xFFFFFFFFu || !LoadedModuleView(module, view, headers) ||
      !PeReadExports(view, headers, exports))
    return false;
  name = PeExportNameOfRva(view, headers, exports, static_cast<uint32_t>(at - base));
  std::string unit;
  if (demangle && !name.empty() && DemangleExportName(name, unit) && !unit.empty()) name = unit + "." + name;
  return !name.empty();
}

// --- exception-object factory -------------------------------------------------------------

std::exception_ptr UnknownExceptionObject(const EXCEPTION_RECORD* /*record*/) {
  return std::make_exception_ptr(QelException(kUnknownExceptionMessage));
}

void InstallExceptionObjectHook() {
  if (ExceptObjProc != nullptr) return;
  ExceptClassName = "QelException";
  ExceptObjProc = &UnknownExceptionObject;
}

}  // namespace qel
