// The shared thread list across threads and modules of one process.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "qelExceptThreads.h"
#include "qelStrings.h"
#include "qelWinTestSupport.h"

using namespace qel;
using qeltest::TParkedThread;

namespace {

struct TTitle {
  std::string Text;
  void* CreationAddress = reinterpret_cast<void*>(1);
  uint32_t CreatorId = 0xDEAD;
};

TTitle Title(uint32_t id, bool showReporterThreads = false) {
  TTitle t;
  ThreadTitle(id, showReporterThreads, t.CreationAddress, t.Text, t.CreatorId);
  return t;
}

std::string Hex(uint32_t id) { return HexStrPadded(id, 1, '0'); }

const TThreadEntry* FindEntry(uint32_t id) {
  for (const TThreadEntry* e = InstalledThreadList()->Head; e != nullptr; e = e->Next)
    if (e->ThreadId == id) return e;
  return nullptr;
}

// Holds a mutex from another thread until released (stdcall: no lambda in the i686 build).
struct THolder {
  HANDLE Mutex, Taken, Release;
};
DWORD WINAPI HoldMutex(void* p) {
  auto* h = static_cast<THolder*>(p);
  WaitForSingleObject(h->Mutex, INFINITE);
  SetEvent(h->Taken);
  WaitForSingleObject(h->Release, 20000);
  ReleaseMutex(h->Mutex);
  return 0;
}

struct ThreadListTest : ::testing::Test {
  void SetUp() override { ASSERT_TRUE(InstallThreadList()); }
  void TearDown() override { UninstallThreadList(); }
};

}  // namespace

TEST_F(ThreadListTest, BlockIsNamedAfterTheProcessAndNamesTheMainThread) {
  TThreadListAnchor* anchor = InstalledThreadList();
  ASSERT_NE(anchor, nullptr);
  EXPECT_EQ(anchor->ReferenceCount, 1);
  EXPECT_NE(anchor->ListMutex, nullptr);
  EXPECT_NE(anchor->WatchdogMutex, nullptr);
  const std::string name = ThreadListMappingName(GetCurrentProcessId());
  HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
  ASSERT_NE(mapping, nullptr) << name;
  auto* other = static_cast<TThreadListAnchor*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(other->ListMutex, anchor->ListMutex);
  UnmapViewOfFile(other);
  CloseHandle(mapping);
  // The tests run on the process's first thread.
  EXPECT_EQ(Title(GetCurrentThreadId()).Text, "main thread (" + Hex(GetCurrentThreadId()) + ")");

  // What is left when the last module goes is freed, its handles closed.
  TParkedThread thread;
  SetThreadName(thread.Id(), "left over");
  const TThreadEntry* entry = FindEntry(thread.Id());
  ASSERT_NE(entry, nullptr);
  HANDLE leftOver = entry->Handle;
  DWORD flags = 0;
  ASSERT_TRUE(GetHandleInformation(leftOver, &flags));
  UninstallThreadList();
  EXPECT_FALSE(GetHandleInformation(leftOver, &flags));
  EXPECT_EQ(InstalledThreadList(), nullptr);
  EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str()), nullptr) << "the last module removes the block";
  EXPECT_EQ(Title(GetCurrentThreadId()).Text, "thread " + Hex(GetCurrentThreadId()));
  ASSERT_TRUE(InstallThreadList());
}

TEST_F(ThreadListTest, EnumProcessThreadsListsEveryThread) {
  std::vector<std::unique_ptr<TParkedThread>> threads;
  for (int i = 0; i < 6; ++i) threads.push_back(std::make_unique<TParkedThread>());
  const std::vector<uint32_t> ids = EnumProcessThreads();
  const std::vector<uint32_t> snapshot = threadlist_detail::EnumThreadsToolhelp();
  auto contains = [](const std::vector<uint32_t>& v, uint32_t id) { return std::find(v.begin(), v.end(), id) != v.end(); };
  EXPECT_TRUE(contains(ids, GetCurrentThreadId()));
  for (const auto& t : threads) {
    EXPECT_TRUE(contains(ids, t->Id())) << t->Id();
    EXPECT_TRUE(contains(snapshot, t->Id())) << t->Id();
  }
  auto sorted = ids;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << "no id twice";
  const uint32_t ended = threads.back()->Id();
  threads.back()->Release();
  threads.pop_back();
  EXPECT_FALSE(contains(EnumProcessThreads(), ended));
}

TEST_F(ThreadListTest, OpenThreadByIdAndTheNtFallback) {
  TParkedThread thread;
  HANDLE byId = OpenThreadById(thread.Id(), SYNCHRONIZE);
  HANDLE byNt = threadlist_detail::OpenThreadNt(thread.Id(), SYNCHRONIZE);
  ASSERT_NE(byId, nullptr);
  ASSERT_NE(byNt, nullptr);
  EXPECT_EQ(WaitForSingleObject(byId, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  thread.Release();
  EXPECT_EQ(WaitForSingleObject(byId, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(byNt, 5000), WAIT_OBJECT_0);
  CloseHandle(byId);
  CloseHandle(byNt);
  EXPECT_EQ(OpenThreadById(0xFFFFFFF0u, SYNCHRONIZE), nullptr);
  EXPECT_EQ(threadlist_detail::OpenThreadNt(0xFFFFFFF0u, SYNCHRONIZE), nullptr);
}

TEST_F(ThreadListTest, StoreRenameAndRemove) {
  TParkedThread thread;
  const uint32_t id = thread.Id();
  const auto creation = reinterpret_cast<void*>(static_cast<uintptr_t>(0x401234));
  StoreThreadInfo(id, thread.Handle(), "worker", GetCurrentThreadId(), creation, "TMyThread");
  TTitle t = Title(id);
  EXPECT_EQ(t.Text, "worker (" + Hex(id) + ")");
  EXPECT_EQ(t.CreationAddress, creation);
  EXPECT_EQ(t.CreatorId, GetCurrentThreadId());
  const TThreadEntry* entry = FindEntry(id);
  ASSERT_NE(entry, nullptr);
  ASSERT_GE(LocalSize(const_cast<TThreadEntry*>(entry)), sizeof(TThreadEntry));
  EXPECT_NE(entry->Handle, thread.Handle()) << "the entry owns a handle of its own";
  void* handle = entry->Handle;

  // Renaming keeps class, creation address, creator and handle.
  SetThreadName(id, "renamed");
  entry = FindEntry(id);
  ASSERT_NE(entry, nullptr);
  EXPECT_STREQ(entry->Name, "renamed");
  EXPECT_STREQ(entry->ClassName, "TMyThread");
  EXPECT_EQ(entry->CreationAddress, creation);
  EXPECT_EQ(entry->CreatorId, GetCurrentThreadId());
  EXPECT_EQ(entry->Handle, handle);
  EXPECT_EQ(Title(id).Text, "renamed (" + Hex(id) + ")");

  // An empty name removes the entry, creation address included.
  SetThreadName(id, "");
  EXPECT_EQ(FindEntry(id), nullptr);
  t = Title(id);
  EXPECT_EQ(t.Text, "thread " + Hex(id));
  EXPECT_EQ(t.CreationAddress, nullptr);

  // A creation address alone keeps an unnamed entry: titled by its class.
  StoreThreadInfo(id, nullptr, "", 7, creation, "TMyThread");
  EXPECT_EQ(Title(id).Text, "thread " + Hex(id) + " (TMyThread)");
  EXPECT_EQ(Title(id).CreatorId, 7u);

  // A thread whose handle cannot be had is not listed.
  SetThreadName(0xFFFFFFF0u, "ghost");
  EXPECT_EQ(FindEntry(0xFFFFFFF0u), nullptr);
}

TEST_F(ThreadListTest, EndedThreadsGoAtTheNextStore) {
  auto a = std::make_unique<TParkedThread>();
  auto b = std::make_unique<TParkedThread>();
  auto c = std::make_unique<TParkedThread>();
  SetThreadName(a->Id(), "a");
  SetThreadName(b->Id(), "b");
  SetThreadName(c->Id(), "c");
  const uint32_t aId = a->Id();
  const uint32_t bId = b->Id();
  a.reset();
  b.reset();
  EXPECT_NE(FindEntry(aId), nullptr) << "nothing goes before the next store";
  SetThreadName(GetCurrentThreadId(), "main thread");
  EXPECT_EQ(FindEntry(aId), nullptr);
  EXPECT_EQ(FindEntry(bId), nullptr);
  EXPECT_NE(FindEntry(c->Id()), nullptr);
}

namespace {
// "t<index>" or "t<index>-<n>", built piecewise (GCC 12 warns on the chained form).
std::string Label(int index, int n = -1) {
  std::string label = "t";
  label += std::to_string(index);
  if (n >= 0) label.append("-").append(std::to_string(n));
  return label;
}

struct TRenamer {
  int Index;
  HANDLE Done;
  HANDLE Release;
};

// Renames itself over and over, then stays alive (with its last name) until released.
DWORD WINAPI RenameSelf(void* p) {
  const auto* r = static_cast<TRenamer*>(p);
  for (int n = 0; n < 200; ++n) {
    SetThreadName(GetCurrentThreadId(), Label(r->Index, n));
    void* address = nullptr;
    std::string title;
    uint32_t creator = 0;
    ThreadTitle(GetCurrentThreadId(), false, address, title, creator);
  }
  SetThreadName(GetCurrentThreadId(), Label(r->Index));
  SetEvent(r->Done);
  WaitForSingleObject(r->Release, 60000);
  return 0;
}
}  // namespace

TEST_F(ThreadListTest, ConcurrentStoresKeepOneEntryPerThread) {
  constexpr int kThreads = 8;
  TRenamer renamers[kThreads];
  HANDLE threads[kThreads];
  HANDLE done[kThreads];
  DWORD ids[kThreads];
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  for (int i = 0; i < kThreads; ++i) {
    done[i] = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    renamers[i] = {i, done[i], release};
    threads[i] = CreateThread(nullptr, 0, &RenameSelf, &renamers[i], 0, &ids[i]);
  }
  for (int n = 0; n < 100; ++n) Title(ids[n % kThreads]);
  ASSERT_EQ(WaitForMultipleObjects(kThreads, done, TRUE, 60000), WAIT_OBJECT_0);
  for (int i = 0; i < kThreads; ++i) {
    int entries = 0;
    for (const TThreadEntry* e = InstalledThreadList()->Head; e != nullptr; e = e->Next) entries += e->ThreadId == ids[i];
    EXPECT_EQ(entries, 1) << i;
    EXPECT_EQ(Title(ids[i]).Text, Label(i) + " (" + Hex(ids[i]) + ")");
  }
  SetEvent(release);
  ASSERT_EQ(WaitForMultipleObjects(kThreads, threads, TRUE, 10000), WAIT_OBJECT_0);
  for (int i = 0; i < kThreads; ++i) {
    CloseHandle(threads[i]);
    CloseHandle(done[i]);
  }
  CloseHandle(release);
  // They have ended: the next store clears them all.
  SetThreadName(GetCurrentThreadId(), "main thread");
  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(FindEntry(ids[i]), nullptr);
}

TEST_F(ThreadListTest, ReporterThreadsAreLeftOutUnlessAsked) {
  TParkedThread thread;
  StoreThreadInfo(thread.Id(), thread.Handle(), "-", 0, nullptr, "TExceptThread");
  EXPECT_EQ(Title(thread.Id()).Text, "");
  EXPECT_EQ(Title(thread.Id(), true).Text, "thread " + Hex(thread.Id()) + " (TExceptThread)");
}

TEST_F(ThreadListTest, ShortEntryOfAnotherModuleIsReadForIdAndNameOnly) {
  TParkedThread thread;
  TThreadListAnchor* anchor = InstalledThreadList();
  // Id, name and next only, as an older module allocates it.
  auto* entry = static_cast<TThreadEntry*>(LocalAlloc(LPTR, kThreadEntryShort));
  ASSERT_NE(entry, nullptr);
  entry->ThreadId = thread.Id();
  entry->Name = static_cast<char*>(LocalAlloc(LPTR, 6));
  strcpy(entry->Name, "short");
  ASSERT_EQ(WaitForSingleObject(anchor->ListMutex, 1000), WAIT_OBJECT_0);
  entry->Next = anchor->Head;
  anchor->Head = entry;
  ReleaseMutex(anchor->ListMutex);

  TTitle t = Title(thread.Id());
  EXPECT_EQ(t.Text, "short (" + Hex(thread.Id()) + ")");
  EXPECT_EQ(t.CreationAddress, nullptr);
  EXPECT_EQ(t.CreatorId, 0xDEADu) << "creator left untouched";
  // A store on another thread walks past it; renaming replaces it by a full entry.
  SetThreadName(GetCurrentThreadId(), "main thread");
  StoreThreadInfo(thread.Id(), nullptr, "", 5, reinterpret_cast<void*>(0x10), "");
  const TThreadEntry* full = FindEntry(thread.Id());
  ASSERT_NE(full, nullptr);
  EXPECT_GE(LocalSize(const_cast<TThreadEntry*>(full)), sizeof(TThreadEntry));
  EXPECT_STREQ(full->Name, "short");
  EXPECT_EQ(full->CreatorId, 5u);
  EXPECT_NE(full->Handle, nullptr);
}

TEST_F(ThreadListTest, TitleAnswersWithoutTheListWhileAnotherThreadHoldsIt) {
  SetThreadName(GetCurrentThreadId(), "named");
  TThreadListAnchor* anchor = InstalledThreadList();
  THolder holder{anchor->ListMutex, CreateEventA(nullptr, TRUE, FALSE, nullptr),
                 CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  HANDLE thread = CreateThread(nullptr, 0, &HoldMutex, &holder, 0, nullptr);
  ASSERT_EQ(WaitForSingleObject(holder.Taken, 5000), WAIT_OBJECT_0);
  const DWORD start = GetTickCount();
  const TTitle t = Title(GetCurrentThreadId());
  const DWORD elapsed = GetTickCount() - start;
  SetEvent(holder.Release);
  WaitForSingleObject(thread, 5000);
  EXPECT_EQ(t.Text, "thread " + Hex(GetCurrentThreadId())) << "the list was not read";
  EXPECT_EQ(t.CreationAddress, nullptr);
  EXPECT_LT(elapsed, 1000u);
  EXPECT_EQ(Title(GetCurrentThreadId()).Text, "named (" + Hex(GetCurrentThreadId()) + ")");
  CloseHandle(thread);
  CloseHandle(holder.Taken);
  CloseHandle(holder.Release);
}

TEST_F(ThreadListTest, SecondModuleJoinsTheBlock) {
  HMODULE dll = LoadLibraryA(qeltest::kTestDll);
  ASSERT_NE(dll, nullptr);
  auto install = qeltest::DllRoutine<BOOL (*)()>(dll, "TestDllInstall");
  auto uninstall = qeltest::DllRoutine<void (*)()>(dll, "TestDllUninstall");
  auto setName = qeltest::DllRoutine<void (*)(DWORD, const char*)>(dll, "TestDllSetThreadName");
  auto anchorOf = qeltest::DllRoutine<void* (*)()>(dll, "TestDllAnchor");
  ASSERT_TRUE(install && uninstall && setName && anchorOf);
  ASSERT_TRUE(install());
  auto* theirs = static_cast<TThreadListAnchor*>(anchorOf());
  ASSERT_NE(theirs, nullptr);
  EXPECT_EQ(InstalledThreadList()->ReferenceCount, 2);
  EXPECT_EQ(theirs->ListMutex, InstalledThreadList()->ListMutex);
  TParkedThread thread;
  setName(thread.Id(), "named by the library");
  EXPECT_EQ(Title(thread.Id()).Text, "named by the library (" + Hex(thread.Id()) + ")");
  // Its entry is freed by this module: LocalAlloc memory belongs to no module.
  SetThreadName(thread.Id(), "");
  EXPECT_EQ(FindEntry(thread.Id()), nullptr);
  uninstall();
  EXPECT_EQ(InstalledThreadList()->ReferenceCount, 1);
  EXPECT_EQ(Title(GetCurrentThreadId()).Text, "main thread (" + Hex(GetCurrentThreadId()) + ")");
  FreeLibrary(dll);
}
