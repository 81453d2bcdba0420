// The process's shared thread list: one list per process that every module
// carrying the reporter joins, anchored in a named shared-memory block and
// guarded by a kernel mutex; entries live in LocalAlloc memory so that any
// module can free any entry. Windows only.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "qelExceptThreadsCore.h"

namespace qel {

struct TThreadEntry;

// The block at the start of the mapping.
struct TThreadListAnchor {
  void* WatchdogMutex;  // whoever holds it runs the freeze watchdog of the process
  void* ListMutex;
  TThreadEntry* Head;
  volatile long ReferenceCount;
  void* MappingHandle;  // the creating module's handle of the mapping
};

// One thread; an entry allocated by an older module may be shorter: readers
// check LocalSize before touching a field past `Next` or past `CreatorId`.
struct TThreadEntry {
  uint32_t ThreadId;
  char* Name;  // LocalAlloc text; "" none, "-" the reporter's own threads
  TThreadEntry* Next;
  char* ClassName;  // LocalAlloc text: class of the thread object that created it
  void* CreationAddress;
  uint32_t CreatorId;
  void* Handle;  // SYNCHRONIZE | THREAD_QUERY_INFORMATION, owned by the entry
};
static_assert(sizeof(void*) != 4 || (sizeof(TThreadListAnchor) == 20 && sizeof(TThreadEntry) == 28),
              "the 32-bit layouts are shared with other modules");
inline constexpr size_t kThreadEntryShort = offsetof(TThreadEntry, ClassName);  // id, name, next only
inline constexpr size_t kThreadEntryNoHandle = offsetof(TThreadEntry, Handle);  // no handle field
inline constexpr uint32_t kThreadEntryAccess = 0x100040;

// Creates the block or joins the one of the process (each module once).
// False when no block can be had.
bool InstallThreadList();
// The same, telling how it went. A module that creates the block names the
// process's first thread "main thread" and gets its id (0 when the process
// has no thread list); a joining module renames nothing.
enum class TThreadListInstall { Created, Joined, NoMapping, NoView };
TThreadListInstall CreateOrJoinThreadList(uint32_t& namedMainThread);
// The thread of the list's first (newest) entry; 0 when the list is empty
// or not installed.
uint32_t FirstListedThreadId();
// Leaves the block; the last module removes it.
void UninstallThreadList();
// This module's view of the block, nullptr while not installed.
TThreadListAnchor* InstalledThreadList();

std::vector<uint32_t> EnumProcessThreads();
void* OpenThreadById(uint32_t threadId, uint32_t desiredAccess);

void StoreThreadInfo(uint32_t threadId, void* threadHandle, const std::string& name, uint32_t creatorId,
                     void* creationAddress, const std::string& className);
void SetThreadName(uint32_t threadId, const std::string& name);
// Title for the report; empty when the thread is one of the reporter's own
// ("-") and those are not shown. Waits at most 50 ms for the list.
void ThreadTitle(uint32_t threadId, bool showReporterThreads, void*& creationAddress, std::string& title,
                 uint32_t& creatorId);

// The branches on their own, for systems where the usual one is missing.
namespace threadlist_detail {
std::vector<uint32_t> EnumThreadsToolhelp();
std::vector<uint32_t> EnumThreadsNt(const TProcessInfoLayout& layout);
void* OpenThreadNt(uint32_t threadId, uint32_t desiredAccess);
// The 9x way: a thread database put into a duplicated handle's slot of the
// process's handle table. `handleTable` is that table's address.
void* OpenThread9x(uintptr_t handleTable, bool obfuscatedHandles, uint32_t threadDatabase,
                   uint32_t desiredAccess);
}  // namespace threadlist_detail

}  // namespace qel
