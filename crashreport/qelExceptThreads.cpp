// The shared thread list: block, entries, thread ids and titles.
#include "qelExceptThreads.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstring>

#include "qelExceptMemory.h"
#include "qelTools.h"

namespace qel {

namespace {

TThreadListAnchor* gAnchor = nullptr;  // this module's view

template <class F>
F KernelRoutine(const char* dll, const char* name) {
  HMODULE module = GetModuleHandleA(dll);
  return module ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}

// A LocalAlloc text read within its allocation.
std::string LocalText(const char* text) {
  if (text == nullptr) return {};
  const size_t size = LocalSize(const_cast<char*>(text));
  return std::string(text, strnlen(text, size));
}

char* NewLocalText(const std::string& text) {
  auto* copy = static_cast<char*>(LocalAlloc(LPTR, text.size() + 1));
  if (copy != nullptr) std::memcpy(copy, text.data(), text.size());
  return copy;
}

size_t EntrySize(const TThreadEntry* entry) { return LocalSize(const_cast<TThreadEntry*>(entry)); }

void FreeEntry(TThreadEntry* entry) {
  if (entry->Name != nullptr) LocalFree(entry->Name);
  if (EntrySize(entry) > kThreadEntryShort && entry->ClassName != nullptr) LocalFree(entry->ClassName);
  LocalFree(entry);
}

bool TakeMutex(HANDLE mutex, DWORD timeout) {
  const DWORD r = WaitForSingleObject(mutex, timeout);
  return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
}

void StoreLocked(TThreadListAnchor* anchor, uint32_t threadId, HANDLE threadHandle, std::string name,
                 uint32_t creatorId, void* creationAddress, std::string className) {
  const bool keep = !name.empty() || creationAddress != nullptr;
  TThreadEntry* old = nullptr;
  for (TThreadEntry** link = &anchor->Head; *link != nullptr; link = &(*link)->Next) {
    if ((*link)->ThreadId == threadId) {
      old = *link;
      *link = old->Next;
      break;
    }
  }
  HANDLE handle = nullptr;
  if (old != nullptr) {
    const size_t size = EntrySize(old);
    if (keep) {
      if (name.empty()) name = LocalText(old->Name);
      if (size > kThreadEntryShort) {
        if (className.empty()) className = LocalText(old->ClassName);
        if (creationAddress == nullptr) creationAddress = old->CreationAddress;
        if (creatorId == 0) creatorId = old->CreatorId;
      }
    }
    if (size > kThreadEntryNoHandle) handle = old->Handle;
    FreeEntry(old);
  }
  if (!keep) {
    if (handle != nullptr) CloseHandle(handle);
    return;
  }
  if (handle == nullptr) {
    if (threadHandle != nullptr) {
      if (!DuplicateHandle(GetCurrentProcess(), threadHandle, GetCurrentProcess(), &handle, kThreadEntryAccess, FALSE,
                           0))
        handle = nullptr;
    } else {
      handle = OpenThreadById(threadId, kThreadEntryAccess);
    }
  }
  if (handle == nullptr) return;  // a thread without a handle is not listed
  auto* entry = static_cast<TThreadEntry*>(LocalAlloc(LPTR, sizeof(TThreadEntry)));
  if (entry == nullptr) {
    CloseHandle(handle);
    return;
  }
  entry->ThreadId = threadId;
  entry->Name = NewLocalText(name);
  entry->ClassName = NewLocalText(className);
  entry->CreationAddress = creationAddress;
  entry->CreatorId = creatorId;
  entry->Handle = handle;
  entry->Next = anchor->Head;
  anchor->Head = entry;
}

// The first entry whose thread has ended.
TThreadEntry* FirstEndedEntry(TThreadListAnchor* anchor) {
  for (TThreadEntry* e = anchor->Head; e != nullptr; e = e->Next)
    if (EntrySize(e) > kThreadEntryNoHandle && e->Handle != nullptr && WaitForSingleObject(e->Handle, 0) == WAIT_OBJECT_0)
      return e;
  return nullptr;
}

void FreeAllLocked(TThreadListAnchor* anchor) {
  while (TThreadEntry* e = anchor->Head) {
    anchor->Head = e->Next;
    if (EntrySize(e) > kThreadEntryNoHandle && e->Handle != nullptr) CloseHandle(e->Handle);
    FreeEntry(e);
  }
}

struct TClientId {
  void* UniqueProcess;
  void* UniqueThread;
};
struct TObjectAttributes {
  ULONG Length;
  HANDLE RootDirectory;
  void* ObjectName;
  ULONG Attributes;
  void* SecurityDescriptor;
  void* SecurityQualityOfService;
};
using TNtOpenThread = LONG(WINAPI*)(HANDLE*, ACCESS_MASK, TObjectAttributes*, TClientId*);
using TNtQuerySystemInformation = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
using TOpenThread = HANDLE(WINAPI*)(DWORD, BOOL, DWORD);
using TCreateToolhelp32Snapshot = HANDLE(WINAPI*)(DWORD, DWORD);
using TThread32Walk = BOOL(WINAPI*)(HANDLE, THREADENTRY32*);

constexpr ULONG kSystemProcessInformation = 5;

bool WritableRange(void* address, size_t size) {
  MEMORY_BASIC_INFORMATION info;
  if (VirtualQuery(address, &info, sizeof info) != sizeof info || info.State != MEM_COMMIT) return false;
  const DWORD writable = PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  return (info.Protect & writable) != 0 && (info.Protect & PAGE_GUARD) == 0 &&
         reinterpret_cast<uintptr_t>(address) + size <=
             reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
}

}  // namespace

TThreadListInstall CreateOrJoinThreadList(uint32_t& namedMainThread) {
  namedMainThread = 0;
  if (gAnchor != nullptr) return TThreadListInstall::Joined;
  const std::string name = ThreadListMappingName(GetCurrentProcessId());
  HANDLE mapping =
      CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(TThreadListAnchor), name.c_str());
  const DWORD error = GetLastError();
  if (mapping == nullptr) return TThreadListInstall::NoMapping;
  auto* view = static_cast<TThreadListAnchor*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  if (view == nullptr) {
    CloseHandle(mapping);
    return TThreadListInstall::NoView;
  }
  if (error == ERROR_ALREADY_EXISTS) {
    CloseHandle(mapping);
    InterlockedIncrement(&view->ReferenceCount);
    gAnchor = view;
    return TThreadListInstall::Joined;
  }
  view->WatchdogMutex = CreateMutexA(nullptr, FALSE, nullptr);
  view->ListMutex = CreateMutexA(nullptr, FALSE, nullptr);
  view->Head = nullptr;
  view->MappingHandle = mapping;
  view->ReferenceCount = 1;
  gAnchor = view;
  const std::vector<uint32_t> threads = EnumProcessThreads();
  if (!threads.empty()) {
    namedMainThread = threads.front();
    SetThreadName(namedMainThread, "main thread");
  }
  return TThreadListInstall::Created;
}

bool InstallThreadList() {
  uint32_t mainThread = 0;
  const TThreadListInstall result = CreateOrJoinThreadList(mainThread);
  return result == TThreadListInstall::Created || result == TThreadListInstall::Joined;
}

uint32_t FirstListedThreadId() {
  TThreadListAnchor* anchor = gAnchor;
  if (anchor == nullptr || !TakeMutex(anchor->ListMutex, INFINITE)) return 0;
  const uint32_t id = anchor->Head != nullptr ? anchor->Head->ThreadId : 0;
  ReleaseMutex(anchor->ListMutex);
  return id;
}

void UninstallThreadList() {
  TThreadListAnchor* anchor = gAnchor;
  if (anchor == nullptr) return;
  if (InterlockedDecrement(&anchor->ReferenceCount) == 0) {
    SetThreadName(GetCurrentThreadId(), "");
    // Nobody can reach what is left: close its handles and free it.
    if (TakeMutex(anchor->ListMutex, INFINITE)) {
      FreeAllLocked(anchor);
      ReleaseMutex(anchor->ListMutex);
    }
    CloseHandle(anchor->MappingHandle);
    CloseHandle(anchor->ListMutex);
    CloseHandle(anchor->WatchdogMutex);
  }
  gAnchor = nullptr;
  UnmapViewOfFile(anchor);
}

TThreadListAnchor* InstalledThreadList() { return gAnchor; }

std::vector<uint32_t> EnumProcessThreads() {
  const TOS os = OsInfo();
  if (os.Is9x) return threadlist_detail::EnumThreadsToolhelp();
  return threadlist_detail::EnumThreadsNt(ProcessInfoLayoutFor(sizeof(void*) == 8, os.MajorVersion));
}

void* OpenThreadById(uint32_t threadId, uint32_t desiredAccess) {
  if (auto openThread = KernelRoutine<TOpenThread>("kernel32.dll", "OpenThread"))
    return openThread(desiredAccess, FALSE, threadId);
  if (!IsWin9xVersion(GetVersion())) return threadlist_detail::OpenThreadNt(threadId, desiredAccess);
  // The process database's 18th dword is its handle table.
  const uint32_t obfuscator = ObfuscatorValue();
  const uintptr_t processDatabase = GetCurrentProcessId() ^ obfuscator;
  uint32_t handleTable = 0;
  if (!ReadOwnValue(reinterpret_cast<const void*>(processDatabase + 17 * 4), handleTable) || handleTable == 0)
    return nullptr;
  return threadlist_detail::OpenThread9x(handleTable, IsWin9xObfuscator(), threadId ^ obfuscator, desiredAccess);
}

void StoreThreadInfo(uint32_t threadId, void* threadHandle, const std::string& name, uint32_t creatorId,
                     void* creationAddress, const std::string& className) {
  TThreadListAnchor* anchor = gAnchor;
  if (anchor == nullptr || !TakeMutex(anchor->ListMutex, INFINITE)) return;
  StoreLocked(anchor, threadId, threadHandle, name, creatorId, creationAddress, className);
  // Ended threads go, one after the other.
  while (TThreadEntry* ended = FirstEndedEntry(anchor)) StoreLocked(anchor, ended->ThreadId, nullptr, {}, 0, nullptr, {});
  ReleaseMutex(anchor->ListMutex);
}

void SetThreadName(uint32_t threadId, const std::string& name) {
  StoreThreadInfo(threadId, nullptr, name, 0, nullptr, {});
}

void ThreadTitle(uint32_t threadId, bool showReporterThreads, void*& creationAddress, std::string& title,
                 uint32_t& creatorId) {
  TThreadListAnchor* anchor = gAnchor;
  creationAddress = nullptr;
  if (anchor == nullptr || !TakeMutex(anchor->ListMutex, 50)) {
    title = ThreadTitleText(threadId, {}, {});
    return;
  }
  std::string name;
  std::string className;
  for (TThreadEntry* e = anchor->Head; e != nullptr; e = e->Next) {
    if (e->ThreadId != threadId) continue;
    name = LocalText(e->Name);
    if (EntrySize(e) > kThreadEntryShort) {
      creationAddress = e->CreationAddress;
      creatorId = e->CreatorId;
      // A class name that cannot be read is left out.
      if (e->ClassName != nullptr && !ReadOwnCString(e->ClassName, LocalSize(e->ClassName), className))
        className.clear();
    }
    break;
  }
  if (!showReporterThreads && name == "-")
    title.clear();
  else
    title = ThreadTitleText(threadId, name, className);
  ReleaseMutex(anchor->ListMutex);
}

namespace threadlist_detail {

std::vector<uint32_t> EnumThreadsToolhelp() {
  std::vector<uint32_t> ids;
  auto snapshot = KernelRoutine<TCreateToolhelp32Snapshot>("kernel32.dll", "CreateToolhelp32Snapshot");
  auto first = KernelRoutine<TThread32Walk>("kernel32.dll", "Thread32First");
  auto next = KernelRoutine<TThread32Walk>("kernel32.dll", "Thread32Next");
  if (snapshot == nullptr || first == nullptr || next == nullptr) return ids;
  HANDLE shot = snapshot(TH32CS_SNAPTHREAD, 0);
  if (shot == INVALID_HANDLE_VALUE || shot == nullptr) return ids;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  const DWORD self = GetCurrentProcessId();
  for (BOOL ok = first(shot, &entry); ok; ok = next(shot, &entry))
    if (entry.th32OwnerProcessID == self) ids.push_back(entry.th32ThreadID);
  CloseHandle(shot);
  return ids;
}

std::vector<uint32_t> EnumThreadsNt(const TProcessInfoLayout& layout) {
  auto query = KernelRoutine<TNtQuerySystemInformation>("ntdll.dll", "NtQuerySystemInformation");
  if (query == nullptr) return {};
  std::vector<uint8_t> buffer;
  ULONG needed = 0;
  LONG status = query(kSystemProcessInformation, nullptr, 0, &needed);
  if (needed != 0) {
    buffer.assign(static_cast<size_t>(needed) * 2, 0);
    status = query(kSystemProcessInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
  } else {
    for (size_t size = 128 * 1024; size <= 4 * 1024 * 1024; size *= 2) {
      buffer.assign(size, 0);
      status = query(kSystemProcessInformation, buffer.data(), static_cast<ULONG>(size), &needed);
      if (status == 0) break;
    }
  }
  if (status != 0) return {};
  return ParseProcessThreadIds(buffer.data(), buffer.size(), GetCurrentProcessId(), layout);
}

void* OpenThreadNt(uint32_t threadId, uint32_t desiredAccess) {
  auto open = KernelRoutine<TNtOpenThread>("ntdll.dll", "NtOpenThread");
  if (open == nullptr) return nullptr;
  TObjectAttributes attributes{};
  attributes.Length = sizeof attributes;
  TClientId client{nullptr, reinterpret_cast<void*>(static_cast<uintptr_t>(threadId))};
  HANDLE handle = nullptr;
  if (open(&handle, desiredAccess, &attributes, &client) != 0) return nullptr;
  return handle;
}

void* OpenThread9x(uintptr_t handleTable, bool obfuscatedHandles, uint32_t threadDatabase, uint32_t desiredAccess) {
  HANDLE self = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &self, 0, FALSE,
                       DUPLICATE_SAME_ACCESS))
    return nullptr;
  const auto value = reinterpret_cast<uintptr_t>(self);
  const uintptr_t index = obfuscatedHandles ? value : value / 4;
  auto* slot = reinterpret_cast<uint32_t*>(handleTable + 8 + 8 * index);
  HANDLE result = nullptr;
  uint32_t old = 0;
  if (ReadOwnValue(slot, old) && WritableRange(slot, sizeof *slot)) {
    *slot = threadDatabase;
    if (!DuplicateHandle(GetCurrentProcess(), self, GetCurrentProcess(), &result, desiredAccess, FALSE, 0))
      result = nullptr;
    *slot = old;
  }
  CloseHandle(self);
  return result;
}

}  // namespace threadlist_detail

}  // namespace qel
