// System facts, module and export lookups, safe reads and the decoder's reader
// and symbolizer of the own process, against what Windows itself answers.
// Run with "--os-child" the program prints what OsInfo says and ends: the
// version test starts it so under several emulated Windows versions.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "qelFuncInfo.h"
#include "qelStrings.h"
#include "qelTools.h"
#include "qelTypes.h"

namespace qel {
namespace {

// --- helpers ------------------------------------------------------------------------

std::string ExeName() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  return path;
}

std::string OsLine(const TOS& os) {
  char line[200];
  std::snprintf(line, sizeof line, "%u|%s|%u|%d%d", os.Kind, os.Name.c_str(), os.ServicePack, os.Is9x, os.IsNT);
  return line;
}

// Output of this program started with one argument.
std::string RunChild(const char* argument) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &sa, 0)) return "no pipe";
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = writeEnd;
  si.hStdError = writeEnd;
  PROCESS_INFORMATION pi{};
  std::string command(1, '"');
  command += ExeName();
  command += "\" ";
  command += argument;
  const BOOL started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
  CloseHandle(writeEnd);
  std::string out;
  if (started) {
    char buf[256];
    DWORD n = 0;
    while (ReadFile(readEnd, buf, sizeof buf, &n, nullptr) && n > 0) out.append(buf, n);
    WaitForSingleObject(pi.hProcess, 30000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  CloseHandle(readEnd);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return started ? out : "not started";
}

// HKCU\Software\Wine\AppDefaults\<this exe>\Version for as long as it lives.
class TEmulatedVersion {
public:
  explicit TEmulatedVersion(const char* version) {
    std::string exe = ExeName();
    exe = exe.substr(exe.find_last_of("\\/") + 1);
    FKey = "Software\\Wine\\AppDefaults\\";
    FKey += exe;
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, FKey.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) ==
        ERROR_SUCCESS) {
      RegSetValueExA(key, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                     static_cast<DWORD>(strlen(version) + 1));
      RegCloseKey(key);
    }
  }
  ~TEmulatedVersion() { RegDeleteKeyA(HKEY_CURRENT_USER, FKey.c_str()); }

private:
  std::string FKey;
};

struct TLoadedModule {
  explicit TLoadedModule(const char* name) : Handle(LoadLibraryA(name)) {}
  ~TLoadedModule() {
    if (Handle) FreeLibrary(Handle);
  }
  HMODULE Handle;
};

// The export tables of a loaded module through the portable reader.
struct TModuleExports {
  explicit TModuleExports(HMODULE m) {
    view = TPeView{reinterpret_cast<const uint8_t*>(m), 4096, false};
    if (!PeReadHeaders(view, headers)) return;
    view.Size = headers.SizeOfImage;
    ok = PeReadHeaders(view, headers) && PeReadExports(view, headers, exports);
  }
  std::string Name(uint32_t i) const {
    const uint8_t* cell = PeAt(view, headers, exports.AddressOfNames + 4 * i, 4);
    uint32_t rva = 0;
    memcpy(&rva, cell, 4);
    return reinterpret_cast<const char*>(view.Data + rva);
  }
  TPeView view;
  TPeHeaders headers;
  TPeExports exports;
  bool ok = false;
};

// --- operating-system facts -------------------------------------------------------------

TEST(OsInfo, AgreesWithTheSystemsVersionRecordAndIsCached) {
  OSVERSIONINFOA v{};
  v.dwOSVersionInfoSize = sizeof v;
  ASSERT_TRUE(GetVersionExA(&v));
  const TOS os = OsInfo();
  EXPECT_EQ(os.MajorVersion, v.dwMajorVersion);
  EXPECT_EQ(os.MinorVersion, v.dwMinorVersion);
  EXPECT_EQ(os.ServicePackText, v.szCSDVersion);
  EXPECT_EQ(os.IsNT, v.dwPlatformId == VER_PLATFORM_WIN32_NT);
  EXPECT_EQ(OsLine(OsInfo()), OsLine(os));
  ReleaseOsInfoStrings();
  EXPECT_EQ(OsLine(OsInfo()), OsLine(os));  // filled again after the unit's release
}

TEST(OsInfo, KindsUnderEmulatedVersions) {
  struct { const char* version; const char* line; } cases[] = {
      {nullptr, nullptr},  // the prefix's default: whatever the parent itself sees
      {"win95", "1|Windows 95|0|10"},
      {"win98", "4|Windows 98 SE|0|10"},
      {"winme", "5|Windows ME|0|10"},
      {"winxp", "10|Windows XP Service Pack 3|3|01"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version ? c.version : "default");
    if (c.version == nullptr) {
      EXPECT_EQ(RunChild("--os-child"), OsLine(OsInfo()));
      continue;
    }
    TEmulatedVersion emulated(c.version);
    EXPECT_EQ(RunChild("--os-child"), c.line);
  }
}

TEST(OsFacts, FileVersionsTicksAndResources) {
  char kernel[MAX_PATH] = {};
  GetModuleFileNameA(GetModuleHandleA("kernel32.dll"), kernel, MAX_PATH);
  const uint64_t version = FileVersion64(kernel);
  EXPECT_NE(version >> 48, 0u) << FileVersionText(version);
  EXPECT_EQ(FileVersion64(ExeName()), 0u);  // no version resource
  EXPECT_EQ(FileVersion64("Z:\\no\\such\\file.dll"), 0u);
  EXPECT_LT(TicksSince(GetTickCount()), 1000u);
  EXPECT_GE(TicksSince(GetTickCount() - 5000), 5000u);
  EXPECT_EQ(FreeResourcesPercent(0), 0);  // NT family: no 16-bit resource heaps
}

TEST(OsFacts, FallbackExceptionFactory) {
  // The framework's run-time has its factory in place from the start.
  ASSERT_EQ(ExceptObjProc, &zf::SysExceptionObject);
  const TExceptObjectFactory runtimeFactory = ExceptObjProc;
  const char* const runtimeClass = ExceptClassName;
  ExceptObjProc = nullptr;
  InstallExceptionObjectHook();
  ASSERT_EQ(ExceptObjProc, &UnknownExceptionObject);
  EXPECT_STREQ(ExceptClassName, "QelException");
  EXCEPTION_RECORD record{};
  record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
  try {
    std::rethrow_exception(ExceptObjProc(&record));
  } catch (const QelException& e) {
    EXPECT_EQ(e.Message(), "Unknown exception. If you want to know more, you have to add SysUtils to your project.");
  }
  // An installed factory stays.
  auto other = [](const EXCEPTION_RECORD*) { return std::exception_ptr(); };
  ExceptObjProc = other;
  InstallExceptionObjectHook();
  EXPECT_EQ(ExceptObjProc, static_cast<TExceptObjectFactory>(other));
  ExceptObjProc = runtimeFactory;
  ExceptClassName = runtimeClass;
}

#if defined(__i386__)
int __stdcall AddWithObject(int* object, int a, int b) { return *object + a * 10 + b; }

TEST(OsFacts, MethodThunkInsertsTheObject) {
  int object = 1000;
  void* thunk = MakeMethodThunk(&object, reinterpret_cast<void*>(&AddWithObject));
  ASSERT_NE(thunk, nullptr);
  const auto call = reinterpret_cast<int(__stdcall*)(int, int)>(thunk);
  EXPECT_EQ(call(4, 2), 1042);
  EXPECT_EQ(call(0, 7), 1007);  // the stack stays balanced call after call
}
#else
TEST(OsFacts, MethodThunkIsI686Code) { EXPECT_EQ(MakeMethodThunk(nullptr, nullptr), nullptr); }
#endif

// --- modules -------------------------------------------------------------------------------

TEST(Modules, ModuleOfAddress) {
  HMODULE module = nullptr;
  std::string name;
  ASSERT_TRUE(ModuleOfAddress(reinterpret_cast<const void*>(&RunChild), module, name));
  EXPECT_EQ(module, GetModuleHandleA(nullptr));
  EXPECT_TRUE(TextEquals(name, ExeName())) << name;

  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  ASSERT_TRUE(ModuleOfAddress(reinterpret_cast<const void*>(GetProcAddress(kernel, "GetTickCount")), module, name));
  EXPECT_EQ(module, kernel);

  void* heap = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  EXPECT_FALSE(ModuleOfAddress(heap, module, name));  // committed, but no module
  VirtualFree(heap, 0, MEM_RELEASE);
  EXPECT_FALSE(ModuleOfAddress(heap, module, name));  // free memory
  EXPECT_FALSE(ModuleOfAddress(nullptr, module, name));

  EXPECT_NE(PeNtHeaders(kernel), nullptr);
  EXPECT_EQ(PeNtHeaders(reinterpret_cast<HMODULE>(heap)), nullptr);
  EXPECT_NE(PeExportDirectory(kernel), nullptr);
  EXPECT_EQ(PeExportDirectory(GetModuleHandleA(nullptr)), nullptr);  // the program exports nothing
}

// --- exports -------------------------------------------------------------------------------

void ExpectAgreesWithSystem(const char* moduleName) {
  TLoadedModule loaded(moduleName);
  HMODULE m = loaded.Handle;
  ASSERT_NE(m, nullptr) << moduleName;
  const TModuleExports ex(m);
  ASSERT_TRUE(ex.ok) << moduleName;
  ASSERT_GT(ex.exports.NumberOfNames, 100u);
  uint32_t forwarders = 0;
  for (uint32_t i = 0; i < ex.exports.NumberOfNames; ++i) {
    const std::string name = ex.Name(i);
    if (PeExportByName(ex.view, ex.headers, ex.exports, name).kind == TPeExport::Forwarder) ++forwarders;
    ASSERT_EQ(ExportByName(m, name), reinterpret_cast<void*>(GetProcAddress(m, name.c_str()))) << moduleName << " " << name;
  }
  for (uint32_t i = 0; i < ex.exports.NumberOfFunctions; ++i) {
    const uint32_t ordinal = ex.exports.Base + i;
    ASSERT_EQ(ExportByOrdinal(m, ordinal),
              reinterpret_cast<void*>(GetProcAddress(m, reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(ordinal)))))
        << moduleName << " #" << ordinal;
  }
  std::printf("%s: %u forwarders\n", moduleName, forwarders);
  if (std::string(moduleName) == "kernel32.dll") {
    EXPECT_GT(forwarders, 0u);
  }
}

TEST(Exports, AgreeWithGetProcAddressForSystemModules) {
  for (const char* module : {"kernel32.dll", "ntdll.dll", "user32.dll"}) ExpectAgreesWithSystem(module);
}

TEST(Exports, OwnDllNamesOrdinalsAndForwarders) {
  ASSERT_EQ(GetModuleHandleA("qeltools_fwdtarget.dll"), nullptr);
  TLoadedModule loaded("qeltools_testdll.dll");
  HMODULE dll = loaded.Handle;
  ASSERT_NE(dll, nullptr);
  auto sys = [dll](const char* name) { return reinterpret_cast<void*>(GetProcAddress(dll, name)); };

  EXPECT_EQ(ExportByName(dll, "Plain"), sys("Plain"));
  EXPECT_EQ(ExportByOrdinal(dll, 3), sys("Plain"));
  void* hidden = ExportByOrdinal(dll, 7);
  ASSERT_NE(hidden, nullptr);
  EXPECT_EQ(hidden, sys(MAKEINTRESOURCEA(7)));
  EXPECT_EQ(reinterpret_cast<int (*)(int)>(hidden)(1), 8);
  EXPECT_EQ(ExportByName(dll, "Hidden"), nullptr);  // exported without a name
  EXPECT_EQ(ExportByName(dll, "FwdOrdinal"), hidden);  // "qeltools_testdll.#7"
  EXPECT_EQ(ExportByName(dll, "Loop"), nullptr);       // forwards to itself: ends at the depth limit

  std::string name;
  EXPECT_TRUE(ExportNameOfAddress(dll, sys("Plain"), true, name));
  EXPECT_EQ(name, "Plain");
  EXPECT_TRUE(ExportNameOfAddress(dll, hidden, true, name));
  EXPECT_EQ(name, "#7");
  void* sample = sys("_ZN5qtest6SampleEi");
  EXPECT_TRUE(ExportNameOfAddress(dll, sample, false, name));
  EXPECT_EQ(name, "_ZN5qtest6SampleEi");
  EXPECT_TRUE(ExportNameOfAddress(dll, sample, true, name));
  EXPECT_EQ(name, "qtest.Sample(int)");
  void* inner = reinterpret_cast<void* (*)()>(sys("InnerAddress"))();
  EXPECT_FALSE(ExportNameOfAddress(dll, inner, true, name));
  EXPECT_EQ(name, "");

  // A forwarder to a module that is not loaded: nothing from the table, then
  // the system's answer (which loads the module).
  const TModuleExports ex(dll);
  const TPeExport fwd = PeExportByName(ex.view, ex.headers, ex.exports, "FwdUnloaded");
  ASSERT_EQ(fwd.kind, TPeExport::Forwarder);
  EXPECT_EQ(fwd.Forward, "qeltools_fwdtarget.Target");
  EXPECT_EQ(ResolveForwarder(dll, fwd.Rva), nullptr);
  void* target = ExportByName(dll, "FwdUnloaded");
  HMODULE targetModule = GetModuleHandleA("qeltools_fwdtarget.dll");
  ASSERT_NE(targetModule, nullptr);
  EXPECT_EQ(target, reinterpret_cast<void*>(GetProcAddress(targetModule, "Target")));
  EXPECT_EQ(reinterpret_cast<int (*)(int)>(target)(1), 101);
  EXPECT_EQ(ResolveForwarder(dll, fwd.Rva), target);  // now loaded: resolved from the table
}

TEST(Modules, RvaToFileOffsetFindsTheLoadedBytesInTheFile) {
  TLoadedModule loaded("qeltools_testdll.dll");
  HMODULE dll = loaded.Handle;
  ASSERT_NE(dll, nullptr);
  char path[MAX_PATH] = {};
  GetModuleFileNameA(dll, path, MAX_PATH);
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const IMAGE_NT_HEADERS* nt = PeNtHeaders(dll);
  ASSERT_NE(nt, nullptr);
  const auto* base = reinterpret_cast<const uint8_t*>(dll);
  for (const char* name : {"Plain", "Other", "InnerAddress"}) {
    SCOPED_TRACE(name);
    const auto* code = reinterpret_cast<const uint8_t*>(GetProcAddress(dll, name));
    const uint32_t rva = static_cast<uint32_t>(code - base);
    const uint32_t offset = RvaToFileOffset(nt, rva);
    ASSERT_LT(offset + 16u, file.size());
    EXPECT_EQ(memcmp(file.data() + offset, code, 16), 0);
  }
  EXPECT_EQ(RvaToFileOffset(nt, 0x40), 0x40u);  // the headers lie in no section
}

TEST(Exports, AlteredTableIsReadFromTheFile) {
  TLoadedModule loaded("qeltools_testdll.dll");
  HMODULE dll = loaded.Handle;
  ASSERT_NE(dll, nullptr);
  void* original = reinterpret_cast<void*>(GetProcAddress(dll, "Other"));
  const TModuleExports ex(dll);
  uint32_t index = 0;
  ASSERT_TRUE(PeExportIndexOfName(ex.view, ex.headers, ex.exports, "Other", index));
  auto* cell = reinterpret_cast<uint32_t*>(reinterpret_cast<uint8_t*>(dll) + ex.exports.AddressOfFunctions + 4 * index);
  DWORD oldProtect = 0;
  ASSERT_TRUE(VirtualProtect(cell, 4, PAGE_READWRITE, &oldProtect));
  const uint32_t saved = *cell;
  *cell = 0x7FFFFFF0;  // beyond SizeOfImage
  EXPECT_EQ(ExportByName(dll, "Other"), original);
  *cell = saved;
  VirtualProtect(cell, 4, oldProtect, &oldProtect);
}

// --- safe reads ------------------------------------------------------------------------------

struct TPages {
  TPages(size_t count, DWORD type, DWORD protect)
      : Base(static_cast<uint8_t*>(VirtualAlloc(nullptr, count * 4096, type, protect))) {}
  ~TPages() {
    if (Base) VirtualFree(Base, 0, MEM_RELEASE);
  }
  uint8_t* Base;
};

TEST(SafeRead, UnreadablePagesAndSpansReadFalse) {
  TPages two(2, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  ASSERT_NE(two.Base, nullptr);
  for (int i = 0; i < 8192; ++i) two.Base[i] = static_cast<uint8_t>(i);
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(two.Base + 4096, 4096, PAGE_NOACCESS, &old));
  TPages guard(1, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE | PAGE_GUARD);
  TPages reserved(1, MEM_RESERVE, PAGE_READWRITE);
  // Write-copy: a private copy of a mapped section, as module data sections are.
  HANDLE section = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, nullptr);
  ASSERT_NE(section, nullptr);
  uint8_t* copy = static_cast<uint8_t*>(MapViewOfFile(section, FILE_MAP_COPY, 0, 0, 4096));
  ASSERT_NE(copy, nullptr);
  MEMORY_BASIC_INFORMATION info{};
  VirtualQuery(copy, &info, sizeof info);
  EXPECT_EQ(info.Protect, static_cast<DWORD>(PAGE_WRITECOPY));
  // Freed last, so that nothing above takes its place again.
  uint8_t* freed = static_cast<uint8_t*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  VirtualFree(freed, 0, MEM_RELEASE);

  struct { const char* what; const void* at; size_t length; bool ok; } cases[] = {
      {"readable", two.Base + 8, 4, true},
      {"to the end of the readable page", two.Base + 4092, 4, true},
      {"2 bytes before a readable range's end", two.Base + 4094, 4, false},
      {"no access", two.Base + 4096, 4, false},
      {"guard", guard.Base, 4, false},
      {"reserved", reserved.Base, 4, false},
      {"freed", freed, 4, false},
      {"nil", nullptr, 4, false},
      {"write-copy", copy, 16, true},
      {"the stack", &info, sizeof info, true},
      {"program code", reinterpret_cast<const void*>(&RunChild), 16, true},
  };
  std::unique_ptr<TRangeTable, void (*)(TRangeTable*)> table(SnapshotReadableRanges(), &FreeReadableRanges);
  ASSERT_NE(table, nullptr);
  for (const TRangeTable* t : {static_cast<const TRangeTable*>(nullptr), static_cast<const TRangeTable*>(table.get())}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(testing::Message() << c.what << (t ? " (table)" : ""));
      uint8_t buf[64] = {};
      EXPECT_EQ(SafeReadMemory(c.at, buf, c.length, t), c.ok);
      if (c.ok) {
        EXPECT_EQ(memcmp(buf, c.at, c.length), 0);
      }
    }
  }
  // The guard page is still a guard page: the check did not touch it.
  VirtualQuery(guard.Base, &info, sizeof info);
  EXPECT_NE(info.Protect & PAGE_GUARD, 0u);
  UnmapViewOfFile(copy);
  CloseHandle(section);
}

TEST(SafeRead, SnapshotCoversTheAddressSpaceFromZero) {
  std::unique_ptr<TRangeTable, void (*)(TRangeTable*)> table(SnapshotReadableRanges(), &FreeReadableRanges);
  ASSERT_GT(table->size(), 2u);
  EXPECT_EQ(table->front().Start, 0u);
  EXPECT_FALSE(table->front().Readable);
  for (size_t i = 1; i < table->size(); ++i) {
    ASSERT_EQ((*table)[i].Start, (*table)[i - 1].End);
    ASSERT_NE((*table)[i].Readable, (*table)[i - 1].Readable);
  }
  SYSTEM_INFO si{};
  GetSystemInfo(&si);
  EXPECT_GE(table->back().End, reinterpret_cast<uintptr_t>(si.lpMaximumApplicationAddress));
  int local = 0;
  EXPECT_TRUE(IsRangeReadable(table.get(), reinterpret_cast<uintptr_t>(&local), 4));
  EXPECT_TRUE(IsRangeReadable(table.get(), reinterpret_cast<uintptr_t>(&RunChild), 4));
  EXPECT_FALSE(IsRangeReadable(table.get(), 0, 4));
}

TEST(SafeRead, KernelModuleThreadBlockAndObfuscator) {
  EXPECT_EQ(KernelModuleHandle(), GetModuleHandleA("kernel32.dll"));
  static constexpr TScrambledText kTicks("GetTickCount");
  EXPECT_EQ(ScrambledExport(kTicks.Scrambled()),
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetTickCount")));
#if defined(__i386__)
  EXPECT_EQ(ReadFsDword(0x24), GetCurrentThreadId());  // client id of the 32-bit thread block
  // The block's own address: its client id read through memory is the same.
  const auto* self = reinterpret_cast<const uint32_t*>(ReadFsDword(0x18));
  EXPECT_EQ(self[0x24 / 4], GetCurrentThreadId());
#else
  EXPECT_EQ(ReadFsDword(0x48), GetCurrentThreadId());  // client id of the 64-bit thread block
#endif
  EXPECT_EQ(ObfuscatorValue(), 0u);  // NT family
  EXPECT_FALSE(IsWin9xObfuscator());
}

// --- the decoder on the running program ---------------------------------------------------------

__attribute__((noinline, used)) int SampleRoutine(int a, int b) {
  volatile int sum = 0;
  for (int i = 0; i < a; ++i) sum = sum + (i % 3 == 0 ? b : i);
  switch (b & 7) {
    case 0: return sum + 11;
    case 1: return sum * 3;
    case 2: return sum - 9;
    case 3: return sum ^ 0x55;
    case 5: return static_cast<int>(GetTickCount() & 1) + sum;
    default: return sum;
  }
}

// Code bytes of the exe file at the addresses they are loaded to; everything
// else (the import cells the loader fills, data) from the running process.
class TFileCode : public MemoryReader {
public:
  TFileCode(Address base, std::vector<uint8_t> bytes) : FBase(base), FBytes(std::move(bytes)) {}
  bool Read(Address va, void* buf, std::size_t n) const override {
    if (va < FBase || va - FBase > FBytes.size() || n > FBytes.size() - (va - FBase)) return FLive.Read(va, buf, n);
    memcpy(buf, FBytes.data() + (va - FBase), n);
    return true;
  }

private:
  Address FBase;
  std::vector<uint8_t> FBytes;
  TOwnProcessReader FLive;
};

TEST(OwnProcess, DecoderReadsTheRunningProgramAsItsFile) {
  const auto exe = reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr));
  const auto entry = reinterpret_cast<uintptr_t>(&SampleRoutine);
  ASSERT_LT(entry, 0xFFFFFFFFu) << "the decoder's addresses are 32-bit";
  std::ifstream in(ExeName(), std::ios::binary);
  std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const TPeView view{file.data(), file.size(), true};
  TPeHeaders headers;
  ASSERT_TRUE(PeReadHeaders(view, headers));
  const uint8_t* code = PeAt(view, headers, static_cast<uint32_t>(entry - exe), 512);
  ASSERT_NE(code, nullptr);
  // Absolute operands match only where the loader kept the preferred base.
  const IMAGE_NT_HEADERS* nt = PeNtHeaders(GetModuleHandleA(nullptr));
  ASSERT_EQ(static_cast<uintptr_t>(nt->OptionalHeader.ImageBase), exe);

  const TOwnProcessReader live;
  const TFileCode stored(static_cast<Address>(entry), std::vector<uint8_t>(code, code + 512));
  const TOwnProcessSymbolizer symbols;
  const DisAsmEnvironment liveEnv{live, &symbols}, storedEnv{stored, &symbols};
  Address va = static_cast<Address>(entry);
  for (int i = 0; i < 40; ++i) {
    std::string liveText, storedText;
    InstructionRecord liveRec, storedRec;
    DisassembleInstruction(liveEnv, va, liveText, nullptr, liveRec, false);
    DisassembleInstruction(storedEnv, va, storedText, nullptr, storedRec, false);
    ASSERT_TRUE(liveRec.valid) << liveText;
    ASSERT_EQ(liveText, storedText);
    ASSERT_EQ(liveRec.next, storedRec.next);
    va = liveRec.next;
  }

  ModuleInfo module;
  ASSERT_TRUE(symbols.ModuleOfAddress(static_cast<Address>(entry), module));
  EXPECT_TRUE(module.isMainProgram);
  EXPECT_EQ(module.base, static_cast<Address>(exe));
  EXPECT_EQ(module.imageSize, headers.SizeOfImage);

  FunctionInfo info;
  AnalyseFunction(AnalyserEnvironment{live, symbols}, static_cast<Address>(entry), info);
  EXPECT_TRUE(info.valid) << info.errorText;
  EXPECT_GT(info.length, 20u);
}

TEST(OwnProcess, SymbolizerNamesExportsOfTheTestDll) {
  TLoadedModule loaded("qeltools_testdll.dll");
  ASSERT_NE(loaded.Handle, nullptr);
  const auto sample = reinterpret_cast<uintptr_t>(GetProcAddress(loaded.Handle, "_ZN5qtest6SampleEi"));
  ASSERT_LT(sample, 0xFFFFFFFFu);
  const TOwnProcessSymbolizer symbols;
  ModuleInfo module;
  ASSERT_TRUE(symbols.ModuleOfAddress(static_cast<Address>(sample), module));
  EXPECT_FALSE(module.isMainProgram);
  EXPECT_EQ(module.base, static_cast<Address>(reinterpret_cast<uintptr_t>(loaded.Handle)));
  EXPECT_EQ(symbols.ExportNameAt(module, static_cast<Address>(sample)), "qtest.Sample(int)");
  EXPECT_EQ(symbols.ExportNameAt(module, static_cast<Address>(sample + 1)), "");
}

}  // namespace
}  // namespace qel

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--os-child") {
    std::printf("%s\n", qel::OsLine(qel::OsInfo()).c_str());
    return 0;
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
