#include "Threads.h"

#include <windows.h>

#include <cstring>
#include <memory>
#include <string>

namespace zf {

namespace {

DWORD WINAPI ThreadWrapper(LPVOID p) {
  // The record is ours from here on; the routine may outlive anything its creator holds.
  const TThreadStartRec rec = *std::unique_ptr<TThreadStartRec>(static_cast<TThreadStartRec*>(p));
  return rec.Func(rec.Parameter);
}

}  // namespace

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
