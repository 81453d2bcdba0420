// The CreateThread and message-retrieval hooks on the real thread list, the
// program's own import tables and the program's map (for pausing).
#include <gtest/gtest.h>

#include <atomic>

#include "Classes.h"
#include "Threads.h"
#include "qelExceptImportHooks.h"
#include "qelExceptPause.h"
#include "qelExceptSettings.h"
#include "qelExceptThreads.h"
#include "qelFuncInfo.h"
#include "qelStrings.h"
#include "qelTools.h"

using namespace qel;

namespace {

struct TListed {
  void* Creation = nullptr;
  std::string Title;
  uint32_t CreatorId = 0;
};

TListed Listed(uint32_t threadId) {
  TListed l;
  ThreadTitle(threadId, true, l.Creation, l.Title, l.CreatorId);
  return l;
}

std::string PlainTitle(uint32_t threadId) { return "thread " + HexStrPadded(threadId, 1, '0'); }

// Whether an address lies in the code of a routine, as the analyser sees it.
bool InRoutine(const void* routine, const void* address) {
  TOwnProcessReader memory;
  TOwnProcessSymbolizer symbols;
  const AnalyserEnvironment env{memory, symbols};
  FunctionInfo info;
  AnalyseFunction(env, reinterpret_cast<uintptr_t>(routine), info);
  const auto a = reinterpret_cast<uintptr_t>(address);
  for (const CodeArea& c : info.codeAreas)
    if (a >= c.start && a <= c.end) return true;
  return false;
}

HANDLE GGo = nullptr;  // manual-reset: lets the test's threads end

DWORD WINAPI WaitForGo(LPVOID) {
  WaitForSingleObject(GGo, INFINITE);
  return 9;
}

__attribute__((noinline)) HANDLE StartPlainThread(void* parameter, DWORD& id) {
  return CreateThread(nullptr, 0, &WaitForGo, parameter, 0, &id);
}

class TWorkerA : public zf::TThread {
public:
  std::atomic<int> Runs{0};

protected:
  void Execute() override {
    ++Runs;
    WaitForSingleObject(GGo, INFINITE);
    SetReturnValue(5);
  }
};

class TWorkerB : public TWorkerA {};
class TWorkerC : public TWorkerA {};
class TWorkerD : public TWorkerA {};

// Sees its entry while Execute runs; freed on its own thread after Execute
// (FreeOnTerminate), where the entry must be gone already.
class TSelfChecking : public zf::TThread {
public:
  static inline std::atomic<int> ListedDuringExecute{-1}, ListedAfterExecute{-1};
  TSelfChecking() { SetFreeOnTerminate(true); }
  ~TSelfChecking() override {
    void* creation = nullptr;
    std::string title;
    uint32_t creator = 0;
    ThreadTitle(GetCurrentThreadId(), true, creation, title, creator);
    ListedAfterExecute = creation != nullptr;
  }

protected:
  void Execute() override {
    void* creation = nullptr;
    std::string title;
    uint32_t creator = 0;
    ThreadTitle(GetCurrentThreadId(), true, creation, title, creator);
    ListedDuringExecute = creation != nullptr && title.ends_with("(TSelfChecking)");
  }
};

class TThrowing : public zf::TThread {
protected:
  void Execute() override { throw zf::EConvertError("from Execute"); }
};

uint32_t WaitForGoRoutine(void*) { return WaitForGo(nullptr); }
__attribute__((noinline)) HANDLE StartThroughFramework(void* parameter, uint32_t& id) {
  return zf::BeginThread(nullptr, 0, &WaitForGoRoutine, parameter, 0, &id);
}

__attribute__((noinline)) void StartWorker(zf::TThread& t) { t.Start(); }

void** ExecuteSlotOf(const zf::TThread& t) {
  return *reinterpret_cast<void** const*>(&t) + zf::TThread::ExecuteVtableIndex();
}

// What the program's own import slot holds now (a fresh load each call: the
// compiler may keep an import's address across calls otherwise).
__attribute__((noipa)) void* ImportedTick() { return reinterpret_cast<void*>(&GetTickCount); }
__attribute__((noipa)) DWORD CallTick() { return GetTickCount(); }
__attribute__((noipa)) void* ImportedPeekA() { return reinterpret_cast<void*>(&PeekMessageA); }
__attribute__((noipa)) void* ImportedGetW() { return reinterpret_cast<void*>(&GetMessageW); }

class ImportHooks : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(InstallThreadList());
    MainThreadId = GetCurrentThreadId();
    SetPauseLinks(DefaultPauseLinks());
    GGo = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HookThreadCreation();
    HookMessageFunctions();
  }
  void SetUp() override { ResetEvent(GGo); }
};

}  // namespace

TEST_F(ImportHooks, PlainThreadIsListedWithItsCreatorUntilItsRoutineReturns) {
  int data = 0;
  const zf::TThreadStartRec unreadable{nullptr, reinterpret_cast<void*>(0x10)};
  void* const parameters[] = {nullptr, &data, const_cast<zf::TThreadStartRec*>(&unreadable)};
  for (void* parameter : parameters) {
    SCOPED_TRACE(parameter);
    DWORD id = 0;
    HANDLE h = StartPlainThread(parameter, id);
    ASSERT_NE(nullptr, h);
    const TListed l = Listed(id);
    EXPECT_EQ(PlainTitle(id), l.Title) << "no class name";
    EXPECT_EQ(GetCurrentThreadId(), l.CreatorId);
    EXPECT_TRUE(InRoutine(reinterpret_cast<void*>(&StartPlainThread), l.Creation)) << l.Creation;
    SetEvent(GGo);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, 5000));
    DWORD code = 0;
    GetExitCodeThread(h, &code);
    EXPECT_EQ(9u, code) << "the routine's result is the exit code";
    CloseHandle(h);
    EXPECT_EQ(nullptr, Listed(id).Creation) << "entry gone";
    ResetEvent(GGo);
  }
}

TEST_F(ImportHooks, SuspendedStaysSuspendedAndFrameworkThreadsNameTheirCaller) {
  SetEvent(GGo);
  DWORD id = 0;
  HANDLE h = CreateThread(nullptr, 0, &WaitForGo, nullptr, CREATE_SUSPENDED, &id);
  ASSERT_NE(nullptr, h);
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(h, 100)) << "held as asked";
  EXPECT_NE(nullptr, Listed(id).Creation);
  ResumeThread(h);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, 5000));
  CloseHandle(h);

  ResetEvent(GGo);
  int data = 0;
  uint32_t fid = 0;
  h = StartThroughFramework(&data, fid);
  ASSERT_NE(nullptr, h);
  const TListed l = Listed(fid);
  EXPECT_EQ(PlainTitle(fid), l.Title);
  EXPECT_TRUE(InRoutine(reinterpret_cast<void*>(&StartThroughFramework), l.Creation)) << "the framework's caller";
  SetEvent(GGo);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, 5000));
  CloseHandle(h);
  EXPECT_EQ(nullptr, Listed(fid).Creation);
}

TEST_F(ImportHooks, ClassSearchFindsOnlyThreadObjects) {
  zf::TObject object;
  zf::TComponent component(nullptr);
  TWorkerA a;
  TWorkerB b;
  int data = 0;
  struct TCase {
    void* Object;
    const char* Class;
  } const cases[] = {{&data, ""},      {reinterpret_cast<void*>(0x10), ""}, {&object, ""},
                     {&component, ""}, {&a, "TWorkerA"},                   {&b, "TWorkerB"}};
  for (const TCase& c : cases) {
    const zf::TThreadStartRec record{nullptr, c.Object};
    void** slot = nullptr;
    EXPECT_EQ(c.Class, ThreadObjectClass(&record, slot));
    EXPECT_EQ(*c.Class ? ExecuteSlotOf(*static_cast<zf::TThread*>(c.Object)) : nullptr, slot);
  }
  void** slot = nullptr;
  EXPECT_EQ("", ThreadObjectClass(nullptr, slot));
}

TEST_F(ImportHooks, ThreadObjectIsListedWithItsClassAndHooksItsClassOnce) {
  TWorkerA first, second;
  void** const slot = ExecuteSlotOf(first);
  ASSERT_EQ(slot, ExecuteSlotOf(second));
  StartWorker(first);
  const TListed l = Listed(first.ThreadID());
  EXPECT_EQ(PlainTitle(first.ThreadID()) + " (TWorkerA)", l.Title);
  EXPECT_TRUE(InRoutine(reinterpret_cast<void*>(&StartWorker), l.Creation)) << "the code that started the object";
  void* const stub = *slot;
  EXPECT_TRUE(IsThreadExecuteStub(stub));
  StartWorker(second);
  EXPECT_EQ(stub, *slot) << "the class is hooked once";
  EXPECT_EQ(PlainTitle(second.ThreadID()) + " (TWorkerA)", Listed(second.ThreadID()).Title);
  SetEvent(GGo);
  EXPECT_EQ(5u, first.WaitFor());
  EXPECT_EQ(5u, second.WaitFor());
  EXPECT_EQ(1, first.Runs.load());
  EXPECT_EQ(1, second.Runs.load());
  EXPECT_EQ(nullptr, Listed(first.ThreadID()).Creation);
  EXPECT_EQ(nullptr, Listed(second.ThreadID()).Creation);
  // A subclass has its own table: hooked on its own.
  TWorkerB derived;
  StartWorker(derived);
  EXPECT_EQ(PlainTitle(derived.ThreadID()) + " (TWorkerB)", Listed(derived.ThreadID()).Title);
  EXPECT_TRUE(IsThreadExecuteStub(*ExecuteSlotOf(derived)));
  EXPECT_EQ(5u, derived.WaitFor());
}

TEST_F(ImportHooks, ExecuteHookRemovesTheEntryAndLetsExceptionsThrough) {
  TSelfChecking::ListedDuringExecute = TSelfChecking::ListedAfterExecute = -1;
  (new TSelfChecking)->Start();
  for (int i = 0; i < 500 && TSelfChecking::ListedAfterExecute < 0; ++i) Sleep(10);
  EXPECT_EQ(1, TSelfChecking::ListedDuringExecute.load());
  EXPECT_EQ(0, TSelfChecking::ListedAfterExecute.load()) << "gone when Execute returned";

  TThrowing t;
  StartWorker(t);
  t.WaitFor();
  ASSERT_TRUE(t.FatalException());
  EXPECT_THROW(std::rethrow_exception(t.FatalException()), zf::EConvertError);
  EXPECT_TRUE(IsThreadExecuteStub(*ExecuteSlotOf(t)));
  EXPECT_EQ(nullptr, Listed(t.ThreadID()).Creation);
}

// Objects of one class started on many threads at once: one stub, whose
// previous Execute is the class's own.
TEST_F(ImportHooks, ConcurrentStartsHookTheClassOnce) {
  constexpr int kThreads = 8;
  TWorkerD objects[kThreads];
  void** const slot = ExecuteSlotOf(objects[0]);
  void* const original = *slot;
  static std::atomic<int> ready;
  ready = 0;
  struct TStarter : zf::TThread {
    zf::TThread* Object = nullptr;
    void Execute() override {
      ++ready;
      while (ready < kThreads) Sleep(0);
      StartWorker(*Object);
    }
  } starters[kThreads];
  for (int i = 0; i < kThreads; ++i) {
    starters[i].Object = &objects[i];
    starters[i].Start();
  }
  for (auto& s : starters) s.WaitFor();
  ASSERT_TRUE(IsThreadExecuteStub(*slot));
  void* previous = nullptr;
  memcpy(&previous, static_cast<const uint8_t*>(*slot) + 1, sizeof previous);
  EXPECT_EQ(original, previous);
  SetEvent(GGo);
  for (auto& o : objects) {
    EXPECT_EQ(5u, o.WaitFor());
    EXPECT_EQ(1, o.Runs.load());
  }
}

// Without the mutex the class is left unhooked; the thread is still listed.
TEST_F(ImportHooks, NoMutexNoExecuteHook) {
  const std::string name = "HookTThread" + HexStrPadded(GetCurrentProcessId(), 1, '0');
  HANDLE squatter = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
  ASSERT_NE(nullptr, squatter);
  TWorkerC c;
  StartWorker(c);
  EXPECT_EQ(PlainTitle(c.ThreadID()) + " (TWorkerC)", Listed(c.ThreadID()).Title);
  EXPECT_FALSE(IsThreadExecuteStub(*ExecuteSlotOf(c)));
  SetEvent(GGo);
  EXPECT_EQ(5u, c.WaitFor());
  EXPECT_EQ(1, c.Runs.load());
  CloseHandle(squatter);
}

TEST_F(ImportHooks, MessageHooksKeepResultsAndTheMessage) {
  HMODULE user32 = GetModuleHandleA("user32.dll");
  EXPECT_NE(ExportByName(user32, "PeekMessageA"), ImportedPeekA()) << "calls go to the hook";
  EXPECT_NE(ExportByName(user32, "GetMessageW"), ImportedGetW());
  MSG m{};
  EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
  const UINT msg = WM_APP + 7;
  ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), msg, 11, 22));
  EXPECT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(msg, m.message);
  m = MSG{};
  EXPECT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg, m.message);
  EXPECT_EQ(11u, m.wParam);
  EXPECT_EQ(22, m.lParam);
  ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), msg, 33, 44));
  EXPECT_EQ(TRUE, GetMessageA(&m, nullptr, 0, 0));
  EXPECT_EQ(33u, m.wParam);
  ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), msg, 55, 66));
  EXPECT_EQ(TRUE, GetMessageW(&m, nullptr, 0, 0));
  EXPECT_EQ(66, m.lParam);
  PostQuitMessage(3);
  EXPECT_EQ(FALSE, GetMessageA(&m, nullptr, 0, 0));
  EXPECT_EQ(static_cast<UINT>(WM_QUIT), m.message);
  EXPECT_EQ(3u, m.wParam);
}

TEST_F(ImportHooks, LastErrorSurvivesHookedCalls) {
  MSG m{};
  SetLastError(0x1234);
  PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE);
  EXPECT_EQ(0x1234u, GetLastError());
  DWORD id = 0;
  SetLastError(0x4321);
  HANDLE h = StartPlainThread(nullptr, id);
  EXPECT_EQ(0x4321u, GetLastError());
  SetEvent(GGo);
  WaitForSingleObject(h, 5000);
  CloseHandle(h);
}

namespace {
std::atomic<long> GRounds{0};
std::atomic<bool> GStop{false};
DWORD WINAPI MessageLoop(LPVOID) {
  while (!GStop) {
    MSG m;
    PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE);
    ++GRounds;
    Sleep(1);
  }
  return 0;
}
}  // namespace

// A worker whose loop calls PeekMessageA is held while a report pauses the
// program and goes on after.
TEST_F(ImportHooks, PauseHoldsAWorkerInItsMessageLoop) {
  std::atomic<long>& rounds = GRounds;
  DWORD id = 0;
  HANDLE h = CreateThread(nullptr, 0, &MessageLoop, nullptr, 0, &id);
  ASSERT_NE(nullptr, h);
  while (rounds < 5) Sleep(1);
  EXPECT_TRUE(IsPausableThread(id));
  PauseOtherThreads(true);
  Sleep(100);
  const long before = rounds;
  Sleep(300);
  const long during = rounds - before;
  PauseOtherThreads(false);
  Sleep(200);
  const long after = rounds - before - during;
  GStop = true;
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, 5000));
  CloseHandle(h);
  EXPECT_EQ(0, during);
  EXPECT_GT(after, 10);
}

namespace {
void* GRealTick = nullptr;
std::atomic<int> GFirstHookCalls{0}, GSecondHookCalls{0};
DWORD WINAPI FirstTickHook() {
  ++GFirstHookCalls;
  return reinterpret_cast<decltype(&GetTickCount)>(GRealTick)();
}
DWORD WINAPI SecondTickHook() {
  ++GSecondHookCalls;
  return 0;
}
}  // namespace

// A stub whose slot no table walk reaches gets the hook directly; a second
// hook of the same function changes nothing; unhooking restores both.
TEST_F(ImportHooks, HookImportOnceAndUnhook) {
  void* const real = ExportByName(GetModuleHandleA("kernel32.dll"), "GetTickCount");
  static void* ownSlot;
  ownSlot = real;
  uint8_t stub[6] = {0xFF, 0x25};
  void** const slotAddress = &ownSlot;
  memcpy(stub + 2, &slotAddress, 4);
  EXPECT_TRUE(HookImport("kernel32.dll", "GetTickCount", stub, reinterpret_cast<void*>(&FirstTickHook), GRealTick));
  EXPECT_EQ(real, GRealTick);
  EXPECT_EQ(reinterpret_cast<void*>(&FirstTickHook), ownSlot);
  CallTick();
  EXPECT_EQ(1, GFirstHookCalls.load());
  EXPECT_FALSE(HookImport("kernel32.dll", "GetTickCount", stub, reinterpret_cast<void*>(&SecondTickHook), GRealTick));
  EXPECT_EQ(reinterpret_cast<void*>(&FirstTickHook), ownSlot);
  CallTick();
  EXPECT_EQ(2, GFirstHookCalls.load());
  EXPECT_EQ(0, GSecondHookCalls.load());
  UnhookImport(stub, GRealTick, reinterpret_cast<void*>(&FirstTickHook));
  EXPECT_EQ(real, ownSlot);
  EXPECT_EQ(real, ImportedTick());
  CallTick();
  EXPECT_EQ(2, GFirstHookCalls.load());
  // Nothing known: nothing hooked.
  void* none = nullptr;
  EXPECT_FALSE(HookImport("kernel32.dll", "NoSuchRoutineHere", nullptr, reinterpret_cast<void*>(&SecondTickHook), none));
  EXPECT_EQ(nullptr, none);
}

// A module other than the executable hooks its own table alone.
TEST_F(ImportHooks, HooksOfAModuleStayInItsOwnTable) {
  HMODULE dll = LoadLibraryA("qelimports_testdll.dll");
  ASSERT_NE(nullptr, dll);
  const auto hook = reinterpret_cast<BOOL (*)()>(GetProcAddress(dll, "ImportsDllHook"));
  const auto unhook = reinterpret_cast<void (*)()>(GetProcAddress(dll, "ImportsDllUnhook"));
  const auto tick = reinterpret_cast<long (*)()>(GetProcAddress(dll, "ImportsDllTick"));
  ASSERT_TRUE(hook && unhook && tick);
  void* const real = ExportByName(GetModuleHandleA("kernel32.dll"), "GetTickCount");
  EXPECT_TRUE(hook());
  EXPECT_EQ(1, tick());
  EXPECT_EQ(2, tick());
  EXPECT_EQ(real, ImportedTick()) << "the executable's table is not the module's";
  unhook();
  EXPECT_EQ(2, tick());
  FreeLibrary(dll);
}

// Last: unhooking gives the program's tables their real functions back.
TEST_F(ImportHooks, UnhookingRestoresTheRealFunctions) {
  HMODULE user32 = GetModuleHandleA("user32.dll");
  UnhookMessageFunctions();
  UnhookThreadCreation();
  EXPECT_EQ(ExportByName(user32, "PeekMessageA"), ImportedPeekA());
  EXPECT_EQ(ExportByName(user32, "GetMessageW"), ImportedGetW());
  DWORD id = 0;
  SetEvent(GGo);
  HANDLE h = StartPlainThread(nullptr, id);
  ASSERT_NE(nullptr, h);
  EXPECT_EQ(nullptr, Listed(id).Creation) << "not listed any more";
  WaitForSingleObject(h, 5000);
  CloseHandle(h);
}
