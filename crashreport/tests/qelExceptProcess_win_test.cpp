// The reporter's process and module routines on a live process.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>

#include "SysUtils.h"
#include "qelExceptMemory.h"
#include "qelExceptProcess.h"
#include "qelExceptSysInfo.h"
#include "qelPeFixture.h"
#include "qelStrings.h"
#include "qelTypes.h"
#include "qelWinTestSupport.h"

using namespace qel;

namespace {

const char kTestKey[] = "Software\\ZivoTest\\ProcessRoutines";

// A key of the test's own under HKCU, removed again.
struct TTestKey {
  HKEY Key = nullptr;
  TTestKey() { RegCreateKeyExA(HKEY_CURRENT_USER, kTestKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &Key, nullptr); }
  ~TTestKey() {
    for (const char* v : {"text", "number", "bytes", "unterminated", "empty"}) RegDeleteValueA(Key, v);
    RegCloseKey(Key);
    RegDeleteKeyA(HKEY_CURRENT_USER, kTestKey);
  }
};

// The fixture image in memory of its own, read-only as a loaded image's table would be.
struct TLoadedFixture {
  uint8_t* Base = nullptr;
  explicit TLoadedFixture(const std::vector<uint8_t>& image) {
    Base = static_cast<uint8_t*>(VirtualAlloc(nullptr, image.size(), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    memcpy(Base, image.data(), image.size());
    DWORD old = 0;
    VirtualProtect(Base, image.size(), PAGE_READONLY, &old);
  }
  ~TLoadedFixture() { VirtualFree(Base, 0, MEM_RELEASE); }
  const void* Slot(size_t offset) const { return *reinterpret_cast<const void* const*>(Base + offset); }
  DWORD Protection(size_t offset) const {
    MEMORY_BASIC_INFORMATION info;
    VirtualQuery(Base + offset, &info, sizeof info);
    return info.Protect;
  }
};

const void* FunctionF() { return reinterpret_cast<const void*>(static_cast<uintptr_t>(0x7700F000)); }
const void* FunctionG() { return reinterpret_cast<const void*>(static_cast<uintptr_t>(0x7700E000)); }
const void* FunctionOther() { return reinterpret_cast<const void*>(static_cast<uintptr_t>(0x7700D000)); }

using TGetPid = DWORD(WINAPI*)();
TGetPid gRealGetPid = nullptr;
std::atomic<int> gGetPidCalls{0};  // calls from the test's own thread
std::atomic<DWORD> gTestThread{0};
// Reads the import slot afresh on every call (the compiler keeps it in a register otherwise).
__attribute__((noipa)) DWORD PidThroughImports() { return GetCurrentProcessId(); }
DWORD WINAPI CountingGetPid() {
  if (GetCurrentThreadId() == gTestThread) ++gGetPidCalls;
  return gRealGetPid();
}

DWORD WINAPI EnterAndWait(void* p) {
  auto** handles = static_cast<void**>(p);
  EnterCriticalSection(static_cast<CRITICAL_SECTION*>(handles[0]));
  SetEvent(handles[1]);
  WaitForSingleObject(handles[2], 20000);
  LeaveCriticalSection(static_cast<CRITICAL_SECTION*>(handles[0]));
  return 0;
}

DWORD WINAPI LoadTestDll(void*) { return LoadLibraryA(qeltest::kTestDll) != nullptr; }

}  // namespace

TEST(ProcessRoutines, ModuleAndComputerNames) {
  const std::string exe = ExeModuleFileName(nullptr);
  EXPECT_EQ(FileNameOnly(exe), "crashreport_process_win_test.exe");
  EXPECT_EQ(FilePathOnly(exe) + FileNameOnly(exe), exe);
  EXPECT_EQ(FilePathOnly(exe).back(), '\\');
  EXPECT_EQ(ExeModuleFileName(reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x10))), "");
  char env[260] = {};
  ASSERT_GT(GetEnvironmentVariableA("COMPUTERNAME", env, sizeof env), 0u);
  EXPECT_TRUE(TextEquals(LocalComputerName(), env)) << LocalComputerName() << " / " << env;
}

TEST(ProcessRoutines, ReadRegStringByValueType) {
  TTestKey key;
  ASSERT_NE(key.Key, nullptr);
  RegSetValueExA(key.Key, "text", 0, REG_SZ, reinterpret_cast<const BYTE*>("Zivo\0tail"), 10);
  const DWORD number = 0x04030201;
  RegSetValueExA(key.Key, "number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4);
  RegSetValueExA(key.Key, "bytes", 0, REG_BINARY, reinterpret_cast<const BYTE*>("a\0b"), 3);
  RegSetValueExA(key.Key, "unterminated", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 3);
  RegSetValueExA(key.Key, "empty", 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 0);
  EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, kTestKey, "text"), "Zivo");
  EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, kTestKey, "number"), std::string("\x01\x02\x03\x04", 4));
  EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, kTestKey, "bytes"), std::string("a\0b", 3));
  EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, kTestKey, "unterminated"), "abc");
  EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, kTestKey, "empty"), "");
  EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, kTestKey, "missing"), "");
  EXPECT_EQ(ReadRegString(HKEY_CURRENT_USER, "Software\\ZivoTest\\NoSuchKey", "text"), "");
}

TEST(ProcessRoutines, PatchImportEntryRewritesBothSlotsAndRestores) {
  const size_t width = sizeof(void*);
  TLoadedFixture fixture(qeltest::BuildImportImage({width == 8, reinterpret_cast<uintptr_t>(FunctionF()),
                                                    reinterpret_cast<uintptr_t>(FunctionOther())}));
  const size_t first = qeltest::kFixtureFirstTable + width;
  const size_t second = qeltest::kFixtureSecondTable;
  PatchImportEntry(reinterpret_cast<HMODULE>(fixture.Base), FunctionF(), FunctionG());
  EXPECT_EQ(fixture.Slot(first), FunctionG());
  EXPECT_EQ(fixture.Slot(second), FunctionG());
  EXPECT_EQ(fixture.Slot(qeltest::kFixtureFirstTable), FunctionOther());
  EXPECT_EQ(fixture.Protection(first), static_cast<DWORD>(PAGE_READONLY)) << "protection given back";
  PatchImportEntry(reinterpret_cast<HMODULE>(fixture.Base), FunctionG(), FunctionF());
  EXPECT_EQ(fixture.Slot(first), FunctionF());
  EXPECT_EQ(fixture.Slot(second), FunctionF());
}

TEST(ProcessRoutines, PatchImportEntryStopsAtABadTable) {
  TLoadedFixture fixture(qeltest::BuildImportImage({sizeof(void*) == 8, reinterpret_cast<uintptr_t>(FunctionF()),
                                                    reinterpret_cast<uintptr_t>(FunctionOther()), false, true}));
  // Not this code's module: no message box, the slots before the bad descriptor are patched.
  PatchImportEntry(reinterpret_cast<HMODULE>(fixture.Base), FunctionF(), FunctionG());
  EXPECT_EQ(fixture.Slot(qeltest::kFixtureFirstTable + sizeof(void*)), FunctionG());
  EXPECT_EQ(fixture.Slot(qeltest::kFixtureSecondTable), FunctionF());
  // No imports at all: nothing happens.
  TLoadedFixture none(qeltest::BuildImportImage({sizeof(void*) == 8, reinterpret_cast<uintptr_t>(FunctionF()), 1, true}));
  PatchImportEntry(reinterpret_cast<HMODULE>(none.Base), FunctionF(), FunctionG());
  EXPECT_EQ(none.Slot(qeltest::kFixtureSecondTable), FunctionF());
}

TEST(ProcessRoutines, PatchImportAllModulesRedirectsTheProgramsCalls) {
  gRealGetPid = reinterpret_cast<TGetPid>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetCurrentProcessId")));
  ASSERT_NE(gRealGetPid, nullptr);
  const DWORD pid = gRealGetPid();
  gTestThread = GetCurrentThreadId();
  const TModuleList modules = CollectModuleList(false);
  PatchImportAllModules(modules, reinterpret_cast<const void*>(gRealGetPid),
                        reinterpret_cast<const void*>(&CountingGetPid));
  const int before = gGetPidCalls;
  const DWORD seen = PidThroughImports();
  const int during = gGetPidCalls - before;
  PatchImportAllModules(modules, reinterpret_cast<const void*>(&CountingGetPid),
                        reinterpret_cast<const void*>(gRealGetPid));
  const int after = gGetPidCalls;
  EXPECT_EQ(PidThroughImports(), pid);
  EXPECT_EQ(seen, pid);
  EXPECT_EQ(during, 1);
  EXPECT_EQ(gGetPidCalls, after) << "restored";
}

TEST(ProcessRoutines, CriticalSectionHeldOnlyByItsOwner) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  EXPECT_FALSE(IsCriticalSectionHeld(&cs));
  EnterCriticalSection(&cs);
  EXPECT_TRUE(IsCriticalSectionHeld(&cs));
  LeaveCriticalSection(&cs);
  EXPECT_FALSE(IsCriticalSectionHeld(&cs));
  HANDLE entered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  void* args[] = {&cs, entered, release};
  HANDLE thread = CreateThread(nullptr, 0, &EnterAndWait, args, 0, nullptr);
  ASSERT_EQ(WaitForSingleObject(entered, 5000), WAIT_OBJECT_0);
  EXPECT_FALSE(IsCriticalSectionHeld(&cs)) << "held by another thread";
  SetEvent(release);
  WaitForSingleObject(thread, 5000);
  CloseHandle(thread);
  CloseHandle(entered);
  CloseHandle(release);
  DeleteCriticalSection(&cs);
  EXPECT_FALSE(IsCriticalSectionHeld(nullptr));
}

TEST(ProcessRoutines, LoaderLockInsideDllMainOnly) {
  EXPECT_NE(PebCriticalSection(kPebLoaderLockOffset), nullptr);
  EXPECT_FALSE(HoldsLoaderLock());
  HMODULE dll = LoadLibraryA(qeltest::kTestDll);
  ASSERT_NE(dll, nullptr);
  const int* held = reinterpret_cast<const int*>(GetProcAddress(dll, "TestDllHeldLoaderLock"));
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(*held, 1) << "asked inside DllMain";
  auto holds = qeltest::DllRoutine<BOOL (*)()>(dll, "TestDllHoldsLoaderLock");
  EXPECT_FALSE(holds()) << "asked from the library outside DllMain";
  FreeLibrary(dll);
  ASSERT_EQ(GetModuleHandleA(qeltest::kTestDll), nullptr);
}

TEST(ProcessRoutines, LoaderLockOfAnotherThreadIsNotOurs) {
  const std::string pid = HexStrPadded(GetCurrentProcessId(), 1, '0');
  HANDLE entered = CreateEventA(nullptr, TRUE, FALSE, ("qelTestLoaderEntered" + pid).c_str());
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, ("qelTestLoaderRelease" + pid).c_str());
  DWORD loaderId = 0;
  HANDLE loader = CreateThread(nullptr, 0, &LoadTestDll, nullptr, 0, &loaderId);
  ASSERT_EQ(WaitForSingleObject(entered, 10000), WAIT_OBJECT_0);
  // The loading thread sits in DllMain: it owns the lock, this thread does not.
  CRITICAL_SECTION lock;
  const bool read = ReadProcessMemory(GetCurrentProcess(), PebCriticalSection(kPebLoaderLockOffset), &lock,
                                      sizeof lock, nullptr);
  const bool heldHere = HoldsLoaderLock();
  SetEvent(release);
  WaitForSingleObject(loader, 10000);
  DWORD loaded = 0;
  GetExitCodeThread(loader, &loaded);
  CloseHandle(loader);
  CloseHandle(entered);
  CloseHandle(release);
  EXPECT_TRUE(read);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(lock.OwningThread), loaderId);
  EXPECT_FALSE(heldHere);
  EXPECT_EQ(loaded, 1u);
  if (HMODULE dll = GetModuleHandleA(qeltest::kTestDll)) FreeLibrary(dll);
}

TEST(ProcessRoutines, LoaderLockOfTheOlderSystemsOnAProcessDatabaseFixture) {
  uint32_t database[32] = {};
  EXPECT_FALSE(LoaderLockHeld9x(reinterpret_cast<uintptr_t>(database)));
  database[25] = 1;  // byte 100
  EXPECT_TRUE(LoaderLockHeld9x(reinterpret_cast<uintptr_t>(database)));
  void* page = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS);
  EXPECT_FALSE(LoaderLockHeld9x(reinterpret_cast<uintptr_t>(page)));
  VirtualFree(page, 0, MEM_RELEASE);
}

namespace {
// A look-alike of a class's virtual table whose type name is no identifier.
const char kBadTypeName[] = "N2zf3a-bE";
struct TFakeTypeInfo {
  const void* Table;
  const char* Name;
};
const TFakeTypeInfo kFakeTypeInfo = {&kFakeTypeInfo, kBadTypeName};
void FakeVirtual() {}
const void* const kFakeVtable[] = {nullptr, &kFakeTypeInfo, reinterpret_cast<const void*>(&FakeVirtual)};
}  // namespace

TEST(ProcessRoutines, ValidExceptionObjects) {
  const zf::EConvertError convert("x");
  const QelException qel("y");
  std::string name;
  EXPECT_TRUE(IsValidExceptionObject(&convert, &name));
  EXPECT_EQ(name, "EConvertError");
  EXPECT_TRUE(IsValidExceptionObject(&qel, &name));
  EXPECT_EQ(name, "QelException");

  EXPECT_FALSE(IsValidExceptionObject(nullptr));
  const uintptr_t garbage[4] = {0x12345678, 0, 0, 0};
  EXPECT_FALSE(IsValidExceptionObject(garbage));
  const void* pointsIntoCode[2] = {reinterpret_cast<const void*>(&FakeVirtual), nullptr};
  EXPECT_FALSE(IsValidExceptionObject(pointsIntoCode));
  const void* fake[1] = {&kFakeVtable[1]};
  EXPECT_FALSE(IsValidExceptionObject(fake)) << "type name no identifier";
  void* page = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  VirtualFree(page, 0, MEM_RELEASE);
  EXPECT_FALSE(IsValidExceptionObject(page));
}

TEST(OwnMemory, ReadsStopAtPagesThatCannotBeRead) {
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  const size_t page = si.dwPageSize;
  auto* base = static_cast<char*>(VirtualAlloc(nullptr, 3 * page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  ASSERT_NE(base, nullptr);
  DWORD old = 0;
  VirtualProtect(base + page, page, PAGE_NOACCESS, &old);
  VirtualProtect(base + 2 * page, page, PAGE_READWRITE | PAGE_GUARD, &old);
  char buffer[16] = {};
  EXPECT_TRUE(ReadOwnMemory(base + page - 8, buffer, 8));
  EXPECT_FALSE(ReadOwnMemory(base + page - 8, buffer, 9)) << "one byte in the no-access page";
  EXPECT_FALSE(ReadOwnMemory(base + 2 * page, buffer, 1)) << "guard page";
  EXPECT_FALSE(IsReadableRange(nullptr, 1));
  // A text that runs into the no-access page has no terminator that can be read.
  memset(base, 'a', page);
  std::string text;
  EXPECT_FALSE(ReadOwnCString(base + page - 4, 64, text));
  base[page - 1] = 0;
  EXPECT_TRUE(ReadOwnCString(base + page - 4, 64, text));
  EXPECT_EQ(text, "aaa");
  EXPECT_FALSE(ReadOwnCString(base, 16, text)) << "no terminator within the limit";
  // The guard page was only looked at: it is still a guard page.
  MEMORY_BASIC_INFORMATION info;
  VirtualQuery(base + 2 * page, &info, sizeof info);
  EXPECT_TRUE(info.Protect & PAGE_GUARD);
  VirtualFree(base, 0, MEM_RELEASE);
}
