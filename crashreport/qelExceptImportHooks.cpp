// Import-table hooks of CreateThread and the message-retrieval functions.
#include "qelExceptImportHooks.h"

#include <cstring>
#include <memory>
#include <typeinfo>
#include <vector>

#include "Threads.h"
#include "qelExceptImportStubs.h"
#include "qelExceptMemory.h"
#include "qelExceptPause.h"
#include "qelExceptProcess.h"
#include "qelExceptSysInfo.h"
#include "qelExceptThreads.h"
#include "qelFuncInfo.h"
#include "qelStrings.h"
#include "qelTools.h"

namespace qel {

bool CreatorSkipFlag = false;

namespace {

void* GRealCreateThread = nullptr;
void* GRealGetMessageA = nullptr;
void* GRealPeekMessageA = nullptr;
void* GRealGetMessageW = nullptr;
void* GRealPeekMessageW = nullptr;

// Code areas of the framework's thread-start routine (BeginThread).
std::vector<CodeArea> GBeginThreadAreas;

HMODULE ThisModule() {
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(reinterpret_cast<const void*>(&ThisModule), &info, sizeof info) != sizeof info) return nullptr;
  return static_cast<HMODULE>(info.AllocationBase);
}

bool InExecutable() { return ThisModule() == GetModuleHandleA(nullptr); }

// Every module's tables when the reporter is the executable's, else its own module's.
void PatchTables(const void* oldFunction, const void* newFunction) {
  if (InExecutable())
    PatchImportAllModules(CollectModuleList(false), oldFunction, newFunction);
  else
    PatchImportEntry(ThisModule(), oldFunction, newFunction);
}

// The slot an import stub "jmp dword ptr [slot]" jumps through, or nullptr.
void** StubSlot(const void* stub) {
  uint8_t code[6];
  if (stub == nullptr || !ReadOwnMemory(stub, code, sizeof code) || code[0] != 0xFF || code[1] != 0x25)
    return nullptr;
  uint32_t slot = 0;
  std::memcpy(&slot, code + 2, sizeof slot);
  return reinterpret_cast<void**>(static_cast<uintptr_t>(slot));
}

bool WriteCodePointer(void** slot, const void* value) {
  DWORD protection = 0;
  if (!VirtualProtect(slot, sizeof *slot, PAGE_EXECUTE_READWRITE, &protection)) return false;
  *slot = const_cast<void*>(value);
  VirtualProtect(slot, sizeof *slot, protection, &protection);
  FlushInstructionCache(GetCurrentProcess(), slot, sizeof *slot);
  return true;
}

// Rewrites the tables, then the stub's slot when the walk did not reach it.
// True when the slot was written directly.
bool Redirect(const void* ownStub, const void* from, const void* to, bool onlyWhenHolding) {
  void** slot = StubSlot(ownStub);
  void* noted = nullptr;
  const bool haveSlot = slot != nullptr && ReadOwnValue(slot, noted);
  PatchTables(from, to);
  void* now = nullptr;
  if (!haveSlot || !ReadOwnValue(slot, now) || now != noted) return false;
  if (onlyWhenHolding && now != from) return false;
  return WriteCodePointer(slot, to);
}

void RemoveCallingThreadEntry() { StoreThreadInfo(GetCurrentThreadId(), nullptr, {}, 0, nullptr, {}); }

// A stack frame: the frame pointer of a routine and its return address.
struct TFrame {
  uintptr_t Frame = 0;
  uintptr_t Return = 0;
};

// One frame higher, when the chain of saved frame pointers goes on there.
bool FrameUp(TFrame& f) {
  uintptr_t caller = 0, ret = 0;
  if (!ReadOwnValue(reinterpret_cast<const void*>(f.Frame), caller) || caller <= f.Frame ||
      !ReadOwnValue(reinterpret_cast<const void*>(caller + sizeof(void*)), ret) || ret == 0)
    return false;
  f = {caller, ret};
  return true;
}

bool InBeginThread(uintptr_t address) {
  for (const CodeArea& a : GBeginThreadAreas)
    if (address >= a.start && address <= a.end) return true;
  return false;
}

// The own type-information classes: a class without base, one with a single one.
const void* TypeInfoTable(const std::type_info& t) { return *reinterpret_cast<const void* const*>(&t); }

// Type information record as the Itanium layout has it.
struct TTypeRecord {
  const void* Table = nullptr;
  const char* Name = nullptr;
};

bool ReadTypeName(const TTypeRecord& r, std::string& name) {
  std::string mangled;
  if (!ReadOwnCString(r.Name, 1024, mangled)) return false;
  // '*' marks a type of internal linkage (compared by address, not by name).
  if (!mangled.empty() && mangled[0] == '*') mangled.erase(0, 1);
  name = ClassNameOfTypeName(mangled.c_str(), mangled.size() + 1);
  return !name.empty();
}

constexpr int kMaxClassSteps = 15;

// Memory of the stubs, a page at a time; the caller holds the hook mutex.
uint8_t* AllocateStub() {
  static uint8_t* page = nullptr;
  static size_t used = 0;
  constexpr size_t kPage = 4096, kSlot = 16;
  if (page == nullptr || used + kSlot > kPage) {
    page = static_cast<uint8_t*>(VirtualAlloc(nullptr, kPage, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
    used = 0;
    if (page == nullptr) return nullptr;
  }
  uint8_t* stub = page + used;
  used += kSlot;
  return stub;
}

void BuildThreadExecuteStub(uint8_t* stub, const void* previous) {
  const auto prev = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(previous));
  const auto run = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&RunThreadExecute));
  stub[0] = 0xBA;
  std::memcpy(stub + 1, &prev, 4);
  stub[5] = 0xB8;
  std::memcpy(stub + 6, &run, 4);
  stub[10] = 0xFF;
  stub[11] = 0xE0;
  FlushInstructionCache(GetCurrentProcess(), stub, kThreadExecuteStubSize);
}

struct TOwnedHandle {
  HANDLE H;
  explicit TOwnedHandle(HANDLE h) : H(h) {}
  ~TOwnedHandle() {
    if (H != nullptr) CloseHandle(H);
  }
  TOwnedHandle(const TOwnedHandle&) = delete;
  TOwnedHandle& operator=(const TOwnedHandle&) = delete;
};

// Points a thread class's Execute slot at a stub, once per class in the
// process: other modules carrying the reporter use the same mutex.
void HookExecuteSlot(void** slot) {
  void* current = nullptr;
  if (!ReadOwnValue(slot, current) || IsThreadExecuteStub(current)) return;
  const std::string name = "HookTThread" + HexStrPadded(GetCurrentProcessId(), 1, '0');
  TOwnedHandle mutex(CreateMutexA(nullptr, FALSE, name.c_str()));
  if (mutex.H == nullptr) return;
  const DWORD wait = WaitForSingleObject(mutex.H, INFINITE);
  if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return;
  if (ReadOwnValue(slot, current) && !IsThreadExecuteStub(current)) {
    if (uint8_t* stub = AllocateStub()) {
      BuildThreadExecuteStub(stub, current);
      WriteCodePointer(slot, stub);
    }
  }
  ReleaseMutex(mutex.H);
}

// A message-retrieval hook: the pause may hold the thread, then the real function runs.
template <void** Real, class... Args>
BOOL WINAPI PausingCall(Args... args) {
  PauseIfRequested();
  return reinterpret_cast<BOOL(WINAPI*)(Args...)>(*Real)(args...);
}
constexpr auto HookedGetMessageA = &PausingCall<&GRealGetMessageA, LPMSG, HWND, UINT, UINT>;
constexpr auto HookedPeekMessageA = &PausingCall<&GRealPeekMessageA, LPMSG, HWND, UINT, UINT, UINT>;
constexpr auto HookedGetMessageW = &PausingCall<&GRealGetMessageW, LPMSG, HWND, UINT, UINT>;
constexpr auto HookedPeekMessageW = &PausingCall<&GRealPeekMessageW, LPMSG, HWND, UINT, UINT, UINT>;

}  // namespace

bool HookImport(const char* moduleName, const char* functionName, const void* ownStub, const void* hook,
                void*& realFunction) {
  if (realFunction != nullptr) return false;
  const HMODULE module = GetModuleHandleA(moduleName);
  void* real = module != nullptr ? ExportByName(module, functionName) : nullptr;
  if (real == nullptr) return false;
  realFunction = real;
  return Redirect(ownStub, real, hook, false);
}

void UnhookImport(const void* ownStub, const void* realFunction, const void* hook) {
  if (realFunction == nullptr) return;
  // The slot is given back only while it holds the hook: another hook put
  // there later stays.
  Redirect(ownStub, hook, realFunction, true);
}

void HookThreadCreation() {
  if (GBeginThreadAreas.empty()) {
    TOwnProcessReader memory;
    TOwnProcessSymbolizer symbols;
    const AnalyserEnvironment env{memory, symbols};
    FunctionInfo info;
    AnalyseFunction(env, static_cast<Address>(reinterpret_cast<uintptr_t>(&zf::BeginThread)), info);
    if (info.valid) GBeginThreadAreas = info.codeAreas;
  }
  if (!HookImport("kernel32.dll", "CreateThread", kCreateThreadStub, reinterpret_cast<const void*>(&HookedCreateThread),
                  GRealCreateThread))
    return;
  const IMAGE_NT_HEADERS* headers = PeNtHeaders(GetModuleHandleA(nullptr));
  CreatorSkipFlag = headers != nullptr && headers->OptionalHeader.MajorLinkerVersion == 0x53 &&
                    headers->OptionalHeader.MinorLinkerVersion == 0x52;
}

void UnhookThreadCreation() {
  UnhookImport(kCreateThreadStub, GRealCreateThread, reinterpret_cast<const void*>(&HookedCreateThread));
}

void HookMessageFunctions() {
  HookImport("user32.dll", "GetMessageA", kGetMessageAStub, reinterpret_cast<const void*>(HookedGetMessageA),
             GRealGetMessageA);
  HookImport("user32.dll", "PeekMessageA", kPeekMessageAStub, reinterpret_cast<const void*>(HookedPeekMessageA),
             GRealPeekMessageA);
  HookImport("user32.dll", "GetMessageW", kGetMessageWStub, reinterpret_cast<const void*>(HookedGetMessageW),
             GRealGetMessageW);
  HookImport("user32.dll", "PeekMessageW", kPeekMessageWStub, reinterpret_cast<const void*>(HookedPeekMessageW),
             GRealPeekMessageW);
}

void UnhookMessageFunctions() {
  UnhookImport(kGetMessageAStub, GRealGetMessageA, reinterpret_cast<const void*>(HookedGetMessageA));
  UnhookImport(kPeekMessageAStub, GRealPeekMessageA, reinterpret_cast<const void*>(HookedPeekMessageA));
  UnhookImport(kGetMessageWStub, GRealGetMessageW, reinterpret_cast<const void*>(HookedGetMessageW));
  UnhookImport(kPeekMessageWStub, GRealPeekMessageW, reinterpret_cast<const void*>(HookedPeekMessageW));
}

std::string ThreadObjectClass(const void* parameter, void**& executeSlot) {
  executeSlot = nullptr;
  static const void* const plainClass = TypeInfoTable(typeid(zf::TObject));
  static const void* const derivedClass = TypeInfoTable(typeid(zf::TThread));
  const void* object = nullptr;
  const uintptr_t* vtable = nullptr;
  uintptr_t prefix[2] = {};  // offset to the complete object, type information
  if (parameter == nullptr ||
      !ReadOwnValue(static_cast<const uint8_t*>(parameter) + offsetof(zf::TThreadStartRec, Parameter), object) ||
      object == nullptr || !ReadOwnValue(object, vtable) || vtable == nullptr ||
      !ReadOwnMemory(vtable - 2, prefix, sizeof prefix) || prefix[0] != 0)
    return {};
  // Up the single-base chain of type information to the class just below the root.
  const void* current = reinterpret_cast<const void*>(prefix[1]);
  TTypeRecord own, below, type;
  for (int step = 0;; ++step) {
    if (!ReadOwnValue(current, type)) return {};
    if (step == 0) own = type;
    if (type.Table == plainClass) break;
    if (type.Table != derivedClass || step == kMaxClassSteps) return {};
    below = type;
    if (!ReadOwnValue(static_cast<const uint8_t*>(current) + sizeof(TTypeRecord), current)) return {};
  }
  std::string belowName, ownName;
  if (below.Table == nullptr || !ReadTypeName(below, belowName) || belowName != "TThread" ||
      !ReadTypeName(own, ownName))
    return {};
  executeSlot = reinterpret_cast<void**>(const_cast<uintptr_t*>(vtable)) + zf::TThread::ExecuteVtableIndex();
  return ownName;
}

HANDLE WINAPI HookedCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                                 LPVOID parameter, DWORD flags, LPDWORD threadId) {
  using TCreateThread = decltype(&CreateThread);
  const auto real = reinterpret_cast<TCreateThread>(GRealCreateThread);
  if (real == nullptr) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return nullptr;
  }
  TFrame creator{reinterpret_cast<uintptr_t>(__builtin_frame_address(0)),
                 reinterpret_cast<uintptr_t>(__builtin_return_address(0))};
  if (CreatorSkipFlag) FrameUp(creator);
  // A thread the framework starts: its creator is who asked the framework.
  if (InBeginThread(creator.Return)) FrameUp(creator);
  void** executeSlot = nullptr;
  const std::string className = ThreadObjectClass(parameter, executeSlot);
  if (!className.empty()) {
    FrameUp(creator);  // past the thread object's start, to the code that made the object
    HookExecuteSlot(executeSlot);
  }
  auto record = std::make_unique<TThreadStart>(TThreadStart{start, parameter});
  // Held until listed: a thread that ends at once would otherwise remove its
  // entry before it is stored and leave a stale one behind.
  DWORD id = 0;
  HANDLE thread = real(security, stackSize, &ThreadStartWrapper, record.get(), flags | CREATE_SUSPENDED, &id);
  const DWORD error = GetLastError();
  if (thread != nullptr) {
    record.release();  // the new thread frees it
    StoreThreadInfo(id, thread, {}, GetCurrentThreadId(), reinterpret_cast<void*>(creator.Return), className);
    if ((flags & CREATE_SUSPENDED) == 0) ResumeThread(thread);
  }
  if (threadId != nullptr) *threadId = id;
  SetLastError(error);
  return thread;
}

DWORD WINAPI ThreadStartWrapper(LPVOID record) {
  const TThreadStart start = *std::unique_ptr<TThreadStart>(static_cast<TThreadStart*>(record));
  const DWORD result = start.Routine(start.Parameter);
  RemoveCallingThreadEntry();
  return result;
}

void __attribute__((fastcall)) RunThreadExecute(void* object, void* previousExecute) {
  using TExecute = void(__attribute__((thiscall)) *)(void*);
  reinterpret_cast<TExecute>(previousExecute)(object);
  RemoveCallingThreadEntry();
}

bool IsThreadExecuteStub(const void* address) {
  uint8_t code[kThreadExecuteStubSize];
  if (address == nullptr || !ReadOwnMemory(address, code, sizeof code)) return false;
  uint32_t target = 0;
  std::memcpy(&target, code + 6, sizeof target);
  return code[0] == 0xBA && code[5] == 0xB8 && code[10] == 0xFF && code[11] == 0xE0 &&
         target == static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&RunThreadExecute));
}

}  // namespace qel
