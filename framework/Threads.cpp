#include "Threads.h"

#include <windows.h>

#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>

namespace zf {

namespace {

constexpr DWORD kCppExceptionCode = 0x0EEDFADE;

// A C++ exception does not travel the system's exception chain: it is raised
// there, so that the top-level handler sees every exception of the thread.
__attribute__((noinline)) uint32_t RunThreadFunc(const TThreadStartRec& rec) {
  try {
    return rec.Func(rec.Parameter);
  } catch (...) {
    std::exception_ptr caught = std::current_exception();
    const ULONG_PTR args[2] = {0, reinterpret_cast<ULONG_PTR>(&caught)};
    RaiseException(kCppExceptionCode, EXCEPTION_NONCONTINUABLE, 2, args);
    return 0;
  }
}

const DWORD gMainThreadId = GetCurrentThreadId();

struct TEventHandle {
  HANDLE h = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  TEventHandle() = default;
  TEventHandle(const TEventHandle&) = delete;
  TEventHandle& operator=(const TEventHandle&) = delete;
  ~TEventHandle() {
    if (h) CloseHandle(h);
  }
};

struct TSyncRequest {
  const TThreadMethod* method;
  std::exception_ptr raised;
  TEventHandle done;
};

std::mutex gSyncLock;
std::deque<TSyncRequest*> gSyncQueue;

TSyncRequest* NextSyncRequest() {
  std::lock_guard<std::mutex> lock(gSyncLock);
  if (gSyncQueue.empty()) return nullptr;
  TSyncRequest* r = gSyncQueue.front();
  gSyncQueue.pop_front();
  return r;
}

struct TExceptionRegistration {
  TExceptionRegistration* Prev;
  void* Handler;
};

DWORD WINAPI ThreadWrapper(LPVOID p) {
  // The record is ours from here on; the routine may outlive anything its creator holds.
  const TThreadStartRec rec = *std::unique_ptr<TThreadStartRec>(static_cast<TThreadStartRec*>(p));
  // The thread's outermost exception registration: the top-level handler.
  TExceptionRegistration frame{nullptr, reinterpret_cast<void*>(&TopLevelExceptionHandler)};
  __asm__ volatile("movl %%fs:0, %0" : "=r"(frame.Prev));
  __asm__ volatile("movl %0, %%fs:0" : : "r"(&frame) : "memory");
  const uint32_t result = RunThreadFunc(rec);
  __asm__ volatile("movl %0, %%fs:0" : : "r"(frame.Prev) : "memory");
  return result;
}

}  // namespace

// Patched at run time by the exception reporter: kept out of line.
__attribute__((noipa, used)) int TopLevelExceptionHandler(void* record, void*, void*, void*) {
  const auto* r = static_cast<const EXCEPTION_RECORD*>(record);
  if (r->ExceptionCode == kCppExceptionCode && !(r->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)))
    std::terminate();  // still inside the catch: the terminate handler sees the exception
  return ExceptionContinueSearch;
}

uint32_t MainThreadID() { return gMainThreadId; }

// Patched at run time by the exception reporter (its call of
// AcquireExceptionObject is redirected): kept out of line.
__attribute__((noipa, used)) bool CheckSynchronize() {
  if (GetCurrentThreadId() != gMainThreadId) return false;
  bool ran = false;
  while (TSyncRequest* r = NextSyncRequest()) {
    try {
      (*r->method)();
    } catch (...) {
      r->raised = AcquireExceptionObject();
    }
    SetEvent(r->done.h);
    ran = true;
  }
  return ran;
}

__attribute__((noipa, used)) std::exception_ptr AcquireExceptionObject() { return std::current_exception(); }

void TThread::Synchronize(const TThreadMethod& method) {
  if (GetCurrentThreadId() == gMainThreadId) {
    method();
    return;
  }
  TSyncRequest request{&method, {}, {}};
  if (!request.done.h) throw EThread("Synchronize: no event: " + std::to_string(GetLastError()));
  {
    std::lock_guard<std::mutex> lock(gSyncLock);
    gSyncQueue.push_back(&request);
  }
  // Wakes the main thread's message loop.
  PostThreadMessageA(gMainThreadId, WM_NULL, 0, 0);
  WaitForSingleObject(request.done.h, INFINITE);
  if (request.raised) std::rethrow_exception(request.raised);
}

// A frame of its own (never inlined): crash reporting recognises the threads it starts by it.
__attribute__((noinline)) void* BeginThread(void* securityAttributes, uint32_t stackSize, TThreadFunc func, void* parameter,
                  uint32_t creationFlags, uint32_t* threadId) {
  auto rec = std::make_unique<TThreadStartRec>(TThreadStartRec{func, parameter});
  DWORD id = 0;
  HANDLE h = CreateThread(static_cast<LPSECURITY_ATTRIBUTES>(securityAttributes), stackSize, ThreadWrapper,
                          rec.get(), creationFlags, &id);
  if (h) rec.release();  // the new thread frees it
  if (threadId) *threadId = id;
  return h;
}

const TClassInfo& TThread::StaticClassInfo() {
  static const TClassInfo info("TThread", &TObject::StaticClassInfo());
  return info;
}

TThread::~TThread() {
  if (!FHandle) return;
  if (!FFinished) {
    Terminate();
    if (FSuspended) Resume();
    WaitForSingleObject(FHandle, INFINITE);
  }
  CloseHandle(FHandle);
}

void TThread::Start(bool CreateSuspended) {
  if (FHandle) throw EThread("Thread already started");
  // Held until handle and id are stored: a FreeOnTerminate object may be gone
  // as soon as its thread runs.
  DWORD id = 0;
  HANDLE h = BeginThread(nullptr, 0, &TThread::ThreadProc, this, CREATE_SUSPENDED, reinterpret_cast<uint32_t*>(&id));
  if (!h) throw EThread("Thread creation error: " + std::to_string(GetLastError()));
  FHandle = h;
  FThreadID = id;
  FSuspended = CreateSuspended;
  if (!CreateSuspended) ResumeThread(h);  // `this` may be freed from here on
}

void TThread::Resume() {
  if (FHandle && FSuspended && ResumeThread(FHandle) != static_cast<DWORD>(-1)) FSuspended = false;
}

uint32_t TThread::WaitFor() {
  if (!FHandle) throw EThread("Thread not started");
  WaitForSingleObject(FHandle, INFINITE);
  DWORD code = 0;
  GetExitCodeThread(FHandle, &code);
  return code;
}

uint32_t TThread::ThreadProc(void* self) {
  auto* t = static_cast<TThread*>(self);
  try {
    if (!t->Terminated()) t->Execute();
  } catch (...) {
    t->FFatalException = std::current_exception();
  }
  const bool freeIt = t->FFreeOnTerminate;
  const auto result = static_cast<uint32_t>(t->FReturnValue);
  t->FFinished = true;
  if (freeIt) std::unique_ptr<TThread>{t}.reset();
  return result;
}

int TThread::ExecuteVtableIndex() {
  // Itanium ABI: a pointer to a virtual member holds 1 + the slot's byte offset.
  void (TThread::*pm)() = &TThread::Execute;
  struct { intptr_t ptr, adj; } rep;
  static_assert(sizeof rep == sizeof pm);
  std::memcpy(&rep, &pm, sizeof rep);
  return static_cast<int>((rep.ptr - 1) / static_cast<intptr_t>(sizeof(void*)));
}

}  // namespace zf
