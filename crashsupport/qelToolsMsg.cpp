// Per-thread hidden windows on which handlers for window messages are
// registered, so that work can be sent into a thread and run there.
#include <windows.h>

#include <atomic>
#include <vector>

#include "qelStrings.h"
#include "qelTools.h"

namespace qel {

namespace {

struct TWindowEntry {
  DWORD ThreadId = 0;
  HWND Window = nullptr;
  std::vector<TMsgHandlerEntry> Handlers;
};

std::atomic<HANDLE> gMutex{nullptr};
std::vector<TWindowEntry> gWindows;  // under gMutex

// Created on first use and published once: a thread that loses the race
// closes its own handle and waits on the published one.
HANDLE HandlerMutex() {
  HANDLE mutex = gMutex.load(std::memory_order_acquire);
  if (mutex != nullptr) return mutex;
  HANDLE created = CreateMutexA(nullptr, FALSE, HandlerObjectName(kMsgHandlerMutexPrefix).c_str());
  if (created == nullptr) return nullptr;
  HANDLE expected = nullptr;
  if (gMutex.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) return created;
  CloseHandle(created);
  return expected;
}

class TTableLock {
public:
  explicit TTableLock(HANDLE mutex) : FMutex(mutex) {
    if (FMutex != nullptr && WaitForSingleObject(FMutex, INFINITE) != WAIT_OBJECT_0) FMutex = nullptr;
  }
  ~TTableLock() {
    if (FMutex != nullptr) ReleaseMutex(FMutex);
  }
  TTableLock(const TTableLock&) = delete;
  TTableLock& operator=(const TTableLock&) = delete;
  bool Held() const { return FMutex != nullptr; }

private:
  HANDLE FMutex;
};

template <class T, class Pred>
void RemoveIfSwapLast(std::vector<T>& list, Pred pred) {
  for (size_t i = list.size(); i-- > 0;) {
    if (!pred(list[i])) continue;
    if (i + 1 != list.size()) list[i] = std::move(list.back());
    list.pop_back();
  }
}

// The entry of a window that still exists and still belongs to the thread: a
// thread id the system gives out again never inherits a dead thread's window.
TWindowEntry* LiveEntryOfThread(DWORD threadId) {
  RemoveIfSwapLast(gWindows, [threadId](const TWindowEntry& e) {
    return e.ThreadId == threadId &&
           (!IsWindow(e.Window) || GetWindowThreadProcessId(e.Window, nullptr) != threadId);
  });
  for (TWindowEntry& e : gWindows)
    if (e.ThreadId == threadId) return &e;
  return nullptr;
}

TWindowEntry* EntryOfWindow(HWND window) {
  for (TWindowEntry& e : gWindows)
    if (e.Window == window) return &e;
  return nullptr;
}

// Messages handlers may see below $218: a 112-bit mask over 16..127.
bool HandlersSee(UINT message) {
  if (message >= 0x218) return true;
  switch (message) {
    case 0x11: case 0x12: case 0x15: case 0x16: case 0x17: case 0x1A: case 0x1B: case 0x1C: case 0x1D:
    case 0x1E: case 0x2A: case 0x41: case 0x48: case 0x50: case 0x51: case 0x54: case 0x7E:
      return true;
    default:
      return false;
  }
}

bool SameHandler(const TMsgHandlerEntry& e, TMsgHandlerProc handler, uintptr_t key1, uintptr_t key2) {
  return e.Handler == handler && e.Key1 == key1 && e.Key2 == key2;
}

}  // namespace

std::string HandlerObjectName(const char* prefix) {
  return std::string(prefix) + HexStrPadded(GetCurrentThreadId(), 1, '0') +
         HexStr64Padded(reinterpret_cast<uintptr_t>(&HandlerWindowForThread), 1, '0');
}

HWND HandlerWindowForThread(DWORD threadId) {
  const DWORD self = GetCurrentThreadId();
  if (threadId == 0) threadId = self;
  {
    TTableLock lock(HandlerMutex());
    if (!lock.Held()) return nullptr;
    if (const TWindowEntry* e = LiveEntryOfThread(threadId)) return e->Window;
  }
  if (threadId != self) return nullptr;

  const std::string className = HandlerObjectName(kMsgHandlerClassPrefix);
  HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = &HandlerWindowProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = className.c_str();
  RegisterClassA(&windowClass);  // fails harmlessly when this thread registered it before
  HWND window = CreateWindowExA(WS_EX_TOOLWINDOW, className.c_str(), "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                instance, nullptr);
  if (window == nullptr) return nullptr;
  TTableLock lock(HandlerMutex());
  if (!lock.Held()) {
    DestroyWindow(window);
    return nullptr;
  }
  gWindows.push_back(TWindowEntry{threadId, window, {}});
  return window;
}

uint32_t AddMessageHandlerEx(TMsgHandlerProc handler, uint32_t message, DWORD threadId, uintptr_t key1,
                             uintptr_t key2) {
  HWND window = HandlerWindowForThread(threadId);
  if (window == nullptr) return 0;
  TTableLock lock(HandlerMutex());
  TWindowEntry* entry = lock.Held() ? EntryOfWindow(window) : nullptr;
  if (entry == nullptr) return 0;
  if (message != 0) {
    for (const TMsgHandlerEntry& e : entry->Handlers)
      if (e.Message == message && SameHandler(e, handler, key1, key2)) return 0;
  } else {
    message = kFirstHandlerMessage;
    for (bool used = true; used; ) {
      used = false;
      for (const TMsgHandlerEntry& e : entry->Handlers)
        if (e.Message == message) used = true;
      if (used) ++message;
    }
  }
  entry->Handlers.push_back(TMsgHandlerEntry{message, handler, key1, key2});
  return message;
}

uint32_t AddMessageHandler(TMsgHandlerProc handler, uint32_t message, DWORD threadId) {
  return AddMessageHandlerEx(handler, message, threadId, 0, 0);
}

void RemoveMessageHandlerEx(TMsgHandlerProc handler, uint32_t message, DWORD threadId, uintptr_t key1,
                            uintptr_t key2) {
  HANDLE mutex = gMutex.load(std::memory_order_acquire);
  if (mutex == nullptr) return;
  if (threadId == 0) threadId = GetCurrentThreadId();
  HWND closing = nullptr;
  {
    TTableLock lock(mutex);
    if (!lock.Held()) return;
    size_t index = 0;
    while (index < gWindows.size() && gWindows[index].ThreadId != threadId) ++index;
    if (index == gWindows.size()) return;
    TWindowEntry& entry = gWindows[index];
    RemoveIfSwapLast(entry.Handlers, [&](const TMsgHandlerEntry& e) {
      return SameHandler(e, handler, key1, key2) && (message == 0 || e.Message == message);
    });
    if (entry.Handlers.empty() && IsWindow(entry.Window)) {
      closing = entry.Window;
      if (index + 1 != gWindows.size()) gWindows[index] = std::move(gWindows.back());
      gWindows.pop_back();
    }
  }
  if (closing == nullptr) return;
  if (GetWindowThreadProcessId(closing, nullptr) == GetCurrentThreadId())
    DestroyWindow(closing);
  else
    PostMessageA(closing, WM_CLOSE, 0, 0);
}

void RemoveMessageHandler(TMsgHandlerProc handler, uint32_t message, DWORD threadId) {
  RemoveMessageHandlerEx(handler, message, threadId, 0, 0);
}

LRESULT CALLBACK HandlerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  LRESULT result = DefWindowProcA(window, message, wParam, lParam);
  if (!HandlersSee(message)) return result;
  std::vector<TMsgHandlerEntry> handlers;
  try {
    {
      TTableLock lock(gMutex.load(std::memory_order_acquire));
      if (!lock.Held()) return result;
      if (const TWindowEntry* entry = EntryOfWindow(window)) handlers = entry->Handlers;
    }
    // Outside the lock, on a copy: a handler may add or remove handlers.
    for (const TMsgHandlerEntry& e : handlers) {
      if (e.Message != message) continue;
      if (e.Handler != nullptr)
        e.Handler(window, message, wParam, lParam, result);
      else if (e.Key1 != 0)
        reinterpret_cast<TMsgHandlerMethod>(e.Key1)(reinterpret_cast<void*>(e.Key2), window, message, wParam, lParam,
                                                    result);
    }
  } catch (...) {
    // Nothing may unwind through the system's window procedure caller.
  }
  return result;
}

void CloseHandlerMutex() {
  HANDLE mutex = gMutex.exchange(nullptr, std::memory_order_acq_rel);
  if (mutex != nullptr) CloseHandle(mutex);
  std::vector<TWindowEntry>().swap(gWindows);
  ReleaseOsInfoStrings();
}

}  // namespace qel
